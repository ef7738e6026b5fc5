// Decryption with the central verifier key: PKCS#8 files as `openssl
// pkcs8` writes them, ciphertexts as `openssl pkeyutl` makes them, the key
// read once per session, in software, in SoftHSM2 and with the fake driver.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <string>

#include "hsm/hsmclient.h"
#include "hsm/hsmtest.h"
#include "store/setup.h"
#include "services/verifying/decrypting.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/softhsm.h"
#include "support/tempdir.h"
#include "support/verifiers.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr const char* kPassword = "central secret";
constexpr const char* kPin = "1234";
const std::string kPlain = "the verifier's plaintext";
const std::string p = "assymetricdecrypt_assymetricdecrypt: ";

// Files of one key: its plain PKCS#8 PEM, encrypted forms made by `openssl
// pkcs8`, and ciphertexts made by `openssl pkeyutl`.
struct VerifierFiles {
  explicit VerifierFiles(EVP_PKEY* key, const std::string& tag = "verifier") : dir(zmrtest::makeTempDir(tag)) {
    BioPtr bio(BIO_new_file((dir + "/key.pem").c_str(), "w"));
    EXPECT_TRUE(bio && PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
  }
  // The key encrypted with the pkcs8 options; its path.
  std::string encrypted(const std::string& name, const std::string& options, const std::string& password = kPassword) {
    std::string out = dir + "/" + name + ".der";
    std::string log;
    std::string command = "openssl pkcs8 -topk8 -in " + dir + "/key.pem -outform DER -out " + out + " -passout 'pass:" +
                          password + "' " + options + " 2>&1";
    EXPECT_EQ(0, zmrtest::runCommand(command, &log)) << command << "\n" << log;
    return out;
  }
  // base64 of the plaintext encrypted for the key with PKCS#1 v1.5 padding.
  std::string ciphertext(const std::string& plain = kPlain) {
    zmrtest::writeFile(dir + "/plain", plain);
    std::string log;
    std::string command = "openssl pkeyutl -encrypt -inkey " + dir + "/key.pem -pkeyopt rsa_padding_mode:pkcs1 -in " +
                          dir + "/plain -out " + dir + "/cipher 2>&1";
    EXPECT_EQ(0, zmrtest::runCommand(command, &log)) << log;
    return zmrtest::toBase64(zmrtest::readFile(dir + "/cipher"));
  }
  std::string dir;
};

class CentralVerifier : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(0, initstructures()); }
  void SetUp() override {
    key = zmrtest::testKey(2048, 60);
    files = std::make_unique<VerifierFiles>(key.get());
    keyfile = files->encrypted("pbes2", "");
    session = newSession();
  }
  void TearDown() override { freeSessions(); }
  static int newSession() {
    return zmrtest::openStoreSession();
  }
  int decrypt(const std::string& path, const std::string& password, const std::string& input, std::string& out,
              int on = -1) {
    SecretString plain;
    int rc = assymetricdecrypt(on < 0 ? session : on, path.c_str(), password, input, plain);
    out = plain.value;
    return rc;
  }

  EvpPkeyPtr key;
  std::unique_ptr<VerifierFiles> files;
  std::string keyfile;
  int session = -1;
};

TEST_F(CentralVerifier, EveryPkcs8Form) {
  const std::string legacy = " -provider legacy -provider default";
  struct Form {
    const char* name;
    std::string options;
  };
  const Form forms[] = {
      {"PBES2, AES-256, HMAC-SHA-256", ""},
      {"PBES2, AES-128, HMAC-SHA-1", "-v2 aes-128-cbc -v2prf hmacWithSHA1"},
      {"PBES2, triple DES", "-v2 des3"},
      {"PBE-SHA1-3DES", "-v1 PBE-SHA1-3DES"},
      {"PBE-MD5-DES", "-v1 PBE-MD5-DES" + legacy},
      {"PBE-SHA1-RC2-40", "-v1 PBE-SHA1-RC2-40" + legacy},
  };
  const std::string cipher = files->ciphertext();
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    std::string path = files->encrypted(std::string("form") + std::to_string(&form - forms), form.options);
    int s = newSession();
    std::string out;
    EXPECT_EQ(0, decrypt(path, kPassword, cipher, out, s)) << zmrtest::takeRecentError();
    EXPECT_EQ(zmrtest::toBase64(kPlain), out);
    freesession(s);
  }
  // The legacy algorithms came from the library's own context.
  EXPECT_EQ(0, OSSL_PROVIDER_available(nullptr, "legacy"));
}

TEST_F(CentralVerifier, KeyFileFaults) {
  zmrtest::writeFile(files->dir + "/empty", "");
  std::string plainDer = files->dir + "/plain.der";
  ASSERT_EQ(0, zmrtest::runCommand("openssl pkcs8 -topk8 -nocrypt -in " + files->dir + "/key.pem -outform DER -out " +
                                       plainDer,
                                   nullptr));
  zmrtest::writeFile(files->dir + "/trailing.der", zmrtest::readFile(keyfile) + "x");
  VerifierFiles ec(zmrtest::testKeyOfType("ec", 1).get(), "verifier-ec");
  const std::string notpkcs8 = p + "The RSA private key file does not contain a valid PKCS#8 structure.\n";
  struct Case {
    const char* name;
    std::string path;
    std::string password;
    int code;
    std::string error;
  };
  const Case cases[] = {
      {"no such file", files->dir + "/missing.der", kPassword, 22001,
       p + "Could not open the RSA private keystore. Check the path!\n"},
      {"a directory", files->dir, kPassword, 22002, notpkcs8},
      {"empty", files->dir + "/empty", kPassword, 22002, notpkcs8},
      {"PEM", files->dir + "/key.pem", kPassword, 22002, notpkcs8},
      {"not encrypted", plainDer, kPassword, 22002, notpkcs8},
      {"trailing byte", files->dir + "/trailing.der", kPassword, 22002, notpkcs8},
      {"wrong password", keyfile, "wrong", 22003,
       p + "Unable to decrypt the PKCS#8 structure. Possibly wrong password supplied\n"},
      {"password with a byte more", keyfile, std::string(kPassword) + " ", 22003,
       p + "Unable to decrypt the PKCS#8 structure. Possibly wrong password supplied\n"},
      {"EC key", ec.encrypted("ec", ""), kPassword, 22004,
       p + "Unable to create a private key from the decrypted PKCS#8.\n"},
  };
  const std::string cipher = files->ciphertext();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale";
    EXPECT_EQ(c.code, decrypt(c.path, c.password, cipher, out));
    EXPECT_EQ("", out);
    EXPECT_EQ(c.error, zmrtest::takeRecentError());
  }
  std::string out;
  EXPECT_EQ(0, decrypt(keyfile, kPassword, cipher, out)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64(kPlain), out);
  // The recent error goes on entry, before the session is checked.
  setlasterror(session, "left by an earlier call\n");
  EXPECT_EQ(2009, decrypt(keyfile, kPassword, cipher, out, 999));
  EXPECT_EQ("", zmrtest::takeRecentError());
}

TEST_F(CentralVerifier, CiphertextFaults) {
  std::string out;
  ASSERT_EQ(0, decrypt(keyfile, kPassword, files->ciphertext(), out)) << zmrtest::takeRecentError();
  VerifierFiles other(zmrtest::testKey(2048, 61).get(), "verifier-other");
  const std::string failed = p + "An error occured trying to decrypt data with private key\n";
  struct Case {
    const char* name;
    std::string input;
    int code;
    std::string error;
  };
  const Case cases[] = {
      {"for another key", other.ciphertext(), 22005, failed},
      {"random block", zmrtest::toBase64(std::string(255, '\x5a')), 22005, failed},
      {"longer than the modulus", zmrtest::toBase64(std::string(257, '\x01')), 22005, failed},
      {"not base64", "%%%", 21002,
       "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n" + p +
           "An error occured trying to base64 decode the base64 encoded encrypted input.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    out = "stale";
    EXPECT_EQ(c.code, decrypt(keyfile, kPassword, c.input, out));
    EXPECT_EQ("", out);
    EXPECT_EQ(c.error, zmrtest::takeRecentError());
  }
}

TEST_F(CentralVerifier, KeyIsReadOnceAndStays) {
  const std::string cipher = files->ciphertext();
  std::string out;
  // A failure after loading keeps the key.
  ASSERT_EQ(22005, decrypt(keyfile, kPassword, zmrtest::toBase64(std::string(256, '\x01')), out));
  zmrtest::takeRecentError();
  EXPECT_EQ(0, decrypt(keyfile, "wrong", cipher, out)) << zmrtest::takeRecentError();
  EXPECT_EQ(0, decrypt("/nonexistent", "", cipher, out)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64(kPlain), out);
  // Another session reads the file itself.
  int other = newSession();
  EXPECT_EQ(22003, decrypt(keyfile, "wrong", cipher, out, other));
  zmrtest::takeRecentError();
  EXPECT_EQ(0, decrypt(keyfile, kPassword, cipher, out, other)) << zmrtest::takeRecentError();
}

// In an HSM session the key is imported into SoftHSM2 and used there.
class CentralVerifierHsm : public CentralVerifier {
 protected:
  void SetUp() override {
    CentralVerifier::SetUp();
    ASSERT_TRUE(zmrtest::makeSoftHsm("verifierhsm", hsm));
    ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", kPin, &slot)) << hsm.log;
    EvpPkeyPtr signkey = zmrtest::testKey(2048, 0);
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, signkey.get(), "signkey", "01")) << hsm.log;
  }
  void start() {
    ASSERT_EQ(0, hsm_loaddriver(zmrtest::kSoftHsmModule));
    ASSERT_EQ(0, hsm_initialize());
    p11 = hsmtest::moduleFunctions(zmrtest::kSoftHsmModule);
    ASSERT_NE(nullptr, p11);
    ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(session), "signkey", static_cast<int32_t>(slot), kPin)) << zmrtest::takeRecentError();
  }
  void TearDown() override {
    hsm_closesession(*zmrtest::sessionState(session));
    CentralVerifier::TearDown();
    EXPECT_EQ(0, hsm_finalize());
  }
  // Private-key objects labelled CentralVerifier on the token.
  unsigned long verifierObjects() {
    uint64_t h = 0;
    gethsm_sessioncontext(*zmrtest::sessionState(session), &h);
    return hsmtest::privateKeyObjects(p11, h, kVerifierKeyLabel);
  }

  zmrtest::SoftHsm hsm;
  uint64_t slot = 0;
  CK_FUNCTION_LIST* p11 = nullptr;
};

TEST_F(CentralVerifierHsm, ImportsOnceAndDecryptsInTheModule) {
  start();
  std::string out;
  ASSERT_EQ(0, decrypt(keyfile, kPassword, files->ciphertext(), out)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64(kPlain), out);
  EXPECT_EQ(1u, verifierObjects());
  uint64_t handle = 0;
  EXPECT_EQ(0, getverifierkeyhandle(*zmrtest::sessionState(session), &handle));

  VerifierFiles other(zmrtest::testKey(2048, 61).get(), "verifier-other");
  EXPECT_EQ(25037, decrypt(keyfile, kPassword, other.ciphertext(), out));
  std::string error = zmrtest::takeRecentError();
  EXPECT_EQ(0u, error.find("hsmclient_hsm_decrypt: An error occured calling C_Decrypt on the hsm PKCS11 driver.\n"
                           "The PKCS#11 error was: "))
      << error;
  const std::string line = p + "An error occured trying to decrypt the data using HSM.\n";
  ASSERT_GT(error.size(), line.size());
  EXPECT_EQ(line, error.substr(error.size() - line.size()));
  EXPECT_EQ("", out);

  // Another merchant session on the token finds the same object.
  int second = newSession();
  ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(second), "signkey", static_cast<int32_t>(slot), kPin)) << zmrtest::takeRecentError();
  EXPECT_EQ(0, decrypt(keyfile, kPassword, files->ciphertext("again"), out, second)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64("again"), out);
  EXPECT_EQ(1u, verifierObjects());
  uint64_t secondhandle = 0;
  EXPECT_EQ(0, getverifierkeyhandle(*zmrtest::sessionState(second), &secondhandle));
  EXPECT_EQ(handle, secondhandle);
  EXPECT_EQ(0, hsm_closesession(*zmrtest::sessionState(second)));
}

TEST_F(CentralVerifierHsm, AnObjectOfTheSameKeyIsUsed) {
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, key.get(), kVerifierKeyLabel, "0a", true)) << hsm.log;
  start();
  ASSERT_EQ(1u, verifierObjects());
  std::string out;
  ASSERT_EQ(0, decrypt(keyfile, kPassword, files->ciphertext(), out)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64(kPlain), out);
  EXPECT_EQ(1u, verifierObjects());
}

TEST_F(CentralVerifierHsm, AnObjectOfAnotherKeyIsNotUsed) {
  EvpPkeyPtr stale = zmrtest::testKey(2048, 61);
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, stale.get(), kVerifierKeyLabel, "0b", true)) << hsm.log;
  start();
  std::string out;
  ASSERT_EQ(0, decrypt(keyfile, kPassword, files->ciphertext(), out)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64(kPlain), out);
  EXPECT_EQ(2u, verifierObjects());
}

// The fake driver fails the import; the next call loads and imports again.
TEST(CentralVerifierFake, AFailedImportIsRetried) {
  ASSERT_EQ(0, initstructures());
  hsmtest::FakeP11 fake;
  ASSERT_NE(nullptr, fake.handle);
  fake.reset(1);
  fake.addobject(0, "signkey", CKO_PRIVATE_KEY);
  ASSERT_EQ(0, hsm_loaddriver(fake.path.c_str()));
  ASSERT_EQ(0, hsm_initialize());
  int session = zmrtest::openStoreSession();
  ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(session), "signkey", -1, kPin)) << zmrtest::takeRecentError();
  EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  VerifierFiles files(key.get());
  std::string keyfile = files.encrypted("pbes2", "");
  std::string cipher = files.ciphertext();

  fake.setrv("C_CreateObject", CKR_DEVICE_MEMORY);
  SecretString out;
  EXPECT_EQ(25019, assymetricdecrypt(session, keyfile.c_str(), kPassword, cipher, out));
  EXPECT_EQ(
      "hsmclient_hsm_createp11privkeyhandle: An error occured calling C_CreateObject on the hsm PKCS11 driver.\n"
      "The PKCS#11 error was: DEVICE_MEMORY\n" +
          p + "Unable to set the central verifier key as a PKCS#11 handle.\n",
      zmrtest::takeRecentError());
  EVP_PKEY* stored = nullptr;
  EXPECT_EQ(2042, getverifierkey(*zmrtest::sessionState(session), &stored));
  fake.clearrv("C_CreateObject");
  // Nothing was kept: the file is read again.
  EXPECT_EQ(22001, assymetricdecrypt(session, "/nonexistent", kPassword, cipher, out));
  zmrtest::takeRecentError();
  ASSERT_EQ(0, assymetricdecrypt(session, keyfile.c_str(), kPassword, cipher, out)) << zmrtest::takeRecentError();
  EXPECT_EQ(zmrtest::toBase64("fake plaintext"), out.view());
  EXPECT_EQ(2ul, fake.calls("C_CreateObject"));
  EXPECT_EQ(0, hsm_closesession(*zmrtest::sessionState(session)));
  freeSessions();
  fake.reset(0);
  EXPECT_EQ(0, hsm_finalize());
}

}  // namespace
}  // namespace zmr
