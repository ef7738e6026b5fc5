// Each signature a road checks is decoded once: verification, certificate
// status, the signing-time and OCSP-value checks read one parsed PKCS#7.
// Counted at d2i_PKCS7 itself, which this executable interposes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <zmr/zmr.h>

#include <atomic>
#include <memory>
#include <string>

#include "store/setup.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/sdopki.h"
#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/roadsetup.h"
#include "support/sdotrees.h"
#include "support/storesession.h"
#include "support/txclient.h"
#include "support/verifiers.h"

namespace {
std::atomic<int> decodes{0};
}  // namespace

extern "C" PKCS7* d2i_PKCS7(PKCS7** a, const unsigned char** in, long length) {
  using Real = PKCS7* (*)(PKCS7**, const unsigned char**, long);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "d2i_PKCS7"));
  decodes.fetch_add(1, std::memory_order_relaxed);
  return real(a, in, length);
}

namespace {

using zmrtest::Carrier;
using zmrtest::MerchantItems;
using zmrtest::TxDocument;

class RoadDecodes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setup_ = new zmrtest::RoadSetup(zmrtest::makeRoadSetup("decodeonce", 1)); }
  static void TearDownTestSuite() { delete setup_; }

  void SetUp() override {
    if (!zmrtest::devCentralKey(1) || !zmrtest::devCoiKey(1)) GTEST_SKIP() << "the build has no development keys";
    ASSERT_EQ(0, zmr_initialize());
    const zmrtest::MerchantFiles& m = setup_->merchant;
    ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    client = std::make_unique<zmrtest::TxClient>(m.pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(1));
    setup_->va->answer(nullptr);
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  // The decodes inside zmr_verifytransactionrequest of one road.
  int verification(bool sign, const std::string& clientInfo, MerchantItems items) {
    EXPECT_EQ(0, zmr_removeinfoitems(session));
    std::string traceid;
    EXPECT_EQ(0, zmrtest::beginClientSession(session, sign ? "sign" : "auth", traceid)) << zmrtest::recentError();
    items.traceId = traceid;
    EXPECT_EQ(0, items.apply(session));
    const zmrtest::tx::Form fields = sign ? client->signFields(Carrier::nczmr20, clientInfo, traceid)
                                          : client->authFields(Carrier::nczmr20, clientInfo, traceid);
    const zmrtest::TxRequest init = client->request(sign ? "initSign" : "initAuth", fields);
    std::string answer;
    EXPECT_EQ(0, zmrtest::initTransaction(session, init, answer)) << zmrtest::recentError();
    const zmrtest::TxAnswer a = client->check(init, answer, items);
    EXPECT_TRUE(a.ok) << a.why;
    const zmrtest::TxRequest v =
        client->request(sign ? "verifySign" : "verifyAuth",
                        sign ? client->verifySignFields(init, a) : client->verifyAuthFields(init, a));
    const int before = decodes.load();
    EXPECT_EQ(0, zmrtest::verifyTransaction(session, v)) << zmrtest::recentError();
    return decodes.load() - before;
  }

  int session = -1;
  std::unique_ptr<zmrtest::TxClient> client;
  static zmrtest::RoadSetup* setup_;
};

zmrtest::RoadSetup* RoadDecodes::setup_ = nullptr;

TEST_F(RoadDecodes, EachClientSignatureOnce) {
  EXPECT_EQ(1, verification(false, "2.0", MerchantItems{})) << "authentication";
  MerchantItems text;
  text.mimeType = "text/plain";
  text.data = "Betal 100,00 kr til konto 1234.56.78903\n";
  text.description = "Kjop";
  EXPECT_EQ(1, verification(true, "2.0", text)) << "signing, one document";
  MerchantItems many;
  many.documents = {
      {TxDocument::text, "Avtale\n", "", "Avtalen"},
      {TxDocument::pdf, std::string("%PDF-1.4\n\x00\x01 binary", 18), "", "PDF"},
      {TxDocument::xml, "<order><amount>100</amount></order>", "<xsl:stylesheet version=\"1.0\"/>", "Ordre"},
  };
  EXPECT_EQ(3, verification(true, "2.1", many)) << "signing, three documents";
}

struct SdoWorld : sdotest::SdoPki {
  int session = -1;
};
SdoWorld* world = nullptr;

class SdoDecodes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sdotest::openWorld(world, "decodeonce-sdo"); }
  static void TearDownTestSuite() { sdotest::closeWorld(world); }
};

TEST_F(SdoDecodes, EachElementSignatureOnce) {
  const std::string document = "Contract: the buyer pays 100 on delivery.";
  const zmrtest::TestPki& pki = world->pki;
  auto element = [&](const zmrtest::TestCert& signer) {
    return zmrtest::signedElementTexts(
        zmrtest::pkcs7For(signer, document),
        zmrtest::toBase64(zmrtest::makeOcspBasicDer(zmrtest::ocspFor(pki.responder, signer.get(), pki.ca.get()))));
  };
  std::unique_ptr<zmr::seidsdocell> t = zmrtest::sdoTree({element(pki.endUser)});
  zmrtest::sealSdo(*t, pki.merchantSign, zmrtest::goodOcsp(pki, pki.merchantSign.get()));
  const zmr::Session& s = *zmrtest::sessionState(world->session);
  for (int digestcheck : {1, 0}) {
    const int before = decodes.load();
    EXPECT_EQ(0, zmr::seidverifycmssigelement(s, *t->first->datapart->first->element, digestcheck));
    EXPECT_EQ(1, decodes.load() - before) << "digest check " << digestcheck;
  }
  const int before = decodes.load();
  EXPECT_EQ(0, zmr::seidverifycmssigelement(s, *t->first->seal->sdosignature->element, 0));
  EXPECT_EQ(1, decodes.load() - before) << "seal";
}

}  // namespace
