#include "misc/stringoperations.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "tools/systemtools.h"

namespace zmr {
namespace {

TEST(StringOperations, BoundedCopiesReportCuts) {
  char buf[4];
  EXPECT_EQ(zmr::strlcpy(buf, "abcdef", sizeof buf), 6u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(zmr::strlcpy(buf, "ab", sizeof buf), 2u);
  EXPECT_STREQ(buf, "ab");
  buf[0] = 'x';
  EXPECT_EQ(zmr::strlcpy(buf, "ab", 0), 2u);
  EXPECT_EQ(buf[0], 'x');  // size 0 writes nothing

  char cat[6] = "ab";
  EXPECT_EQ(zmr::strlcat(cat, "cd", sizeof cat), 4u);
  EXPECT_STREQ(cat, "abcd");
  EXPECT_EQ(zmr::strlcat(cat, "efg", sizeof cat), 7u);
  EXPECT_STREQ(cat, "abcde");
  char full[3] = {'a', 'b', 'c'};  // no NUL within size
  EXPECT_EQ(zmr::strlcat(full, "xy", sizeof full), 5u);
  EXPECT_EQ(full[2], 'c');
}

TEST(StringOperations, BoundedSearch) {
  struct {
    const char *text, *needle;
    int limit;
    int pos;  // -1: no match
  } cases[] = {
      {"abcd", "cd", 4, 2}, {"abcd", "cd", 3, -1}, {"ab", "abc", 2, -1},
      {"abcd", "", 0, 0},   {"abcd", "a", -1, -1}, {"ab", "b", 100, 1},  // limit beyond the text
  };
  for (const auto& c : cases) {
    const char* got = zmr::strnstr(c.text, c.needle, c.limit);
    if (c.pos < 0) {
      EXPECT_EQ(got, nullptr) << c.text << "/" << c.needle << "/" << c.limit;
    } else {
      EXPECT_EQ(got, c.text + c.pos) << c.text << "/" << c.needle << "/" << c.limit;
    }
  }
}

TEST(StringOperations, CaseInsensitiveComparisonIsAsciiOnly) {
  EXPECT_EQ(zmr::stricmp("Content-Length", "content-length"), 0);
  EXPECT_LT(zmr::stricmp("abc", "abcd"), 0);
  EXPECT_GT(zmr::stricmp("abcd", "abc"), 0);
  EXPECT_EQ(zmr::stricmp("", ""), 0);
  EXPECT_EQ(zmr::strincmp("abcX", "ABCY", 3), 0);
  EXPECT_NE(zmr::strincmp("abcX", "ABCY", 4), 0);
  EXPECT_EQ(zmr::strincmp("a", "b", 0), 0);

  // A Latin-1 locale would fold 0xC4 and 0xE4; the library must not.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  EXPECT_NE(zmr::stricmp("\xc4", "\xe4"), 0);
  std::string lower;
  EXPECT_EQ(tolowercase("AbC\xc4\xff", lower), 0);
  EXPECT_EQ(lower, "abc\xc4\xff");
  EXPECT_EQ(tolowercase(nullptr, lower), 27001);
  std::setlocale(LC_CTYPE, "C");
}

TEST(SystemTools, ClockConversionAndSleep) {
  int64_t now = getcurrenttimemillis();
  EXPECT_GT(now, 1700000000000LL);
  time_t t = 86400 * 365;
  struct tm tm;
  ASSERT_NE(gmtime_safe(&t, &tm), nullptr);
  EXPECT_EQ(tm.tm_year, 71);
  EXPECT_EQ(tm.tm_yday, 0);
  int64_t before = monotonicmillis();
  msleep(0);
  msleep(-5);
  EXPECT_LT(monotonicmillis() - before, 50);
  msleep(20);
  EXPECT_GE(monotonicmillis() - before, 19);
}

}  // namespace
}  // namespace zmr
