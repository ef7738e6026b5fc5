// Client messages unwrapped in a PKCS#11 module: in SoftHSM2 the same
// message opens as in software, and a bad wrapped key is a wrong tag here
// too, without a PKCS#11 line; with the fake driver, a module that fails is
// reported as an HSM failure, never as a forged message.
#include <gtest/gtest.h>

#include "hsm/hsmclient.h"
#include "hsm/hsmtest.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/softhsm.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;
constexpr const char* kPin = "1234";
constexpr const char* kBadTag = "decrypttransactiondata_decrypttransactiondata: Failed to authenticate message.\n";

std::string recent() { return zmrtest::peekRecentError(); }

// The RSA block under a wrapping, without removing its padding.
bool rawDecrypt(EVP_PKEY* key, const std::string& wrapped, std::string& block) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t length = 512;
  block.assign(length, '\0');
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(block.data()), &length,
                       reinterpret_cast<const unsigned char*>(wrapped.data()), wrapped.size()) != 1)
    return false;
  block.resize(length);
  return true;
}

// The authentication certificate of the merchant whose key the module holds.
X509Ptr certificateOf(int keyindex) {
  zmrtest::CertSpec spec = zmrtest::merchantAuthSpec();
  spec.keyIndex = keyindex;
  return std::move(zmrtest::makeCert(spec).cert);
}

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
    session = zmrtest::openStoreSession();
    zmrtest::sessionState(session)->hsm_authkeyslabel = "authkey";
    zmrtest::sessionState(session)->authcert = certificateOf(53);
    ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(session), "authkey", static_cast<int32_t>(slot), kPin)) << recent();
  }
  void TearDown() override {
    hsm_closesession(*zmrtest::sessionState(session));
    freeSessions();
    EXPECT_EQ(0, hsm_finalize());
  }
  int decrypt(const tx::Envelope& e, SecretString& plain, SecretString& key) {
    return decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, "initAuth", std::nullopt, plain, key);
  }

  zmrtest::SoftHsm hsm;
  EvpPkeyPtr authkey;
  int session = -1;
};

TEST_F(HsmUnwrap, OpensTheClientMessageInTheModule) {
  std::string used;
  tx::Envelope e = tx::clientRequest(authkey.get(), "clientChallenge=x", "initAuth", std::nullopt, "", &used);
  SecretString plain;
  SecretString key;
  ASSERT_EQ(0, decrypt(e, plain, key)) << recent();
  EXPECT_EQ("clientChallenge=x", plain.view());
  EXPECT_EQ(tx::b64(used), key.view());
  // No software key is there to fall back on.
  EXPECT_EQ(nullptr, zmrtest::sessionState(session)->authkey.get());
}

TEST_F(HsmUnwrap, BadWrappedKeysLookLikeABadTag) {
  std::string basekey = tx::randomBytes(32);
  std::string garbage = tx::randomBytes(256);
  garbage[0] = 0;  // below the modulus: the module decrypts it, the padding is bad
  const std::string good = tx::rsaWrap(authkey.get(), basekey);
  const struct {
    const char* name;
    std::string block;
  } cases[] = {
      {"bad padding", garbage},
      {"a 16-byte key", tx::rsaWrap(authkey.get(), basekey.substr(0, 16))},
      {"another key's wrapping", tx::rsaWrap(zmrtest::testKey(2048, 54).get(), basekey)},
      {"above the modulus", std::string(256, '\xff')},
      {"one byte short", good.substr(1)},
      {"one byte long", std::string(1, '\0') + good},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tx::Envelope e = tx::clientRequestWrapped(c.block, basekey, "a=b", "initAuth", std::nullopt);
    SecretString plain;
    SecretString key;
    EXPECT_EQ(40051, decrypt(e, plain, key));
    EXPECT_EQ(kBadTag, recent());
    EXPECT_EQ("", plain.view());
    // A bad block goes on like a good one: the next step to fail is the same.
    e.encData = "!";
    EXPECT_EQ(21002, decrypt(e, plain, key));
    EXPECT_NE(std::string::npos, recent().find("An error occured while base64 decoding the encrypted message.\n"));
  }
}

TEST_F(HsmUnwrap, MissingLabelOrKeyKeepsItsCode) {
  tx::Envelope e = tx::clientRequest(authkey.get(), "a", "initAuth", std::nullopt);
  SecretString plain;
  SecretString key;
  zmrtest::sessionState(session)->hsm_authkeyslabel = "nosuchkey";
  EXPECT_EQ(25030, decrypt(e, plain, key));
  EXPECT_NE(std::string::npos, recent().find("decrypttransactiondata_decrypttransactiondata: An error occured trying "
                                             "to decrypt the encryption key using HSM.\n"))
      << recent();
  zmrtest::sessionState(session)->hsm_authkeyslabel.reset();
  EXPECT_EQ(2045, decrypt(e, plain, key));
  EXPECT_EQ("decrypttransactiondata_decrypttransactiondata: An error occured getting the HSM auth key label for the "
            "merchant\n",
            recent());
  zmrtest::sessionState(session)->hsm_authkeyslabel = "authkey";
  zmrtest::sessionState(session)->authcert.reset();
  EXPECT_EQ(2043, decrypt(e, plain, key));
  EXPECT_EQ("decrypttransactiondata::decrypttransactiondata: An error occured retrieving the auth key for merchant. \n",
            recent());
}

// A module that fails while unwrapping, with whatever code, is an HSM
// failure with its PKCS#11 line; only the blocks it decrypts are judged.
TEST(HsmUnwrapFailures, AModuleThatFailsIsReportedNotTakenForAForgery) {
  hsmtest::FakeP11 fake;
  ASSERT_NE(nullptr, fake.handle);
  fake.reset(1);
  fake.addobject(0, "authkey", CKO_PRIVATE_KEY);
  ASSERT_EQ(0, hsm_loaddriver(fake.path.c_str()));
  ASSERT_EQ(0, hsm_initialize());
  int session = zmrtest::openStoreSession();
  zmrtest::sessionState(session)->hsm_authkeyslabel = "authkey";
  zmrtest::sessionState(session)->authcert = certificateOf(53);
  ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(session), "authkey", static_cast<int32_t>(fake.slotid(0)), kPin)) << recent();

  EvpPkeyPtr authkey = zmrtest::testKey(2048, 53);
  tx::Envelope e = tx::clientRequest(authkey.get(), "a=b", "initAuth", std::nullopt);
  SecretString plain;
  SecretString key;
  for (CK_RV rv : {CKR_GENERAL_ERROR, CKR_ENCRYPTED_DATA_INVALID, CKR_DEVICE_REMOVED}) {
    SCOPED_TRACE(rv);
    fake.setrv("C_Decrypt", rv);
    EXPECT_EQ(25037, decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, "initAuth", std::nullopt, plain,
                                            key));
    EXPECT_EQ(std::string("hsmclient_hsm_decrypt: An error occured calling C_Decrypt on the hsm PKCS11 driver.\n"
                          "The PKCS#11 error was: ") +
                  pkcs11errorname(rv) +
                  "\ndecrypttransactiondata_decrypttransactiondata: An error occured trying to decrypt the "
                  "encryption key using HSM.\n",
              recent());
    EXPECT_EQ("", plain.view());
    EXPECT_EQ("", key.view());
  }
  fake.clearrv("C_Decrypt");

  // The module decrypts raw blocks; what it answers is judged here.
  EXPECT_EQ(40051, decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, "initAuth", std::nullopt, plain,
                                          key));
  EXPECT_EQ(kBadTag, recent());
  EXPECT_EQ(static_cast<CK_MECHANISM_TYPE>(CKM_RSA_X_509), fake.lastmechanism());

  // The true block of encKey, as a module that leaves out its leading zero
  // would give it: the message opens. One byte longer than the modulus is
  // the module's fault.
  std::string wrapped, block;
  ASSERT_TRUE(tx::unb64(e.encKey, wrapped));
  ASSERT_TRUE(rawDecrypt(authkey.get(), wrapped, block));
  ASSERT_EQ('\0', block[0]);
  block.erase(0, 1);
  fake.setdecrypted(reinterpret_cast<const unsigned char*>(block.data()), block.size());
  ASSERT_EQ(0, decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, "initAuth", std::nullopt, plain, key))
      << recent();
  EXPECT_EQ("a=b", plain.view());
  block.insert(0, 2, '\0');
  fake.setdecrypted(reinterpret_cast<const unsigned char*>(block.data()), block.size());
  EXPECT_EQ(25037, decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, "initAuth", std::nullopt, plain,
                                          key));
  EXPECT_EQ("decrypttransactiondata_decrypttransactiondata: An error occured trying to decrypt the encryption key "
            "using HSM.\n",
            recent());

  hsm_closesession(*zmrtest::sessionState(session));
  freeSessions();
  fake.reset(0);
  EXPECT_EQ(0, hsm_finalize());
}

}  // namespace
}  // namespace zmr
