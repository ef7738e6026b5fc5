// Character conversions and the certificate text, which have no exported
// function of their own.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "services/items/itemsops.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "store/sessionstore.h"
#include "support/storesession.h"

namespace zmr {
namespace {

struct TextServices : ::testing::Test {
  void SetUp() override { session = zmrtest::openStoreSession(); }
  void TearDown() override { freeSessions(); }
  int session = -1;
};

TEST_F(TextServices, Latin1ToUtf8) {
  std::string out;
  struct {
    std::string in, out;
  } cases[] = {{"\xe5", "\xc3\xa5"}, {"\xa0", "\xc2\xa0"}, {"", ""}, {"abc\xff", "abc\xc3\xbf"}};
  for (const auto& c : cases) {
    ASSERT_EQ(latin1toutf8(session, c.in, out), 0);
    EXPECT_EQ(out, c.out);
  }
  EXPECT_EQ(latin1toutf8(session + 1, "a", out), 2009);
}

TEST_F(TextServices, Utf8ToLatin1) {
  std::string out;
  struct {
    std::string in, out;
  } cases[] = {
      {"\xc3\xa5", "\xe5"},
      {"\xc2\xa0", "\xa0"},
      {"\xe2\x82\xac", "?"},          // euro sign
      {"\xf0\x9f\x98\x80x", "?x"},    // four-byte character
      {"\xc5\x93", "?"},              // outside ISO 8859-1
      {"a\xe2\x82", "a?"},            // cut short: never read past the text
      {"a\xc3", "a?"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(utf8tolatin1(session, c.in, out), 0);
    EXPECT_EQ(out, c.out);
  }
}

// Digests of texts longer than the pieces they are decoded in, broken into
// lines across the pieces' borders, and of the bytes they carry, against
// OpenSSL's digest of the bytes.
TEST_F(TextServices, DigestsOfTextsAndOfTheirBytesAgree) {
  auto expected = [](const std::string& bytes, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr);
    return base64_encode(digest, length);
  };
  for (size_t size : {1, 2, 3, 16383, 16384, 16385, 21846, 50001}) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(i * 131 + size));
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::string text = base64_encode(raw, bytes.size());
    std::string broken;
    for (size_t i = 0; i < text.size(); i += 76) broken.append(text, i, 76).append("\r\n");
    const std::string sha1 = expected(bytes, EVP_sha1()), sha256 = expected(bytes, EVP_sha256());
    for (const std::string* t : std::initializer_list<const std::string*>{&text, &broken}) {
      std::string a, b;
      ASSERT_EQ(hashdata(session, a, "sha1", *t), 0) << size;
      EXPECT_EQ(a, sha1) << size;
      ASSERT_EQ(hashdata(session, a, "md5", *t), 0) << size;
      EXPECT_EQ(a, expected(bytes, EVP_md5())) << size;
      ASSERT_EQ(hashdatapair(session, a, b, *t, nullptr), 0) << size;
      EXPECT_EQ(a, sha1) << size;
      EXPECT_EQ(b, sha256) << size;
    }
    std::string a, b;
    ASSERT_EQ(hashbytes(session, a, "sha256", raw, bytes.size()), 0);
    EXPECT_EQ(a, sha256) << size;
    ASSERT_EQ(hashbytespair(session, a, b, raw, bytes.size(), nullptr), 0);
    EXPECT_EQ(a, sha1) << size;
    EXPECT_EQ(b, sha256) << size;
    std::vector<unsigned char> digest;
    ASSERT_EQ(hashbytes(session, digest, "sha1", raw, bytes.size()), 0);
    EXPECT_EQ(base64_encode(digest.data(), digest.size()), sha1) << size;
  }
}

// A fault anywhere in a long text, or in its padding at the very end,
// fails the whole digest with the lines of a failed decoding; a pair fails
// as its first digest would.
TEST_F(TextServices, ADigestOfABadLongTextFailsAsADecodingDoes) {
  const std::string good = base64_encode(reinterpret_cast<const unsigned char*>(std::string(60000, 'q').data()), 60000);
  std::string late = good, padding = good + "=";
  late[50000] = '*';
  const std::string lines =
      "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n"
      "hashdata_hashdata: An error occured trying to base64 decode the base64 encoded data input.\n";
  for (const std::string* t : std::initializer_list<const std::string*>{&late, &padding}) {
    std::string a, b;
    bool second = true;
    EXPECT_EQ(hashdata(session, a, "sha256", *t), 21002);
    EXPECT_EQ(a, "");
    std::optional<std::string> error;
    getrecenterror(session, error);
    EXPECT_EQ(error.value_or(""), lines);
    EXPECT_EQ(hashdatapair(session, a, b, *t, &second), 21002);
    EXPECT_FALSE(second);
    getrecenterror(session, error);
    EXPECT_EQ(error.value_or(""), lines);
  }
  std::string a;
  EXPECT_EQ(hashdata(session, a, "sha3", good), 17001);
  EXPECT_EQ(hashbytes(session, a, "sha1", nullptr, 0), 21001);  // what encoding no bytes gives
}

TEST_F(TextServices, CertificateTextNeedsTheCertificate) {
  std::string out;
  EXPECT_EQ(getcertificate(session, 0, out), 2043);
  EXPECT_EQ(getcertificate(session, 1, out), 2041);
}

}  // namespace
}  // namespace zmr
