// Info items, documents, hashing, text and triple DES through the exported
// functions, checked against the openssl command line where it can say.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>

#include "support/apitest.h"
#include "support/merchant.h"
#include "support/tempdir.h"

namespace {

std::string hexbytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string b64(const std::string& bytes) {
  char* out = nullptr;
  EXPECT_EQ(0, zmr_base64encode(0, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &out));
  return zmrtest::take(out);
}

struct Services : ::testing::Test {
  static void SetUpTestSuite() {
    ASSERT_EQ(zmr_initialize(), 0);
    files = new zmrtest::MerchantFiles(zmrtest::makeMerchantFiles("services"));
    ASSERT_EQ(zmr_opensession(&session, files->keyfile.c_str(), files->password.c_str(), files->properties.c_str(),
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              0);
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(0, zmr_finalize());
    delete files;
  }
  void TearDown() override { EXPECT_EQ(0, zmr_removeinfoitems(session)); }
  static inline int session = -1;
  static inline zmrtest::MerchantFiles* files = nullptr;
};

TEST_F(Services, InfoItems) {
  ASSERT_EQ(zmr_setinfoitem(session, "OrderId", "first"), 0);
  ASSERT_EQ(zmr_setinfoitem(session, "ORDERID", "second"), 0);
  char* out = nullptr;
  ASSERT_EQ(zmr_getinfoitem(session, "orderid", &out), 0);
  EXPECT_EQ(zmrtest::take(out), "first");
  ASSERT_EQ(zmr_getreportdata(session, "OrderID", &out), 0);
  EXPECT_EQ(zmrtest::take(out), "first");
  out = reinterpret_cast<char*>(1);
  EXPECT_EQ(zmr_getinfoitem(session, "missing", &out), 2022);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(zmrtest::recentError(session),
            "getinfoitem_getinfoitem: An error occured trying to get the requested item from sessionstore.\n");
  EXPECT_EQ(zmrtest::recentError(session), "");
  EXPECT_EQ(zmr_removeinfoitems(session), 0);
  EXPECT_EQ(zmr_getinfoitem(session, "orderid", &out), 2022);
  EXPECT_EQ(zmr_setinfoitem(session + 1, "k", "v"), 2009);
}

TEST_F(Services, DocumentsAndSignedData) {
  char *a = nullptr, *b = nullptr;
  EXPECT_EQ(zmr_getsigneddata(session, 0, &a, &b), 2022);  // the looked-up head is empty
  EXPECT_EQ(zmr_setsigneddata(session, "c2lnbmVk"), 0);
  EXPECT_EQ(zmr_setsigneddata(session, "c2Vjb25k"), 0);
  EXPECT_EQ(zmr_adddocumenttext(session, "Pay 10 EUR", "invoice"), 0);  // fills the head's content
  EXPECT_EQ(zmr_adddocumentxml(session, "<a/>", "<xsl/>", "order"), 0);
  EXPECT_EQ(zmr_getsigneddata(session, 3, &a, &b), 2022);
  EXPECT_NE(zmrtest::recentError(session).find("getinfoitem::getsigneddata: No document on requested index.\n"),
            std::string::npos);
  EXPECT_EQ(zmr_getsignatureandfullocsp(session, 0, &a, &b), 2022);
  EXPECT_EQ(zmrtest::recentError(session), "getinfoitem::getsignatureandfullocsp: Full OCSP missing on requested index.\n");
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(zmr_removeinfoitems(session), 0);
  EXPECT_EQ(zmr_getsigneddata(session, 0, &a, &b), 2022);
}

TEST_F(Services, HashesMatchOpenssl) {
  std::string dir = zmrtest::makeTempDir("hash");
  std::string data = "The quick brown fox\n\x01\xff";
  zmrtest::writeFile(dir + "/data", data);
  char* b64 = nullptr;
  ASSERT_EQ(zmr_base64encode(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &b64), 0);
  std::string text = zmrtest::take(b64);
  struct {
    int algorithm;
    const char* openssl;
    size_t length;
  } cases[] = {{ZMR_HASH_SHA1, "sha1", 28}, {ZMR_HASH_MD5, "md5", 24}, {ZMR_HASH_SHA256, "sha256", 44}};
  for (const auto& c : cases) {
    char* digest = nullptr;
    ASSERT_EQ(zmr_hashdata(session, &digest, c.algorithm, text.c_str()), 0);
    std::string expected;
    zmrtest::runCommand(std::string("openssl dgst -") + c.openssl + " -binary '" + dir + "/data' | base64 -w0",
                        &expected);
    std::string got = zmrtest::take(digest);
    EXPECT_EQ(got, expected) << c.openssl;
    EXPECT_EQ(got.size(), c.length);
  }
  char* digest = nullptr;
  EXPECT_EQ(zmr_hashdata(session, &digest, ZMR_HASH_SHA256, "no*base64"), 21002);
  EXPECT_EQ(digest, nullptr);
  EXPECT_NE(zmrtest::recentError(session).find("hashdata_hashdata: An error occured trying to base64 decode"),
            std::string::npos);
}

TEST_F(Services, RandomBase64AndLineBreaks) {
  char* out = nullptr;
  ASSERT_EQ(zmr_getrandom(session, &out, 20), 0);
  std::string r1 = zmrtest::take(out);
  EXPECT_EQ(r1.size(), 28u);
  ASSERT_EQ(zmr_getrandom(session, &out, 20), 0);
  EXPECT_NE(zmrtest::take(out), r1);
  EXPECT_EQ(zmr_getrandom(session, &out, 0), 33001);
  EXPECT_EQ(zmr_getrandom(session, &out, 1ull << 32), 33001);  // never truncated to 0

  ASSERT_EQ(zmr_removecrlf(session, "a\r\nb\n c", &out), 0);
  EXPECT_EQ(zmrtest::take(out), "ab c");
  ASSERT_EQ(zmr_removecrlf(session, "\r\n\n", &out), 0);
  EXPECT_EQ(zmrtest::take(out), "");

  unsigned char* bytes = nullptr;
  uint64_t length = 99;
  ASSERT_EQ(zmr_base64decode(session, "YWJj\r\nZA==", &bytes, &length), 0);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), "abcd");
  EXPECT_EQ(0, zmr_free(bytes));
  EXPECT_EQ(zmr_base64decode(session, "YWJ", &bytes, &length), 21002);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(zmrtest::recentError(session),
            "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n"
            "base64decode_base64decode: An error occured trying to base 64 decode the data\n");
  EXPECT_EQ(zmr_base64encode(session, reinterpret_cast<const unsigned char*>(""), 0, &out), 21001);
}

TEST_F(Services, TripleDesMatchesOpenssl) {
  std::string dir = zmrtest::makeTempDir("tdes");
  const std::string keyhex = "0123456789abcdeffedcba9876543210";
  std::string key = b64(hexbytes(keyhex)), plain = "eight by", cipher;
  zmrtest::writeFile(dir + "/plain", plain);
  zmrtest::runCommand("openssl enc -des-ede-cbc -K " + keyhex + " -iv 0000000000000000 -in '" + dir +
                          "/plain' | base64 -w0",
                      &cipher);
  ASSERT_EQ(cipher.size(), 24u);  // 16 bytes: a full block of padding added
  char* out = nullptr;
  ASSERT_EQ(symmetricencrypt(session, key.c_str(), "ZWlnaHQgYnk=", &out), 0) << zmrtest::recentError(session);
  EXPECT_EQ(zmrtest::take(out), cipher);
  ASSERT_EQ(symmetricdecrypt(session, key.c_str(), cipher.c_str(), &out), 0);
  EXPECT_EQ(zmrtest::take(out), "ZWlnaHQgYnk=");

  // 24 key bytes: only the first 16 count.
  std::string longkey = b64(hexbytes(keyhex + "aaaaaaaaaaaaaaaa"));
  ASSERT_EQ(symmetricdecrypt(session, longkey.c_str(), cipher.c_str(), &out), 0);
  EXPECT_EQ(zmrtest::take(out), "ZWlnaHQgYnk=");

  std::string otherkey = b64(hexbytes("00112233445566778899aabbccddeeff"));
  int rc = symmetricdecrypt(session, otherkey.c_str(), cipher.c_str(), &out);
  EXPECT_TRUE(rc == 23003 || rc == 0);
  if (rc == 23003) {
    EXPECT_EQ(zmrtest::recentError(session), "symmetricdecrypt::symmetricdecrypt: An error occured trying to finish the decrypt function.\n");
  }
  EXPECT_EQ(symmetricencrypt(session, "YWJj", "ZWlnaHQgYnk=", &out), 33002);  // 3-byte key
  EXPECT_EQ(symmetricencrypt(session, key.c_str(), "", &out), 21002);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
