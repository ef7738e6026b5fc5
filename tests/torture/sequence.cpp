#include "torture/sequence.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "allocfail/failingalloc.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/pki.h"
#include "support/txclient.h"
#include "support/txscheme.h"
#include "support/verifiers.h"

namespace torture {

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string unhex(const std::string& text) {
  auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out += static_cast<char>(value(text[i]) * 16 + value(text[i + 1]));
  return out;
}

const std::string kSigned = "torture: pay 100 to account 1234.56.78903";
const std::string kXml = "<order>42</order>", kXsl = "<xsl/>";
const std::string kEnvelope = "<ZelmorXML><ZMRXML>" + kXml + "</ZMRXML><ZMRXSL>" + kXsl + "</ZMRXSL></ZelmorXML>";
const std::string kOrder = "<order><sum>100</sum></order>";
const std::string kBytes = std::string("\0\1\376\377 torture", 12);
const char* const kWebaddress = "shop.example.com,127.0.0.1";

int openmodern(const Fixtures& f, int* session) {
  return zmr_opensession(session, f["keyfile"].c_str(), f["password"].c_str(), f["properties"].c_str(), nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr);
}

// The legacy file is opened with the values in place of a properties file.
int openlegacy(const Fixtures& f, int* session) {
  return zmr_opensession(session, f["legacykeyfile"].c_str(), f["password"].c_str(), nullptr, kWebaddress, nullptr,
                         f["truststore"].c_str(), "ALL", nullptr, nullptr);
}

std::string signatureverifies(const Fixtures& f, const std::string& pkcs7, const std::string& content) {
  zmr::X509Ptr signer = zmrtest::fromPem(f["signcert"]);
  return zmrtest::pkcs7VerifiesWith(pkcs7, content, signer.get()) ? "" : "a signature that does not verify";
}

bool always(const Run&) { return true; }
bool started(const Run& r) { return r.started; }
bool modernopen(const Run& r) { return r.modern >= 0; }
bool legacyopen(const Run& r) { return r.legacy >= 0; }

// Compares with what the recording run handed out, or records it there
// once check (an independent verifier) accepted it.
std::string recorded(Run& r, const std::string& name, const std::string& got,
                     const std::function<std::string(const std::string&)>& check) {
  if (r.recording) {
    std::string fault = check(got);
    if (fault.empty()) r.f[name] = got;
    return fault;
  }
  return got == r.f[name] ? "" : "handed out " + got + ", where the first run gave " + r.f[name];
}

}  // namespace

const std::string& Fixtures::operator[](const std::string& name) const {
  auto at = values.find(name);
  if (at == values.end()) throw std::out_of_range("no fixture " + name);
  return at->second;
}

std::string Fixtures::serialize() const {
  std::string out;
  for (const auto& [name, value] : values) out += hex(name) + " " + hex(value) + "\n";
  return out;
}

Fixtures Fixtures::parse(const std::string& text) {
  Fixtures f;
  size_t at = 0;
  while (at < text.size()) {
    size_t space = text.find(' ', at), end = text.find('\n', at);
    if (space == std::string::npos || end == std::string::npos || space > end) break;
    f.values[unhex(text.substr(at, space - at))] = unhex(text.substr(space + 1, end - space - 1));
    at = end + 1;
  }
  return f;
}

Fixtures makefixtures() {
  Fixtures f;
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("torture", 2);
  f["keyfile"] = m.keyfile;
  f["password"] = m.password;
  f["properties"] = m.properties;
  f["truststore"] = m.truststore;
  f["legacykeyfile"] = m.dir + "/legacy.p12";
  if (!zmrtest::writeKeyFile(f["legacykeyfile"],
                             zmrtest::merchantKeyFile(m.pki, m.password, zmrtest::Encryption::Legacy)))
    throw std::runtime_error("the legacy key file could not be written");
  f["signcert"] = zmrtest::toPem(m.pki.merchantSign.get());
  f["root"] = zmrtest::toPem(m.pki.root.get());
  f["ca"] = zmrtest::toPem(m.pki.ca.get());

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(kSigned.data(), kSigned.size(), digest, &size, EVP_sha256(), nullptr);
  f["hashdata.data"] = zmrtest::toBase64(kSigned);
  f["hashdata.digest"] = zmrtest::toBase64(std::string(reinterpret_cast<char*>(digest), size));
  f["base64.text"] = zmrtest::toBase64(kBytes);

  // A client's first message, as the simulated client sends it.
  zmrtest::TxClient client(m.pki, kWebaddress);
  zmrtest::TxRequest request = client.request("initAuth", client.authFields(zmrtest::Carrier::nczmr20));
  f["tx.operation"] = request.operation;
  f["tx.enckey"] = request.envelope.encKey;
  f["tx.encdata"] = request.envelope.encData;
  f["tx.encauth"] = request.envelope.encAuth;
  f["tx.plain"] = zmrtest::tx::renderForm(request.fields);
  f["tx.basekey"] = zmrtest::tx::b64(request.basekey);
  return f;
}

// The sequence. Each step's call runs armed; judge runs paused and only
// after a 0. Append new exported calls where they fit the order (they may
// use the sessions, which stay open until the closing steps).
const std::vector<Step>& steps() {
  static const std::vector<Step> table = {
      {"zmr_initialize", always,
       [](Run& r) {
         int rc = zmr_initialize();
         r.started = r.started || rc == 0;
         return rc;
       },
       [](Run&) { return std::string(); }, true},

      {"zmr_opensession (modern key file)", started,
       [](Run& r) {
         int session = -1;
         int rc = openmodern(r.f, &session);
         if (rc == 0) r.modern = session;
         return rc;
       },
       [](Run& r) { return r.modern >= 0 && r.modern <= 999 ? "" : "session number " + std::to_string(r.modern); }},

      {"zmr_opensession (legacy key file)", started,
       [](Run& r) {
         int session = -1;
         int rc = openlegacy(r.f, &session);
         if (rc == 0) r.legacy = session;
         return rc;
       },
       [](Run& r) {
         return r.legacy >= 0 && r.legacy <= 999 && r.legacy != r.modern ? ""
                                                                          : "session number " + std::to_string(r.legacy);
       }},

      {"zmr_setinfoitem", modernopen,
       [](Run& r) {
         int rc = zmr_setinfoitem(r.modern, "torture", "item value");
         r.itemset = rc == 0;
         return rc;
       },
       [](Run&) { return std::string(); }},

      {"zmr_getinfoitem", [](const Run& r) { return r.itemset; },
       [](Run& r) { return zmr_getinfoitem(r.modern, "torture", &r.out[0]); },
       [](Run& r) { return r.text(0) == "item value" ? "" : "the item is " + r.text(0); }},

      {"zmr_removeinfoitems", modernopen, [](Run& r) { return zmr_removeinfoitems(r.modern); },
       [](Run&) { return std::string(); }},

      {"zmr_hashdata", modernopen,
       [](Run& r) { return zmr_hashdata(r.modern, &r.out[0], ZMR_HASH_SHA256, r.f["hashdata.data"].c_str()); },
       [](Run& r) { return r.text(0) == r.f["hashdata.digest"] ? "" : "digest " + r.text(0); }},

      {"zmr_base64encode", modernopen,
       [](Run& r) {
         return zmr_base64encode(r.modern, reinterpret_cast<const unsigned char*>(kBytes.data()),
                                 kBytes.size(), &r.out[0]);
       },
       [](Run& r) { return r.text(0) == r.f["base64.text"] ? "" : "base64 " + r.text(0); }},

      {"zmr_base64decode", modernopen,
       [](Run& r) { return zmr_base64decode(r.modern, r.f["base64.text"].c_str(), &r.bytes, &r.length); },
       [](Run& r) {
         return r.bytes != nullptr && std::string(reinterpret_cast<char*>(r.bytes), r.length) == kBytes
                    ? ""
                    : "other bytes";
       }},

      {"zmr_signdata (modern)", modernopen,
       [](Run& r) {
         return zmr_signdata(r.modern, reinterpret_cast<const unsigned char*>(kSigned.data()), kSigned.size(),
                             &r.out[0]);
       },
       [](Run& r) { return signatureverifies(r.f, r.text(0), kSigned); }},

      {"zmr_signdata (legacy)", legacyopen,
       [](Run& r) {
         return zmr_signdata(r.legacy, reinterpret_cast<const unsigned char*>(kSigned.data()), kSigned.size(),
                             &r.out[0]);
       },
       [](Run& r) { return signatureverifies(r.f, r.text(0), kSigned); }},

      {"zmr_signxml", modernopen,
       [](Run& r) {
         return zmr_signxml(r.modern, kXml.data(), kXml.size(), kXsl.data(), kXsl.size(), &r.out[0], &r.out[1]);
       },
       [](Run& r) {
         if (zmrtest::fromBase64(r.text(1)) != kEnvelope) return "envelope " + r.text(1);
         return signatureverifies(r.f, r.text(0), kEnvelope);
       }},

      // RSA PKCS#1 v1.5 is deterministic: the document is the one the
      // first run gave, which xmlsec1 accepted.
      {"zmr_createxmldsig", modernopen, [](Run& r) { return zmr_createxmldsig(r.modern, kOrder.c_str(), &r.out[0], &r.days); },
       [](Run& r) {
         std::string fault = recorded(r, "xmldsig", r.text(0), [&r](const std::string& document) {
           zmr::X509Ptr root = zmrtest::fromPem(r.f["root"]), ca = zmrtest::fromPem(r.f["ca"]);
           std::string log;
           return zmrtest::xmlsecVerifies(document, {root.get()}, {ca.get()}, &log) ? "" : "xmlsec1: " + log;
         });
         if (!fault.empty()) return fault;
         // The whole days left may drop by one between runs.
         if (r.recording) r.f["xmldsig.days"] = std::to_string(r.days);
         int first = std::stoi(r.f["xmldsig.days"]);
         return r.days > 3000 && (r.days == first || r.days == first - 1) ? "" : "days " + std::to_string(r.days);
       }},

      {"zmr_decrypttransactiondata", modernopen,
       [](Run& r) {
         return zmr_decrypttransactiondata(r.modern, r.f["tx.enckey"].c_str(), r.f["tx.encdata"].c_str(),
                                           r.f["tx.encauth"].c_str(), r.f["tx.operation"].c_str(), nullptr, &r.out[0],
                                           &r.out[1]);
       },
       [](Run& r) {
         if (r.text(0) != r.f["tx.plain"]) return "plain text " + r.text(0);
         return r.text(1) == r.f["tx.basekey"] ? "" : "base key " + r.text(1);
       }},

      // A call that fails (not base64) leaves its line; reading takes it.
      // When storing the line failed, no line is right.
      {"zmr_getrecenterror", always,
       [](Run& r) {
         r.code = zmr_hashdata(r.modern, &r.out[1], ZMR_HASH_SHA256, "not base64!");
         return zmr_getrecenterror(-1, &r.out[0]);
       },
       [](Run& r) {
         if (r.code != 21002 && !allocfail::injected() && r.modern >= 0)
           return "not base64 gave " + std::to_string(r.code);
         if (r.code != 21002 || (r.text(0).empty() && allocfail::injected())) return std::string();
         // A line whose append failed is dropped; the lines before it stay.
         if (allocfail::injected() && r.f.values.count("recenterror") != 0 && r.text(0).back() == '\n' &&
             r.f["recenterror"].compare(0, r.text(0).size(), r.text(0)) == 0)
           return std::string();
         return recorded(r, "recenterror", r.text(0), [](const std::string& line) {
           return line.find("21002") != std::string::npos || line.find("base64") != std::string::npos
                      ? std::string()
                      : "line " + line;
         });
       }},

      {"zmr_closesession (legacy)", legacyopen,
       [](Run& r) {
         int rc = zmr_closesession(r.legacy);
         if (rc == 0) r.legacy = -1;
         return rc;
       },
       [](Run&) { return std::string(); }},

      {"zmr_closesession (modern)", modernopen,
       [](Run& r) {
         int rc = zmr_closesession(r.modern);
         if (rc == 0) r.modern = -1;
         return rc;
       },
       [](Run&) { return std::string(); }},

      {"zmr_finalize", started,
       [](Run& r) {
         int rc = zmr_finalize();
         if (rc == 0) r.started = false, r.modern = -1, r.legacy = -1;
         return rc;
       },
       [](Run&) { return std::string(); }},
  };
  return table;
}

std::string runsequence(Run& r) {
  // TORTURE_STEPS=1: the allocations of each step, to see where they go.
  static const bool counts = std::getenv("TORTURE_STEPS") != nullptr;
  const std::vector<Step>* table = nullptr;
  {
    allocfail::Pause pause;  // the table is made on first use
    table = &steps();
  }
  bool firststart = r.cold;
  for (const Step& step : *table) {
    uint64_t first = allocfail::countedallocations();
    auto began = std::chrono::steady_clock::now();
    bool before = allocfail::injected();
    bool needed = step.needs(r);
    int rc = step.call(r);
    allocfail::Pause pause;
    if (counts)
      std::fprintf(stderr, "%6llu allocations %6lld us %s\n",
                   static_cast<unsigned long long>(allocfail::countedallocations() - first),
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - began)
                                              .count()),
                   step.name);
    bool own = allocfail::injected() && !before;
    if (step.startup && own && firststart) r.opensslmaybebroken = true;
    if (step.startup) firststart = false;
    bool insideopenssl = own && allocfail::injectedkind() == allocfail::kOpenssl;
    std::string fault;
    if (rc == 0) {
      fault = step.judge(r);
    } else if (needed && !own && !r.opensslmaybebroken && !r.openssldamaged) {
      fault = "gave " + std::to_string(rc) + " without a failing allocation of its own";
    }
    for (char*& p : r.out) std::ignore = zmr_free(std::exchange(p, nullptr));
    std::ignore = zmr_free(std::exchange(r.bytes, nullptr));
    r.length = 0;
    r.days = -1;
    r.code = 0;
    if (insideopenssl) r.openssldamaged = true;
    // Cold, OpenSSL makes its per-process tables (decoders, names) on first
    // use in any step, and a failure there is kept for the process.
    if (insideopenssl && r.cold) r.opensslmaybebroken = true;
    if (!fault.empty()) return std::string(step.name) + (own ? " (its allocation failed)" : "") + ": " + fault;
  }
  return "";
}

std::string worksafterwards(const Run& r) {
  Fixtures& f = r.f;
  int rc = zmr_initialize();
  if (rc != 0) return r.opensslmaybebroken ? "" : "start-up afterwards gave " + std::to_string(rc);
  int session = -1;
  rc = openmodern(f, &session);
  if (rc != 0) {
    std::ignore = zmr_finalize();
    return r.opensslmaybebroken ? "" : "opening afterwards gave " + std::to_string(rc);
  }
  char* pkcs7 = nullptr;
  rc = zmr_signdata(session, reinterpret_cast<const unsigned char*>(kSigned.data()), kSigned.size(), &pkcs7);
  std::string signature = pkcs7 != nullptr ? pkcs7 : "";
  std::ignore = zmr_free(pkcs7);
  std::string fault = rc != 0 ? "signing afterwards gave " + std::to_string(rc) : signatureverifies(f, signature, kSigned);
  if (rc != 0 && r.opensslmaybebroken) fault.clear();
  if (fault.empty() && zmr_closesession(session) != 0) fault = "closing afterwards failed";
  if (zmr_finalize() != 0 && fault.empty()) fault = "shut-down afterwards failed";
  return fault;
}

}  // namespace torture
