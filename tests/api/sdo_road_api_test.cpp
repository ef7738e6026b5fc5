// A classic SDO made from what a signing transaction leaves: the road from
// zmr_initsession to zmr_verifytransactionrequest with the simulated client
// and the stand-ins, then zmr_getsigneddata, zmr_getsignatureandocsp and
// zmr_getowncertstatus as the inputs of zmr_createsdo; the SDO written,
// read back and validated in every mode.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <memory>
#include <string>

#include "support/apitest.h"
#include "support/roadsetup.h"
#include "support/tempdir.h"
#include "support/txclient.h"

namespace {

using zmrtest::take;

TEST(SdoRoad, ClassicSdoFromASigningTransaction) {
  if (!zmrtest::devCentralKey(1) || !zmrtest::devCoiKey(1)) GTEST_SKIP() << "the build has no development keys";
  zmrtest::RoadSetup setup = zmrtest::makeRoadSetup("sdoroad", 1);
  ASSERT_EQ(0, zmr_initialize());
  const zmrtest::MerchantFiles& m = setup.merchant;
  int s = -1;
  ASSERT_EQ(0, zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr))
      << zmrtest::recentError();
  zmrtest::TxClient client(m.pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(1));

  std::string tid;
  ASSERT_EQ(0, zmrtest::beginClientSession(s, "sign", tid)) << zmrtest::recentError();
  zmrtest::MerchantItems items;
  items.traceId = tid;
  const std::string description = "Kj\xF8p hos Test Merchant & co";
  items.documents = {{zmrtest::TxDocument::text, "Betal 100,00 kr til konto 1234.56.78903\n", "", description}};
  ASSERT_EQ(0, items.apply(s));

  zmrtest::TxRequest init =
      client.request("initSign", client.signFields(zmrtest::Carrier::nczmr20, "2.1", *items.traceId));
  std::string answer;
  ASSERT_EQ(0, zmrtest::initTransaction(s, init, answer)) << zmrtest::recentError();
  zmrtest::TxAnswer opened = client.check(init, answer, items);
  ASSERT_TRUE(opened.ok) << opened.why;
  zmrtest::TxRequest verification = client.request("verifySign", client.verifySignFields(init, opened));
  ASSERT_EQ(0, zmrtest::verifyTransaction(s, verification)) << zmrtest::recentError();

  char *signeddata = nullptr, *merchantpkcs7 = nullptr, *clientpkcs7 = nullptr, *clientocsp = nullptr,
       *merchantocsp = nullptr;
  ASSERT_EQ(0, zmr_getsigneddata(s, 0, &signeddata, &merchantpkcs7)) << zmrtest::recentError();
  ASSERT_EQ(0, zmr_getsignatureandocsp(s, 0, &clientpkcs7, &clientocsp)) << zmrtest::recentError();
  ASSERT_EQ(0, zmr_getowncertstatus(s, &merchantocsp)) << zmrtest::recentError();
  const std::string data = take(signeddata), merchant = take(merchantpkcs7), user = take(clientpkcs7),
                    userocsp = take(clientocsp), ownocsp = take(merchantocsp);

  seidsdo** sdo = nullptr;
  ASSERT_EQ(0, zmr_createsdo(s, &sdo, data.c_str(), "text/plain", description.c_str(), user.c_str(),
                             merchant.c_str(), userocsp.c_str(), ownocsp.c_str()))
      << zmrtest::recentError();
  char* out = nullptr;
  ASSERT_EQ(0, zmr_sdotoxmlex(s, sdo, &out)) << zmrtest::recentError();
  const std::string xml = take(out);
  ASSERT_EQ(0, zmr_sdofree(s, sdo));

  std::string dir = zmrtest::makeTempDir("sdoroad-xmllint");
  ASSERT_TRUE(zmrtest::writeFile(dir + "/sdo.xml", xml));
  std::string lint;
  EXPECT_EQ(0, zmrtest::runCommand("xmllint --noout " + dir + "/sdo.xml 2>&1", &lint)) << lint;

  seidsdo** back = nullptr;
  ASSERT_EQ(0, zmr_xmltosdoex(s, xml.c_str(), &back)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_sdovalidate(s, back, 0)) << zmrtest::recentError();
  EXPECT_EQ(20039, zmr_sdovalidate(s, back, 1));
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, back, data.c_str(), 2, 0)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, back, data.c_str(), 0, 2)) << zmrtest::recentError();
  EXPECT_EQ(20044, zmr_dynamicsdovalidate(s, back, data.c_str(), 0, 1));
  ASSERT_EQ(0, zmr_sdoadddata(s, back, data.c_str()));
  EXPECT_EQ(0, zmr_sdovalidate(s, back, 1)) << zmrtest::recentError();
  ASSERT_EQ(0, zmr_sdotoxmlex(s, back, &out));
  const std::string kept = take(out);
  EXPECT_EQ(0, zmr_sdoxmlvalidate(s, kept.c_str(), 1)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_simpledynamicsdoxmlvalidate(s, kept.c_str(), 2)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_sdofree(s, back));

  char *document = nullptr, *mimetype = nullptr, *text = nullptr;
  signatures* list = nullptr;
  ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, kept.c_str(), &document, &mimetype, &text, &list));
  EXPECT_EQ(take(document), data);
  EXPECT_EQ(take(mimetype), "text/plain");
  EXPECT_EQ(take(text), description);
  ASSERT_TRUE(list != nullptr && list->next != nullptr);
  EXPECT_EQ(std::string(list->pkcs7), user);
  EXPECT_EQ(std::string(list->next->pkcs7), merchant);
  EXPECT_EQ(0, zmr_signaturesfree(s, list));
  EXPECT_EQ(0, zmr_finalize());
}

}  // namespace
