// Readers and checks over shared certificates from many threads at once:
// they keep no state of their own, so every thread must see the same
// results and only its own recent error.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/fixtures.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

TEST(CertToolsConcurrency, SharedCertificatesGiveEveryThreadTheSameAnswers) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(pki.endUser);
  spec.signers[0].signingTimeDer = zmrtest::der::utcTime("300101000000Z");
  Pkcs7Ptr p7 = zmrtest::makePkcs7(spec);
  std::string p7text = zmrtest::makePkcs7Base64(spec);
  int session = zmrtest::openStoreSession();
  ASSERT_LT(session, kMaxSessions);
  zmrtest::sessionState(session)->properties.emplace_back("grantedpolicies", std::string(zmrtest::kPolicyPersonal) + ",1.2.3");

  auto run = [&](std::string& result) {
    std::string all, text;
    std::optional<std::string> time;
    for (int round = 0; round < 20; ++round) {
      all.clear();
      for (X509* c : {pki.endUser.get(), pki.merchantAuth.get(), pki.responder.get()}) {
        for (auto reader : {getsubjectname, getissuername, getcommonname, getuniqueid, getserialnumber,
                            getkeysize, getpolicyoid, getvalidtodate, getaialocation, getphonenumber,
                            getdateofbirth, getbankname, getkeyusage}) {
          int rc = reader(session, c, text);
          all += std::to_string(rc) + ":" + (rc == 0 ? text : "") + "|";
        }
        int days = 0;
        all += std::to_string(getdaysuntilexpire(session, c, days)) + "," + std::to_string(days / 10) + "|";
        all += std::to_string(isvalidpolicy(*zmrtest::sessionState(session), c, zmrtest::kPolicyResponder)) + "|";
      }
      all += std::to_string(getsigningtimelongstring(session, p7.get(), time)) + time.value_or("") + "|";
      all += std::to_string(issigningtimeincertvalidity(session, p7text)) + "|";
    }
    std::optional<std::string> error;
    getlasterror(session, error);
    result = all + error.value_or("");
  };

  std::string expected;
  run(expected);
  std::vector<std::string> results(8);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back(run, std::ref(r));
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, expected);
  freesession(session);
}

TEST(CertToolsConcurrency, KeyCacheHandsEveryThreadTheSameKey) {
  std::vector<zmr::EvpPkeyPtr> keys(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < keys.size(); ++i) threads.emplace_back([&, i] { keys[i] = zmrtest::testKey(1024, 90); });
  for (auto& t : threads) t.join();
  for (const auto& k : keys) EXPECT_EQ(EVP_PKEY_eq(k.get(), keys[0].get()), 1);
}

}  // namespace
}  // namespace zmr
