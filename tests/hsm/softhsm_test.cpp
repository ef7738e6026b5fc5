// The PKCS#11 client against SoftHSM2, a real module: logins, the slot
// search, signatures and decryptions checked with OpenSSL, the verifier-key
// import, and the failures a real token gives.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include "hsmtest.h"
#include "support/pki.h"
#include "support/softhsm.h"

using hsmtest::MerchantSession;
using hsmtest::takeError;

namespace {

constexpr const char* kPin = "1234";

class SoftHsmTest : public hsmtest::Test {
 protected:
  // Tokens are made before the module is initialised: SoftHSM2 reads its
  // token directory once.
  void makeToken(const std::string& label, const std::string& pin, uint64_t* slot = nullptr) {
    ASSERT_TRUE(zmrtest::initToken(hsm, label, pin, slot)) << hsm.log;
  }
  void importKey(const std::string& token, const std::string& pin, EVP_PKEY* key, const std::string& label,
                 const std::string& id) {
    ASSERT_TRUE(zmrtest::importKey(hsm, token, pin, key, label, id)) << hsm.log;
  }
  void start() {
    ASSERT_EQ(0, zmr::hsm_loaddriver(zmrtest::kSoftHsmModule));
    ASSERT_EQ(0, zmr::hsm_initialize());
    p11 = hsmtest::moduleFunctions(zmrtest::kSoftHsmModule);
    ASSERT_NE(nullptr, p11);
  }
  // The usual merchant token: the signing and authentication keys.
  void SetUp() override {
    hsmtest::Test::SetUp();
    ASSERT_TRUE(zmrtest::makeSoftHsm("softhsm", hsm));
    signkey = zmrtest::testKey(2048, 0);
    authkey = zmrtest::testKey(2048, 1);
  }
  void startMerchantToken() {
    makeToken("merchant", kPin, &slot);
    importKey("merchant", kPin, signkey.get(), "signkey", "01");
    importKey("merchant", kPin, authkey.get(), "authkey", "02");
    start();
  }
  void TearDown() override {
    EXPECT_EQ(0, zmr::hsm_finalize());
    hsmtest::Test::TearDown();
  }

  // The state the host sees in a session of its own on the slot.
  CK_STATE hostSessionState(uint64_t onslot) {
    CK_SESSION_HANDLE h;
    EXPECT_EQ(CKR_OK, p11->C_OpenSession(onslot, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
    CK_SESSION_INFO info{};
    EXPECT_EQ(CKR_OK, p11->C_GetSessionInfo(h, &info));
    p11->C_CloseSession(h);
    return info.state;
  }
  CK_STATE sessionState(uint64_t handle) {
    CK_SESSION_INFO info{};
    if (p11->C_GetSessionInfo(handle, &info) != CKR_OK) return ~CK_STATE{0};
    return info.state;
  }

  zmrtest::SoftHsm hsm;
  zmr::EvpPkeyPtr signkey;
  zmr::EvpPkeyPtr authkey;
  uint64_t slot = 0;
  CK_FUNCTION_LIST* p11 = nullptr;
};

TEST_F(SoftHsmTest, OpensSignsAndClosesWithSlotGivenOrSearched) {
  startMerchantToken();
  for (int32_t slotarg : {static_cast<int32_t>(slot), -1}) {
    SCOPED_TRACE(slotarg);
    MerchantSession m;
    ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", slotarg, kPin)) << takeError();
    ASSERT_NE(0u, m.context());
    uint64_t stored = 0;
    zmr::getslotid(m.state(), &stored);
    EXPECT_EQ(slot, stored);
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(m.context()));

    std::vector<unsigned char> sig;
    ASSERT_EQ(0, zmr::hsm_signdata(m.state(), hsmtest::sha256DigestInfo("hello").data(), 51, sig, "signkey", zmr::HsmRsa::pkcs1))
        << takeError();
    EXPECT_TRUE(hsmtest::verifiesSha256(signkey.get(), "hello", sig));
    EXPECT_FALSE(hsmtest::verifiesSha256(authkey.get(), "hello", sig));

    uint64_t handle = m.context();
    ASSERT_EQ(0, zmr::hsm_closesession(m.state())) << takeError();
    EXPECT_EQ(0u, m.context());
    CK_SESSION_INFO info{};
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11->C_GetSessionInfo(handle, &info));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, hostSessionState(slot));  // logged out: it was the last one
    EXPECT_EQ("", takeError());
  }
}

TEST_F(SoftHsmTest, RawSignatureIsThePlainRsaOperation) {
  startMerchantToken();
  MerchantSession m;
  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  std::vector<unsigned char> block(256, 0x11);
  block[0] = 0x00;
  std::vector<unsigned char> sig;
  ASSERT_EQ(0, zmr::hsm_signdata(m.state(), block.data(), block.size(), sig, "signkey", zmr::HsmRsa::raw)) << takeError();
  ASSERT_EQ(256u, sig.size());
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(signkey.get(), nullptr));
  std::vector<unsigned char> recovered(256);
  size_t len = recovered.size();
  ASSERT_EQ(1, EVP_PKEY_verify_recover_init(ctx.get()));
  ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
  ASSERT_EQ(1, EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &len, sig.data(), sig.size()));
  recovered.resize(len);
  EXPECT_EQ(block, recovered);
}

TEST_F(SoftHsmTest, DecryptsPkcs1OaepAndRaw) {
  startMerchantToken();
  MerchantSession m;
  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  const std::string basekey(32, '\x5c');
  const std::string label = "authkey";
  for (zmr::HsmRsa mechanism : {zmr::HsmRsa::pkcs1, zmr::HsmRsa::oaep}) {
    std::vector<unsigned char> wrapped = hsmtest::rsaEncrypt(authkey.get(), basekey, mechanism == zmr::HsmRsa::oaep);
    ASSERT_FALSE(wrapped.empty());
    zmr::SecretBytes plain;
    ASSERT_EQ(0, zmr::hsm_decrypt(m.state(), wrapped.data(), wrapped.size(), plain, &label, mechanism)) << takeError();
    EXPECT_EQ(basekey, std::string(plain.bytes.begin(), plain.bytes.end()));
  }
  // Raw: the whole padded block, 00 02 ... 00 key, as long as the modulus.
  std::vector<unsigned char> wrapped = hsmtest::rsaEncrypt(authkey.get(), basekey, false);
  zmr::SecretBytes block;
  ASSERT_EQ(0, zmr::hsm_decrypt(m.state(), wrapped.data(), wrapped.size(), block, &label, zmr::HsmRsa::raw))
      << takeError();
  ASSERT_EQ(256u, block.bytes.size());
  EXPECT_EQ(0, block.bytes[0]);
  EXPECT_EQ(2, block.bytes[1]);
  EXPECT_EQ(0, block.bytes[256 - 33]);
  EXPECT_EQ(basekey, std::string(block.bytes.end() - 32, block.bytes.end()));
}

TEST_F(SoftHsmTest, BadCiphertextIsReported) {
  startMerchantToken();
  MerchantSession m;
  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  const std::string label = "authkey";
  std::vector<unsigned char> wrapped = hsmtest::rsaEncrypt(authkey.get(), "x", false);
  wrapped.pop_back();  // wrong length for the key
  for (zmr::HsmRsa mechanism : {zmr::HsmRsa::pkcs1, zmr::HsmRsa::raw}) {
    zmr::SecretBytes plain;
    EXPECT_EQ(25037, zmr::hsm_decrypt(m.state(), wrapped.data(), wrapped.size(), plain, &label, mechanism));
    std::string error = takeError();
    EXPECT_EQ(0u, error.find("hsmclient_hsm_decrypt: An error occured calling C_Decrypt on the hsm PKCS11 driver.\n"
                             "The PKCS#11 error was: "))
        << error;
    EXPECT_TRUE(plain.bytes.empty());
  }
}

TEST_F(SoftHsmTest, VerifierKeyIsImportedOnceAndDecrypts) {
  startMerchantToken();
  MerchantSession m;
  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  zmr::EvpPkeyPtr verifier = zmrtest::testKey(2048, 2);

  zmr::SecretBytes plain;
  std::vector<unsigned char> wrapped = hsmtest::rsaEncrypt(verifier.get(), "central", false);
  EXPECT_EQ(2042, zmr::hsm_decrypt(m.state(), wrapped.data(), wrapped.size(), plain, nullptr, zmr::HsmRsa::pkcs1));
  EXPECT_EQ(
      "hsmclient_hsm_opensession: An error occured trying to store the CSFEV private keyhandle for the current "
      "merchant during opensession.\n",
      takeError());

  // The merchant's own session is read-only; the import must still work.
  ASSERT_EQ(0, zmr::hsm_createp11privkeyhandle(m.state(), verifier.get(), "CentralVerifier")) << takeError();
  EXPECT_EQ("", takeError());
  uint64_t first = 0;
  ASSERT_EQ(0, zmr::getverifierkeyhandle(m.state(), &first));
  // A token object: usable after the import's own session has closed.
  ASSERT_EQ(0, zmr::hsm_decrypt(m.state(), wrapped.data(), wrapped.size(), plain, nullptr, zmr::HsmRsa::pkcs1))
      << takeError();
  EXPECT_EQ("central", std::string(plain.bytes.begin(), plain.bytes.end()));

  MerchantSession other;
  ASSERT_EQ(0, zmr::hsm_opensession(other.state(), "signkey", static_cast<int32_t>(slot), kPin));
  ASSERT_EQ(0, zmr::hsm_createp11privkeyhandle(other.state(), verifier.get(), "CentralVerifier"));
  uint64_t second = 0;
  ASSERT_EQ(0, zmr::getverifierkeyhandle(other.state(), &second));
  EXPECT_EQ(first, second);

  // Exactly one such object on the token.
  CK_SESSION_HANDLE h = m.context();
  CK_ATTRIBUTE byLabel[] = {{CKA_LABEL, const_cast<char*>("CentralVerifier"), 15}};
  ASSERT_EQ(CKR_OK, p11->C_FindObjectsInit(h, byLabel, 1));
  CK_OBJECT_HANDLE found[4];
  CK_ULONG count = 0;
  ASSERT_EQ(CKR_OK, p11->C_FindObjects(h, found, 4, &count));
  p11->C_FindObjectsFinal(h);
  EXPECT_EQ(1u, count);
  EXPECT_EQ(0, zmr::hsm_closesession(other.state()));
  EXPECT_EQ(0, zmr::hsm_closesession(m.state()));
}

TEST_F(SoftHsmTest, PublicKeyMarkedPrivateIsNotTakenForTheKey) {
  startMerchantToken();
  MerchantSession m;
  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  // A second public key object under the label, private like the key.
  CK_SESSION_HANDLE rw;
  ASSERT_EQ(CKR_OK, p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &rw));
  CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
  CK_KEY_TYPE type = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  unsigned char modulus[256];
  unsigned char exponent[] = {1, 0, 1};
  BIGNUM* n = nullptr;
  ASSERT_EQ(1, EVP_PKEY_get_bn_param(signkey.get(), "n", &n));
  BN_bn2binpad(n, modulus, sizeof modulus);
  BN_free(n);
  CK_ATTRIBUTE pub[] = {
      {CKA_CLASS, &cls, sizeof cls},           {CKA_KEY_TYPE, &type, sizeof type},
      {CKA_TOKEN, &yes, sizeof yes},           {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_LABEL, const_cast<char*>("signkey"), 7}, {CKA_MODULUS, modulus, sizeof modulus},
      {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}, {CKA_VERIFY, &yes, sizeof yes},
  };
  CK_OBJECT_HANDLE created;
  ASSERT_EQ(CKR_OK, p11->C_CreateObject(rw, pub, 8, &created));
  p11->C_CloseSession(rw);

  for (int i = 0; i < 4; ++i) {
    std::vector<unsigned char> sig;
    ASSERT_EQ(0, zmr::hsm_signdata(m.state(), hsmtest::sha256DigestInfo("x").data(), 51, sig, "signkey", zmr::HsmRsa::pkcs1))
        << takeError();
    EXPECT_TRUE(hsmtest::verifiesSha256(signkey.get(), "x", sig));
  }
}

TEST_F(SoftHsmTest, SearchSkipsTokensThatRefuseThePinOrLackTheLabel) {
  // Two tokens; the one the module lists first refuses the merchant's PIN.
  makeToken("t1", "1111");
  makeToken("t2", "2222");
  std::vector<zmrtest::SlotEntry> slots = zmrtest::listSlots(hsm);
  ASSERT_EQ(3u, slots.size()) << hsm.log;
  ASSERT_FALSE(slots[0].tokenLabel.empty());
  const zmrtest::SlotEntry& later = slots[1];
  std::string pin = later.tokenLabel == "t1" ? "1111" : "2222";
  importKey(later.tokenLabel, pin, signkey.get(), "signkey", "01");
  start();

  MerchantSession m;
  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", -1, pin)) << takeError();
  uint64_t found = 0;
  zmr::getslotid(m.state(), &found);
  EXPECT_EQ(later.id, found);
  EXPECT_EQ("", takeError());
  EXPECT_EQ(0, zmr::hsm_closesession(m.state()));

  // The label nowhere: a PIN was refused on the way (by one token or by
  // both), so the search says the PIN may be the reason.
  for (const std::string& tried : {pin, std::string("9999")}) {
    SCOPED_TRACE(tried);
    MerchantSession n;
    EXPECT_EQ(25032, zmr::hsm_opensession(n.state(), "nosuchkey", -1, tried));
    EXPECT_EQ(
        "hsmclient_findslotforlabel: Did not find the object with the given label. The password may be wrong, "
        "check the PKCS#11 password.\n"
        "hsmclient_hsm_opensession: An error occured trying to find the token where the merchants credentials are "
        "stored.\n",
        takeError());
    EXPECT_EQ(0u, n.context());
  }
  // No token was left logged in by the search.
  for (const auto& s : slots) {
    if (!s.tokenLabel.empty()) {
      EXPECT_EQ(CKS_RO_PUBLIC_SESSION, hostSessionState(s.id)) << s.tokenLabel;
    }
  }
}

TEST_F(SoftHsmTest, LoginOfOtherSessionsOnTheTokenIsKept) {
  startMerchantToken();
  MerchantSession first;
  ASSERT_EQ(0, zmr::hsm_opensession(first.state(), "signkey", static_cast<int32_t>(slot), kPin));
  // The search finds the token logged in already and must leave it so,
  // whether it finds the label or not.
  MerchantSession failed;
  EXPECT_EQ(25032, zmr::hsm_opensession(failed.state(), "nosuchkey", -1, kPin));
  takeError();
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(first.context()));
  MerchantSession second;
  ASSERT_EQ(0, zmr::hsm_opensession(second.state(), "authkey", -1, kPin)) << takeError();
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(first.context()));

  ASSERT_EQ(0, zmr::hsm_closesession(first.state()));
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(second.context()));
  std::vector<unsigned char> sig;
  EXPECT_EQ(0, zmr::hsm_signdata(second.state(), hsmtest::sha256DigestInfo("y").data(), 51, sig, "signkey", zmr::HsmRsa::pkcs1));

  ASSERT_EQ(0, zmr::hsm_closesession(second.state()));
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, hostSessionState(slot));
}

TEST_F(SoftHsmTest, FailuresOfARealToken) {
  startMerchantToken();
  MerchantSession m;
  EXPECT_EQ(25009, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), "0000"));
  EXPECT_EQ(
      "hsmclient_hsm_opensession: An error occured calling C_Login on the hsm PKCS11 driver. Is your password "
      "correct ?\nThe PKCS#11 error was: PIN_INCORRECT\n",
      takeError());
  EXPECT_EQ(0u, m.context());

  EXPECT_EQ(25007, zmr::hsm_opensession(m.state(), "signkey", 424242, kPin));
  EXPECT_EQ(
      "hsmclient_hsm_opensession: An error occured calling C_OpenSession on the hsm PKCS11 driver\n"
      "The PKCS#11 error was: SLOT_ID_INVALID\n",
      takeError());

  // The label on no token, the PIN accepted: the search passes the free,
  // uninitialised token that SoftHSM2 lists too, and says nothing itself.
  EXPECT_EQ(25032, zmr::hsm_opensession(m.state(), "nosuchkey", -1, kPin));
  EXPECT_EQ(
      "hsmclient_hsm_opensession: An error occured trying to find the token where the merchants credentials are "
      "stored.\n",
      takeError());

  ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  std::vector<unsigned char> sig;
  EXPECT_EQ(25030, zmr::hsm_signdata(m.state(), hsmtest::sha256DigestInfo("z").data(), 51, sig, "missing", zmr::HsmRsa::pkcs1));
  EXPECT_EQ(
      "hsmclient_hsm_findprivatekeyhandle: A private key with the the given label does not exist.\n"
      "hsmclient_hsm_signdata: An error occured trying to find the private key matching the label.\n",
      takeError());
  EXPECT_TRUE(sig.empty());
  EXPECT_EQ(0, zmr::hsm_closesession(m.state()));
}

// The host initialised the module itself: the library refuses it and leaves
// the host's use of it alone.
TEST_F(SoftHsmTest, ModuleInitialisedByTheHostIsNotFinalised) {
  makeToken("merchant", kPin, &slot);
  void* host = dlopen(zmrtest::kSoftHsmModule, RTLD_NOW);
  ASSERT_NE(nullptr, host);
  auto getlist = reinterpret_cast<CK_C_GetFunctionList>(dlsym(host, "C_GetFunctionList"));
  CK_FUNCTION_LIST* hostp11 = nullptr;
  ASSERT_EQ(CKR_OK, getlist(&hostp11));
  ASSERT_EQ(CKR_OK, hostp11->C_Initialize(nullptr));
  CK_SESSION_HANDLE h;
  ASSERT_EQ(CKR_OK, hostp11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h));

  ASSERT_EQ(0, zmr::hsm_loaddriver(zmrtest::kSoftHsmModule));
  EXPECT_EQ(25003, zmr::hsm_initialize());
  EXPECT_FALSE(zmr::hsm_driverloaded());
  MerchantSession m;
  EXPECT_EQ(25033, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(slot), kPin));
  EXPECT_EQ(0, zmr::hsm_finalize());

  CK_SESSION_INFO info{};
  EXPECT_EQ(CKR_OK, hostp11->C_GetSessionInfo(h, &info));  // still initialised, session alive
  EXPECT_EQ(CKR_OK, hostp11->C_Finalize(nullptr));
  dlclose(host);
}

}  // namespace
