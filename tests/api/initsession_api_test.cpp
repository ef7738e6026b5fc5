// zmr_initsession end to end as a merchant drives it: exported functions
// only, against the stand-in Rirorer Idor Azoriva over TLS, directly and
// through a proxy.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>

#include "support/apitest.h"
#include "support/sdmstandin.h"

namespace {

using zmrtest::SdmStandin;

std::string recenterror(int session) { return zmrtest::recentError(session); }

struct InitSessionApi : ::testing::Test {
  void SetUp() override { ASSERT_EQ(0, zmr_initialize()); }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }
  int open(const zmrtest::SdmSetup& s) {
    int session = -1;
    EXPECT_EQ(0, zmr_opensession(&session, s.merchant.keyfile.c_str(), s.merchant.password.c_str(),
                                 s.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        << recenterror(-1);
    for (const auto& [k, v] : zmrtest::initSessionItems()) EXPECT_EQ(0, zmr_setinfoitem(session, k.c_str(), v.c_str()));
    return session;
  }
};

TEST_F(InitSessionApi, DirectAndThroughTheProxyInBothEnvironments) {
  ASSERT_TRUE(zmrtest::devCentralKey(1)) << "the build has no development central keys (cmake/centralkeys.cmake)";
  for (int environment : {1, 2}) {
    for (bool proxied : {false, true}) {
      SCOPED_TRACE(testing::Message() << "environment " << environment << (proxied ? " via proxy" : ""));
      zmrtest::ProxyStandin proxy;
      zmrtest::Properties extra;
      if (proxied) extra = {{"httpproxyserver", "127.0.0.1"}, {"httpproxyport", std::to_string(proxy.port())}};
      zmrtest::SdmSetup s = zmrtest::makeSdmSetup("initsessionapi", environment, extra);
      int session = open(s);
      char *cdmuri = nullptr, *tid = nullptr, *cid = nullptr;
      ASSERT_EQ(0, zmr_initsession(session, &cdmuri, &tid, &cid)) << recenterror(session);
      EXPECT_STREQ(SdmStandin::kCdmUri, cdmuri);
      EXPECT_STREQ(SdmStandin::kTid, tid);
      EXPECT_STREQ(SdmStandin::kCid, cid);
      EXPECT_EQ(0, zmr_free(cdmuri));
      EXPECT_EQ(0, zmr_free(tid));
      EXPECT_EQ(0, zmr_free(cid));
      ASSERT_EQ(1u, s.sdm->requests().size());
      EXPECT_TRUE(s.sdm->requests()[0].signatureValid);
      EXPECT_EQ(proxied ? 1u : 0u, proxy.requestLines().size());
      EXPECT_EQ(0, zmr_closesession(session));
    }
  }
}

TEST_F(InitSessionApi, ReferencesReadBeforeAFailureAreHandedOut) {
  zmrtest::SdmSetup s = zmrtest::makeSdmSetup("initsessionapi-partial", 1);
  s.sdm->answer([](const zmrtest::SdmRequest& r) {
    zmrtest::tx::Form payload = SdmStandin::goodPayload(r);
    payload.pop_back();  // no cid
    return SdmStandin::reply(r, payload);
  });
  int session = open(s);
  char *cdmuri = nullptr, *tid = nullptr, *cid = reinterpret_cast<char*>(1);
  EXPECT_EQ(43008, zmr_initsession(session, &cdmuri, &tid, &cid));
  EXPECT_STREQ(SdmStandin::kCdmUri, cdmuri);
  EXPECT_STREQ(SdmStandin::kTid, tid);
  EXPECT_EQ(nullptr, cid);
  EXPECT_EQ(0, zmr_free(cdmuri));
  EXPECT_EQ(0, zmr_free(tid));
  EXPECT_EQ("initsession::initsession: Response from Rirorer Idor Azoriva did not contain clientId.\n",
            recenterror(session));
}

TEST_F(InitSessionApi, ArgumentFrame) {
  char* a = nullptr;
  EXPECT_EQ(33002, zmr_initsession(-1, &a, &a, &a));
  EXPECT_EQ(33002, zmr_initsession(0, nullptr, &a, &a));
  EXPECT_EQ(33002, zmr_initsession(0, &a, nullptr, &a));
  EXPECT_EQ(33002, zmr_initsession(0, &a, &a, nullptr));
  EXPECT_EQ(2009, zmr_initsession(999, &a, &a, &a));
}

}  // namespace
