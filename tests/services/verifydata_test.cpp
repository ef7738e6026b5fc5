// Signature verification against the merchant's trust store in the three
// chain modes, over signatures of the fixture factory and of OpenSSL's
// command line (`openssl cms` and `openssl smime`).
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "store/setup.h"
#include "services/verifying/verifyingops.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "support/fixtures.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/tempdir.h"
#include "support/verifiers.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

using zmrtest::Pkcs7SignerSpec;
using zmrtest::Pkcs7Spec;
using zmrtest::TestCert;
namespace der = zmrtest::der;

// A session over a trust store of these certificates.
int openSession(const std::string& tag, const std::vector<const X509*>& trusted, const char* granted) {
  std::string dir = zmrtest::makeTempDir(tag);
  if (!zmrtest::writeTrustStore(dir, trusted)) return -1;
  PendingSession session;
  if (session.open() != 0 ||
      loadproperties(session.state(), "merchant.example", dir.c_str(), granted, nullptr, nullptr, nullptr) != 0)
    return -1;
  session.publish();
  return session.number();
}

// The certificate with one byte of its signature changed.
TestCert brokenSignature(const TestCert& good) {
  std::string der = good.der();
  der.back() = static_cast<char>(der.back() ^ 0x01);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  TestCert out = good;
  out.cert.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  return out;
}

// A PKCS#7 made by `openssl cms` or `openssl smime` over content, signed by
// signer; the options follow "-sign".
std::string opensslSigned(const std::string& tool, const TestCert& signer, const std::string& content,
                          const std::string& options) {
  std::string dir = zmrtest::makeTempDir("verify-cli");
  zmrtest::writeFile(dir + "/user.pem", signer.pem());
  zmrtest::writeFile(dir + "/user.key", signer.keyPem());
  zmrtest::writeFile(dir + "/data", content);
  std::string command = "openssl " + tool + " -sign -binary -in " + dir + "/data -signer " + dir +
                        "/user.pem -inkey " + dir + "/user.key -outform DER -out " + dir + "/out.der " + options +
                        " 2>&1";
  std::string log;
  if (zmrtest::runCommand(command, &log) != 0) {
    ADD_FAILURE() << command << "\n" << log;
    return "";
  }
  return zmrtest::toBase64(zmrtest::readFile(dir + "/out.der"));
}

constexpr ChainCheck kModes[3] = {ChainCheck::noDates, ChainCheck::policy, ChainCheck::plain};
constexpr int kSkip = -1;

struct Expect {
  int code;
  std::string line;  // the last line of the recent error ("" for success)
};

class VerifyData : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(0, initstructures());
    f = new Fixture();
  }
  static void TearDownTestSuite() {
    delete f;
    f = nullptr;
    freeSessions();
  }
  void SetUp() override { zmrtest::takeRecentError(); }

  struct Fixture {
    zmrtest::TestPki pki = zmrtest::makePki(2);
    TestCert expiredUser, expiredCa, userOfExpiredCa, impostorUser, brokenRoot, caOfBrokenRoot, userOfBrokenRoot,
        authOnly, signOnly;
    int all = -1, narrow = -1, rootOnly = -1, broken = -1, noConfig = -1;

    Fixture() {
      zmrtest::CertSpec expired = zmrtest::endUserSpec();
      expired.notBeforeOffset = -3 * 86400;
      expired.notAfterOffset = -3600;
      expiredUser = zmrtest::makeCert(expired, &pki.ca);

      zmrtest::CertSpec oldCa = zmrtest::issuingCaSpec("Zelmor Old Issuing CA");
      oldCa.keyIndex = 3;
      oldCa.notBeforeOffset = -3 * 86400;
      oldCa.notAfterOffset = -3600;
      expiredCa = zmrtest::makeCert(oldCa, &pki.root);
      userOfExpiredCa = zmrtest::makeCert(zmrtest::endUserSpec(), &expiredCa);

      // Issued under the issuing CA's name by another key, and without key
      // identifiers, so that the real CA is taken as its issuer.
      zmrtest::CertSpec impostor = zmrtest::issuingCaSpec();
      impostor.keyIndex = 4;
      TestCert fakeCa = zmrtest::makeCert(impostor, &pki.root);
      zmrtest::CertSpec user = zmrtest::endUserSpec();
      user.keyIdentifiers = false;
      impostorUser = zmrtest::makeCert(user, &fakeCa);

      zmrtest::CertSpec rootSpec = zmrtest::rootSpec("Zelmor Broken Root");
      rootSpec.keyIndex = 5;
      TestCert goodRoot = zmrtest::makeCert(rootSpec);
      brokenRoot = brokenSignature(goodRoot);
      caOfBrokenRoot = zmrtest::makeCert(zmrtest::issuingCaSpec("Zelmor Broken Issuing CA"), &goodRoot);
      userOfBrokenRoot = zmrtest::makeCert(zmrtest::endUserSpec(), &caOfBrokenRoot);

      zmrtest::CertSpec auth = zmrtest::endUserSpec();
      auth.keyUsage = 0x80;  // digitalSignature
      authOnly = zmrtest::makeCert(auth, &pki.ca);
      zmrtest::CertSpec sign = zmrtest::endUserSpec();
      sign.keyUsage = 0x40;  // nonRepudiation
      signOnly = zmrtest::makeCert(sign, &pki.ca);

      all = openSession("verify-all", pki.caCerts(), "ALL");
      narrow = openSession("verify-narrow", pki.caCerts(), " 2.999.10.1.16.1.14.1 , 2.999.10.1.16.1.14.2");
      rootOnly = openSession("verify-rootonly", {pki.root.get()}, "ALL");
      broken = openSession("verify-broken", {brokenRoot.get()}, "ALL");
      // Key file and HSM only: no configuration at all.
      noConfig = zmrtest::openStoreSession();
    }
  };
  static Fixture* f;
};
VerifyData::Fixture* VerifyData::f = nullptr;

const std::string kContent = "signed content";
const std::string kPrefix = "verifydata_verifydata: ";
const std::string kChain = kPrefix + "The pkcs7 certificate did not verify. Reason: ";
const std::string kBadSignature = kPrefix + "The pkcs7 signature did not verify.\n";

std::string lastLine(const std::string& text) {
  if (text.empty()) return "";
  size_t end = text.size() - 1;  // the final line feed
  size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1);
}

TEST_F(VerifyData, EveryCaseInEveryMode) {
  const zmrtest::TestPki& pki = f->pki;
  auto signedBy = [](const TestCert& cert, std::vector<const X509*> extra = {}) {
    Pkcs7Spec spec = zmrtest::pkcs7For(cert, kContent);
    spec.extraCerts = std::move(extra);
    return zmrtest::makePkcs7Base64(spec);
  };
  Pkcs7Spec attached = zmrtest::pkcs7For(pki.endUser, kContent);
  attached.detached = false;
  Pkcs7Spec sha1 = zmrtest::pkcs7For(pki.endUser, kContent);
  sha1.signers[0].digest = EVP_sha1();
  Pkcs7Spec sha512 = zmrtest::pkcs7For(pki.endUser, kContent);
  sha512.signers[0].digest = EVP_sha512();
  Pkcs7Spec withoutCert = zmrtest::pkcs7For(pki.endUser, kContent);
  withoutCert.includeSignerCerts = false;
  withoutCert.extraCerts = {pki.ca.get()};
  Pkcs7Spec noSigners = zmrtest::pkcs7For(pki.endUser, kContent);
  noSigners.signers.clear();
  noSigners.extraCerts = {pki.endUser.get()};
  Pkcs7Spec twoSigners = zmrtest::pkcs7For(pki.endUser, kContent);
  twoSigners.signers.push_back(twoSigners.signers[0]);
  twoSigners.signers[1].cert = &f->signOnly;
  // Two signers, the second failing: every SignerInfo is checked.
  auto secondSigner = [&](const std::function<void(Pkcs7SignerSpec&)>& change) {
    Pkcs7Spec spec = twoSigners;
    change(spec.signers[1]);
    return zmrtest::makePkcs7Base64(spec);
  };
  const std::string secondExpired = secondSigner([&](Pkcs7SignerSpec& s) { s.cert = &f->expiredUser; });
  const std::string secondAuthOnly = secondSigner([&](Pkcs7SignerSpec& s) { s.cert = &f->authOnly; });
  const std::string secondForged = secondSigner([&](Pkcs7SignerSpec& s) { s.signature = std::string(256, 's'); });
  const std::string secondOtherDigest =
      secondSigner([&](Pkcs7SignerSpec& s) { s.messageDigestValue = std::string(32, 'm'); });

  Pkcs7Ptr data(PKCS7_new());
  ASSERT_TRUE(data && PKCS7_set_type(data.get(), NID_pkcs7_data) == 1);
  unsigned char* raw = nullptr;
  int n = i2d_PKCS7(data.get(), &raw);
  ASSERT_GT(n, 0);
  std::string dataTyped(reinterpret_cast<char*>(raw), static_cast<size_t>(n));
  OPENSSL_free(raw);

  const std::string sha256Digest = zmrtest::digestOf(EVP_sha256(), kContent);
  const Expect ok{0, ""};
  const Expect expired{5007, kChain + "certificate has expired\n"};
  const Expect badSig{5007, kChain + "certificate signature failure\n"};
  const Expect noIssuer{5007, kChain + "unable to get local issuer certificate\n"};
  const Expect notGranted{
      6001, kPrefix + "The signer certificate in the pkcs7 is not among supported certificate policies.\n"};
  const Expect usage{6002, kPrefix + "The key usages of the signing certificate does not match expected key values.\n"};
  const Expect skip{kSkip, ""};
  auto same = [](const Expect& e) { return std::array<Expect, 3>{e, e, e}; };

  struct Case {
    std::string name;
    int session;
    std::string pkcs7;
    std::optional<std::string> data;
    int dataisdigest;
    std::vector<int> usages;
    std::array<Expect, 3> expect;  // modes 0, 1, -1
  };
  const std::vector<int> signing = {kUsageSigning};
  const std::vector<int> authentication = {kUsageAuthentication};
  const Case cases[] = {
      {"factory, detached, SHA-256", f->all, signedBy(pki.endUser), kContent, 0, signing, same(ok)},
      {"factory, attached, no data given", f->all, zmrtest::makePkcs7Base64(attached), std::nullopt, 0, signing,
       same(ok)},
      {"factory, attached, its data given", f->all, zmrtest::makePkcs7Base64(attached), kContent, 0, signing,
       same(ok)},
      {"factory, SHA-1", f->all, zmrtest::makePkcs7Base64(sha1), kContent, 0, signing, same(ok)},
      {"factory, over a digest", f->all, signedBy(pki.endUser), sha256Digest, 1, authentication, same(ok)},
      {"factory, two signers", f->all, zmrtest::makePkcs7Base64(twoSigners), kContent, 0, signing, same(ok)},
      {"two signers, the second expired", f->all, secondExpired, kContent, 0, signing, {ok, expired, expired}},
      {"two signers, the second without nonRepudiation", f->all, secondAuthOnly, kContent, 0, signing, same(usage)},
      {"two signers, the second's signature forged", f->all, secondForged, kContent, 0, signing,
       same({5007, kBadSignature})},
      {"two signers, the second over other content", f->all, secondOtherDigest, kContent, 0, signing,
       same({12003, kBadSignature})},
      {"cms, detached, SHA-1", f->all, opensslSigned("cms", pki.endUser, kContent, "-md sha1"), kContent, 0,
       signing, same(ok)},
      {"cms, attached, SHA-256", f->all, opensslSigned("cms", pki.endUser, kContent, "-md sha256 -nodetach"),
       std::nullopt, 0, signing, same(ok)},
      {"cms, without attributes", f->all, opensslSigned("cms", pki.endUser, kContent, "-md sha256 -noattr"),
       kContent, 0, signing, same(ok)},
      {"smime, detached, SHA-256", f->all, opensslSigned("smime", pki.endUser, kContent, "-md sha256"), kContent,
       0, signing, same(ok)},
      {"smime, attached, SHA-1", f->all, opensslSigned("smime", pki.endUser, kContent, "-md sha1 -nodetach"),
       std::nullopt, 0, signing, same(ok)},
      {"expired signer", f->all, signedBy(f->expiredUser), kContent, 0, signing, {ok, expired, expired}},
      {"expired intermediate", f->all, signedBy(f->userOfExpiredCa, {f->expiredCa.get()}), kContent, 0, signing,
       {ok, expired, expired}},
      {"bad CA signature", f->all, signedBy(f->impostorUser), kContent, 0, signing, same(badSig)},
      {"bad root self-signature", f->broken, signedBy(f->userOfBrokenRoot, {f->caOfBrokenRoot.get()}), kContent,
       0, signing, {badSig, skip, skip}},
      {"leaf only", f->rootOnly, signedBy(pki.endUser), kContent, 0, signing, same(noIssuer)},
      {"policy not granted", f->narrow, signedBy(pki.endUser), kContent, 0, signing, {ok, notGranted, ok}},
      {"policy checked before any chain", f->narrow, signedBy(f->expiredUser), kContent, 0, signing,
       {ok, notGranted, expired}},
      {"no nonRepudiation for {2}", f->all, signedBy(f->authOnly), kContent, 0, signing, same(usage)},
      {"no digitalSignature for {1}", f->all, signedBy(f->signOnly), kContent, 0, authentication, same(usage)},
      {"digitalSignature for {1}", f->all, signedBy(f->authOnly), kContent, 0, authentication, same(ok)},
      {"not base64", f->all, "not base64!", kContent, 0, signing,
       same({21002, kPrefix + "An error occured trying to base64 decode the pkcs7 input.\n"})},
      {"not a PKCS#7", f->all, zmrtest::toBase64("certainly not DER"), kContent, 0, signing,
       same({5001, kPrefix + "An error occured trying to parse the der encoded pkcs7 to an pkcs7 structure.\n"})},
      {"subject key identifier as signer", f->all,
       opensslSigned("cms", pki.endUser, kContent, "-md sha256 -keyid"), kContent, 0, signing,
       same({5001, kPrefix + "An error occured trying to parse the der encoded pkcs7 to an pkcs7 structure.\n"})},
      {"not signedData", f->all, zmrtest::toBase64(dataTyped), kContent, 0, signing,
       same({5002, kPrefix + "The type of the pkcs7 is not signed.\n"})},
      {"detached without data", f->all, signedBy(pki.endUser), std::nullopt, 0, signing,
       same({5003, kPrefix + "No data to verify.\n"})},
      {"signedData type without its content", f->all, zmrtest::toBase64(der::seq(der::oid("1.2.840.113549.1.7.2"))), kContent, 0,
       signing, same({5004, kPrefix + "No signers information in pkcs7.\n"})},
      {"no SignerInfo", f->all, zmrtest::makePkcs7Base64(noSigners), kContent, 0, signing,
       same({5004, kPrefix + "No signers information in pkcs7.\n"})},
      {"signer certificate missing", f->all, zmrtest::makePkcs7Base64(withoutCert), kContent, 0, signing,
       same({5005, kPrefix + "The pkcs7 does not contain any signers!.\n"})},
      {"cms without certificates", f->all, opensslSigned("cms", pki.endUser, kContent, "-md sha256 -nocerts"),
       kContent, 0, signing, same({5005, kPrefix + "The pkcs7 does not contain any signers!.\n"})},
      {"wrong data", f->all, signedBy(pki.endUser), "other content", 0, signing, same({12003, kBadSignature})},
      {"digest over 64 bytes", f->all, signedBy(pki.endUser), std::string(65, 'd'), 1, signing,
       same({12005, kBadSignature})},
      {"SHA-512", f->all, zmrtest::makePkcs7Base64(sha512), kContent, 0, signing, same({5007, kBadSignature})},
      {"session without configuration", f->noConfig, signedBy(pki.endUser), kContent, 0, signing,
       same({2004, kPrefix + "An error occured finding the truststore parameter in Zelmor configuration file.\n"})},
      {"closed session", 999, signedBy(pki.endUser), kContent, 0, signing, same({2009, ""})},
  };
  for (const Case& c : cases) {
    for (int m = 0; m < 3; ++m) {
      const Expect& e = c.expect[static_cast<size_t>(m)];
      if (e.code == kSkip) continue;
      SCOPED_TRACE(c.name + ", mode " + std::to_string(static_cast<int>(kModes[m])));
      const unsigned char* data =
          c.data ? reinterpret_cast<const unsigned char*>(c.data->data()) : nullptr;
      size_t length = c.data ? c.data->size() : 0;
      setlasterror(0, "left over\n");
      int rc = verifydata(c.session, c.pkcs7, data, length, static_cast<DataIs>(c.dataisdigest), c.usages.data(),
                          static_cast<int>(c.usages.size()), kModes[m]);
      std::string error = zmrtest::takeRecentError();
      EXPECT_EQ(e.code, rc) << error;
      if (e.code == 2009) continue;  // the session check runs first: the old text stays
      EXPECT_EQ(e.line, lastLine(error)) << error;
      EXPECT_EQ(std::string::npos, error.find("left over")) << error;
    }
  }
}

TEST_F(VerifyData, LeavesTheSharedStoreAsItWas) {
  // Mode 0 skips dates on its own store context only: a later mode 1 call
  // on the same session still sees the expiry.
  std::string expired = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(f->expiredUser, kContent));
  const int usages[] = {kUsageSigning};
  const auto* data = reinterpret_cast<const unsigned char*>(kContent.data());
  ASSERT_EQ(0, verifydata(f->all, expired, data, kContent.size(), DataIs::content, usages, 1, ChainCheck::noDates)) << zmrtest::takeRecentError();
  EXPECT_EQ(5007, verifydata(f->all, expired, data, kContent.size(), DataIs::content, usages, 1, ChainCheck::policy));
  X509_STORE* store = nullptr;
  ASSERT_EQ(0, gettruststore(*zmrtest::sessionState(f->all), &store));
  EXPECT_EQ(0ul, X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(store)) &
                     (X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_CHECK_SS_SIGNATURE));
}

}  // namespace
}  // namespace zmr
