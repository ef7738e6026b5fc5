#include "vastandin.h"

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tempdir.h"

namespace zmrtest {
namespace {

std::string dotted(const std::string& oidDer) {
  const auto* p = reinterpret_cast<const unsigned char*>(oidDer.data());
  std::unique_ptr<ASN1_OBJECT, zmr::OsslDeleter<ASN1_OBJECT_free>> obj(
      d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oidDer.size())));
  if (!obj) throw std::runtime_error("not an OID");
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, obj.get(), 1);
  return buf;
}

const der::Element& expect(const std::vector<der::Element>& list, size_t i, unsigned char tag, const char* what) {
  if (i >= list.size() || list[i].tag != tag) throw std::runtime_error(std::string("expected ") + what);
  return list[i];
}

// OCSPRequest ::= SEQUENCE { TBSRequest, [0] EXPLICIT Signature OPTIONAL }, read
// element by element (RFC 6960, 4.1.1).
void takeApart(const std::string& body, VaRequest& r) {
  auto top = der::elements(body);
  if (top.size() != 1) throw std::runtime_error("not one element");
  auto request = der::elements(expect(top, 0, 0x30, "OCSPRequest").content);
  auto tbs = der::elements(expect(request, 0, 0x30, "TBSRequest").content);
  size_t i = 0;
  if (i < tbs.size() && tbs[i].tag == 0xa0) ++i;  // version
  if (i < tbs.size() && tbs[i].tag == 0xa1) {
    auto name = der::elements(tbs[i].content);
    r.requestorName = der::elements(expect(name, 0, 0xa4, "directoryName").content).at(0).whole;
    ++i;
  }
  for (const auto& one : der::elements(expect(tbs, i++, 0x30, "requestList").content)) {
    auto fields = der::elements(one.content);
    const der::Element& id = expect(fields, 0, 0x30, "CertID");
    r.certIds.push_back(id.whole);
    if (r.certIds.size() == 1) {
      auto idFields = der::elements(id.content);
      r.certIdDigest = dotted(der::elements(expect(idFields, 0, 0x30, "hashAlgorithm").content).at(0).whole);
    }
  }
  if (i < tbs.size() && tbs[i].tag == 0xa2) {
    auto list = der::elements(tbs[i].content);
    for (const auto& e : der::elements(expect(list, 0, 0x30, "Extensions").content)) {
      auto parts = der::elements(e.content);
      VaExtension x;
      x.oid = dotted(expect(parts, 0, 0x06, "extnID").whole);
      size_t v = 1;
      if (v < parts.size() && parts[v].tag == 0x01) x.critical = parts[v++].content != std::string(1, '\0');
      x.value = expect(parts, v, 0x04, "extnValue").content;
      r.extensions.push_back(x);
    }
    ++i;
  }
  if (i != tbs.size()) throw std::runtime_error("unexpected TBSRequest field");
  if (request.size() > 1) {
    auto signature = der::elements(expect(request, 1, 0xa0, "optionalSignature").content);
    auto fields = der::elements(expect(signature, 0, 0x30, "Signature").content);
    r.signatureAlgorithm =
        dotted(der::elements(expect(fields, 0, 0x30, "signatureAlgorithm").content).at(0).whole);
    expect(fields, 1, 0x03, "signature");
    if (fields.size() > 2) {
      auto list = der::elements(expect(fields, 2, 0xa0, "certs").content);
      for (const auto& c : der::elements(expect(list, 0, 0x30, "SEQUENCE OF Certificate").content))
        r.certs.push_back(c.whole);
    }
  }
}

bool verifiesWithOpenssl(const std::string& body, std::string& why) {
  const auto* p = reinterpret_cast<const unsigned char*>(body.data());
  zmr::OcspRequestPtr req(d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(body.size())));
  if (!req || p != reinterpret_cast<const unsigned char*>(body.data()) + body.size()) {
    why = "OpenSSL does not read it as one OCSPRequest";
    return false;
  }
  if (OCSP_request_is_signed(req.get()) == 0) return false;
  zmr::X509StorePtr store(X509_STORE_new());
  // The signature with the signer the request carries; chains are the
  // tests' business.
  return store && OCSP_request_verify(req.get(), nullptr, store.get(), OCSP_NOVERIFY) > 0;
}

std::string indexTime(long offset) {
  time_t t = time(nullptr) + offset;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%y%m%d%H%M%SZ", &tm);
  return buf;
}

std::string serialHex(const X509* cert) {
  std::unique_ptr<BIGNUM, zmr::OsslDeleter<BN_free>> bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
  char* hex = bn ? BN_bn2hex(bn.get()) : nullptr;
  if (hex == nullptr) throw std::runtime_error("serial");
  std::string out = hex;
  OPENSSL_free(hex);
  return out;
}

}  // namespace

std::optional<std::string> VaRequest::extension(const std::string& oid) const {
  for (const auto& e : extensions)
    if (e.oid == oid) return e.value;
  return std::nullopt;
}

std::optional<std::string> VaRequest::nonce() const {
  std::optional<std::string> value = extension(kOidOcspNonce);
  if (!value) return std::nullopt;
  auto inner = der::elements(*value);
  if (inner.size() != 1 || inner[0].tag != 0x04) return std::nullopt;
  return inner[0].content;
}

VaStandin::VaStandin(const TestPki& pki, const TlsServerOptions* tls)
    : pki_(pki), server_(tls != nullptr ? StandinServer(*tls) : StandinServer()) {
  server_.handle("*", [this](const HttpRequest& r) { return handle(r); });
}

void VaStandin::answer(Answer a) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(a);
}

std::vector<VaRequest> VaStandin::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void VaStandin::keepRequests(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = keep;
  server_.keepRequests(keep);
}

std::optional<VaRequest> VaStandin::lastRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (seen_.empty()) return std::nullopt;
  return seen_.back();
}

OcspSpec VaStandin::goodSpec(const VaRequest& r) const {
  OcspSpec spec;
  spec.signer = &pki_.responder;
  OcspSingleSpec single;
  if (!r.certIds.empty()) single.certIdDer = r.certIds[0];
  spec.singles.push_back(single);
  spec.nonce = r.nonce();
  return spec;
}

HttpResponse VaStandin::reply(const std::string& ocspResponseDer) {
  HttpResponse out;
  out.headers = {{"Content-Type", "application/ocsp-response"}};
  out.body = ocspResponseDer;
  return out;
}

void VaStandin::useOpenssl(const OpensslResponder& responder) {
  std::string dir = makeTempDir("va-openssl");
  std::string index;
  for (const auto& e : responder.index) {
    char* subject = X509_NAME_oneline(X509_get_subject_name(e.cert), nullptr, 0);
    index += std::string(e.revoked ? "R" : "V") + "\t" + indexTime(10L * 365 * 86400) + "\t" +
             (e.revoked ? indexTime(-3600) : "") + "\t" + serialHex(e.cert) + "\tunknown\t" + subject + "\n";
    OPENSSL_free(subject);
  }
  // An end user's two certificates share one subject.
  if (dir.empty() || !writeFile(dir + "/index.txt", index) ||
      !writeFile(dir + "/index.txt.attr", "unique_subject = no\n") || !writeFile(dir + "/ca.pem", pki_.ca.pem()) ||
      !writeFile(dir + "/va.pem", pki_.responder.pem()) || !writeFile(dir + "/va.key", pki_.responder.keyPem()))
    throw std::runtime_error("OpenSSL responder files");
  std::lock_guard<std::mutex> lock(mutex_);
  openssldir_ = dir;
  openssl_ = responder;
  answer_ = [this](const VaRequest& r) { return runOpenssl(r); };
}

HttpResponse VaStandin::runOpenssl(const VaRequest& r) {
  std::string dir, name;
  OpensslResponder how;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dir = openssldir_;
    how = openssl_;
    name = dir + "/request-" + std::to_string(runs_++);
  }
  std::string command = "openssl ocsp -index " + dir + "/index.txt -CA " + dir + "/ca.pem -rsigner " + dir +
                        "/va.pem -rkey " + dir + "/va.key " + (how.rother ? "-rother " + dir + "/ca.pem " : "") +
                        (how.noCerts ? "-resp_no_certs " : "") + "-ndays 1 -reqin " + name + ".der -respout " + name +
                        ".resp 2>&1";
  std::string log;
  if (!writeFile(name + ".der", r.http.body) || runCommand(command, &log) != 0) {
    HttpResponse broken;
    broken.status = 500;
    broken.reason = "Internal Server Error";
    broken.body = log;
    return broken;
  }
  return reply(readFile(name + ".resp"));
}

HttpResponse VaStandin::handle(const HttpRequest& request) {
  VaRequest r;
  r.http = request;
  try {
    takeApart(request.body, r);
    r.decoded = true;
  } catch (const std::exception& e) {
    r.why = e.what();
  }
  if (r.decoded) {
    r.signatureValid = verifiesWithOpenssl(request.body, r.why);
    if (!r.why.empty()) r.decoded = false;
  }
  Answer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keep_) seen_.push_back(r);
    answer = answer_;
  }
  if (answer) return answer(r);
  if (!r.decoded) return reply(makeOcspEnvelopeDer(OCSP_RESPONSE_STATUS_MALFORMEDREQUEST));
  return reply(goodSpec(r));
}

VaSetup makeVaSetup(const std::string& tag, const TestPki& pki, bool tls, const Properties& extra,
                    const std::function<void(KeyFileSpec&)>& layout) {
  VaSetup s;
  TlsServerOptions options{pki.server.get(), pki.server.key.get(), {pki.ca.get()}, ""};
  s.va = std::make_unique<VaStandin>(pki, tls ? &options : nullptr);
  s.merchant = writeMerchantFiles(tag, pki, layout);
  Properties properties = standardProperties(s.merchant.truststore);
  properties.emplace_back("vaport", std::to_string(s.va->port()));
  if (!tls) properties.emplace_back("vassldisabled", "true");
  properties.insert(properties.end(), extra.begin(), extra.end());
  writePropertiesFile(s.merchant.properties, properties);
  return s;
}

VaProcess::VaProcess(const TestPki& pki) {
  int ready[2], stop[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  if (::pipe(stop) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    throw std::runtime_error("pipe failed");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(ready[0]);
    ::close(stop[1]);
    {
      VaStandin va(pki);
      va.keepRequests(false);
      const int port = va.port();
      if (::write(ready[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) ::_exit(1);
      // Serves until the parent closes its end (or ends).
      char c;
      while (::read(stop[0], &c, 1) < 0 && errno == EINTR) {
      }
    }
    ::_exit(0);  // no exit handlers: the parent owns them
  }
  ::close(ready[1]);
  ::close(stop[0]);
  stopfd_ = stop[1];
  ssize_t n;
  while ((n = ::read(ready[0], &port_, sizeof port_)) < 0 && errno == EINTR) {
  }
  ::close(ready[0]);
  if (pid_ < 0 || n != static_cast<ssize_t>(sizeof port_)) {
    end();
    throw std::runtime_error("the stand-in process did not start");
  }
}

VaProcess::~VaProcess() { end(); }

void VaProcess::end() {
  if (stopfd_ >= 0) ::close(stopfd_);
  stopfd_ = -1;
  if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

VaProcessSetup makeVaProcessSetup(const std::string& tag, const TestPki& pki) {
  VaProcessSetup s;
  s.va = std::make_unique<VaProcess>(pki);
  s.merchant = writeMerchantFiles(tag, pki, {});
  Properties properties = standardProperties(s.merchant.truststore);
  properties.emplace_back("vaport", std::to_string(s.va->port()));
  properties.emplace_back("vassldisabled", "true");
  writePropertiesFile(s.merchant.properties, properties);
  return s;
}

std::string endUserPkcs7(const TestPki& pki, const TestCert* signer) {
  Pkcs7Spec spec = pkcs7For(signer != nullptr ? *signer : pki.endUser);
  spec.extraCerts = {pki.ca.get()};
  return makePkcs7Base64(spec);
}

}  // namespace zmrtest
