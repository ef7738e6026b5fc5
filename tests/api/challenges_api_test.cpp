// Authentication challenges and the secure channel through the exported
// functions: the merchant's answer to a client challenge (browser and
// mobile forms), the check of the client's answer, the channel text and
// its signature; the codes and their lines.
#define OPENSSL_SUPPRESS_DEPRECATED  // a failing random method, the only way to make the generator fail
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zmr/zmr.h>

#include <cctype>
#include <memory>
#include <string>

#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/gsm.h"
#include "support/merchant.h"
#include "support/txclient.h"

namespace {

namespace tx = zmrtest::tx;

constexpr const char* kWebaddress = "merchant.example,127.0.0.1";
// The last line of a recent error.
std::string lastLine(const std::string& text) {
  size_t start = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
  return start == std::string::npos ? text : text.substr(start + 1);
}

const std::string kZeroAndLineFeed("ch\x00\x0A" "allenge\x00\x0A", 13);

class Challenges : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    m = zmrtest::makeMerchantFiles("challenges", 2);
    ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    client = std::make_unique<zmrtest::TxClient>(m.pki, kWebaddress);
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  // zmr_authenticateserver; the texts it hands out, whatever the code.
  int authenticateServer(const std::string& challenge, const char* header, const char* flag, std::string& signature,
                         std::string& server) {
    char* s = nullptr;
    char* c = nullptr;
    int rc = zmr_authenticateserver(session, &s, &c, tx::b64(challenge).c_str(), header, flag);
    signature = zmrtest::take(s);
    server = zmrtest::take(c);
    return rc;
  }
  int createChannel(const std::string& pkcs7, std::string& signature, std::string& channel) {
    char* s = nullptr;
    char* c = nullptr;
    int rc = zmr_createsecurechannel(session, pkcs7.c_str(), &s, &c);
    signature = zmrtest::take(s);
    channel = zmrtest::take(c);
    return rc;
  }

  zmrtest::MerchantFiles m;
  int session = -1;
  std::unique_ptr<zmrtest::TxClient> client;
};

TEST_F(Challenges, TheBrowserChallengeIsRandomAndTheWebaddress) {
  for (const char* header : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(header == nullptr ? "no header" : "empty header");
    std::string signature, server, why;
    ASSERT_EQ(0, authenticateServer(kZeroAndLineFeed, header, "true", signature, server)) << zmrtest::recentError();
    EXPECT_TRUE(client->verifyDetached(signature, kZeroAndLineFeed, m.pki.merchantAuth.get(), true, why)) << why;
    std::string bytes;
    ASSERT_TRUE(tx::unb64(server, bytes));
    ASSERT_EQ(20 + std::string(kWebaddress).size(), bytes.size());
    EXPECT_EQ(kWebaddress, bytes.substr(20));
  }
}

TEST_F(Challenges, TheMobileChallengeIsTheHeaderForThePhone) {
  const std::string text = "Logg inn hos Test Merchant: \"Kj\xF8p\" [1] \xE7";
  const struct {
    const char* name;
    std::string header;
    const char* flag;
    std::string mapped;  // the header text the challenge holds
  } cases[] = {
      {"no flag", text, nullptr, zmrtest::toGsm(text)},
      {"flag false", text, "false", zmrtest::toGsm(text)},
      {"a last ( dropped", text + "(", "FALSE", zmrtest::toGsm(text)},
      {"text up to its zero byte", text + std::string("\0tail", 5), nullptr, zmrtest::toGsm(text)},
      {"framed", text + "(", "True", zmrtest::toGsm(text)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string signature, server, bytes, why;
    ASSERT_EQ(0, authenticateServer("client", tx::b64(c.header).c_str(), c.flag, signature, server))
        << zmrtest::recentError();
    EXPECT_TRUE(client->verifyDetached(signature, "client", m.pki.merchantAuth.get(), true, why)) << why;
    ASSERT_TRUE(tx::unb64(server, bytes));
    if (c.flag != nullptr && std::string(c.flag) == "True") {
      ASSERT_EQ(8 + c.mapped.size(), bytes.size());
      EXPECT_EQ('\x06', bytes[0]);
      EXPECT_EQ('\x04', bytes[7]);
      for (int i = 1; i < 7; ++i) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(bytes[i]))) << i;
      EXPECT_EQ(c.mapped, bytes.substr(8));
    } else {
      EXPECT_EQ(c.mapped, bytes);
    }
  }
}

TEST_F(Challenges, AHeaderWithoutTheMerchantStillHandsOutTheSignature) {
  for (const std::string& header : {std::string("Logg inn hos en annen"), std::string("Logg inn\0Test Merchant", 22)}) {
    std::string signature, server, why;
    EXPECT_EQ(16002, authenticateServer(kZeroAndLineFeed, tx::b64(header).c_str(), "true", signature, server));
    EXPECT_EQ(
        "authenticateserver_authenticateserver: The mobile server challenge does not contain the merchant's name.\n",
        zmrtest::recentError());
    EXPECT_EQ("", server);
    EXPECT_TRUE(client->verifyDetached(signature, kZeroAndLineFeed, m.pki.merchantAuth.get(), true, why)) << why;
  }
}

TEST_F(Challenges, TheClientsAnswerIsChecked) {
  const std::string challenge = kZeroAndLineFeed + tx::randomBytes(20);
  const std::string answer = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(m.pki.endUser, challenge));
  EXPECT_EQ(0, zmr_authenticateclient(session, answer.c_str(), tx::b64(challenge).c_str())) << zmrtest::recentError();
  // The bytes count up to the last: not a text ending at its zero byte.
  std::string other = challenge;
  other[3] = '\x0B';
  EXPECT_EQ(12003, zmr_authenticateclient(session, answer.c_str(), tx::b64(other).c_str()));
  EXPECT_EQ("authenticateclient_authenticateclient: An error occured trying to verify the data.\n",
            lastLine(zmrtest::recentError()));
  // A signing-only certificate does not authenticate.
  const std::string signing = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(m.pki.merchantSign, challenge));
  EXPECT_EQ(6002, zmr_authenticateclient(session, signing.c_str(), tx::b64(challenge).c_str()));
  EXPECT_EQ(21002, zmr_authenticateclient(session, answer.c_str(), "not base64"));
  EXPECT_EQ(
      "authenticateclient_authenticateclient: An error occured trying to base64 decode the input serverchallenge.\n",
      lastLine(zmrtest::recentError()));
}

// A client's PKCS#7 with the channel attribute, signed by cert.
std::string channelPkcs7(const zmrtest::TestCert& cert, const std::string& content = "order 42") {
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(cert, content);
  spec.signers[0].channel = "ZMR Channel";
  return zmrtest::makePkcs7Base64(spec);
}

TEST_F(Challenges, TheChannelTextBindsTheItemsInTheirOrder) {
  ASSERT_EQ(0, zmr_setinfoitem(session, "c_b", "2"));
  ASSERT_EQ(0, zmr_setinfoitem(session, "other", "not in the channel"));
  ASSERT_EQ(0, zmr_setinfoitem(session, "C_A", "1 & =raw"));
  ASSERT_EQ(0, zmr_setinfoitem(session, "abc_x", "3"));
  const std::string pkcs7 = channelPkcs7(m.pki.endUser);
  std::string signature, channel, text, der, why;
  ASSERT_EQ(0, createChannel(pkcs7, signature, channel)) << zmrtest::recentError();
  ASSERT_TRUE(tx::unb64(channel, text));
  ASSERT_TRUE(tx::unb64(pkcs7, der));
  EXPECT_EQ("h=" + tx::b64(zmrtest::digestOf(EVP_sha256(), der)) + "&c_b=2&c_a=1 & =raw&abc_x=3", text);
  // The end user's certificate is for signing too: the signing key signs.
  EXPECT_TRUE(client->verifyDetached(signature, text, m.pki.merchantSign.get(), false, why)) << why;
  // An authentication-only signer: the authentication key signs.
  ASSERT_EQ(0, createChannel(channelPkcs7(m.pki.merchantAuth), signature, channel)) << zmrtest::recentError();
  ASSERT_TRUE(tx::unb64(channel, text));
  EXPECT_TRUE(client->verifyDetached(signature, text, m.pki.merchantAuth.get(), false, why)) << why;
}

TEST_F(Challenges, TheDigestFollowsTheSignersKeySize) {
  ASSERT_EQ(0, zmr_setinfoitem(session, "c_amount", "10"));
  for (int bits : {1024, 2048}) {
    SCOPED_TRACE(bits);
    zmrtest::CertSpec spec = zmrtest::endUserSpec();
    spec.keyBits = bits;
    spec.keyIndex = 40;
    zmrtest::TestCert user = zmrtest::makeCert(spec, &m.pki.ca);
    std::string signature, channel, text;
    ASSERT_EQ(0, createChannel(channelPkcs7(user), signature, channel)) << zmrtest::recentError();
    ASSERT_TRUE(tx::unb64(channel, text));
    EXPECT_EQ(bits == 1024 ? 28u : 44u, text.find("&c_amount=") - 2);
  }
}

TEST_F(Challenges, CodesAndTheirLines) {
  const std::string channel = "createsecurechannel_createsecurechannel: ";
  const std::string server = "authenticateserver_authenticateserver: ";
  std::string signature, out;
  // No channel item at all.
  EXPECT_EQ(2022, createChannel(channelPkcs7(m.pki.endUser), signature, out));
  EXPECT_EQ(
      "createsecurechannel_calculate_channel_size: No channel parameters with the prefix \"c_\" was present in "
      "sessionstore\n" +
          channel + "An error occured trying to calculate the size of the channel. No channel data present in "
                    "sessionstore\n",
      zmrtest::recentError());
  EXPECT_EQ("", signature);
  ASSERT_EQ(0, zmr_setinfoitem(session, "c_amount", "10"));
  // A PKCS#7 without the channel attribute.
  EXPECT_EQ(12012, createChannel(zmrtest::makePkcs7Base64(zmrtest::pkcs7For(m.pki.endUser)), signature, out));
  EXPECT_EQ(channel + "The incoming pkcs#7 does not contain the ZMR Channel signed attribute.\n",
            lastLine(zmrtest::recentError()));
  // Not a PKCS#7.
  EXPECT_EQ(8001, createChannel(tx::b64("not a pkcs7"), signature, out));
  EXPECT_EQ(channel + "The pkcs7 doesn't have a keysize attribute.\n", lastLine(zmrtest::recentError()));
  // A signer of neither usage: the key-usage reader's lines, then the channel's.
  zmrtest::CertSpec spec = zmrtest::endUserSpec();
  spec.keyUsage = 0x20;  // keyEncipherment only
  spec.keyIndex = 41;
  EXPECT_EQ(6012, createChannel(channelPkcs7(zmrtest::makeCert(spec, &m.pki.ca)), signature, out));
  EXPECT_EQ("certtools_getkeyusage: The keyusage is the certificate is neither authenticate nor sign\n"
            "getpkcs7info_getpkcs7info: An error occured trying to retrieve the keyusage from the certificate\n" +
                channel + "Unable to extract keyusage from signing certificate in pkcs7.\n",
            zmrtest::recentError());
  EXPECT_EQ("", signature);
  // Not base64.
  EXPECT_EQ(21002, authenticateServer("", nullptr, nullptr, signature, out));
  EXPECT_EQ(server + "An error occured trying to base64 decode the clientchallenge.\n",
            lastLine(zmrtest::recentError()));
  char* s = nullptr;
  char* c = nullptr;
  EXPECT_EQ(21002, zmr_authenticateserver(session, &s, &c, tx::b64("x").c_str(), "%%", nullptr));
  EXPECT_EQ(server + "An error occured trying to base64 decode the authentication header.\n",
            lastLine(zmrtest::recentError()));
  zmrtest::take(s);  // signed before the header was read
  zmrtest::take(c);
}

// Makes every draw of one size from OpenSSL's generator fail while it
// lives; other draws are served by the default generator.
class FailingDraws {
 public:
  explicit FailingDraws(int size) {
    failsize = size;
    RAND_set_rand_method(&method);
  }
  ~FailingDraws() { RAND_set_rand_method(RAND_OpenSSL()); }

 private:
  static int bytes(unsigned char* out, int count) {
    if (count == failsize) return 0;
    return EVP_RAND_generate(RAND_get0_public(nullptr), out, static_cast<size_t>(count), 0, 0, nullptr, 0);
  }
  static int status() { return 1; }
  static inline int failsize = -1;
  RAND_METHOD method{nullptr, bytes, nullptr, nullptr, bytes, status};
};

TEST_F(Challenges, AGeneratorThatFailsGivesNoChallenge) {
  std::string signature, server, why;
  {
    FailingDraws draws(20);
    EXPECT_EQ(16001, authenticateServer("client", nullptr, nullptr, signature, server));
  }
  EXPECT_EQ(
      "authenticateserver_authenticateserver: An error occured trying to generate the 20 byte serverchallenge "
      "random.\n",
      zmrtest::recentError());
  EXPECT_EQ("", server);
  EXPECT_TRUE(client->verifyDetached(signature, "client", m.pki.merchantAuth.get(), true, why)) << why;
  {
    FailingDraws draws(1);
    EXPECT_EQ(38001,
              authenticateServer("client", tx::b64("Test Merchant").c_str(), "true", signature, server));
  }
  EXPECT_EQ(
      "generatemerchantreference_generatemerchantreference: An error occured trying to generate random merchant "
      "reference.\n",
      zmrtest::recentError());
  EXPECT_EQ("", server);
}

}  // namespace
