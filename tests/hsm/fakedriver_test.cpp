// The PKCS#11 client against the fake driver: drivers that lack entry
// points or fail to start, and every driver failure that a real token does
// not produce on demand, with the codes, the recent-error lines and what
// stays open or logged in afterwards.
#include <gtest/gtest.h>

#include "hsmtest.h"
#include "support/pki.h"

using hsmtest::FakeP11;
using hsmtest::MerchantSession;
using hsmtest::takeError;

namespace {

constexpr const char* kPin = "1234";
const std::string kPkcs11Line = "The PKCS#11 error was: ";

class HsmDriverLoading : public hsmtest::Test {};
class Pkcs11ErrorLine : public hsmtest::Test {};

std::string variant(const std::string& missing) {
  return std::string(ZMR_FAKEP11_DIR) + "/libzmr_fakep11_no_" + missing + ".so";
}

TEST_F(HsmDriverLoading, FirstMissingEntryPointNamesTheCode) {
  struct Case {
    const char* missing;
    int code;
  } cases[] = {
      {"C_Initialize", 25002},      {"C_Finalize", 25016},         {"C_OpenSession", 25006},
      {"C_Login", 25008},           {"C_Logout", 25012},           {"C_CloseSession", 25014},
      {"C_SignInit", 25020},        {"C_Sign", 25022},             {"C_FindObjectsInit", 25024},
      {"C_FindObjects", 25026},     {"C_FindObjectsFinal", 25028}, {"C_GetSlotList", 25004},
      {"C_DecryptInit", 25034},     {"C_Decrypt", 25035},          {"C_CreateObject", 25018},
      // Both missing: C_FindObjectsFinal is looked up first.
      {"C_FindObjectsFinal_C_GetSlotList", 25028},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    EXPECT_EQ(c.code, zmr::hsm_loaddriver(variant(c.missing).c_str()));
    EXPECT_FALSE(zmr::hsm_driverloaded());
  }
  EXPECT_EQ(25001, zmr::hsm_loaddriver("/nonexistent/libnothing.so"));
  EXPECT_EQ(25001, zmr::hsm_loaddriver(nullptr));
  EXPECT_EQ("", takeError());

  // Nothing half-loaded is left to call into.
  MerchantSession m;
  EXPECT_EQ(25033, zmr::hsm_opensession(m.state(), "signkey", 0, kPin));
  EXPECT_EQ("hsmclient_hsm_opensession: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n", takeError());
  std::vector<unsigned char> sig;
  EXPECT_EQ(25033, zmr::hsm_signdata(m.state(), reinterpret_cast<const unsigned char*>("x"), 1, sig, "signkey", zmr::HsmRsa::pkcs1));
  EXPECT_EQ(0, zmr::hsm_finalize());
}

TEST_F(HsmDriverLoading, FailedInitialisationUnloadsWithoutFinalising) {
  FakeP11 fake;
  ASSERT_NE(nullptr, fake.handle);
  for (CK_RV answer : {CKR_GENERAL_ERROR, CKR_CRYPTOKI_ALREADY_INITIALIZED}) {
    SCOPED_TRACE(answer);
    fake.reset(1);
    fake.setrv("C_Initialize", answer);
    ASSERT_EQ(0, zmr::hsm_loaddriver(fake.path.c_str()));
    EXPECT_EQ(25003, zmr::hsm_initialize());
    EXPECT_FALSE(zmr::hsm_driverloaded());
    EXPECT_EQ(0, zmr::hsm_finalize());
    EXPECT_EQ(0u, fake.calls("C_Finalize"));
  }

  // A module the host runs itself stays initialised for the host.
  fake.reset(1);
  ASSERT_EQ(CKR_OK, fake.entry<CK_C_Initialize>("C_Initialize")(nullptr));
  ASSERT_EQ(0, zmr::hsm_loaddriver(fake.path.c_str()));
  EXPECT_EQ(25003, zmr::hsm_initialize());
  EXPECT_EQ(0, zmr::hsm_finalize());
  EXPECT_EQ(0u, fake.calls("C_Finalize"));
  EXPECT_EQ(1, fake.initialised());
  EXPECT_EQ("", takeError());
  EXPECT_EQ(CKR_OK, fake.entry<CK_C_Finalize>("C_Finalize")(nullptr));
}

TEST_F(HsmDriverLoading, FailedFinalisationKeepsTheDriver) {
  FakeP11 fake;
  ASSERT_EQ(0, zmr::hsm_loaddriver(fake.path.c_str()));
  ASSERT_EQ(0, zmr::hsm_initialize());
  EXPECT_EQ(25001, zmr::hsm_loaddriver(fake.path.c_str()));  // one driver at a time
  fake.setrv("C_Finalize", CKR_GENERAL_ERROR);
  EXPECT_EQ(25017, zmr::hsm_finalize());
  EXPECT_TRUE(zmr::hsm_driverloaded());
  fake.reset(1);
  EXPECT_EQ(0, zmr::hsm_finalize());
  EXPECT_FALSE(zmr::hsm_driverloaded());
  EXPECT_EQ(0, fake.initialised());
}

TEST_F(Pkcs11ErrorLine, NamesTheReturnValue) {
  struct Case {
    int code;
    CK_RV rv;
    std::string line;
  } cases[] = {
      {25023, CKR_KEY_HANDLE_INVALID, kPkcs11Line + "KEY_HANDLE_INVALID\n"},
      {25009, CKR_PIN_INCORRECT, kPkcs11Line + "PIN_INCORRECT\n"},
      {25009, CKR_CANCEL, kPkcs11Line + "CANCEL\n"},
      {25005, CKR_MUTEX_NOT_LOCKED, kPkcs11Line + "MUTEX_NOT_LOCKED\n"},
      {25005, CKR_DOMAIN_PARAMS_INVALID, kPkcs11Line + "UNKNOWN_CRYPTOKI_ERRORCODE\n"},
      {25005, CKR_FUNCTION_REJECTED, kPkcs11Line + "UNKNOWN_CRYPTOKI_ERRORCODE\n"},
      {25005, CKR_VENDOR_DEFINED | 5, kPkcs11Line + "UNKNOWN_CRYPTOKI_ERRORCODE\n"},
      {0, CKR_GENERAL_ERROR, ""},
      {25005, CKR_OK, ""},
  };
  for (const Case& c : cases) {
    zmr::appendpkcs11errorcode(0, c.code, c.rv);
    EXPECT_EQ(c.line, takeError()) << c.rv;
  }
}

// A loaded and initialised fake with two slots; the merchant's keys are on
// the second one.
class FakeDriverTest : public hsmtest::Test {
 protected:
  void SetUp() override {
    hsmtest::Test::SetUp();
    ASSERT_NE(nullptr, fake.handle);
    fake.reset(2);
    fake.addobject(1, "signkey", CKO_PUBLIC_KEY);
    fake.addobject(1, "signkey", CKO_PRIVATE_KEY);
    fake.addobject(1, "authkey", CKO_PRIVATE_KEY);
    ASSERT_EQ(0, zmr::hsm_loaddriver(fake.path.c_str()));
    ASSERT_EQ(0, zmr::hsm_initialize());
  }
  void TearDown() override {
    fake.reset(0);
    EXPECT_EQ(0, zmr::hsm_finalize());
    hsmtest::Test::TearDown();
  }
  void open(MerchantSession& m, int32_t slot = -1) {
    ASSERT_EQ(0, zmr::hsm_opensession(m.state(), "signkey", slot, kPin)) << takeError();
  }
  FakeP11 fake;
};

TEST_F(FakeDriverTest, SearchFindsTheLabelPastUnusableSlots) {
  struct Case {
    CK_RV openrv;
    CK_RV loginrv;
  } firstslot[] = {
      {CKR_OK, CKR_OK},  // logged in, label absent
      {CKR_OK, CKR_PIN_INCORRECT},
      {CKR_OK, CKR_USER_PIN_NOT_INITIALIZED},
      {CKR_TOKEN_NOT_RECOGNIZED, CKR_OK},
      {CKR_TOKEN_NOT_PRESENT, CKR_OK},
      {CKR_DEVICE_REMOVED, CKR_OK},
  };
  for (const Case& c : firstslot) {
    SCOPED_TRACE(testing::Message() << c.openrv << "/" << c.loginrv);
    fake.setslot(0, c.openrv, c.loginrv);
    MerchantSession m;
    open(m);
    uint64_t slot = 0;
    zmr::getslotid(m.state(), &slot);
    EXPECT_EQ(fake.slotid(1), slot);
    EXPECT_EQ(0, fake.loggedin(0));
    EXPECT_EQ(1u, fake.opensessions());
    EXPECT_EQ("", takeError());
    ASSERT_EQ(0, zmr::hsm_closesession(m.state()));
  }
}

TEST_F(FakeDriverTest, SearchOverManySlots) {
  fake.reset(150);
  fake.addobject(140, "signkey", CKO_PRIVATE_KEY);
  MerchantSession m;
  open(m);
  uint64_t slot = 0;
  zmr::getslotid(m.state(), &slot);
  EXPECT_EQ(fake.slotid(140), slot);
  ASSERT_EQ(0, zmr::hsm_closesession(m.state()));

  MerchantSession n;
  EXPECT_EQ(25032, zmr::hsm_opensession(n.state(), "nothere", -1, kPin));
  EXPECT_EQ(0u, fake.opensessions());
  takeError();

  // A count no module has is not taken at its word.
  fake.setslotcount(1u << 20);
  EXPECT_EQ(25005, zmr::hsm_opensession(n.state(), "signkey", -1, kPin));
  EXPECT_EQ(0u, fake.opensessions());
}

TEST_F(FakeDriverTest, SearchWithoutSlotsOrLabel) {
  fake.reset(0);
  MerchantSession m;
  EXPECT_EQ(25031, zmr::hsm_opensession(m.state(), "signkey", -1, kPin));
  EXPECT_EQ(
      "hsmclient_findslotforlabel: There are no slots with a token attached.\n"
      "hsmclient_hsm_opensession: An error occured trying to find the token where the merchants credentials are "
      "stored.\n",
      takeError());

  // The label nowhere, and a PIN refused on the way.
  fake.reset(2);
  fake.setslot(0, CKR_OK, CKR_PIN_INCORRECT);
  EXPECT_EQ(25032, zmr::hsm_opensession(m.state(), "signkey", -1, kPin));
  EXPECT_EQ(
      "hsmclient_findslotforlabel: Did not find the object with the given label. The password may be wrong, check "
      "the PKCS#11 password.\n"
      "hsmclient_hsm_opensession: An error occured trying to find the token where the merchants credentials are "
      "stored.\n",
      takeError());
  EXPECT_EQ(0u, fake.opensessions());
  EXPECT_EQ(0u, m.context());
}

TEST_F(FakeDriverTest, SearchFailuresCloseWhatTheyOpened) {
  const std::string tail = "hsmclient_hsm_opensession: An error occured trying to find the token where the merchants "
                           "credentials are stored.\n";
  struct Case {
    const char* fn;
    CK_RV rv;
    int code;
    std::string line;
  } cases[] = {
      {"C_GetSlotList", CKR_GENERAL_ERROR, 25005,
       "hsmclient_findslotforlabel: An error occured calling C_GetSlotList on the hsm PKCS11 driver.\n"},
      {"C_OpenSession", CKR_DEVICE_ERROR, 25007,
       "hsmclient_findslotforlabel: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n"},
      {"C_Login", CKR_PIN_LOCKED, 25009,
       "hsmclient_findslotforlabel: An error occured calling C_Login on the hsm PKCS11 driver. Is your password "
       "correct ?\n"},
      {"C_FindObjectsInit", CKR_DEVICE_ERROR, 25025,
       "hsmclient_findslotforlabel: An error occured calling C_FindObjectsInit on the hsm PKCS11 driver.\n"},
      {"C_FindObjects", CKR_DEVICE_ERROR, 25027,
       "hsmclient_findslotforlabel: An error occured calling C_FindObjects on the hsm PKCS11 driver.\n"},
      {"C_FindObjectsFinal", CKR_DEVICE_ERROR, 25029,
       "hsmclient_findslotforlabel: An error occured calling C_FindObjectsFinal on the hsm PKCS11 driver.\n"},
      {"C_Logout", CKR_DEVICE_ERROR, 25009,
       "hsmclient_findslotforlabel: An error occured calling C_Logout on the hsm PKCS11 driver.\n"},
      {"C_CloseSession", CKR_DEVICE_ERROR, 25015,
       "hsmclient_findslotforlabel: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fn);
    fake.reset(2);
    fake.addobject(1, "signkey", CKO_PRIVATE_KEY);
    fake.setrv(c.fn, c.rv);
    MerchantSession m;
    EXPECT_EQ(c.code, zmr::hsm_opensession(m.state(), "signkey", -1, kPin));
    std::string name = zmr::pkcs11errorname(c.rv);
    std::string pkcs11 = kPkcs11Line + name + "\n";
    EXPECT_EQ(c.line + pkcs11 + tail + pkcs11, takeError());
    EXPECT_EQ(0u, m.context());
    if (std::string(c.fn) != "C_CloseSession") {
      EXPECT_EQ(0u, fake.opensessions());
      EXPECT_EQ(0, fake.loggedin(0));  // the search's own login is undone
    }
  }
}

TEST_F(FakeDriverTest, SearchKeepsAnotherSessionsLogin) {
  MerchantSession first;
  open(first, static_cast<int32_t>(fake.slotid(1)));
  fake.setslot(0, CKR_TOKEN_NOT_PRESENT, CKR_OK);  // only the merchant's slot is searched
  MerchantSession second;
  open(second);
  EXPECT_EQ(0u, fake.calls("C_Logout"));
  EXPECT_EQ(1, fake.loggedin(1));

  // Closing one of two merchant sessions on a slot keeps the login.
  ASSERT_EQ(0, zmr::hsm_closesession(first.state()));
  EXPECT_EQ(0u, fake.calls("C_Logout"));
  EXPECT_EQ(1, fake.loggedin(1));
  ASSERT_EQ(0, zmr::hsm_closesession(second.state()));
  EXPECT_EQ(1u, fake.calls("C_Logout"));
  EXPECT_EQ(0u, fake.opensessions());
}

TEST_F(FakeDriverTest, FailedLoginClosesTheSession) {
  fake.setslot(1, CKR_OK, CKR_GENERAL_ERROR);
  MerchantSession m;
  EXPECT_EQ(25009, zmr::hsm_opensession(m.state(), "signkey", static_cast<int32_t>(fake.slotid(1)), kPin));
  EXPECT_EQ(
      "hsmclient_hsm_opensession: An error occured calling C_Login on the hsm PKCS11 driver. Is your password "
      "correct ?\n" +
          kPkcs11Line + "GENERAL_ERROR\n",
      takeError());
  EXPECT_EQ(0u, fake.opensessions());
  EXPECT_EQ(0u, m.context());
  EXPECT_EQ(0, zmr::hsm_closesession(m.state()));  // nothing left to close
}

TEST_F(FakeDriverTest, ClosingFailures) {
  MerchantSession m;
  open(m);
  uint64_t handle = m.context();
  fake.setrv("C_Logout", CKR_DEVICE_ERROR);
  EXPECT_EQ(25013, zmr::hsm_closesession(m.state()));
  EXPECT_EQ("hsmclient_hsm_closesession: An error occured calling C_Logout on the hsm PKCS11 driver\n" +
                kPkcs11Line + "DEVICE_ERROR\n",
            takeError());
  EXPECT_EQ(handle, m.context());  // still open and usable
  EXPECT_EQ(1u, fake.opensessions());

  fake.setrv("C_Logout", CKR_USER_NOT_LOGGED_IN);
  fake.setrv("C_CloseSession", CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(25015, zmr::hsm_closesession(m.state()));
  EXPECT_EQ("hsmclient_hsm_closesession: An error occured calling C_CloseSession on the hsm PKCS11 driver\n" +
                kPkcs11Line + "SESSION_HANDLE_INVALID\n",
            takeError());
  EXPECT_EQ(handle, m.context());
}

// Signing and decryption, one failing driver call at a time: the code, the
// lines, and the per-call session closed again.
TEST_F(FakeDriverTest, SigningFailures) {
  MerchantSession m;
  open(m);
  const std::string keyline = "hsmclient_hsm_signdata: An error occured trying to find the private key matching the label.\n";
  struct Case {
    const char* fn;
    CK_RV rv;
    int code;
    std::string lines;  // before the PKCS#11 line
  } cases[] = {
      {"C_OpenSession", CKR_SESSION_COUNT, 25007,
       "hsmclient_hsm_opensession: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n"},
      {"C_Login", CKR_PIN_EXPIRED, 25009,
       "hsmclient::hsm_signdata: An error occured calling C_Login on the hsm PKCS11 driver. Is your password correct "
       "?\n"},
      {"C_FindObjectsInit", CKR_DEVICE_ERROR, 25025,
       "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjectsInit on the hsm PKCS11 driver\n" +
           kPkcs11Line + "DEVICE_ERROR\n" + keyline},
      {"C_FindObjects", CKR_DEVICE_ERROR, 25027,
       "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjects on the hsm PKCS11 driver\n" +
           kPkcs11Line + "DEVICE_ERROR\n" + keyline},
      {"C_FindObjectsFinal", CKR_DEVICE_ERROR, 25029,
       "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjectsFinal on the hsm PKCS11 driver\n" +
           kPkcs11Line + "DEVICE_ERROR\n" + keyline},
      {"C_SignInit", CKR_MECHANISM_INVALID, 25021,
       "hsmclient_hsm_signdata: An error occured calling C_SignInit on the hsm PKCS11 driver.\n"},
      {"C_Sign", CKR_KEY_HANDLE_INVALID, 25023,
       "hsmclient_hsm_signdata: An error occured calling C_Sign on the hsm PKCS11 driver.\n"},
      {"C_CloseSession", CKR_DEVICE_ERROR, 25015,
       "hsmclient_hsm_signdata: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n"},
  };
  std::vector<unsigned char> digestinfo = hsmtest::sha256DigestInfo("data");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fn);
    fake.setrv(c.fn, c.rv);
    std::vector<unsigned char> sig;
    EXPECT_EQ(c.code, zmr::hsm_signdata(m.state(), digestinfo.data(), digestinfo.size(), sig, "signkey", zmr::HsmRsa::pkcs1));
    EXPECT_EQ(c.lines + kPkcs11Line + zmr::pkcs11errorname(c.rv) + "\n", takeError());
    EXPECT_TRUE(sig.empty());
    fake.clearrv(c.fn);
    // Only the merchant's own session is open (a failed close stays open).
    EXPECT_EQ(std::string(c.fn) == "C_CloseSession" ? 2u : 1u, fake.opensessions());
  }
}

TEST_F(FakeDriverTest, SigningUsesThePrivateKeyAndItsOwnSession) {
  MerchantSession m;
  open(m, static_cast<int32_t>(fake.slotid(1)));
  std::vector<unsigned char> digestinfo = hsmtest::sha256DigestInfo("data");
  std::vector<unsigned char> sig;
  ASSERT_EQ(0, zmr::hsm_signdata(m.state(), digestinfo.data(), digestinfo.size(), sig, "signkey", zmr::HsmRsa::pkcs1));
  EXPECT_EQ(std::vector<unsigned char>(256, 0xA5), sig);
  EXPECT_EQ(1u, fake.opensessions());
  EXPECT_EQ(2u, fake.calls("C_OpenSession"));  // the merchant's and the call's

  // A module that claims more than it could have written is not believed.
  fake.setsignlen(5000);
  sig.clear();
  EXPECT_EQ(25023, zmr::hsm_signdata(m.state(), digestinfo.data(), digestinfo.size(), sig, "signkey", zmr::HsmRsa::pkcs1));
  EXPECT_EQ("hsmclient_hsm_signdata: An error occured calling C_Sign on the hsm PKCS11 driver.\n", takeError());
  EXPECT_TRUE(sig.empty());
  EXPECT_EQ(1u, fake.opensessions());
}

TEST_F(FakeDriverTest, DecryptionFailures) {
  MerchantSession m;
  open(m);
  const std::string label = "authkey";
  struct Case {
    const char* fn;
    CK_RV rv;
    int code;
    std::string line;
  } cases[] = {
      {"C_OpenSession", CKR_SESSION_COUNT, 25007,
       "hsmclient_hsm_decrypt: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n"},
      {"C_Login", CKR_PIN_EXPIRED, 25009,
       "hsmclient::hsm_signdata: An error occured calling C_Login on the hsm PKCS11 driver. Is your password correct "
       "?\n"},
      {"C_DecryptInit", CKR_KEY_TYPE_INCONSISTENT, 25036,
       "hsmclient_hsm_decrypt: An error occured calling C_DecryptInit on the hsm PKCS11 driver.\n"},
      {"C_Decrypt", CKR_ENCRYPTED_DATA_INVALID, 25037,
       "hsmclient_hsm_decrypt: An error occured calling C_Decrypt on the hsm PKCS11 driver.\n"},
      {"C_CloseSession", CKR_DEVICE_ERROR, 25015,
       "hsmclient_hsm_decrypt: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n"},
  };
  const unsigned char data[256] = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fn);
    // A refusal of C_Decrypt is reported like any other, even for a raw block.
    for (zmr::HsmRsa mechanism : {zmr::HsmRsa::pkcs1, zmr::HsmRsa::raw}) {
      fake.setrv(c.fn, c.rv);
      zmr::SecretBytes plain;
      EXPECT_EQ(c.code, zmr::hsm_decrypt(m.state(), data, sizeof data, plain, &label, mechanism));
      EXPECT_EQ(c.line + kPkcs11Line + zmr::pkcs11errorname(c.rv) + "\n", takeError());
      EXPECT_TRUE(plain.bytes.empty());
      fake.clearrv(c.fn);
      if (std::string(c.fn) != "C_CloseSession") {
        EXPECT_EQ(1u, fake.opensessions());
      }
    }
  }
  const std::pair<zmr::HsmRsa, CK_MECHANISM_TYPE> mechanisms[] = {
      {zmr::HsmRsa::pkcs1, CKM_RSA_PKCS}, {zmr::HsmRsa::oaep, CKM_RSA_PKCS_OAEP}, {zmr::HsmRsa::raw, CKM_RSA_X_509}};
  for (const auto& [mechanism, type] : mechanisms) {
    zmr::SecretBytes plain;
    ASSERT_EQ(0, zmr::hsm_decrypt(m.state(), data, sizeof data, plain, &label, mechanism));
    EXPECT_EQ("fake plaintext", std::string(plain.bytes.begin(), plain.bytes.end()));
    EXPECT_EQ(type, fake.lastmechanism());
  }
}

TEST_F(FakeDriverTest, VerifierKeyImport) {
  MerchantSession m;
  open(m);
  zmr::EvpPkeyPtr key = zmrtest::testKey(1024, 3);

  fake.setrv("C_CreateObject", CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(25019, zmr::hsm_createp11privkeyhandle(m.state(), key.get(), "CentralVerifier"));
  EXPECT_EQ(
      "hsmclient_hsm_createp11privkeyhandle: An error occured calling C_CreateObject on the hsm PKCS11 driver.\n" +
          kPkcs11Line + "TEMPLATE_INCONSISTENT\n",
      takeError());
  EXPECT_EQ(1u, fake.opensessions());
  uint64_t handle = 0;
  EXPECT_EQ(2042, zmr::getverifierkeyhandle(m.state(), &handle));

  fake.clearrv("C_CreateObject");
  // The fake refuses objects in read-only sessions, as the standard says.
  ASSERT_EQ(0, zmr::hsm_createp11privkeyhandle(m.state(), key.get(), "CentralVerifier")) << takeError();
  EXPECT_EQ("", takeError());
  ASSERT_EQ(0, zmr::getverifierkeyhandle(m.state(), &handle));
  EXPECT_EQ(fake.objecthandle(1, 3), handle);  // after the three keys
  unsigned long created = fake.calls("C_CreateObject");
  ASSERT_EQ(0, zmr::hsm_createp11privkeyhandle(m.state(), key.get(), "CentralVerifier"));
  EXPECT_EQ(created, fake.calls("C_CreateObject"));  // found, not made again
  EXPECT_EQ(1u, fake.opensessions());

  fake.setrv("C_FindObjects", CKR_DEVICE_ERROR);
  EXPECT_EQ(25027, zmr::hsm_createp11privkeyhandle(m.state(), key.get(), "CentralVerifier"));
  EXPECT_EQ(
      "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjects on the hsm PKCS11 driver\n" +
          kPkcs11Line + "DEVICE_ERROR\n" +
          "hsmclient_hsm_createp11privkeyhandle: An error occured trying to find the private key matching the "
          "label.\n" +
          kPkcs11Line + "DEVICE_ERROR\n",
      takeError());
  EXPECT_EQ(1u, fake.opensessions());

  // Not an RSA private key: nothing reaches the module.
  zmr::EvpPkeyPtr ec = zmrtest::testKeyOfType("ec");
  unsigned long opened = fake.calls("C_OpenSession");
  EXPECT_EQ(33002, zmr::hsm_createp11privkeyhandle(m.state(), ec.get(), "CentralVerifier"));
  EXPECT_EQ(opened, fake.calls("C_OpenSession"));
  takeError();
}

}  // namespace
