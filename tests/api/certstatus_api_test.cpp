// The exported certificate-status functions: the argument frame, the
// answer and the billing text handed to the caller, also with a failure
// code.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zmr/zmr.h>

#include <string>

#include "support/apitest.h"
#include "support/vastandin.h"
#include "support/verifiers.h"

namespace {

class CertStatusApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    pki = zmrtest::makePki(2);
    setup = zmrtest::makeVaSetup("cs-api", pki, false);
    ASSERT_EQ(0, zmr_opensession(&session, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                                 setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr))
        << zmrtest::recentError();
    ASSERT_EQ(0, zmr_setinfoitem(session, "operation", "verifyAuth"));
    unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  void TearDown() override {
    munmap(unreadable, 4096);
    EXPECT_EQ(0, zmr_removeinfoitems(session));
    EXPECT_EQ(0, zmr_finalize());
  }
  zmrtest::TestPki pki;
  zmrtest::VaSetup setup;
  int session = -1;
  void* unreadable = nullptr;
};

TEST_F(CertStatusApi, ArgumentFrame) {
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  const char* p = pkcs7.c_str();
  auto* badtext = static_cast<const char*>(unreadable);
  auto** badout = static_cast<char**>(unreadable);
  char* out = nullptr;
  char* nonce = nullptr;
  int s = session;
  struct Case {
    const char* what;
    int code;
    int rc;
  } cases[] = {
      {"negative session", 33002, zmr_getcertstatus(-1, p, &out)},
      {"null pkcs7", 33002, zmr_getcertstatus(s, nullptr, &out)},
      {"unreadable pkcs7", 33003, zmr_getcertstatus(s, badtext, &out)},
      {"null out", 33002, zmr_getcertstatus(s, p, nullptr)},
      {"unreadable out", 33003, zmr_getcertstatus(s, p, badout)},
      {"nonce: negative session", 33002, zmr_getcertstatuswithnonce(-1, p, &out, &nonce)},
      {"nonce: null pkcs7", 33002, zmr_getcertstatuswithnonce(s, nullptr, &out, &nonce)},
      {"nonce: null out", 33002, zmr_getcertstatuswithnonce(s, p, nullptr, &nonce)},
      {"nonce: unreadable nonce", 33003, zmr_getcertstatuswithnonce(s, p, &out, badout)},
      {"own: negative session", 33002, zmr_getowncertstatus(-1, &out)},
      {"own: null out is probed", 33003, zmr_getowncertstatus(s, nullptr)},
      {"own: unreadable out", 33003, zmr_getowncertstatus(s, badout)},
      {"closed session", 2009, zmr_getcertstatus(999, p, &out)},
      {"own: closed session", 2009, zmr_getowncertstatus(999, &out)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, c.rc) << c.what;
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(nullptr, nonce);
  EXPECT_TRUE(setup.va->requests().empty());
}

TEST_F(CertStatusApi, AnswerAndBillingTextHandedOver) {
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  char* ocsp = nullptr;
  char* nonce = nullptr;
  ASSERT_EQ(0, zmr_setinfoitem(session, "traceId", "order-17"));
  EXPECT_EQ(0, zmr_getcertstatuswithnonce(session, pkcs7.c_str(), &ocsp, &nonce)) << zmrtest::recentError();
  std::string answer = zmrtest::take(ocsp), billing = zmrtest::take(nonce);
  ASSERT_EQ(1u, setup.va->requests().size());
  EXPECT_EQ(setup.va->requests()[0].extension(zmrtest::kOidBilling).value_or(""), billing);
  EXPECT_EQ(0u, billing.rfind("A;;", 0)) << billing;
  zmr::OcspBasicRespPtr basic = zmrtest::parseOcspBasic(zmrtest::fromBase64(answer));
  EXPECT_EQ(1, OCSP_resp_count(basic.get()));

  // Without a nonce pointer the same call works.
  EXPECT_EQ(0, zmr_getcertstatuswithnonce(session, pkcs7.c_str(), &ocsp, nullptr)) << zmrtest::recentError();
  EXPECT_NE("", zmrtest::take(ocsp));

  // A revoked certificate: the code, the answer and the billing text.
  setup.va->answer([&](const zmrtest::VaRequest& r) {
    zmrtest::OcspSpec spec = setup.va->goodSpec(r);
    spec.singles[0].status = V_OCSP_CERTSTATUS_REVOKED;
    return zmrtest::VaStandin::reply(spec);
  });
  EXPECT_EQ(13012, zmr_getcertstatuswithnonce(session, pkcs7.c_str(), &ocsp, &nonce));
  EXPECT_EQ("getcertstatus_getocspresponsestatus: The certificate in request is revoked.\n"
            "getcertstatus_getcertstatus: An error occured trying to retrieve the status in the ocsp response\n",
            zmrtest::recentError(session));
  EXPECT_NE("", zmrtest::take(ocsp));
  EXPECT_NE("", zmrtest::take(nonce));
  EXPECT_EQ(13012, zmr_getcertstatus(session, pkcs7.c_str(), &ocsp));
  EXPECT_NE("", zmrtest::take(ocsp));

  // A failure before the answer hands nothing over.
  setup.va->server().setBehaviour(zmrtest::Behaviour::reset);
  EXPECT_EQ(35011, zmr_getcertstatuswithnonce(session, pkcs7.c_str(), &ocsp, &nonce));
  EXPECT_EQ(nullptr, ocsp);
  EXPECT_NE("", zmrtest::take(nonce)) << "the billing text was sent";
}

}  // namespace
