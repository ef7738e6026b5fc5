// SDOs made, sealed, written and validated on several threads at once over
// one merchant session: its signing key, its trust store, and each thread's
// own recent error and info items.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/apitest.h"
#include "support/merchant.h"
#include "support/sdosigning.h"
#include "support/sdotrees.h"
#include "support/verifiers.h"

namespace {

TEST(SdoOperationsConcurrency, ThreadsMakeSealAndValidateOnOneSession) {
  ASSERT_EQ(0, zmr_initialize());
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("sdo-threads", 2);
  int s = -1;
  ASSERT_EQ(0, zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr))
      << zmrtest::recentError();
  const std::string document = "A contract signed on many threads.";
  const std::string data = zmrtest::toBase64(document);
  const std::string userPkcs7 = zmrtest::sdoSignature(m.pki.endUser, document);
  const std::string userOcsp = zmrtest::goodOcsp(m.pki, m.pki.endUser.get());
  const std::string merchantOcsp = zmrtest::goodOcsp(m.pki, m.pki.merchantSign.get());
  char* signature = nullptr;
  ASSERT_EQ(0, zmr_signdata(s, reinterpret_cast<const unsigned char*>(document.data()), document.size(), &signature));
  const std::string merchantPkcs7 = zmrtest::take(signature);

  std::atomic<int> wrong{0};
  auto check = [&](bool ok) {
    if (!ok) ++wrong;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // The ISO profile on some threads changes nothing of their seals.
      if (t % 2 == 1) check(zmr_setinfoitem(s, "cmsFormat", "PKCS7_ISO320001") == 0);
      for (int round = 0; round < 2; ++round) {
        seidsdo** classic = nullptr;
        check(zmr_createsdo(s, &classic, data.c_str(), "text/plain", "Contract", userPkcs7.c_str(),
                            merchantPkcs7.c_str(), userOcsp.c_str(), merchantOcsp.c_str()) == 0);
        char* xml = nullptr;
        check(classic != nullptr && zmr_sdotoxmlex(s, classic, &xml) == 0);
        const std::string text = zmrtest::take(xml);
        check(zmr_sdoxmlvalidate(s, text.c_str(), 0) == 0);
        check(zmr_sdofree(s, classic) == 0);

        zmrtest::SignatureList list;
        list.add(userPkcs7, userOcsp);
        seidsdo** dynamic = nullptr;
        check(zmr_createdynamicsdo(s, &dynamic, data.c_str(), "text/plain", "Contract", list.link()) == 0);
        check(zmr_sdoadddata(s, dynamic, data.c_str()) == 0);
        check(zmr_sdoseal(s, dynamic, merchantOcsp.c_str(), nullptr) == 0);
        check(zmr_dynamicsdovalidate(s, dynamic, nullptr, 1, 0) == 0);
        check(zmr_sdoseal(s, dynamic, userOcsp.c_str(), nullptr) == 20025);
        check(zmrtest::recentError(s).ends_with("sdoseal_sdoseal: An error occured trying to validate the sdo.\n"));
        check(zmr_sdofree(s, dynamic) == 0);
      }
      std::ignore = zmr_removeinfoitems(s);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, wrong);
  std::ignore = zmr_finalize();
}

}  // namespace
