// The PKCS#7 and OCSP fixture factory, checked by OpenSSL's command line as
// an independent reader: what the factory calls valid must be valid to
// `openssl cms` and `openssl ocsp` too, and what it breaks must be broken.
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include "support/tempdir.h"

namespace zmrtest {
namespace {

struct Files {
  std::string dir = makeTempDir("fixtures");
  std::string put(const std::string& name, const std::string& content) {
    std::string path = dir + "/" + name;
    EXPECT_TRUE(writeFile(path, content));
    return path;
  }
};

TEST(Fixtures, Pkcs7VariantsVerifyWithOpensslCms) {
  TestPki pki = makePki(2);
  Files f;
  std::string ca = f.put("chain.pem", pki.root.pem() + pki.ca.pem());
  std::string data = f.put("data", "signed content");
  struct Case {
    const char* name;
    const EVP_MD* md;
    bool detached, attrs, signingTime;
    SigningCertAttribute certAttr;
    bool channel;
  };
  const Case cases[] = {
      {"sha256 detached", EVP_sha256(), true, true, true, SigningCertAttribute::other, false},
      {"sha256 attached", EVP_sha256(), false, true, true, SigningCertAttribute::other, true},
      {"sha1 no signing time", EVP_sha1(), true, true, false, SigningCertAttribute::v2, true},
      {"md5", EVP_md5(), true, true, true, SigningCertAttribute::none, false},
      {"sha512", EVP_sha512(), false, true, true, SigningCertAttribute::other, false},
      {"no attributes", EVP_sha256(), true, false, false, SigningCertAttribute::none, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pkcs7Spec spec = pkcs7For(pki.endUser);
    spec.detached = c.detached;
    spec.extraCerts = {pki.ca.get()};
    Pkcs7SignerSpec& s = spec.signers[0];
    s.digest = c.md;
    s.signedAttributes = c.attrs;
    s.signingTime = c.signingTime;
    s.signingCert = c.certAttr;
    if (c.channel) s.channel = "ZMR Channel";
    std::string p7 = f.put("p7.der", makePkcs7Der(spec));
    std::string cmd = "openssl cms -verify -inform DER -binary -purpose any -in " + p7 + " -CAfile " + ca +
                      (c.detached ? " -content " + data : std::string()) + " -out /dev/null 2>&1";
    std::string out;
    EXPECT_EQ(runCommand(cmd, &out), 0) << out;
  }

  // A wrong messageDigest and a foreign signature are refused.
  for (int broken = 0; broken < 2; ++broken) {
    Pkcs7Spec spec = pkcs7For(pki.endUser);
    spec.extraCerts = {pki.ca.get()};
    if (broken == 0) spec.signers[0].messageDigestValue = std::string(32, 'x');
    if (broken == 1) spec.signers[0].signature = std::string(256, '\x01');
    std::string p7 = f.put("bad.der", makePkcs7Der(spec));
    std::string out;
    EXPECT_NE(runCommand("openssl cms -verify -inform DER -binary -purpose any -in " + p7 + " -CAfile " + ca +
                             " -content " + data + " -out /dev/null 2>&1",
                         &out),
              0)
        << broken;
  }
}

TEST(Fixtures, SigningCertificateValueHasTheFixedLayout) {
  TestPki pki = makePki(2);
  Pkcs7Spec spec = pkcs7For(pki.endUser);
  std::string der = makePkcs7Der(spec);
  std::string hash = digestOf(EVP_sha256(), pki.endUser.der());
  std::string value = std::string("\x30\x31\x30\x2f\x30\x2d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x04\x20", 19) + hash;
  EXPECT_NE(der.find(value), std::string::npos);
}

TEST(Fixtures, OcspAnswersCheckWithOpensslOcsp) {
  TestPki pki = makePki(2);
  Files f;
  std::string ca = f.put("chain.pem", pki.root.pem() + pki.ca.pem());
  std::string issuer = f.put("issuer.pem", pki.ca.pem());
  std::string user = f.put("user.pem", pki.endUser.pem());
  std::string va = f.put("va.pem", pki.responder.pem());
  struct Case {
    const char* name;
    int status;
    bool byKey;
    std::string fraction;
    const char* expect;
  };
  const Case cases[] = {
      {"good by name", V_OCSP_CERTSTATUS_GOOD, false, "", ": good"},
      {"revoked by key", V_OCSP_CERTSTATUS_REVOKED, true, "", ": revoked"},
      {"unknown, fractional producedAt", V_OCSP_CERTSTATUS_UNKNOWN, false, ".125", ": unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OcspSpec spec = ocspFor(pki.responder, pki.endUser.get(), pki.ca.get());
    spec.singles[0].status = c.status;
    spec.responderIdByKey = c.byKey;
    spec.producedAt = generalizedTimeText(0, c.fraction);
    spec.nonce = "0123456789abcdef";
    std::string resp = f.put("resp.der", makeOcspResponseDer(spec));
    std::string out;
    int rc = runCommand("openssl ocsp -respin " + resp + " -CAfile " + ca + " -VAfile " + va + " -issuer " + issuer +
                            " -cert " + user + " -no_nonce 2>&1",
                        &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Response verify OK"), std::string::npos) << out;
    EXPECT_NE(out.find(c.expect), std::string::npos) << out;
  }

  // Signed by a key other than the named responder's: refused.
  OcspSpec spec = ocspFor(pki.merchantSign, pki.endUser.get(), pki.ca.get());
  spec.responderId = pki.responder.get();
  spec.certs = std::vector<const X509*>{pki.responder.get()};
  std::string resp = f.put("forged.der", makeOcspResponseDer(spec));
  std::string out;
  runCommand("openssl ocsp -respin " + resp + " -CAfile " + ca + " -VAfile " + va + " -issuer " + issuer + " -cert " +
                 user + " -no_nonce 2>&1",
             &out);
  EXPECT_EQ(out.find("Response verify OK"), std::string::npos) << out;
}

TEST(Fixtures, OcspNonceMatchesOpensslRequestNonce) {
  TestPki pki = makePki(2);
  zmr::OcspRequestPtr req = makeOcspRequest(pki.endUser.get(), pki.ca.get(), std::string("nonce-bytes-1234"));
  OcspSpec spec = ocspFor(pki.responder, pki.endUser.get(), pki.ca.get());
  spec.nonce = "nonce-bytes-1234";
  EXPECT_EQ(OCSP_check_nonce(req.get(), makeOcspBasic(spec).get()), 1);
  spec.nonce = "other-bytes-1234";
  EXPECT_EQ(OCSP_check_nonce(req.get(), makeOcspBasic(spec).get()), 0);
}

}  // namespace
}  // namespace zmrtest
