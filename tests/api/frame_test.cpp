// The argument frame of the exported functions: 33002 for a null required
// pointer or a negative number, 33003 for a pointer the process cannot read.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zmr/zmr.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Unreadable {
  Unreadable() { page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }
  ~Unreadable() { munmap(page, 4096); }
  void* page;
  const char* text() const { return static_cast<const char*>(page); }
  char** out() const { return static_cast<char**>(page); }
};

TEST(Frame, NullsNegativesAndUnreadablePointers) {
  Unreadable bad;
  char* out = nullptr;
  unsigned char* bytes = nullptr;
  uint64_t length = 0;
  int session = 0;
  struct Case {
    const char* name;
    std::function<int()> call;
    int code;
  } cases[] = {
      {"getinfoitem negative session", [&] { return zmr_getinfoitem(-1, nullptr, nullptr); }, 33002},
      {"getinfoitem null key", [&] { return zmr_getinfoitem(0, nullptr, &out); }, 33002},
      {"getinfoitem null out", [&] { return zmr_getinfoitem(0, "k", nullptr); }, 33002},
      {"getinfoitem unreadable key", [&] { return zmr_getinfoitem(0, bad.text(), &out); }, 33003},
      {"getinfoitem unreadable out", [&] { return zmr_getinfoitem(0, "k", bad.out()); }, 33003},
      {"getreportdata null out", [&] { return zmr_getreportdata(0, "k", nullptr); }, 33002},
      {"setinfoitem null value", [&] { return zmr_setinfoitem(0, "k", nullptr); }, 33002},
      {"setinfoitem unreadable value", [&] { return zmr_setinfoitem(0, "k", bad.text()); }, 33003},
      {"removeinfoitems negative", [&] { return zmr_removeinfoitems(-3); }, 33002},
      {"adddocumenttext null description", [&] { return zmr_adddocumenttext(0, "t", nullptr); }, 33002},
      {"adddocumentxml null xsl", [&] { return zmr_adddocumentxml(0, "<a/>", nullptr, "d"); }, 33002},
      {"adddocumentpdf unreadable", [&] { return zmr_adddocumentpdf(0, bad.text(), "d"); }, 33003},
      {"setsigneddata null", [&] { return zmr_setsigneddata(0, nullptr); }, 33002},
      {"getsigneddata negative index", [&] { return zmr_getsigneddata(0, -1, &out, &out); }, 33002},
      {"getsignatureandocsp null", [&] { return zmr_getsignatureandocsp(0, 0, &out, nullptr); }, 33002},
      {"getsignatureandfullocsp null", [&] { return zmr_getsignatureandfullocsp(0, 0, nullptr, &out); }, 33002},
      {"hashdata negative algorithm", [&] { return zmr_hashdata(0, &out, -1, "YQ=="); }, 33002},
      {"hashdata unknown algorithm", [&] { return zmr_hashdata(0, &out, 3, "YQ=="); }, 7001},
      {"hashdata unknown algorithm null data", [&] { return zmr_hashdata(0, &out, 3, nullptr); }, 33002},
      {"getrandom null out", [&] { return zmr_getrandom(0, nullptr, 20); }, 33002},
      {"base64encode null data", [&] { return zmr_base64encode(0, nullptr, 3, &out); }, 33002},
      {"base64decode null length", [&] { return zmr_base64decode(0, "YQ==", &bytes, nullptr); }, 33002},
      {"base64decode unreadable", [&] { return zmr_base64decode(0, bad.text(), &bytes, &length); }, 33003},
      {"removecrlf null", [&] { return zmr_removecrlf(0, nullptr, &out); }, 33002},
      {"getversioninfo null", [&] { return zmr_getversioninfo(nullptr); }, 33002},
      {"getrecenterror null", [&] { return zmr_getrecenterror(0, nullptr); }, 33002},
      {"free null", [&] { return zmr_free(nullptr); }, 33002},
      {"free unreadable", [&] { return zmr_free(bad.page); }, 33003},
      {"hsminitialize null", [&] { return zmr_hsminitialize(nullptr); }, 33002},
      {"hsminitialize unreadable", [&] { return zmr_hsminitialize(bad.text()); }, 33003},
      {"opensession null number", [&] { return zmr_opensession(nullptr, "k", "p", nullptr, "w", nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession null keyfile", [&] { return zmr_opensession(&session, nullptr, "p", nullptr, "w", nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession null password", [&] { return zmr_opensession(&session, "k", nullptr, nullptr, "w", nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession no webaddress", [&] { return zmr_opensession(&session, "k", "p", nullptr, nullptr, nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession no truststore", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, nullptr, "g", nullptr, nullptr); }, 33002},
      {"opensession unreadable proxy", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, "t", "g", bad.text(), nullptr); }, 33003},
      {"hsmopensession null pin", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, -1); }, 33002},
      {"rahsmopensession null pin", [&] { return zmr_rahsmopensession(&session, "k", "p", nullptr, -1); }, 33002},
      {"closesession negative", [&] { return zmr_closesession(-1); }, 33002},
      {"getsessionstoreinfo null", [&] { return zmr_getsessionstoreinfo(0, nullptr); }, 33002},
      {"freesessionstoreinfo null", [&] { return zmr_freesessionstoreinfo(0, nullptr); }, 33002},
      {"symmetricencrypt null key", [&] { return symmetricencrypt(0, nullptr, "YQ==", &out); }, 33002},
      {"symmetricdecrypt negative", [&] { return symmetricdecrypt(-1, "a", "b", &out); }, 33002},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.name;
}

TEST(Frame, AFrameFailureLeavesTheRecentErrorAlone) {
  // No session is open: the operations answer 2009 and write nothing, and
  // a frame failure never reaches them.
  char* out = nullptr;
  EXPECT_EQ(zmr_getinfoitem(0, "key", &out), 2009);
  EXPECT_EQ(zmr_getinfoitem(0, "key", nullptr), 33002);
  EXPECT_EQ(zmr_getrecenterror(-1, &out), 0);  // any number reaches the operation
  EXPECT_EQ(out, nullptr);
}

TEST(Frame, VersionNamesTheRealLibraries) {
  char* text = nullptr;
  ASSERT_EQ(zmr_getversioninfo(&text), 0);
  std::string v = text;
  zmr_free(text);
  EXPECT_EQ(v.rfind("[zelmorServerType=C][zelmorServerVersion=5.2.2][platform=LINUX][arch=64][opensslversion=OpenSSL 3.", 0), 0u) << v;
  EXPECT_NE(v.find("][expatversion=2."), std::string::npos) << v;
  EXPECT_NE(v.find("][compiler="), std::string::npos) << v;
  EXPECT_EQ(v.back(), ']');
}

}  // namespace
