// The exported verification, signer information, signer listing and
// central-verifier decryption: the argument frame, the key usages and
// item indexes the frame chooses, and results handed to the caller.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <zmr/zmr.h>

#include <string>

#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/merchant.h"
#include "support/tempdir.h"
#include "support/verifiers.h"

namespace {

using zmrtest::take;

class VerifyingApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    m = zmrtest::makeMerchantFiles("verifying-api", 2);
    ASSERT_EQ(0, zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
  }
  void TearDown() override {
    if (unreadable != nullptr) munmap(unreadable, 4096);
    EXPECT_EQ(0, zmr_finalize());
  }
  void* noaccess() {
    if (unreadable == nullptr) unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return unreadable;
  }
  // The merchant's own signature over data, made by zmr_signdata.
  std::string merchantSignature(const std::string& data) {
    char* out = nullptr;
    EXPECT_EQ(0, zmr_signdata(s, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &out));
    return take(out);
  }

  zmrtest::MerchantFiles m;
  int s = -1;
  void* unreadable = nullptr;
};

TEST_F(VerifyingApi, ArgumentFrame) {
  const std::string p7 = merchantSignature("data");
  const char* pkcs7 = p7.c_str();
  const auto* data = reinterpret_cast<const unsigned char*>("data");
  auto* bad = static_cast<const char*>(noaccess());
  auto* badbytes = static_cast<const unsigned char*>(noaccess());
  auto** badout = static_cast<char**>(noaccess());
  signatures list{const_cast<char*>(pkcs7), nullptr, nullptr};
  auto* badlist = static_cast<const signatures*>(noaccess());
  char* out = nullptr;
  struct Case {
    const char* what;
    int code;
    int rc;
  } cases[] = {
      {"verifydata session -1", 33002, zmr_verifydata(-1, pkcs7, data, 4)},
      {"verifydata null pkcs7", 33002, zmr_verifydata(s, nullptr, data, 4)},
      {"verifydata unreadable pkcs7", 33003, zmr_verifydata(s, bad, data, 4)},
      {"verifydata null data", 33002, zmr_verifydata(s, pkcs7, nullptr, 4)},
      {"verifydata unreadable data", 33003, zmr_verifydata(s, pkcs7, badbytes, 4)},
      {"verifydata not open", 2009, zmr_verifydata(s + 1, pkcs7, data, 4)},
      {"hashverifydata session -1", 33002, zmr_hashverifydata(-1, pkcs7, "aGFzaA==", 0)},
      {"hashverifydata null pkcs7", 33002, zmr_hashverifydata(s, nullptr, "aGFzaA==", 0)},
      {"hashverifydata null hash", 33002, zmr_hashverifydata(s, pkcs7, nullptr, 0)},
      {"hashverifydata unreadable hash", 33003, zmr_hashverifydata(s, pkcs7, bad, 0)},
      {"hashverifydata negative selector", 33002, zmr_hashverifydata(s, pkcs7, "aGFzaA==", -1)},
      {"hashverifydata hash not base64", 21002, zmr_hashverifydata(s, pkcs7, "@", 0)},
      {"hashverifydata not open", 2009, zmr_hashverifydata(s + 1, pkcs7, "aGFzaA==", 0)},
      {"getpkcs7info session -1", 33002, zmr_getpkcs7info(-1, pkcs7, 0, &out)},
      {"getpkcs7info null pkcs7", 33002, zmr_getpkcs7info(s, nullptr, 0, &out)},
      {"getpkcs7info negative item", 33002, zmr_getpkcs7info(s, pkcs7, -1, &out)},
      {"getpkcs7info negative item before null out", 33002, zmr_getpkcs7info(s, pkcs7, -1, nullptr)},
      {"getpkcs7info null out", 33002, zmr_getpkcs7info(s, pkcs7, 0, nullptr)},
      {"getpkcs7info unreadable out", 33003, zmr_getpkcs7info(s, pkcs7, 0, badout)},
      {"getpkcs7info item 20", 7002, zmr_getpkcs7info(s, pkcs7, 20, &out)},
      {"getpkcs7info item 20 after the checks", 33002, zmr_getpkcs7info(s, pkcs7, 20, nullptr)},
      {"getpkcs7info item 20 on a closed session", 7002, zmr_getpkcs7info(s + 1, pkcs7, 20, &out)},
      {"getpkcs7info not open", 2009, zmr_getpkcs7info(s + 1, pkcs7, 0, &out)},
      {"getsigners session -1", 33002, zmr_getsigners(-1, &list, &out)},
      {"getsigners null list", 33002, zmr_getsigners(s, nullptr, &out)},
      {"getsigners unreadable list", 33003, zmr_getsigners(s, badlist, &out)},
      {"getsigners null out", 33002, zmr_getsigners(s, &list, nullptr)},
      {"getsigners not open", 2009, zmr_getsigners(s + 1, &list, &out)},
      {"assymetricdecrypt session -1", 33002, zmr_assymetricdecrypt(-1, "k", "p", "aQ==", &out)},
      {"assymetricdecrypt null key file", 33003, zmr_assymetricdecrypt(s, nullptr, "p", "aQ==", &out)},
      {"assymetricdecrypt null password", 33003, zmr_assymetricdecrypt(s, "k", nullptr, "aQ==", &out)},
      {"assymetricdecrypt unreadable input", 33003, zmr_assymetricdecrypt(s, "k", "p", bad, &out)},
      {"assymetricdecrypt null out", 33003, zmr_assymetricdecrypt(s, "k", "p", "aQ==", nullptr)},
      {"assymetricdecrypt not open", 2009, zmr_assymetricdecrypt(s + 1, "k", "p", "aQ==", &out)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, c.rc) << c.what;
  EXPECT_EQ(nullptr, out);
}

TEST_F(VerifyingApi, VerifiesWithTheUsageTheFrameChooses) {
  // The merchant's signing certificate has nonRepudiation only.
  const std::string data = "amount=100";
  const std::string p7 = merchantSignature(data);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  EXPECT_EQ(0, zmr_verifydata(s, p7.c_str(), bytes, data.size())) << zmrtest::recentError(s);
  EXPECT_EQ(12003, zmr_verifydata(s, p7.c_str(), bytes, data.size() - 1));
  const std::string line = "verifydata_verifydata: The pkcs7 signature did not verify.\n";
  std::string error = zmrtest::recentError(s);
  ASSERT_GE(error.size(), line.size());
  EXPECT_EQ(line, error.substr(error.size() - line.size()));

  std::string digest = zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), data));
  EXPECT_EQ(0, zmr_hashverifydata(s, p7.c_str(), digest.c_str(), 0)) << zmrtest::recentError(s);
  EXPECT_EQ(6002, zmr_hashverifydata(s, p7.c_str(), digest.c_str(), 7));
  EXPECT_EQ("verifydata_verifydata: The key usages of the signing certificate does not match expected key values.\n",
            zmrtest::recentError(s));

  // An end user's signature with both usages passes either way.
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(m.pki.endUser, data);
  std::string user = zmrtest::makePkcs7Base64(spec);
  EXPECT_EQ(0, zmr_hashverifydata(s, user.c_str(), digest.c_str(), 1)) << zmrtest::recentError(s);
  EXPECT_EQ(0, zmr_verifydata(s, user.c_str(), bytes, data.size())) << zmrtest::recentError(s);
}

TEST_F(VerifyingApi, ItemsAndSignersAreHandedOut) {
  const std::string p7 = merchantSignature("data");
  char* out = nullptr;
  ASSERT_EQ(0, zmr_getpkcs7info(s, p7.c_str(), ZMR_P7_SIGNINGCERTIFICATE, &out)) << zmrtest::recentError(s);
  EXPECT_EQ(m.pki.merchantSign.derBase64(), take(out));
  ASSERT_EQ(0, zmr_getpkcs7info(s, p7.c_str(), ZMR_P7_SIGNINGTIMELONGSTRING, &out)) << zmrtest::recentError(s);
  std::string time = take(out);
  ASSERT_EQ(0, zmr_getpkcs7info(s, p7.c_str(), ZMR_P7_COMMONNAME, &out));
  std::string name = take(out);

  signatures second{const_cast<char*>(p7.c_str()), nullptr, nullptr};
  signatures first{const_cast<char*>(p7.c_str()), nullptr, &second};
  ASSERT_EQ(0, zmr_getsigners(s, &first, &out)) << zmrtest::recentError(s);
  std::string one = time + ";" + zmrtest::kPolicySignOnly + ";" + name;
  EXPECT_EQ(one + ";" + one, take(out));
  second.pkcs7 = nullptr;
  EXPECT_EQ(33002, zmr_getsigners(s, &first, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(VerifyingApi, DecryptsWithTheCentralVerifierKey) {
  std::string dir = zmrtest::makeTempDir("verifying-api-decrypt");
  zmr::EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  {
    zmr::BioPtr bio(BIO_new_file((dir + "/key.pem").c_str(), "w"));
    ASSERT_TRUE(bio && PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr));
  }
  zmrtest::writeFile(dir + "/plain", "to the verifier");
  ASSERT_EQ(0, zmrtest::runCommand("openssl pkcs8 -topk8 -in " + dir + "/key.pem -outform DER -out " + dir +
                                       "/key.der -passout pass:pw && openssl pkeyutl -encrypt -inkey " + dir +
                                       "/key.pem -in " + dir + "/plain -out " + dir + "/cipher",
                                   nullptr));
  std::string cipher = zmrtest::toBase64(zmrtest::readFile(dir + "/cipher"));
  char* out = nullptr;
  ASSERT_EQ(0, zmr_assymetricdecrypt(s, (dir + "/key.der").c_str(), "pw", cipher.c_str(), &out))
      << zmrtest::recentError(s);
  EXPECT_EQ("to the verifier", zmrtest::fromBase64(take(out)));
  EXPECT_EQ(22005, zmr_assymetricdecrypt(s, "", "", "AAAA", &out));
  EXPECT_EQ(nullptr, out);
}

}  // namespace
