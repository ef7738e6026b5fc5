// Arbitrary bytes as a base64 PKCS#7 to signature verification in the
// chain modes 0 and 1, against a fixed trust store made at start-up; and as
// the data and the digest under a valid signature of that trust store, so
// that every input also reaches the SignerInfo check after a good chain.
// At start-up the harness writes valid signatures of its own PKI into the
// first corpus directory it is given, so that mutations start from
// signatures whose chains verify.
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "misc/ossl.h"
#include "store/setup.h"
#include "services/verifying/verifyingops.h"
#include "store/loaders/configuration.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"

using namespace zmr;

namespace {

const std::string kContent = "fuzzed content";

void require(bool ok) {
  if (!ok) std::abort();
}

X509Ptr makecert(const char* cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerkey, bool ca, long days) {
  X509Ptr cert(X509_new());
  require(cert && X509_set_version(cert.get(), 2) == 1);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ca ? 1 : 2);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  require(X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 86400);
  require(X509_set_pubkey(cert.get(), key) == 1);
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, issuer != nullptr ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::pair<int, const char*> extensions[] = {
      {NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE"},
      {NID_key_usage, ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation"},
      // 2.999.10.1.16.1.12.2.1: without a configuration database OpenSSL takes
      // the policies extension only as DER.
      {NID_certificate_policies, "DER:30:0d:30:0b:06:09:88:37:0a:01:10:01:0c:02:01"},
  };
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    require(ext != nullptr && X509_add_ext(cert.get(), ext, -1) == 1);
    X509_EXTENSION_free(ext);
  }
  require(X509_sign(cert.get(), issuerkey != nullptr ? issuerkey : key, EVP_sha256()) > 0);
  return cert;
}

std::string sign(X509* cert, EVP_PKEY* key, X509* ca, const EVP_MD* md, int flags) {
  BioPtr in(BIO_new_mem_buf(kContent.data(), static_cast<int>(kContent.size())));
  X509StackPtr certs(sk_X509_new_null());
  require(certs && sk_X509_push(certs.get(), X509_dup(ca)) > 0);
  Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, certs.get(), in.get(), flags | PKCS7_PARTIAL | PKCS7_BINARY));
  require(p7 && PKCS7_sign_add_signer(p7.get(), cert, key, md, flags) != nullptr);
  require(PKCS7_final(p7.get(), in.get(), flags | PKCS7_BINARY) == 1);
  unsigned char* der = nullptr;
  int n = i2d_PKCS7(p7.get(), &der);
  require(n > 0);
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

struct Fixture {
  int session = -1;
  std::string valid;  // base64 of a detached signature whose chain verifies
  std::vector<std::string> seeds;

  Fixture() {
    require(initstructures() == 0);
    EvpPkeyPtr rootkey(EVP_RSA_gen(1024));
    EvpPkeyPtr cakey(EVP_RSA_gen(1024));
    EvpPkeyPtr userkey(EVP_RSA_gen(1024));
    require(rootkey && cakey && userkey);
    X509Ptr root = makecert("Fuzz Root", rootkey.get(), nullptr, nullptr, true, 3650);
    X509Ptr ca = makecert("Fuzz Issuing CA", cakey.get(), root.get(), rootkey.get(), true, 3650);
    X509Ptr user = makecert("Fuzz Signer", userkey.get(), ca.get(), cakey.get(), false, 3650);
    X509Ptr expired = makecert("Fuzz Signer", userkey.get(), ca.get(), cakey.get(), false, -1);

    char dir[] = "/tmp/zmr-fuzz-verifydata-XXXXXX";
    require(mkdtemp(dir) != nullptr);
    char hashname[32];
    snprintf(hashname, sizeof hashname, "/%08lx.0", X509_subject_name_hash(root.get()));
    BioPtr out(BIO_new_file((std::string(dir) + hashname).c_str(), "w"));
    require(out && PEM_write_bio_X509(out.get(), root.get()) == 1);
    out.reset();
    PendingSession opening;
    require(opening.open() == 0 && loadproperties(opening.state(), "fuzz", dir, "ALL", nullptr, nullptr, nullptr) == 0);
    opening.publish();
    session = opening.number();

    std::string detached = sign(user.get(), userkey.get(), ca.get(), EVP_sha256(), PKCS7_DETACHED);
    valid = base64_encode(reinterpret_cast<const unsigned char*>(detached.data()), detached.size());
    seeds = {detached, sign(user.get(), userkey.get(), ca.get(), EVP_sha1(), 0),
             sign(user.get(), userkey.get(), ca.get(), EVP_sha256(), PKCS7_DETACHED | PKCS7_NOATTR),
             sign(expired.get(), userkey.get(), ca.get(), EVP_sha256(), PKCS7_DETACHED)};
  }
};

Fixture* fixture = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fixture = new Fixture();
  // Seeds into the first corpus directory named on the command line.
  for (int i = 1; i < *argc; ++i) {
    std::error_code ec;
    if ((*argv)[i][0] == '-' || !std::filesystem::is_directory((*argv)[i], ec)) continue;
    for (size_t n = 0; n < fixture->seeds.size(); ++n) {
      std::ofstream((*argv)[i] + std::string("/harness") + std::to_string(n), std::ios::binary) << fixture->seeds[n];
    }
    break;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int session = fixture->session;
  const int usages[] = {kUsageSigning};
  const auto* content = reinterpret_cast<const unsigned char*>(kContent.data());
  std::string text = base64_encode(data, size);
  for (ChainCheck mode : {ChainCheck::noDates, ChainCheck::policy}) {
    verifydata(session, text, content, kContent.size(), DataIs::content, usages, 1, mode);
    verifydata(session, text, nullptr, 0, DataIs::content, usages, 1, mode);
  }
  verifydata(session, fixture->valid, data, size, DataIs::content, usages, 1, ChainCheck::policy);
  verifydata(session, fixture->valid, data, size, DataIs::digest, usages, 1, ChainCheck::noDates);
  std::optional<std::string> error;
  getlasterror(0, error);
  return 0;
}
