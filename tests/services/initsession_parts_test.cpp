// The pieces of client session set-up on their own: the reply parser, the
// server-info and proof-of-possession texts and the form helpers.
#include <gtest/gtest.h>

#include "services/initsession/initsessionops.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;

std::string recent() { return zmrtest::peekRecentError(); }

std::vector<std::pair<std::string, std::string>> pairs(const stringmap& m) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& e : m.elements) out.emplace_back(e.key.value_or("<none>"), e.value.value_or("<none>"));
  return out;
}

TEST(InitSessionParts, ReplyParser) {
  using P = std::vector<std::pair<std::string, std::string>>;
  const P start = {{"dummy", "dummy"}, {"HTTPSTATUSCODE", "200"}};
  const struct {
    const char* name;
    std::string reply;
    int code;
    P added;  // after dummy and HTTPSTATUSCODE
  } cases[] = {
      {"fields in order", "HTTP/1.1 200 OK\r\nA: b\r\n\r\nencData=x%2By&encAuth=z", 0,
       {{"encData", "x+y"}, {"encAuth", "z"}}},
      {"stops at a field that does not decode", "HTTP/1.1 200 OK\r\n\r\na=1&b=%zz&c=3", 0, {{"a", "1"}}},
      {"empty body", "HTTP/1.1 200 OK\r\n\r\n", 0, {}},
      {"errorCode in the body", "HTTP/1.1 200 OK\r\n\r\nerrorCode=1234&x=y", 0, {{"errorCode", "1234"}}},
      {"errorCode in a header", "HTTP/1.1 200 OK\r\nX: errorCode:9876\r\n\r\nencData=a", 0, {{"errorCode", "9876"}}},
      // Every read stays inside the reply.
      {"errorCode cut short", "HTTP/1.1 200 OK\r\n\r\nerrorCode=12", 0, {{"errorCode", "12"}}},
      {"errorCode at the very end", "HTTP/1.1 200 OK\r\n\r\nerrorCode", 0, {{"errorCode", ""}}},
      {"status 404", "HTTP/1.1 404 Not Found\r\n\r\n", 43002, {}},
      {"status cut short", "HTTP/1.1 20", 43002, {}},
      {"no space", "HTTP/1.1", 43002, {}},
      {"nothing", "", 43002, {}},
      {"no end of headers", "HTTP/1.1 200 OK\r\nA: b\r\n", 43002, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // An exact-size copy, so that a read past the end shows under ASan.
    std::unique_ptr<char[]> exact(new char[c.reply.size()]);
    std::copy(c.reply.begin(), c.reply.end(), exact.get());
    stringmap map = createstringmapwithvalues("dummy", "dummy");
    EXPECT_EQ(c.code, parse_initsession_response(0, std::string_view(exact.get(), c.reply.size()), map));
    if (c.code != 0) continue;
    P expected = start;
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(expected, pairs(map));
  }
}

TEST(InitSessionParts, FormHelpers) {
  std::string buffer;
  EXPECT_EQ(0, add_url_key_value(buffer, "a key", "v&=/"));
  EXPECT_EQ("a+key=v%26%3D%2F", buffer);
  EXPECT_EQ(0, add_url_key_value(buffer, "empty", ""));
  EXPECT_EQ("a+key=v%26%3D%2F&empty=", buffer);
  EXPECT_EQ(10005, add_url_key_value(buffer, std::nullopt, "x"));
  EXPECT_EQ(10005, add_url_key_value(buffer, "x", std::nullopt));
  EXPECT_EQ("a+key=v%26%3D%2F&empty=", buffer);
  // Texts of any length grow the buffer.
  std::string big(100000, '\xe5');
  EXPECT_EQ(0, add_url_key_value(buffer, "big", big));
  EXPECT_EQ(23u + 5 + 300000, buffer.size());

  stringmap map = createstringmapwithvalues("operation", "x");
  std::string list = "junk";
  ASSERT_EQ(0, addelement(map, "popSignature", "s"));
  ASSERT_EQ(0, addelement(map, "nonce", "n"));
  ASSERT_EQ(0, addelement(map, "popParameters", ""));
  EXPECT_EQ(0, get_pop_parameters(map, list));
  EXPECT_EQ("operation,nonce,popParameters", list);
  EXPECT_EQ(0, get_pop_parameters(stringmap{}, list));
  EXPECT_EQ("", list);
}

class CertTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    session = zmrtest::openStoreSession();
    std::optional<std::string> discard;
    getlasterror(session, discard);
  }
  void TearDown() override { freeSessions(); }
  // An authentication certificate with a long issuer and common name
  // (stored raw: longer than the name-length limits of X.520).
  void longNames() {
    zmrtest::CertSpec issuer = zmrtest::issuingCaSpec();
    issuer.subject = {{"CN", std::string(3000, 'I'), V_ASN1_UTF8STRING}, {"O", std::string(2000, 'o'), V_ASN1_UTF8STRING}};
    zmrtest::TestCert ca = zmrtest::makeCert(issuer);
    zmrtest::CertSpec spec = zmrtest::merchantAuthSpec();
    spec.subject = {{"CN", std::string(4000, 'C') + " & Co", V_ASN1_UTF8STRING}};
    spec.serial = "123456789012345678901234567890";
    zmrtest::TestCert cert = zmrtest::makeCert(spec, &ca);
    X509_up_ref(cert.get());
    zmrtest::sessionState(session)->authcert.reset(cert.get());
  }
  int session = -1;
};

TEST_F(CertTexts, ServerInfoWithoutTimestamp) {
  longNames();
  std::string out;
  ASSERT_EQ(0, get_server_info(*zmrtest::sessionState(session), out)) << recent();
  ASSERT_EQ(0u, out.find("serverInfo="));
  std::string b64, text;
  ASSERT_TRUE(tx::formDecode(out.substr(11), b64));
  ASSERT_TRUE(tx::unb64(b64, text));
  tx::Form f;
  ASSERT_TRUE(tx::parseForm(text, f));
  std::vector<std::string> keys;
  for (const auto& p : f) keys.push_back(p.first);
  EXPECT_EQ((std::vector<std::string>{"zelmorServerType", "zelmorServerVersion", "platform", "arch", "certIssuer",
                                      "certSerial", "certCommonName"}),
            keys);
  EXPECT_EQ("123456789012345678901234567890", f[5].second);
  EXPECT_EQ(std::string(4000, 'C') + " & Co", f[6].second);
  EXPECT_NE(std::string::npos, f[4].second.find(std::string(3000, 'I')));

  // The same fields, with the timestamp, in the request's server info.
  std::string withtime;
  ASSERT_EQ(0, create_server_info(*zmrtest::sessionState(session), withtime)) << recent();
  ASSERT_TRUE(tx::unb64(withtime, text));
  ASSERT_TRUE(tx::parseForm(text, f));
  ASSERT_EQ(8u, f.size());
  EXPECT_EQ("timestamp", f[4].first);
  EXPECT_EQ(std::string(4000, 'C') + " & Co", f[7].second);
}

TEST_F(CertTexts, PopInfo) {
  longNames();
  std::string out, text;
  ASSERT_EQ(0, get_pop_info(*zmrtest::sessionState(session), out)) << recent();
  ASSERT_TRUE(tx::unb64(out, text));
  tx::Form f;
  ASSERT_TRUE(tx::parseForm(text, f));
  ASSERT_EQ(4u, f.size());
  EXPECT_EQ("issuer", f[0].first);
  EXPECT_EQ("serialnumber", f[1].first);
  EXPECT_EQ("123456789012345678901234567890", f[1].second);
  EXPECT_EQ("timestamp", f[2].first);
  EXPECT_EQ("000", f[2].second.substr(f[2].second.size() - 3));
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), std::stod(f[2].second) / 1000, 5);
  EXPECT_EQ("nonce", f[3].first);
  std::string nonce;
  ASSERT_TRUE(tx::unb64(f[3].second, nonce));
  EXPECT_EQ(20u, nonce.size());
}

TEST_F(CertTexts, NeedTheAuthenticationCertificate) {
  std::string out;
  EXPECT_EQ(2043, get_server_info(*zmrtest::sessionState(session), out));
  EXPECT_EQ("gettag_getserverinfo: The auth certificate could noe be found.\n", recent());
  EXPECT_EQ(2043, get_pop_info(*zmrtest::sessionState(session), out));
  EXPECT_NE(std::string::npos, recent().find("gettag_getpopinfo: The auth certificate could noe be found.\n"));
  EXPECT_EQ(2043, create_server_info(*zmrtest::sessionState(session), out));
  EXPECT_NE(std::string::npos, recent().find("initsession::create_server_info: Error fetching auth certificate."));
}

}  // namespace
}  // namespace zmr
