// zmr_decrypttransactiondata as a merchant calls it: a session opened from
// a key file, a message made by the test-side client.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zmr/zmr.h>

#include <functional>
#include <string>

#include "support/merchant.h"
#include "support/apitest.h"
#include "support/txscheme.h"

namespace {

namespace tx = zmrtest::tx;

std::string recenterror(int session) { return zmrtest::recentError(session); }

struct DecryptApi : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    files = zmrtest::makeMerchantFiles("txapi");
    ASSERT_EQ(0, zmr_opensession(&session, files.keyfile.c_str(), files.password.c_str(), files.properties.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        << recenterror(-1);
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }
  zmrtest::MerchantFiles files;
  int session = -1;
};

TEST_F(DecryptApi, HandsOutPlainTextAndBaseKey) {
  for (const char* extra : {static_cast<const char*>(nullptr), "extra text"}) {
    std::string key;
    std::optional<std::string> x;
    if (extra != nullptr) x = extra;
    tx::Envelope e = tx::clientRequest(files.pki.merchantAuth.key.get(), "carrier=NC_ZMR20", "initAuth", x, "", &key);
    char* data = nullptr;
    char* basekey = nullptr;
    ASSERT_EQ(0, zmr_decrypttransactiondata(session, e.encKey.c_str(), e.encData.c_str(), e.encAuth.c_str(),
                                            "initAuth", extra, &data, &basekey))
        << recenterror(session);
    EXPECT_STREQ("carrier=NC_ZMR20", data);
    EXPECT_EQ(tx::b64(key), basekey);
    EXPECT_EQ(0, zmr_free(data));
    EXPECT_EQ(0, zmr_free(basekey));
  }
  // A wrong tag hands out nothing.
  tx::Envelope e = tx::clientRequest(files.pki.merchantAuth.key.get(), "a", "initAuth", std::nullopt);
  char* data = reinterpret_cast<char*>(1);
  char* basekey = reinterpret_cast<char*>(1);
  EXPECT_EQ(40051, zmr_decrypttransactiondata(session, e.encKey.c_str(), e.encData.c_str(), e.encAuth.c_str(),
                                              "initSign", nullptr, &data, &basekey));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(nullptr, basekey);
  EXPECT_EQ("decrypttransactiondata_decrypttransactiondata: Failed to authenticate message.\n", recenterror(session));
}

TEST_F(DecryptApi, ArgumentFrame) {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, page);
  const char* bad = static_cast<const char*>(page);
  char** badout = static_cast<char**>(page);
  char* d = nullptr;
  char* k = nullptr;
  const struct {
    const char* name;
    std::function<int()> call;
    int code;
  } cases[] = {
      {"negative session", [&] { return zmr_decrypttransactiondata(-1, "a", "b", "c", "o", nullptr, &d, &k); }, 33002},
      {"null encKey", [&] { return zmr_decrypttransactiondata(session, nullptr, "b", "c", "o", nullptr, &d, &k); }, 33002},
      {"null encData", [&] { return zmr_decrypttransactiondata(session, "a", nullptr, "c", "o", nullptr, &d, &k); }, 33002},
      {"null encAuth", [&] { return zmr_decrypttransactiondata(session, "a", "b", nullptr, "o", nullptr, &d, &k); }, 33002},
      {"null operation", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", nullptr, nullptr, &d, &k); }, 33002},
      {"null data", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", "o", nullptr, nullptr, &k); }, 33002},
      {"null basekey", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", "o", nullptr, &d, nullptr); }, 33002},
      {"unreadable encKey", [&] { return zmr_decrypttransactiondata(session, bad, "b", "c", "o", nullptr, &d, &k); }, 33003},
      {"unreadable operation", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", bad, nullptr, &d, &k); }, 33003},
      {"unreadable extra", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", "o", bad, &d, &k); }, 33003},
      {"unreadable data", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", "o", nullptr, badout, &k); }, 33003},
      {"unreadable basekey", [&] { return zmr_decrypttransactiondata(session, "a", "b", "c", "o", nullptr, &d, badout); }, 33003},
      {"session not open", [&] { return zmr_decrypttransactiondata(session + 1, "a", "b", "c", "o", nullptr, &d, &k); }, 2009},
      {"bad base64 reaches the operation", [&] { return zmr_decrypttransactiondata(session, "!", "b", "c", "o", nullptr, &d, &k); }, 21002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.code, c.call());
  }
  munmap(page, 4096);
}

}  // namespace
