// Under allocation failure a call fails or hands out a whole, correct
// result: a signature returned with 0 verifies over the data, the version
// text holds all its items, a form posted to a central server carries all
// its fields. Each sweep fails every allocation of one call in turn.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <memory>
#include <mutex>
#include <utility>
#include <string>

#include "allocfail/failingalloc.h"
#include "support/apitest.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/sdmstandin.h"
#include "support/softhsm.h"
#include "support/vastandin.h"
#include "support/verifiers.h"

namespace {

using allocfail::kCxx;
using allocfail::kOpenssl;

#if !defined(ZMR_CRYPTO_SWEEP_STRIDE)
#define ZMR_CRYPTO_SWEEP_STRIDE 1
#endif
// Every how many call stacks a forked sweep runs (tests/services/extra.cmake).
constexpr unsigned kStride = ZMR_CRYPTO_SWEEP_STRIDE;

bool failed() { return ::testing::Test::HasFailure(); }

TEST(AllocationFailure, VersionTextIsWholeOrNotHandedOut) {
  char* text = nullptr;
  ASSERT_EQ(zmr_getversioninfo(&text), 0);
  const std::string whole = zmrtest::take(text);
  uint64_t runs = allocfail::sweep(
      kCxx | kOpenssl, [&] { return zmr_getversioninfo(&text); },
      [&](int rc, uint64_t n, bool) {
        std::string got = zmrtest::take(text);
        if (rc == 0) {
          EXPECT_EQ(got, whole) << "allocation " << n << " failed";
        } else {
          EXPECT_EQ(rc, 33001);
          EXPECT_EQ(got, "");
        }
        return !failed();
      });
  EXPECT_GT(runs, 7u);
}

class SigningUnderAllocationFailure : public ::testing::Test {
 protected:
  void TearDown() override { std::ignore = zmr_finalize(); }

  // Signs with zmr_signdata and zmr_signxml under every failure in turn.
  void sweepSigning(int session, X509* signer) {
    const std::string data = "pay 100 to account 1234.56.78903";
    char* pkcs7 = nullptr;
    ASSERT_EQ(zmr_signdata(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &pkcs7), 0)
        << zmrtest::recentError();
    ASSERT_TRUE(zmrtest::pkcs7VerifiesWith(zmrtest::take(pkcs7), data, signer));
    uint64_t runs = allocfail::sweep(
        kCxx | kOpenssl,
        [&] { return zmr_signdata(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &pkcs7); },
        [&](int rc, uint64_t n, bool) {
          std::string signature = zmrtest::take(pkcs7);
          if (rc == 0) {
            EXPECT_TRUE(zmrtest::pkcs7VerifiesWith(signature, data, signer)) << "0 with allocation " << n << " failed";
          } else {
            EXPECT_EQ(signature, "");
          }
          return !failed();
        });

    const std::string xml = "<order>42</order>", xsl = "<xsl/>";
    const std::string envelope = "<ZelmorXML><ZMRXML>" + xml + "</ZMRXML><ZMRXSL>" + xsl + "</ZMRXSL></ZelmorXML>";
    // A whole signature takes some 60 allocations: far fewer means the
    // call gave up before it signed.
    EXPECT_GT(runs, 50u) << "the sweep stopped early";
    char* text = nullptr;
    runs = allocfail::sweep(
        kCxx | kOpenssl,
        [&] { return zmr_signxml(session, xml.data(), xml.size(), xsl.data(), xsl.size(), &pkcs7, &text); },
        [&](int rc, uint64_t n, bool) {
          std::string signature = zmrtest::take(pkcs7), enveloped = zmrtest::take(text);
          if (rc == 0) {
            EXPECT_TRUE(zmrtest::pkcs7VerifiesWith(signature, envelope, signer)) << "0 with allocation " << n << " failed";
            EXPECT_EQ(zmrtest::fromBase64(enveloped), envelope);
          }
          return !failed();
        });
    EXPECT_GT(runs, 50u) << "the sweep stopped early";
  }
};

TEST_F(SigningUnderAllocationFailure, SoftwareKeys) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("allocfail-software", 2);
  ASSERT_EQ(zmr_initialize(), 0);
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  sweepSigning(session, m.pki.merchantSign.cert.get());
}

TEST_F(SigningUnderAllocationFailure, HsmKeys) {
  zmrtest::SoftHsm hsm;
  ASSERT_TRUE(zmrtest::makeSoftHsm("allocfail-hsm", hsm));
  ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
  zmrtest::TestPki pki = zmrtest::makePki(2);
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pki.merchantSign.key.get(), "sign", "10")) << hsm.log;
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pki.merchantAuth.key.get(), "auth", "11")) << hsm.log;
  zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles("allocfail-hsm", pki, [&](zmrtest::KeyFileSpec& spec) {
    spec.safes = zmrtest::hsmKeyFile(pki, "merchant-secret", "auth", "sign").safes;
  });
  // SoftHSM2 exits when its own allocation fails; the signature is made
  // there, the bytes it covers here.
  allocfail::spare("libsofthsm2");
  ASSERT_EQ(zmr_hsminitialize(zmrtest::kSoftHsmModule), 0);
  int session = -1;
  ASSERT_EQ(zmr_hsmopensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, "1234", -1),
            0)
      << zmrtest::recentError();
  sweepSigning(session, m.pki.merchantSign.cert.get());
  allocfail::spare(nullptr);
}

TEST(InitSessionUnderAllocationFailure, EveryPostedFormIsWhole) {
  zmrtest::SdmSetup setup = zmrtest::makeSdmSetup("allocfail-initsession", 2);
  ASSERT_TRUE(setup.centralKey) << "the build has no development central keys";
  ASSERT_EQ(zmr_initialize(), 0);
  const zmrtest::MerchantFiles& m = setup.merchant;
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  for (const auto& [k, v] : zmrtest::initSessionItems()) ASSERT_EQ(zmr_setinfoitem(session, k.c_str(), v.c_str()), 0);
  char *cdmuri = nullptr, *tid = nullptr, *cid = nullptr;
  auto run = [&] { return zmr_initsession(session, &cdmuri, &tid, &cid); };
  ASSERT_EQ(run(), 0) << zmrtest::recentError();
  for (char* p : {cdmuri, tid, cid}) std::ignore = zmr_free(p);

  // C++ allocations only: OpenSSL's would add every step of each TLS
  // handshake, thousands of runs.
  allocfail::sweep(kCxx, run, [&](int rc, uint64_t n, bool) {
    std::string a = zmrtest::take(cdmuri), b = zmrtest::take(tid), c = zmrtest::take(cid);
    if (rc == 0) {
      EXPECT_EQ(a, zmrtest::SdmStandin::kCdmUri) << "allocation " << n;
      EXPECT_EQ(b, zmrtest::SdmStandin::kTid) << "allocation " << n;
      EXPECT_EQ(c, zmrtest::SdmStandin::kCid) << "allocation " << n;
    }
    return !failed();
  });
  for (const zmrtest::SdmRequest& r : setup.sdm->requests()) {
    ASSERT_EQ(r.outer.size(), 3u);
    EXPECT_EQ(r.outer[0].first, "encKey");
    EXPECT_EQ(r.outer[1].first, "encData");
    EXPECT_EQ(r.outer[2].first, "encAuth");
    EXPECT_TRUE(r.opened) << r.why;
  }
  std::ignore = zmr_finalize();
}

// A status handed out with 0 is the answer the validation authority gave
// to a whole, signed request; the billing text is the one that request
// carried.
TEST(CertStatusUnderAllocationFailure, SuccessIsAVerifiedAnswerToAWholeRequest) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::VaSetup setup = zmrtest::makeVaSetup("allocfail-certstatus", pki, false);
  std::mutex mutex;
  std::string answered;
  setup.va->answer([&](const zmrtest::VaRequest& r) {
    std::string der = zmrtest::makeOcspBasicDer(setup.va->goodSpec(r));
    std::lock_guard<std::mutex> lock(mutex);
    answered = der;
    return zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(0, "1.3.6.1.5.5.7.48.1.1", der));
  });
  ASSERT_EQ(zmr_initialize(), 0);
  const zmrtest::MerchantFiles& m = setup.merchant;
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  const std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  // The items are reset while the allocator is disarmed: the exchange's
  // time is stored with every call.
  auto reset = [&] {
    std::ignore = zmr_removeinfoitems(session);
    return zmr_setinfoitem(session, "operation", "verifyAuth");
  };
  char *ocsp = nullptr, *nonce = nullptr;
  auto judge = [&](int rc, uint64_t n, bool own) {
    std::string answer = zmrtest::take(std::exchange(ocsp, nullptr));
    std::string billing = zmrtest::take(std::exchange(nonce, nullptr));
    if (rc == 0) {
      std::optional<zmrtest::VaRequest> last = setup.va->lastRequest();
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(zmrtest::fromBase64(answer), answered) << "allocation " << n;
      if (!last) {
        ADD_FAILURE() << "0 without a request, allocation " << n;
      } else {
        const zmrtest::VaRequest& r = *last;
        EXPECT_TRUE(r.decoded && r.signatureValid) << "allocation " << n << ": " << r.why;
        EXPECT_EQ(r.extensions.size(), 3u) << "allocation " << n;
        if (!own) {
          EXPECT_EQ(r.extension(zmrtest::kOidBilling).value_or(""), billing) << "allocation " << n;
        }
      }
    }
    EXPECT_EQ(reset(), 0);
    return !failed();
  };
  ASSERT_EQ(reset(), 0);
  ASSERT_EQ(zmr_getcertstatuswithnonce(session, pkcs7.c_str(), &ocsp, &nonce), 0) << zmrtest::recentError();
  ASSERT_TRUE(judge(0, 0, false));

  uint64_t runs = allocfail::sweep(
      kCxx | kOpenssl, [&] { return zmr_getcertstatuswithnonce(session, pkcs7.c_str(), &ocsp, &nonce); },
      [&](int rc, uint64_t n, bool) { return judge(rc, n, false); });
  EXPECT_GT(runs, 500u) << "the sweep stopped early";
  runs = allocfail::sweep(
      kCxx, [&] { return zmr_getowncertstatus(session, &ocsp); },
      [&](int rc, uint64_t n, bool) { return judge(rc, n, true); });
  EXPECT_GT(runs, 30u) << "the sweep stopped early";
  std::ignore = zmr_finalize();
}

// The first status check of a session, each failure in a child process of
// its own: the responder's chain meets the session's trust store for the
// first time there, and a failure leaves nothing behind that fails the
// next check. The stand-in serves from a process of its own, so that no
// thread of this one is inside OpenSSL when a child is forked.
TEST(CertStatusUnderAllocationFailure, FirstCheckOfASessionLeavesItsTrustStoreSound) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::VaProcessSetup setup = zmrtest::makeVaProcessSetup("allocfail-certstatus-first", pki);
  ASSERT_EQ(zmr_initialize(), 0);
  const zmrtest::MerchantFiles& m = setup.merchant;
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  const std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  auto check = [&] {
    {
      allocfail::Pause paused;
      std::ignore = zmr_removeinfoitems(session);
      if (zmr_setinfoitem(session, "operation", "verifyAuth") != 0) return -1;
    }
    char* ocsp = nullptr;
    int rc = zmr_getcertstatus(session, pkcs7.c_str(), &ocsp);
    allocfail::Pause paused;
    zmrtest::take(ocsp);
    zmrtest::recentError();
    return rc;
  };
  allocfail::Forked f = allocfail::sweepforked([&](uint64_t n) {
    allocfail::Outcome o;
    allocfail::arm(kCxx | kOpenssl, n);
    std::ignore = check();
    o.reached = allocfail::disarm();
    if (int rc = check(); rc != 0) o.fault = "the next check without failures gave " + std::to_string(rc);
    return o;
  }, kStride);
  EXPECT_TRUE(f.faults.empty()) << f.describe();
  EXPECT_GT(f.runs * kStride, 300u) << f.describe();
  std::ignore = zmr_finalize();
}

}  // namespace
