// Client messages unwrapped in a real PKCS#11 module (SoftHSM2): the same
// message opens as in software, and a bad wrapped key is a wrong tag here
// too, without a PKCS#11 line.
#include <gtest/gtest.h>

#include "hsm/hsmclient.h"
#include "services/transactiondata.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/softhsm.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;
constexpr const char* kPin = "1234";

std::string recent() { return zmrtest::peekRecentError(); }

class HsmUnwrap : public ::testing::Test {
 protected:
  void SetUp() override {
    authkey = zmrtest::testKey(2048, 53);
    ASSERT_TRUE(zmrtest::makeSoftHsm("txhsm", hsm));
    uint64_t slot = 0;
    ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", kPin, &slot)) << hsm.log;
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, authkey.get(), "authkey", "02")) << hsm.log;
    ASSERT_EQ(0, hsm_loaddriver(zmrtest::kSoftHsmModule));
    ASSERT_EQ(0, hsm_initialize());
    session = getSessionId();
    sessiontables(session)->hsm_authkeyslabel = "authkey";
    ASSERT_EQ(0, hsm_opensession(session, "authkey", static_cast<int32_t>(slot), kPin)) << recent();
  }
  void TearDown() override {
    hsm_closesession(session);
    freeSessions();
    EXPECT_EQ(0, hsm_finalize());
  }
  int decrypt(const tx::Envelope& e, std::string& plain, SecretString& key) {
    return decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, "initAuth", std::nullopt, plain, key);
  }

  zmrtest::SoftHsm hsm;
  EvpPkeyPtr authkey;
  int session = -1;
};

TEST_F(HsmUnwrap, OpensTheClientMessageInTheModule) {
  std::string used;
  tx::Envelope e = tx::clientRequest(authkey.get(), "clientChallenge=x", "initAuth", std::nullopt, "", &used);
  std::string plain;
  SecretString key;
  ASSERT_EQ(0, decrypt(e, plain, key)) << recent();
  EXPECT_EQ("clientChallenge=x", plain);
  EXPECT_EQ(tx::b64(used), key.value);
  // No software key is there to fall back on.
  EXPECT_EQ(nullptr, sessiontables(session)->authkey.get());
}

TEST_F(HsmUnwrap, BadWrappedKeysLookLikeABadTag) {
  std::string basekey = tx::randomBytes(32);
  tx::SubKeys k = tx::requestKeys(basekey);
  std::string garbage = tx::randomBytes(256);
  garbage[0] = 0;  // below the modulus, so the module gets to the padding
  for (const std::string& block : {garbage, tx::rsaWrap(authkey.get(), basekey.substr(0, 16)),
                                   tx::rsaWrap(zmrtest::testKey(2048, 54).get(), basekey)}) {
    tx::Envelope e = tx::clientRequestWrapped(block, basekey, "a=b", "initAuth", std::nullopt);
    std::string plain;
    SecretString key;
    EXPECT_EQ(40051, decrypt(e, plain, key));
    EXPECT_EQ("decrypttransactiondata_decrypttransactiondata: Failed to authenticate message.\n", recent());
    EXPECT_EQ("", plain);
  }
}

TEST_F(HsmUnwrap, MissingLabelOrKeyKeepsItsCode) {
  tx::Envelope e = tx::clientRequest(authkey.get(), "a", "initAuth", std::nullopt);
  std::string plain;
  SecretString key;
  sessiontables(session)->hsm_authkeyslabel = "nosuchkey";
  int rc = decrypt(e, plain, key);
  EXPECT_GE(rc, 25000);
  EXPECT_LT(rc, 26000);
  EXPECT_NE(std::string::npos, recent().find("decrypttransactiondata_decrypttransactiondata: An error occured trying "
                                             "to decrypt the encryption key using HSM.\n"))
      << recent();
  sessiontables(session)->hsm_authkeyslabel.reset();
  EXPECT_EQ(2045, decrypt(e, plain, key));
  EXPECT_EQ("decrypttransactiondata_decrypttransactiondata: An error occured getting the HSM auth key label for the "
            "merchant\n",
            recent());
}

}  // namespace
}  // namespace zmr
