// Sanity of the test PKI itself: what every other suite relies on.
#include "support/pki.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/x509v3.h>

#include <filesystem>

#include "support/tempdir.h"

namespace zmrtest {
namespace {

std::string commonName(const X509* cert) {
  X509_NAME* name = X509_get_subject_name(cert);
  int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (i < 0) return "<none>";
  ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s));
}

int verifyWithStore(const std::string& dir, X509* leaf, STACK_OF(X509)* untrusted) {
  zmr::X509StorePtr store(X509_STORE_new());
  EXPECT_EQ(X509_STORE_load_locations(store.get(), nullptr, dir.c_str()), 1);
  zmr::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  EXPECT_EQ(X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted), 1);
  int rc = X509_verify_cert(ctx.get());
  return rc == 1 ? 0 : X509_STORE_CTX_get_error(ctx.get());
}

TEST(TestPki, KeysAreCachedAndDistinct) {
  zmr::EvpPkeyPtr a = testKey(2048, 0);
  zmr::EvpPkeyPtr b = testKey(2048, 0);
  zmr::EvpPkeyPtr c = testKey(2048, 1);
  EXPECT_EQ(EVP_PKEY_get_bits(a.get()), 2048);
  EXPECT_EQ(EVP_PKEY_eq(a.get(), b.get()), 1);
  EXPECT_NE(EVP_PKEY_eq(a.get(), c.get()), 1);
  EXPECT_EQ(EVP_PKEY_get_bits(testKey(1024).get()), 1024);
}

TEST(TestPki, EveryRoleChainsToItsRootThroughAHashedDirectory) {
  TestPki pki = makePki(3);
  EXPECT_EQ(commonName(pki.root.get()), "TEST - Zelmor Root CA");
  std::string dir = makeTempDir("pki-store");
  ASSERT_TRUE(writeTrustStore(dir, pki.caCerts()));
  for (const TestCert* leaf : {&pki.merchantAuth, &pki.merchantSign, &pki.endUser, &pki.responder, &pki.server}) {
    EXPECT_EQ(verifyWithStore(dir, leaf->get(), nullptr), 0) << commonName(leaf->get());
    EXPECT_EQ(X509_check_private_key(leaf->get(), leaf->key.get()), 1);
  }
  // Another environment's root is not trusted by this store.
  TestPki other = makePki(4);
  EXPECT_NE(verifyWithStore(dir, other.endUser.get(), nullptr), 0);
}

TEST(TestPki, TrustStoreNumbersEqualSubjects) {
  // Two roots of one name (different keys) must both be found by the lookup.
  CertSpec a = rootSpec("Zelmor Root CA");
  CertSpec b = a;
  b.keyIndex = 7;
  TestCert ra = makeCert(a), rb = makeCert(b);
  std::string dir = makeTempDir("pki-dup");
  ASSERT_TRUE(writeTrustStore(dir, {ra.get(), rb.get()}));
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 2);
  CertSpec leafSpec = endUserSpec();
  TestCert leaf = makeCert(leafSpec, &rb);
  EXPECT_EQ(verifyWithStore(dir, leaf.get(), nullptr), 0);
}

TEST(TestPki, RolesCarryTheirUsagesAndNames) {
  TestPki pki = makePki(1);
  EXPECT_EQ(commonName(pki.root.get()), "DEVLAB - Zelmor Root CA");
  EXPECT_EQ(X509_check_ca(pki.root.get()), 1);
  EXPECT_EQ(X509_check_ca(pki.merchantAuth.get()), 0);
  EXPECT_EQ(X509_get_key_usage(pki.merchantAuth.get()) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION),
            static_cast<uint32_t>(KU_DIGITAL_SIGNATURE));
  EXPECT_EQ(X509_get_key_usage(pki.merchantSign.get()) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION),
            static_cast<uint32_t>(KU_NON_REPUDIATION));
  EXPECT_TRUE(X509_get_extended_key_usage(pki.responder.get()) & XKU_OCSP_SIGN);
  EXPECT_EQ(X509_check_ip_asc(pki.server.get(), "127.0.0.1", 0), 1);
  TestCert wrong = makeCert(serverSpec(true), &pki.ca);
  EXPECT_NE(X509_check_ip_asc(wrong.get(), "127.0.0.1", 0), 1);
  EXPECT_NE(X509_check_host(wrong.get(), "localhost", 0, 0, nullptr), 1);
  // Nothing is valid for less than a year from now, nothing starts later.
  EXPECT_LT(X509_cmp_time(X509_get0_notBefore(pki.endUser.get()), nullptr), 0);
  time_t inAYear = time(nullptr) + 365L * 86400;
  EXPECT_GT(X509_cmp_time(X509_get0_notAfter(pki.endUser.get()), &inAYear), 0);
  EXPECT_EQ(commonName(makeCert(rootSpec("")).get()), "<none>");
}

TEST(TestPki, RootNamesAreKeptExactly) {
  for (int env = 1; env <= 4; ++env) EXPECT_EQ(commonName(makePki(env).root.get()), environmentRootName(env));
  EXPECT_EQ(commonName(makePki(0).root.get()), "Zelmor Root CA2");
  for (const std::string name : {"Zelmor Root CA ", "Zelmor Root CA2", " TEST - Zelmor Root CA"}) {
    TestCert root = makeCert(rootSpec(name));
    EXPECT_EQ(commonName(root.get()), name);
    EXPECT_EQ(X509_check_issued(root.get(), root.get()), X509_V_OK);
  }
}

TEST(TestPki, SerialsOfAnyLength) {
  struct Case {
    std::string text;
    std::vector<unsigned char> bytes;
    std::string decimal;
  } cases[] = {
      {"0", {}, "0"},
      {"340282366920938463463374607431768211455", {}, "340282366920938463463374607431768211455"},
      {"0x0102030405060708090a0b0c0d0e0f10", {}, "1339673755198158349044581307228491536"},
      {"", {0x01, 0x00}, "256"},
  };
  for (const auto& c : cases) {
    CertSpec s = endUserSpec();
    s.serial = c.text;
    s.serialBytes = c.bytes;
    TestCert t = makeCert(s);
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(t.get()), nullptr);
    char* dec = BN_bn2dec(bn);
    EXPECT_EQ(std::string(dec), c.decimal);
    OPENSSL_free(dec);
    BN_free(bn);
  }
}

TEST(TestPki, PemAndDerRoundTrip) {
  TestCert t = makeCert(endUserSpec());
  zmr::X509Ptr back = fromPem(t.pem());
  ASSERT_TRUE(back);
  EXPECT_EQ(X509_cmp(back.get(), t.get()), 0);
  EXPECT_EQ(toDer(back.get()), t.der());
  EXPECT_NE(t.keyPem().find("BEGIN PRIVATE KEY"), std::string::npos);
  TestCert copy = t;
  EXPECT_EQ(copy.get(), t.get());
}

}  // namespace
}  // namespace zmrtest
