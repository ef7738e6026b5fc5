// Shared by the signing tests: a started library with a merchant session,
// and readers of the PKCS#7 the library makes, written against OpenSSL
// directly.
#pragma once

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <optional>
#include <string>
#include <vector>

#include "support/merchantvariants.h"
#include "services/life/lifeops.h"
#include "store/threadstore.h"
#include "support/verifiers.h"

namespace signingtest {

inline std::string takeError() {
  std::optional<std::string> text;
  zmr::getlasterror(-1, text);
  return text.value_or("");
}

// Opens a session on files; the library is started by the fixture.
inline int open(const zmrtest::MerchantFiles& m, int& session, const char* pin = nullptr) {
  return zmr::opensession(session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                          nullptr, nullptr, nullptr, pin, -1);
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, zmr::initialize(nullptr)); }
  void TearDown() override { zmr::finalize(); }
  // A session over files made for the test.
  int session(const zmrtest::MerchantFiles& m) {
    int s = -1;
    EXPECT_EQ(0, open(m, s)) << takeError();
    return s;
  }
};

inline zmr::Pkcs7Ptr parse(const std::string& base64) {
  std::string der = zmrtest::fromBase64(base64);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  zmr::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (p7 && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) p7.reset();
  return p7;
}

inline PKCS7_SIGNER_INFO* signer(PKCS7* p7) { return sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0); }

inline std::string dotted(const ASN1_OBJECT* o) {
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, o, 1);
  return buf;
}

// Signed attribute types in the order they are encoded.
inline std::vector<std::string> attributeOids(PKCS7_SIGNER_INFO* si) {
  std::vector<std::string> out;
  for (int i = 0; i < X509at_get_attr_count(si->auth_attr); ++i)
    out.push_back(dotted(X509_ATTRIBUTE_get0_object(X509at_get_attr(si->auth_attr, i))));
  return out;
}

// The single value of a signed attribute, DER-encoded; "" when absent.
inline std::string attributeDer(PKCS7_SIGNER_INFO* si, const std::string& oid) {
  for (int i = 0; i < X509at_get_attr_count(si->auth_attr); ++i) {
    X509_ATTRIBUTE* a = X509at_get_attr(si->auth_attr, i);
    if (dotted(X509_ATTRIBUTE_get0_object(a)) != oid || X509_ATTRIBUTE_count(a) != 1) continue;
    unsigned char* der = nullptr;
    int n = i2d_ASN1_TYPE(X509_ATTRIBUTE_get0_type(a, 0), &der);
    std::string out(reinterpret_cast<char*>(der), n > 0 ? static_cast<size_t>(n) : 0);
    OPENSSL_free(der);
    return out;
  }
  return "";
}

inline std::string digestOf(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), n);
}

inline constexpr const char* kContentType = "1.2.840.113549.1.9.3";
inline constexpr const char* kMessageDigest = "1.2.840.113549.1.9.4";
inline constexpr const char* kSigningTime = "1.2.840.113549.1.9.5";
inline constexpr const char* kChannel = "1.2.840.113549.1.9.25.3";
inline constexpr const char* kOtherSigningCert = "1.2.840.113549.1.9.16.2.19";
inline constexpr const char* kSigningCertV2 = "1.2.840.113549.1.9.16.2.47";

// The signing-certificate value: SEQUENCE { SEQUENCE { SEQUENCE { OID
// sha256, OCTET STRING hash } } }, written out byte by byte.
inline std::string signingCertValue(const X509* cert) {
  static const unsigned char head[] = {0x30, 0x31, 0x30, 0x2F, 0x30, 0x2D, 0x06, 0x09, 0x60, 0x86,
                                       0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x04, 0x20};
  return std::string(reinterpret_cast<const char*>(head), sizeof head) +
         digestOf(EVP_sha256(), zmrtest::toDer(cert));
}

// DER OCTET STRING of up to 127 bytes.
inline std::string octets(const std::string& bytes) {
  return std::string(1, '\x04') + static_cast<char>(bytes.size()) + bytes;
}

}  // namespace signingtest
