#include "store/loaders/keyfile.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/sessionstore.h"
#include "support/keyfiles.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/tempdir.h"
#include "tools/base64.h"

namespace zmr {
namespace {

using zmrtest::certBag;
using zmrtest::keyBag;
using zmrtest::KeyFileSpec;
using zmrtest::safeOf;
using zmrtest::TestCert;

constexpr const char* kPassword = "merchant password";

// Certificates beyond the standard PKI, made once per process.
struct Extra {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  TestCert ca2, encipherOnly, noKeyUsage, signNoPolicy, signEmptyPolicies, signWrongPolicy, third;
  std::map<std::string, TestCert> roots;  // by common name

  Extra() {
    ca2 = zmrtest::makeCert(zmrtest::issuingCaSpec("Second Issuing CA"), &pki.root);
    zmrtest::CertSpec s = zmrtest::merchantAuthSpec();
    s.keyUsage = KU_KEY_ENCIPHERMENT;
    encipherOnly = zmrtest::makeCert(s, &pki.ca);
    s.keyUsage.reset();
    noKeyUsage = zmrtest::makeCert(s, &pki.ca);
    s = zmrtest::merchantSignSpec();
    s.policies.clear();
    signNoPolicy = zmrtest::makeCert(s, &pki.ca);
    s.extensions = {zmrtest::rawExtension("2.5.29.32", zmrtest::der::seq(""))};
    signEmptyPolicies = zmrtest::makeCert(s, &pki.ca);
    s.extensions.clear();
    s.policies = {zmrtest::kPolicyMerchantAuth};
    signWrongPolicy = zmrtest::makeCert(s, &pki.ca);
    third = pki.endUser;
    for (const char* name : {"DEVLAB - Zelmor Root CA", "TESTLAB - Zelmor Root CA", "TEST - Zelmor Root CA",
                             "Zelmor Root CA", "Zelmor Root CA2", "Zelmor Root CA ", "zelmor root ca", ""})
      roots[name] = zmrtest::makeCert(zmrtest::rootSpec(name));
  }
};

Extra& extra() {
  static Extra* e = new Extra();
  return *e;
}

struct KeyFile : ::testing::Test {
  void SetUp() override { dir = zmrtest::makeTempDir("keyfile"); }
  // Writes the file and loads it into a new state.
  int load(const std::string& der, bool hsm, std::unique_ptr<Session>& session, const char* password = kPassword) {
    std::string path = dir + "/k" + std::to_string(counter++) + ".p12";
    EXPECT_TRUE(zmrtest::writeFile(path, der));
    return loadPath(path, hsm, session, password);
  }
  // The code is the whole report: a load writes no recent-error line.
  int loadPath(const std::string& path, bool hsm, std::unique_ptr<Session>& session,
               const char* password = kPassword) {
    std::optional<std::string> before;
    getlasterror(-1, before);
    session = std::make_unique<Session>();
    int rc = loadkeyfile(*session, path.c_str(), password, hsm);
    EXPECT_EQ(zmrtest::peekRecentError(), "");
    return rc;
  }

  std::string dir;
  int counter = 0;
};

// What a successful load leaves in the session.
struct Expect {
  const TestCert* auth = nullptr;  // with its key unless hsm labels are given
  const TestCert* sign = nullptr;
  bool keys = true;
  std::optional<std::string> authLabel, signLabel;
  int cacerts = 2;
  int environment = 2;
};

void checkSession(const Session& session, const Expect& want) {
  const Session* s = &session;
  ASSERT_NE(s, nullptr);
  auto same = [](X509* got, const TestCert* cert) {
    return cert == nullptr ? got == nullptr : got != nullptr && X509_cmp(got, cert->get()) == 0;
  };
  EXPECT_TRUE(same(s->authcert.get(), want.auth)) << "authentication certificate";
  EXPECT_TRUE(same(s->signcert.get(), want.sign)) << "signing certificate";
  for (auto [cert, key, wanted] : {std::tuple{s->authcert.get(), s->authkey.get(), want.auth},
                                   std::tuple{s->signcert.get(), s->signkey.get(), want.sign}}) {
    if (want.keys && wanted != nullptr) {
      ASSERT_NE(key, nullptr);
      EXPECT_EQ(X509_check_private_key(cert, key), 1);
    } else {
      EXPECT_EQ(key, nullptr);
    }
  }
  EXPECT_EQ(s->hsm_authkeyslabel, want.authLabel);
  EXPECT_EQ(s->hsm_signkeyslabel, want.signLabel);
  STACK_OF(X509)* cas = nullptr;
  int rc = getcacerts(session, &cas);
  if (want.cacerts == 0) {
    EXPECT_EQ(rc, 2044);
  } else {
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(sk_X509_num(cas), want.cacerts);
  }
  int env = -1;
  EXPECT_EQ(getenvironment(session, &env), 0);
  EXPECT_EQ(env, want.environment);
}

struct Case {
  const char* name;
  std::function<void(KeyFileSpec&)> edit;  // applied to the standard file
  bool hsm;
  int code;
  Expect expect;  // when code is 0
};

std::string b64(const std::string& s) {
  return base64_encode(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

TEST_F(KeyFile, Layouts) {
  Extra& x = extra();
  const zmrtest::TestPki& p = x.pki;
  const Expect full{&p.merchantAuth, &p.merchantSign, true, {}, {}, 2, 2};
  auto hsmLayout = [&](KeyFileSpec& f) { f = zmrtest::hsmKeyFile(p, kPassword, "auth-label", "sign-label"); };
  auto swap = [](size_t a, size_t b) { return [a, b](KeyFileSpec& f) { std::swap(f.safes[a], f.safes[b]); }; };

  Expect labels{&p.merchantAuth, &p.merchantSign, false, "auth-label", "sign-label", 2, 2};
  Expect b64labels = labels;
  b64labels.authLabel = b64("auth-label");
  b64labels.signLabel = b64("sign-label");
  Expect signOnly{nullptr, &p.merchantSign, true, {}, {}, 0, 0};
  Expect signLabelOnly{nullptr, &p.merchantSign, false, {}, "sign-label", 2, 2};
  Expect oneCa = full;
  oneCa.cacerts = 1;
  Expect noCa = full;
  noCa.cacerts = 0;
  noCa.environment = 0;

  const std::vector<Case> cases = {
      {"one bag per safe", [](KeyFileSpec&) {}, false, 0, full},
      {"legacy encryption", [](KeyFileSpec& f) { f.encryption = zmrtest::Encryption::Legacy; }, false, 0, full},
      {"plain key bags",
       [](KeyFileSpec& f) {
         for (int i : {2, 3}) f.safes[i].bags[0].kind = zmrtest::BagKind::Key;
       },
       false, 0, full},
      {"no safe encrypted",
       [](KeyFileSpec& f) {
         for (auto& s : f.safes) s.encrypted = false;
       },
       false, 0, full},
      {"keys in reverse order", swap(2, 3), false, 0, full},
      {"signing certificate first", swap(0, 1), false, 0, full},
      {"signing certificate first, keys reversed",
       [&](KeyFileSpec& f) {
         swap(0, 1)(f);
         swap(2, 3)(f);
       },
       false, 0, full},
      {"only the first bag of a safe counts",
       [&](KeyFileSpec& f) { f.safes[4].bags.push_back(certBag(x.roots["Zelmor Root CA2"])); }, false, 0, full},
      {"a repeated CA ends the chain",
       [&](KeyFileSpec& f) { f.safes.insert(f.safes.begin() + 5, safeOf({certBag(p.root)})); }, false, 0, oneCa},
      {"at most two CAs",
       [&](KeyFileSpec& f) { f.safes.push_back(safeOf({certBag(x.ca2)})); }, false, 0, full},
      {"no CA certificates", [](KeyFileSpec& f) { f.safes.resize(4); }, false, 0, noCa},
      {"bags of other kinds and keys without localKeyID are ignored",
       [&](KeyFileSpec& f) {
         zmrtest::Bag secret;
         secret.kind = zmrtest::BagKind::Secret;
         zmrtest::Bag named = certBag(p.merchantAuth, "auth");
         named.friendlyName = "merchant";
         f.safes[0] = safeOf({named}, true);
         f.safes.push_back(safeOf({secret}));
         f.safes.push_back(safeOf({keyBag(x.third, "")}));
         f.safes.back().bags[0].localKeyId.reset();
       },
       false, 0, full},
      {"HSM layout", hsmLayout, true, 0, labels},
      {"HSM layout, signing certificate first",
       [&](KeyFileSpec& f) {
         hsmLayout(f);
         swap(0, 1)(f);
       },
       true, 0, labels},
      {"HSM layout outside HSM mode", hsmLayout, false, 0, b64labels},
      {"HSM layout with one certificate",
       [&](KeyFileSpec& f) {
         hsmLayout(f);
         f.safes.erase(f.safes.begin());
       },
       true, 0, signLabelOnly},
      {"sign-only key file",
       [&](KeyFileSpec& f) {
         f.safes = {safeOf({certBag(p.merchantSign, "s")}, true), safeOf({keyBag(p.merchantSign, "s")})};
       },
       false, 0, signOnly},

      {"safe without bags", [](KeyFileSpec& f) { f.safes[1].bags.clear(); }, false, 2010, {}},
      {"certificate bag not X.509",
       [](KeyFileSpec& f) { f.safes[4].bags[0].kind = zmrtest::BagKind::OtherCert; }, false, 2010, {}},
      {"safe under another password", [](KeyFileSpec& f) { f.safes[1].password = "other"; }, false, 2011, {}},
      {"shrouded key under another password",
       [](KeyFileSpec& f) { f.safes[3].bags[0].password = "other"; }, false, 2012, {}},
      {"key bag without a usable key",
       [](KeyFileSpec& f) { f.safes[3].bags[0].kind = zmrtest::BagKind::BrokenKey; }, false, 2013, {}},
      {"three merchant keys", [&](KeyFileSpec& f) { f.safes.push_back(safeOf({keyBag(x.third, "third")})); },
       false, 2014, {}},
      {"three merchant certificates",
       [&](KeyFileSpec& f) { f.safes.push_back(safeOf({certBag(x.third, "third")})); }, false, 2015, {}},
      {"usage neither signature nor non-repudiation",
       [&](KeyFileSpec& f) {
         f.safes[0] = safeOf({certBag(x.encipherOnly, "auth")});
         f.safes[2] = safeOf({keyBag(x.encipherOnly, "auth")});
       },
       false, 2016, {}},
      {"no key usage extension",
       [&](KeyFileSpec& f) {
         f.safes[0] = safeOf({certBag(x.noKeyUsage, "auth")});
         f.safes[2] = safeOf({keyBag(x.noKeyUsage, "auth")});
       },
       false, 2016, {}},
      {"HSM layout without key usage",
       [&](KeyFileSpec& f) {
         hsmLayout(f);
         f.safes[0] = safeOf({certBag(x.noKeyUsage, "auth-label")});
       },
       true, 2016, {}},
      {"sign-only certificate without non-repudiation",
       [&](KeyFileSpec& f) {
         f.safes = {safeOf({certBag(p.merchantAuth, "a")}), safeOf({keyBag(p.merchantAuth, "a")})};
       },
       false, 2016, {}},
      {"no merchant certificate", [](KeyFileSpec& f) { f.safes.erase(f.safes.begin(), f.safes.begin() + 2); },
       false, 2037, {}},
      {"empty localKeyID", [&](KeyFileSpec& f) { f.safes[0] = safeOf({certBag(p.merchantAuth, "")}); }, false,
       2037, {}},
      {"HSM label holding NUL",
       [&](KeyFileSpec& f) {
         hsmLayout(f);
         f.safes[1] = safeOf({certBag(p.merchantSign, std::string("si\0gn", 5))});
       },
       true, 2037, {}},
      {"wrong password", [](KeyFileSpec& f) { f.password = zmrtest::hardenedPassword("other"); }, false, 2046, {}},
      {"unhardened password", [](KeyFileSpec& f) { f.password = kPassword; }, false, 2046, {}},
      {"no MAC", [](KeyFileSpec& f) { f.mac = false; }, false, 2046, {}},
      {"MAC under another password", [](KeyFileSpec& f) { f.macPassword = "other"; }, false, 2046, {}},
      {"sign-only certificate without policy",
       [&](KeyFileSpec& f) {
         f.safes = {safeOf({certBag(x.signNoPolicy, "s")}), safeOf({keyBag(x.signNoPolicy, "s")})};
       },
       false, 2047, {}},
      {"sign-only certificate whose policies hold no policy",
       [&](KeyFileSpec& f) {
         f.safes = {safeOf({certBag(x.signEmptyPolicies, "s")}), safeOf({keyBag(x.signEmptyPolicies, "s")})};
       },
       false, 2047, {}},
      {"sign-only certificate with another policy",
       [&](KeyFileSpec& f) {
         f.safes = {safeOf({certBag(x.signWrongPolicy, "s")}), safeOf({keyBag(x.signWrongPolicy, "s")})};
       },
       false, 2047, {}},
      {"keys crossed over",
       [&](KeyFileSpec& f) {
         f.safes[2] = safeOf({keyBag(p.merchantSign, "auth")});
         f.safes[3] = safeOf({keyBag(p.merchantAuth, "sign")});
       },
       false, 2048, {}},
      {"key of another certificate", [&](KeyFileSpec& f) { f.safes[2] = safeOf({keyBag(x.third, "auth")}); },
       false, 2048, {}},
      {"one key for two certificates", [](KeyFileSpec& f) { f.safes.erase(f.safes.begin() + 3); }, false, 2048,
       {}},
      {"two keys for one certificate", [](KeyFileSpec& f) { f.safes.erase(f.safes.begin() + 1); }, false, 2048,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeyFileSpec spec = zmrtest::merchantKeyFile(p, kPassword);
    c.edit(spec);
    std::unique_ptr<Session> session;
    ASSERT_EQ(load(zmrtest::makeKeyFile(spec), c.hsm, session), c.code);
    if (c.code == 0) checkSession(*session, c.expect);
  }
}

TEST_F(KeyFile, EnvironmentFromTheRootName) {
  Extra& x = extra();
  const std::vector<std::pair<std::string, int>> names = {
      {"DEVLAB - Zelmor Root CA", 1}, {"TESTLAB - Zelmor Root CA", 2}, {"TEST - Zelmor Root CA", 3},
      {"Zelmor Root CA", 4},          {"Zelmor Root CA2", 2033},       {"Zelmor Root CA ", 2033},
      {"zelmor root ca", 2033},
  };
  for (const auto& [name, want] : names) {
    SCOPED_TRACE(name);
    KeyFileSpec spec = zmrtest::merchantKeyFile(x.pki, kPassword);
    spec.safes[4] = safeOf({certBag(x.roots[name])}, true);
    std::unique_ptr<Session> session;
    int rc = load(zmrtest::makeKeyFile(spec), false, session);
    if (want > 4) {
      EXPECT_EQ(rc, want);
      continue;
    }
    ASSERT_EQ(rc, 0);
    int env = -1;
    EXPECT_EQ(getenvironment(*session, &env), 0);
    EXPECT_EQ(env, want);
  }
}

TEST_F(KeyFile, RootWithoutCommonNameReturns) {
  Extra& x = extra();
  KeyFileSpec spec = zmrtest::merchantKeyFile(x.pki, kPassword);
  spec.safes[4] = safeOf({certBag(x.roots[""])}, true);
  std::string der = zmrtest::makeKeyFile(spec);
  auto done = std::async(std::launch::async, [&] {
    std::unique_ptr<Session> session;
    return load(der, false, session);
  });
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the key-file loader hangs on a root without common name";
    std::_Exit(1);
  }
  EXPECT_EQ(done.get(), 6011);
}

TEST_F(KeyFile, FilesThatAreNoKeyFiles) {
  std::string der = zmrtest::makeKeyFile(zmrtest::merchantKeyFile(extra().pki, kPassword));
  const std::vector<std::pair<const char*, std::string>> files = {
      {"empty", ""},
      {"text", "not a key file\n"},
      {"cut short", der.substr(0, der.size() / 2)},
      {"bytes after the structure", der + std::string("\0", 1)},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    std::unique_ptr<Session> session;
    EXPECT_EQ(load(bytes, false, session), 2010);
  }
  std::unique_ptr<Session> session;
  EXPECT_EQ(loadPath(dir + "/absent.p12", false, session), 2007);
  EXPECT_EQ(loadPath(dir, false, session), 2007);
  std::string path = dir + "/good.p12";
  ASSERT_TRUE(zmrtest::writeFile(path, der));
  Session s;
  EXPECT_EQ(loadkeyfile(s, path.c_str(), nullptr, false), 33002);
}

TEST_F(KeyFile, HardenedPassword) {
  for (const std::string& password : {std::string(), std::string("merchant password"),
                                      std::string("p\xc3\xa4ssw\xc3\xb6rd"), std::string(500, 'x')}) {
    SecretString hardened;
    ASSERT_EQ(hardenpassword(password, hardened), 0);
    EXPECT_EQ(hardened.view(), zmrtest::hardenedPassword(password));
    EXPECT_EQ(hardened.value.size(), 30u);
  }
}

TEST_F(KeyFile, LegacyFilesLeaveTheDefaultContextAlone) {
  KeyFileSpec spec = zmrtest::merchantKeyFile(extra().pki, kPassword, zmrtest::Encryption::Legacy);
  std::unique_ptr<Session> session;
  ASSERT_EQ(load(zmrtest::makeKeyFile(spec), false, session), 0);
  EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
  EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "default"), 1);
  // The keys work in the host's context.
  EVP_PKEY* key = nullptr;
  ASSERT_EQ(getsignkey(*session, &key), 0);
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  ASSERT_TRUE(ctx);
  EXPECT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
}

// A sign-only file as the openssl command line writes it: one safe with the
// certificate (and its chain, behind it), one with the shrouded key.
TEST_F(KeyFile, SignOnlyFileFromTheOpensslCommandLine) {
  const zmrtest::TestPki& p = extra().pki;
  ASSERT_TRUE(zmrtest::writeFile(dir + "/cert.pem", p.merchantSign.pem()));
  ASSERT_TRUE(zmrtest::writeFile(dir + "/key.pem", p.merchantSign.keyPem()));
  ASSERT_TRUE(zmrtest::writeFile(dir + "/chain.pem", p.ca.pem() + p.root.pem()));
  // The hardened password ends in CR LF, which only env: or pass: carry.
  ASSERT_EQ(setenv("ZMR_P12_PASSWORD", zmrtest::hardenedPassword(kPassword).c_str(), 1), 0);
  for (const char* legacy : {"", "-legacy "}) {
    SCOPED_TRACE(legacy);
    std::string out = dir + "/signonly.p12";
    std::string cmd = "openssl pkcs12 -export " + std::string(legacy) + "-in '" + dir + "/cert.pem' -inkey '" + dir +
                      "/key.pem' -certfile '" + dir + "/chain.pem' -passout env:ZMR_P12_PASSWORD -out '" + out +
                      "' 2>&1";
    std::string log;
    ASSERT_EQ(zmrtest::runCommand(cmd, &log), 0) << log;
    std::unique_ptr<Session> session;
    ASSERT_EQ(loadPath(out, false, session), 0);
    checkSession(*session, Expect{nullptr, &p.merchantSign, true, {}, {}, 0, 0});
  }
}

}  // namespace
}  // namespace zmr
