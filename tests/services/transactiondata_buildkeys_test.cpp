// The build's table of central-server keys: what a build of the tree holds,
// and which key directories configuring refuses.
#include <gtest/gtest.h>

#include <openssl/pem.h>

#include "misc/centralservers.h"
#include "support/pki.h"
#include "support/tempdir.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

TEST(CentralServers, DefaultBuildHasDevelopmentKeysOnly) {
#ifndef ZMR_CENTRAL_PRIVATE_DIR
  GTEST_SKIP() << "built with ZMR_CENTRAL_KEYS_DIR: no development set";
#else
  auto privatehalf = [](const std::string& name) {
    std::string pem = zmrtest::readFile(std::string(ZMR_CENTRAL_PRIVATE_DIR) + "/" + name);
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  };
  for (int env : {1, 2}) {
    SCOPED_TRACE(env);
    EvpPkeyPtr key = privatehalf("env" + std::to_string(env) + ".key.pem");
    ASSERT_TRUE(key);
    ASSERT_NE(nullptr, centralservermodulus(env));
    EXPECT_EQ(zmrtest::tx::modulusHex(key.get()), centralservermodulus(env));
    EvpPkeyPtr coi = privatehalf("env" + std::to_string(env) + ".coi.key.pem");
    ASSERT_TRUE(coi);
    ASSERT_NE(nullptr, coimodulus(env));
    EXPECT_EQ(zmrtest::tx::modulusHex(coi.get()), coimodulus(env));
    EXPECT_STRNE(centralservermodulus(env), coimodulus(env));
    std::optional<std::string> url = centralserverurl(env, CentralServer::sdm);
    ASSERT_TRUE(url);
    EXPECT_EQ(0u, url->find("https://"));
    EXPECT_NE(std::string::npos, url->find(".invalid/sdm/"));
  }
  EXPECT_STRNE(centralservermodulus(1), centralservermodulus(2));
  EXPECT_STRNE(coimodulus(1), coimodulus(2));
  for (int env : {0, 3, 4, 5, -1}) {
    SCOPED_TRACE(env);
    EXPECT_EQ(nullptr, centralservermodulus(env));
    EXPECT_EQ(nullptr, coimodulus(env));
    for (CentralServer s : {CentralServer::sdm, CentralServer::services, CentralServer::mgmfe, CentralServer::mgmfeutil})
      EXPECT_FALSE(centralserverurl(env, s));
  }
#endif
}

// Configures the table's own small project over a key directory.
int configure(const std::string& keys, std::string& output) {
  std::string build = zmrtest::makeTempDir("centralkeys-build");
  return zmrtest::runCommand("cmake -S " ZMR_SOURCE_DIR "/tests/services/centralkeys -B " + build +
                                 " -DZMR_CENTRAL_KEYS_DIR=" + keys + " 2>&1 && cat " + build +
                                 "/generated/centralkeys.inc",
                             &output);
}

std::string publicPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PUBKEY(bio.get(), key);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

TEST(CentralServers, ConfiguringRefusesKeysOfAnotherKind) {
  std::string exponent3dir = zmrtest::makeTempDir("centralkeys-e3");
  ASSERT_EQ(0, zmrtest::runCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -pkeyopt "
                                   "rsa_keygen_pubexp:3 -out " + exponent3dir + "/k.pem 2>/dev/null && "
                                   "openssl pkey -in " + exponent3dir + "/k.pem -pubout -out " + exponent3dir + "/pub.pem"));
  const struct {
    const char* name;
    std::string pem;
    bool accepted;
  } cases[] = {
      {"rsa-2048", publicPem(zmrtest::testKey(2048, 56).get()), true},
      {"rsa-1024", publicPem(zmrtest::testKey(1024, 0).get()), false},
      {"rsa-3072", publicPem(zmrtest::testKey(3072, 0).get()), false},
      {"exponent 3", zmrtest::readFile(exponent3dir + "/pub.pem"), false},
      {"ec", publicPem(zmrtest::testKeyOfType("ec").get()), false},
      {"not a key", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string keys = zmrtest::makeTempDir("centralkeys");
    zmrtest::writeFile(keys + "/env3.pem", c.pem);
    zmrtest::writeFile(keys + "/env4.coi.pem", c.pem);
    zmrtest::writeFile(keys + "/endpoints.txt", "# production-like\n3 sdm sdm.example.test\n4 mgmfe m.example.test:8443\n");
    std::string output;
    int rc = configure(keys, output);
    if (c.accepted) {
      ASSERT_EQ(0, rc) << output;
      const std::string modulus = zmrtest::tx::modulusHex(zmrtest::testKey(2048, 56).get());
      EXPECT_NE(std::string::npos,
                output.find("{3, \"" + modulus + "\", nullptr, \"sdm.example.test\", nullptr, nullptr, nullptr}"))
          << output;
      EXPECT_NE(std::string::npos, output.find("{4, nullptr, \"" + modulus +
                                               "\", nullptr, nullptr, \"m.example.test:8443\", nullptr}"))
          << output;
      EXPECT_NE(std::string::npos, output.find("{1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}")) << output;
    } else {
      EXPECT_NE(0, rc) << output;
    }
  }
}

TEST(CentralServers, ConfiguringRefusesBadEndpointLines) {
  std::string keys = zmrtest::makeTempDir("centralkeys-endpoints");
  for (const char* line : {"5 sdm host.test", "1 other host.test", "1 sdm host/path", "1 sdm"}) {
    SCOPED_TRACE(line);
    zmrtest::writeFile(keys + "/endpoints.txt", std::string(line) + "\n");
    std::string output;
    EXPECT_NE(0, configure(keys, output)) << output;
  }
}

}  // namespace
}  // namespace zmr
