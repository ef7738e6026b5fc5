// Shared by the certificate-status tests: a started library, merchants
// whose properties name a stand-in validation authority, and the calls and
// readers the tests make.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "services/certstatus/certstatusops.h"
#include "services/life/lifeops.h"
#include "services/items/itemsops.h"
#include "store/threadstore.h"
#include "support/merchantvariants.h"
#include "support/vastandin.h"

namespace certstatustest {

inline std::string takeError() {
  std::optional<std::string> text;
  zmr::getlasterror(-1, text);
  return text.value_or("");
}

// What one call of the operation gave.
struct Outcome {
  int rc = -1;
  std::string ocsp;
  std::optional<std::string> nonce;
  std::optional<std::string> fullocsp;
  std::string error;  // the recent error after the call
};

inline Outcome call(int session, const std::optional<std::string>& pkcs7) {
  Outcome o;
  o.rc = zmr::getcertstatus(session, pkcs7 ? pkcs7->c_str() : nullptr, o.ocsp, &o.nonce, &o.fullocsp);
  o.error = takeError();
  return o;
}

// The last line of a recent error (with its line feed), "" when none.
inline std::string lastLine(const std::string& error) {
  if (error.empty()) return "";
  size_t from = error.rfind('\n', error.size() - 2);
  return from == std::string::npos ? error : error.substr(from + 1);
}

inline std::string item(int session, const std::string& key) {
  std::string value;
  return zmr::popinfoitem(session, key, value) == 0 ? value : "<absent>";
}

inline std::string certIdOf(const X509* cert, const X509* issuer) {
  OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha1(), cert, issuer);
  unsigned char* der = nullptr;
  int n = id != nullptr ? i2d_OCSP_CERTID(id, &der) : 0;
  std::string out(reinterpret_cast<char*>(der), n > 0 ? static_cast<size_t>(n) : 0);
  OPENSSL_free(der);
  OCSP_CERTID_free(id);
  return out;
}

inline constexpr const char* kSha256WithRsa = "1.2.840.113549.1.1.11";
inline constexpr const char* kSha1WithRsa = "1.2.840.113549.1.1.5";

// The parts of a request every request shares: one SHA-1 CertID of the
// certificate asked about, AcceptableResponses (basic) and a 16-byte nonce
// first, signed by the merchant's signing certificate (requestor name, the
// certificate twice) with the algorithm given, and a signature OpenSSL
// accepts. Returns the extension OIDs after the nonce.
inline std::vector<std::string> checkRequest(const zmrtest::VaRequest& r, const zmrtest::TestPki& pki,
                                             const X509* asked, const char* algorithm) {
  EXPECT_TRUE(r.decoded) << r.why;
  EXPECT_TRUE(r.signatureValid);
  EXPECT_EQ("application/ocsp-request", r.http.header("Content-Type").value_or(""));
  EXPECT_EQ(std::vector<std::string>{certIdOf(asked, pki.ca.get())}, r.certIds);
  EXPECT_EQ("1.3.14.3.2.26", r.certIdDigest);
  const X509_NAME* subject = X509_get_subject_name(pki.merchantSign.get());
  unsigned char* name = nullptr;
  int n = i2d_X509_NAME(subject, &name);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), n > 0 ? static_cast<size_t>(n) : 0), r.requestorName);
  OPENSSL_free(name);
  std::string sign = zmrtest::toDer(pki.merchantSign.get());
  EXPECT_EQ((std::vector<std::string>{sign, sign}), r.certs);
  EXPECT_EQ(algorithm, r.signatureAlgorithm);

  std::vector<std::string> rest;
  for (const auto& e : r.extensions) EXPECT_FALSE(e.critical) << e.oid;
  if (r.extensions.size() < 2) {
    ADD_FAILURE() << "fewer than two extensions";
    return rest;
  }
  EXPECT_EQ(zmrtest::kOidAcceptableResponses, r.extensions[0].oid);
  EXPECT_EQ(zmrtest::der::seq(zmrtest::der::oid("1.3.6.1.5.5.7.48.1.1")), r.extensions[0].value);
  EXPECT_EQ(zmrtest::kOidOcspNonce, r.extensions[1].oid);
  EXPECT_EQ(16u, r.nonce().value_or("").size());
  for (size_t i = 2; i < r.extensions.size(); ++i) rest.push_back(r.extensions[i].oid);
  return rest;
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, zmr::initialize(nullptr)); }
  void TearDown() override { zmr::finalize(); }
  // Opens a session on the set-up's merchant files, with the thread's info
  // items cleared.
  int open(const zmrtest::VaSetup& setup, const char* pin = nullptr) {
    int s = -1;
    EXPECT_EQ(0, zmr::opensession(s, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                                  setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, pin,
                                  -1))
        << takeError();
    // Info items belong to the thread: none left by an earlier test.
    zmr::removeinfoitems(s);
    return s;
  }
};

}  // namespace certstatustest
