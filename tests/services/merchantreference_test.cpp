// Merchant references: the word lists a gateway reply must hold, how a
// reference is drawn from them, and the per-locale cache (a day's life, a
// refresh that fails, 20 locales), against the stand-in gateway over TLS
// with the clock and the random bytes in the test's hands.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "services/life/lifeops.h"
#include "services/mobile/mobileops.h"
#include "services/items/itemsops.h"
#include "store/threadstore.h"
#include "support/mobilestandin.h"
#include "support/recenterror.h"

namespace zmr {
namespace {

using zmrtest::MobileGatewayStandin;
namespace tx = zmrtest::tx;

std::string taken() { return zmrtest::takeRecentError(); }

std::string words(const std::string& prefix, int n) { return MobileGatewayStandin::wordList(prefix, n); }

std::string dictionaryBody(const std::optional<std::string>& list1, const std::optional<std::string>& list2) {
  std::string body = "statusCode=0";
  if (list1) body += "&dictionary1=" + tx::formEncode(*list1);
  if (list2) body += "&dictionary2=" + tx::formEncode(*list2);
  return body;
}

TEST(MerchantReferenceLists, WhatAReplyMustHold) {
  const std::string hundred = words("w", 100);
  const std::string longwords = words("averyveryverylongword", 100);
  const struct {
    const char* name;
    std::optional<std::string> list1, list2;
    int code;
  } cases[] = {
      {"100 words each", hundred, words("v", 100), 0},
      {"99 words in the first", words("w", 99), hundred, 38003},
      {"99 words in the second", hundred, words("v", 99), 38003},
      {"a word twice in the first", hundred + ",w7", hundred, 38003},
      {"a word twice in the second", hundred, "x," + hundred + ",x", 38003},
      {"an empty word twice", hundred + ",,", hundred, 38003},
      {"one empty word", hundred + ",", hundred, 0},
      {"the same words in both lists", hundred, hundred, 0},
      {"case tells words apart", hundred + ",A,a", hundred, 0},
      {"words over 9 characters", longwords, longwords, 0},
      {"no first list", std::nullopt, hundred, 38003},
      {"no second list", hundred, std::nullopt, 38003},
      {"empty lists", "", "", 38003},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    wordlists lists;
    EXPECT_EQ(c.code, readdictionary(dictionaryBody(c.list1, c.list2), lists));
  }
  // The field names are found without regard to case, the values decoded.
  wordlists lists;
  ASSERT_EQ(0, readdictionary("StatusCode=0&DICTIONARY2=" + tx::formEncode(hundred) + "&Dictionary1=" +
                                  tx::formEncode("a b,c%d," + words("w", 98)),
                              lists));
  EXPECT_EQ("a b", lists.words1[0]);
  EXPECT_EQ("c%d", lists.words1[1]);
  EXPECT_EQ(100u, lists.words2.size());
}

TEST(MerchantReferenceLists, PickingTheWords) {
  wordlists lists;
  ASSERT_EQ(0, readdictionary(dictionaryBody(words("first", 100), words("averyveryverylongword", 300)), lists));
  const struct {
    unsigned char bytes[4];
    const char* reference;
  } cases[] = {
      {{0x01, 0x02, 0x00, 0x05}, "first58 averyveryverylongword5"},  // 258 mod 100: the 59th word
      {{0x00, 0x00, 0x00, 0x00}, "first0 averyveryverylongword0"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, "first35 averyveryverylongword135"},  // 65535 mod 100, mod 300
      {{0x00, 0x63, 0x01, 0x2B}, "first99 averyveryverylongword299"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.reference, pickreference(lists, c.bytes));
}

// The seams: a clock the test sets and random bytes it queues.
std::atomic<int64_t> fakeNow{1700000000};
std::mutex randomMutex;
std::deque<unsigned char> queued;
bool randomFails = false;

int64_t fakeClock() { return fakeNow.load(); }
int fakeRandom(unsigned char* out, int count) {
  std::lock_guard<std::mutex> lock(randomMutex);
  if (randomFails) return 0;
  for (int i = 0; i < count; ++i) {
    out[i] = queued.empty() ? 0 : queued.front();
    if (!queued.empty()) queued.pop_front();
  }
  return 1;
}

class MerchantReference : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, initialize(nullptr));
    fakeNow = 1700000000;
    randomFails = false;
    queued.clear();
    setmerchantreferenceseams(fakeClock, fakeRandom);
    setup = zmrtest::makeMobileSetup("mref", 1);
    ASSERT_EQ(0, opensession(session, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                             setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             -1))
        << taken();
    gateway().setLists("en_GB", words("en", 100), words("gb", 100));
    gateway().setLists("nb_NO", words("nb", 150), words("no", 150));
    taken();
  }
  void TearDown() override {
    finalize();
    setmerchantreferenceseams(nullptr, nullptr);
  }
  MobileGatewayStandin& gateway() { return *setup.gateway; }
  // A reference with the given random bytes; "" and the code on failure.
  std::string reference(const std::string& locale, std::vector<unsigned char> bytes = {0, 0, 0, 0},
                        int expected = 0) {
    {
      std::lock_guard<std::mutex> lock(randomMutex);
      queued.assign(bytes.begin(), bytes.end());
    }
    std::string out = "stale";
    EXPECT_EQ(expected, generatemerchantreference(session, locale, out)) << locale;
    return out;
  }

  zmrtest::MobileSetup setup;
  int session = -1;
};

TEST_F(MerchantReference, FetchedOnceAndKeptForADay) {
  EXPECT_EQ("en58 gb5", reference("en_GB", {0x01, 0x02, 0x00, 0x05}));
  EXPECT_EQ("", taken());
  ASSERT_EQ(1u, gateway().requests().size());
  const zmrtest::GatewayRequest r = gateway().requests()[0];
  EXPECT_TRUE(r.utility);
  EXPECT_EQ("serverversion=5.2.2&action=getDictionary&locale=en_GB", r.http.body);

  gateway().setLists("en_GB", words("new", 100), words("lists", 100));
  fakeNow += 86400;
  EXPECT_EQ("en1 gb2", reference("en_GB", {0, 1, 0, 2}));
  EXPECT_EQ(1, gateway().dictionaryRequests("en_GB"));
  fakeNow += 1;  // now more than a day old: this call refreshes
  EXPECT_EQ("new1 lists2", reference("en_GB", {0, 1, 0, 2}));
  EXPECT_EQ(2, gateway().dictionaryRequests("en_GB"));
  EXPECT_EQ("new3 lists4", reference("en_GB", {0, 3, 0, 4}));
  EXPECT_EQ(2, gateway().dictionaryRequests("en_GB"));
}

TEST_F(MerchantReference, FailedRefreshAnswersFromTheOldListsAndWaits) {
  EXPECT_EQ("en0 gb0", reference("en_GB"));
  const struct {
    const char* name;
    zmrtest::HttpResponse reply;
  } failures[] = {
      {"refused", MobileGatewayStandin::reply("statusCode=9")},
      {"invalid lists", MobileGatewayStandin::reply(dictionaryBody(words("new", 99), words("lists", 100)))},
  };
  int requests = 1;
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    gateway().setUtilityReply("en_GB", f.reply);
    fakeNow += 86401;
    EXPECT_EQ("en0 gb0", reference("en_GB"));
    EXPECT_EQ(++requests, gateway().dictionaryRequests("en_GB"));
    fakeNow += 299;
    EXPECT_EQ("en0 gb0", reference("en_GB"));
    EXPECT_EQ(requests, gateway().dictionaryRequests("en_GB"));
    fakeNow += 1;
    EXPECT_EQ("en0 gb0", reference("en_GB"));
    EXPECT_EQ(++requests, gateway().dictionaryRequests("en_GB"));
    taken();
  }
  gateway().setLists("en_GB", words("new", 100), words("lists", 100));
  fakeNow += 300;
  EXPECT_EQ("new0 lists0", reference("en_GB"));
  EXPECT_EQ(++requests, gateway().dictionaryRequests("en_GB"));
}

TEST_F(MerchantReference, FailedFirstFetchLeavesNothing) {
  const std::string download =
      "generatemerchantreference_generatemerchantreference: An error occured during download of dictionaries.\n";
  const struct {
    const char* name;
    zmrtest::HttpResponse reply;
    zmrtest::Behaviour behaviour;
    std::string lines;
  } cases[] = {
      {"refused", MobileGatewayStandin::reply("statusCode=36"), zmrtest::Behaviour::normal,
       "mgmfetools_mgmfesend: Status code in response not OK.\n" + download},
      {"reset", {}, zmrtest::Behaviour::reset,
       "http_post: Connection error\nmgmfetools_mgmfesend: Error communicating with RAVUD\n" + download},
      {"99 words", MobileGatewayStandin::reply(dictionaryBody(words("a", 99), words("b", 100))),
       zmrtest::Behaviour::normal,
       "generatemerchantreference_getdictionaryfromserver: Failed to validate received dictionary.\n" + download},
      {"no second list", MobileGatewayStandin::reply(dictionaryBody(words("a", 100), std::nullopt)),
       zmrtest::Behaviour::normal,
       "generatemerchantreference_getdictionaryfromserver: Failed to validate received dictionary.\n" + download},
  };
  size_t requests = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gateway().setUtilityReply("en_GB", c.reply);
    gateway().server().setBehaviour(c.behaviour);
    EXPECT_EQ("", reference("en_GB", {0, 0, 0, 0}, 38002));
    EXPECT_EQ(c.lines, taken());
    std::string item;
    EXPECT_EQ(c.name == std::string("refused") ? 0 : 2022, popinfoitem(session, "mobileerr", item));
    removeallinfoitems(session);
    // No record was kept: the next call asks again (a reset request never
    // reaches the stand-in's handler, so the server's own count is used).
    EXPECT_EQ(++requests, gateway().server().requests().size());
  }
  gateway().server().setBehaviour(zmrtest::Behaviour::normal);
  gateway().setLists("en_GB", words("en", 100), words("gb", 100));
  EXPECT_EQ("en0 gb0", reference("en_GB"));
  EXPECT_EQ(++requests, gateway().server().requests().size());
}

TEST_F(MerchantReference, NoRandomBytes) {
  EXPECT_EQ("en0 gb0", reference("en_GB"));
  randomFails = true;
  EXPECT_EQ("", reference("en_GB", {}, 38001));
  EXPECT_EQ(
      "generatemerchantreference_generatemerchantreference: An error occured trying to generate random merchant "
      "reference.\n"
      "generatemerchantreference_generatemerchantreference: Failed to generate merchant reference.\n",
      taken());
}

TEST_F(MerchantReference, LocalesNeverMix) {
  // Locales are told apart exactly, case included.
  gateway().setLists("en_gb", words("lower", 100), words("case", 100));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ("en99 gb1", reference("en_GB", {0, 99, 0, 1}));
    EXPECT_EQ("nb99 no1", reference("nb_NO", {0, 99, 0, 1}));
    EXPECT_EQ("lower99 case1", reference("en_gb", {0, 99, 0, 1}));
  }
  for (const char* locale : {"en_GB", "nb_NO", "en_gb"}) EXPECT_EQ(1, gateway().dictionaryRequests(locale));
}

TEST_F(MerchantReference, TwentyLocalesAtMost) {
  for (int i = 0; i < 20; ++i) {
    std::string locale = "l" + std::to_string(i);
    gateway().setLists(locale, words(locale + "a", 100), words(locale + "b", 100));
    EXPECT_EQ(locale + "a0 " + locale + "b0", reference(locale));
  }
  gateway().setLists("l20", words("x", 100), words("y", 100));
  EXPECT_EQ("", reference("l20", {}, 38002));
  EXPECT_EQ("generatemerchantreference_generatemerchantreference: Unable to fetch dictionary from cache.\n", taken());
  EXPECT_EQ(0, gateway().dictionaryRequests("l20"));
  // The cached ones still serve; shut-down empties the cache.
  EXPECT_EQ("l7a1 l7b1", reference("l7", {0, 1, 0, 1}));
  EXPECT_EQ(0, cleanupdictionaries());
  EXPECT_EQ("x0 y0", reference("l20"));
}

TEST_F(MerchantReference, ClosedSession) {
  closesession(session);
  EXPECT_EQ("", reference("en_GB", {}, 2009));
  EXPECT_EQ(0u, gateway().requests().size());
}

}  // namespace
}  // namespace zmr
