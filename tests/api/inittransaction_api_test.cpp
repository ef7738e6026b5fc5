// Transaction initialisation through the exported functions, against the
// simulated end user's client: every carrier and client version, in
// software and HSM sessions, each answer opened and judged by the client;
// the routing of requests; the codes and their recent-error lines.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <memory>
#include <string>

#include "support/apitest.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/softhsm.h"
#include "support/tempdir.h"
#include "support/txclient.h"

namespace {

namespace tx = zmrtest::tx;
using zmrtest::Carrier;
using zmrtest::MerchantItems;
using zmrtest::TxAnswer;
using zmrtest::TxDocument;
using zmrtest::TxRequest;

constexpr const char* kWebaddress = "merchant.example,127.0.0.1";

// The last count lines of a recent error.
[[maybe_unused]] std::string lastLines(const std::string& text, int count) {
  size_t end = text.size();
  size_t start = end;
  for (int i = 0; i <= count && start != std::string::npos; ++i) {
    start = start == 0 ? std::string::npos : text.rfind('\n', start - 1);
  }
  return text.substr(start == std::string::npos ? 0 : start + 1);
}

MerchantItems textSigning() {
  MerchantItems items;
  items.mimeType = "text/plain";
  items.data = "Betal 100,00 kr til konto 1234.56.78903\n";
  items.description = "Kj\xF8p hos Test Merchant";
  return items;
}

std::vector<TxDocument> threeDocuments() {
  return {
      {TxDocument::text, "Avtale om kj\xF8p av 1 stk. sykkel", "", "Avtalen"},
      {TxDocument::pdf, std::string("%PDF-1.4\n\x00\x01\xFF binary", 20), "", "Vilk\xE5r (PDF)"},
      {TxDocument::xml, "<order><amount>100</amount></order>", "<xsl:stylesheet version=\"1.0\"/>", "Ordre"},
  };
}

enum class Keys { software, hsm };

// A merchant session opened through the exported functions, its keys in
// the key file or in SoftHSM2, and the client of that merchant.
class MerchantSession : public ::testing::Test {
 protected:
  void open(Keys keys, int environment = 1) {
    m = zmrtest::makeMerchantFiles("inittx", environment);
    if (keys == Keys::hsm) {
      ASSERT_TRUE(zmrtest::makeSoftHsm("inittx", hsm));
      ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
      ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", m.pki.merchantAuth.key.get(), "authkey", "01"));
      ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", m.pki.merchantSign.key.get(), "signkey", "02"));
      const std::string keyfile = m.dir + "/hsm.p12";
      ASSERT_TRUE(zmrtest::writeKeyFile(keyfile, zmrtest::hsmKeyFile(m.pki, m.password, "authkey", "signkey")));
      ASSERT_EQ(0, zmr_hsminitialize(zmrtest::kSoftHsmModule));
      ASSERT_EQ(0, zmr_hsmopensession(&session, keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, "1234", -1))
          << zmrtest::recentError();
    } else {
      ASSERT_EQ(0, zmr_initialize());
      ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr))
          << zmrtest::recentError();
    }
    client = std::make_unique<zmrtest::TxClient>(m.pki, kWebaddress, zmrtest::devCoiKey(environment));
  }
  void TearDown() override { zmr_finalize(); }

  // One transaction on a clean thread: the merchant sets the items, the
  // client sends the request, the client judges the answer.
  TxAnswer run(const std::string& operation, const tx::Form& fields, const MerchantItems& items) {
    EXPECT_EQ(0, zmr_removeinfoitems(session));
    EXPECT_EQ(0, items.apply(session));
    TxRequest r = client->request(operation, fields);
    std::string answer;
    EXPECT_EQ(0, zmrtest::initTransaction(session, r, answer)) << zmrtest::recentError();
    return client->check(r, answer, items);
  }

  zmrtest::MerchantFiles m;
  zmrtest::SoftHsm hsm;
  int session = -1;
  std::unique_ptr<zmrtest::TxClient> client;
};

class InitTransaction : public MerchantSession, public ::testing::WithParamInterface<Keys> {
 protected:
  void SetUp() override { open(GetParam()); }
};

TEST_P(InitTransaction, Authentication) {
  MerchantItems items;
  items.optional = {{"userID", "kari"}, {"timeout", "120"}, {"userIDKeystrokeData", "ks"}};
  items.channel = {{"c_amount", "100.00"}, {"Order_C_Currency", "NOK"}};
  const struct {
    const char* name;
    Carrier carrier;
    const char* clientInfo;
    std::optional<std::string> prepareText;
  } cases[] = {
      {"NC_ZMR20 2.0", Carrier::nczmr20, "2.0", std::nullopt},
      {"NC_ZMR20 2.1", Carrier::nczmr20, "2.1", std::nullopt},
      {"no carrier", Carrier::none, "", std::nullopt},
      {"mobile", Carrier::mobile, "", "false"},
      {"mobile without prepareText", Carrier::mobile, "", std::nullopt},
      {"mobile prepareText", Carrier::mobile, "", "TRUE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tx::Form fields = client->authFields(c.carrier, c.clientInfo);
    if (c.carrier == Carrier::mobile) {
      if (c.prepareText) zmrtest::setField(fields, "prepareText", *c.prepareText);
      else zmrtest::dropField(fields, "prepareText");
    }
    TxAnswer a = run("initAuth", fields, items);
    EXPECT_TRUE(a.ok) << a.why;
  }
}

TEST_P(InitTransaction, SigningOneDocument) {
  MerchantItems text = textSigning();
  text.optional = {{"OTPService", "otp"}, {"nextURL", "https://merchant.example/next"}};
  text.channel = {{"c_amount", "100.00"}};
  text.extPDFUrl = "https://merchant.example/ignored.pdf";  // only a PDF takes it
  MerchantItems pdf = text;
  pdf.mimeType = "application/pdf";
  pdf.data = std::string("%PDF-1.4\n\x00\xFF\x0A binary", 19);
  pdf.extPDFUrl = "https://merchant.example/doc.pdf";
  MerchantItems xml = text;
  xml.mimeType = "text/ZMRXML";
  xml.data.reset();
  xml.xml = "<order><amount>100</amount></order>";
  xml.xsl = "<xsl:stylesheet version=\"1.0\"/>";
  xml.cmsFormat = "PKCS7";
  xml.ocspFormat = "OCSP_RFC6960_COMPATIBLE";
  MerchantItems nc = text;
  nc.signers = "kari;ola";
  MerchantItems mobile;
  mobile.mimeType = "text/plain";
  mobile.data = "Betal 100 kr til post@h\xF4tel.example";
  const struct {
    const char* name;
    Carrier carrier;
    MerchantItems items;
  } cases[] = {
      {"2.0 text", Carrier::nczmr20, text},
      {"2.0 PDF", Carrier::nczmr20, pdf},
      {"2.0 XML", Carrier::nczmr20, xml},
      {"no carrier", Carrier::none, nc},
      {"mobile", Carrier::mobile, mobile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tx::Form fields = client->signFields(c.carrier);
    if (c.carrier == Carrier::mobile) zmrtest::setField(fields, "prepareText", "true");
    TxAnswer a = run("initSign", fields, c.items);
    EXPECT_TRUE(a.ok) << a.why;
  }
}

TEST_P(InitTransaction, SigningManyDocuments) {
  if (!zmrtest::devCoiKey(1)) GTEST_SKIP() << "built with ZMR_CENTRAL_KEYS_DIR: no development COI key";
  MerchantItems items;
  items.documents = threeDocuments();
  items.optional = {{"userID", "kari"}};
  TxAnswer a = run("initSign", client->signFields(Carrier::nczmr20, "2.1"), items);
  EXPECT_TRUE(a.ok) << a.why;
  items.cmsFormat = "PKCS7_ISO320001";
  items.ocspFormat = "OCSP_ZELMOR_DEFAULT";
  a = run("initSign", client->signFields(Carrier::nczmr20, "2.1"), items);
  EXPECT_TRUE(a.ok) << a.why;
  // The documents keep what was signed, for the verification to come.
  char* signeddata = nullptr;
  char* pkcs7 = nullptr;
  ASSERT_EQ(0, zmr_getsigneddata(session, 2, &signeddata, &pkcs7));
  EXPECT_EQ(tx::b64(zmrtest::TxClient::xmlEnvelope(items.documents[2].content, items.documents[2].xsl)),
            zmrtest::take(signeddata));
  std::string why;
  EXPECT_TRUE(client->verifyDetached(zmrtest::take(pkcs7),
                                     zmrtest::TxClient::xmlEnvelope(items.documents[2].content,
                                                                    items.documents[2].xsl),
                                     m.pki.merchantSign.get(), true, why))
      << why;
}

INSTANTIATE_TEST_SUITE_P(Keys, InitTransaction, ::testing::Values(Keys::software, Keys::hsm),
                         [](const auto& info) { return info.param == Keys::hsm ? "hsm" : "software"; });

// Software sessions only, from here on.
class InitCases : public MerchantSession {
 protected:
  void SetUp() override { open(Keys::software); }
};

TEST_F(InitCases, Placeholder) {}

}  // namespace
