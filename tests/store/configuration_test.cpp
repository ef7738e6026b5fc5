#include "store/loaders/configuration.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/keyfiles.h"
#include "misc/status.h"
#include "support/pki.h"
#include "store/sessionstore.h"
#include "support/tempdir.h"
#include "support/wipewatch.h"

namespace zmr {
namespace {

using zmrtest::Properties;

struct Configuration : ::testing::Test {
  static void SetUpTestSuite() {
    pki = new zmrtest::TestPki(zmrtest::makePki(2));
    other = new zmrtest::TestPki(zmrtest::makePki(3));
  }
  static void TearDownTestSuite() {
    delete pki;
    delete other;
  }
  void SetUp() override {
    dir = zmrtest::makeTempDir("configuration");
    trust = dir + "/trust";
    ASSERT_EQ(mkdir(trust.c_str(), 0755), 0);
    ASSERT_TRUE(zmrtest::writeTrustStore(trust, pki->caCerts()));
  }
  // Loads text as a properties file into a new state.
  int loadText(const std::string& text, std::unique_ptr<Session>& session) {
    std::string path = dir + "/p" + std::to_string(counter++) + ".properties";
    EXPECT_TRUE(zmrtest::writeFile(path, text));
    return loadFile(path, session);
  }
  int loadFile(const std::string& path, std::unique_ptr<Session>& session) {
    session = std::make_unique<Session>();
    return loadproperties(*session, nullptr, nullptr, nullptr, nullptr, nullptr, path.c_str());
  }
  static std::string property(const Session& session, const char* key) {
    std::string value;
    int rc = getproperty(session, key, value);
    return rc == 0 ? value : "<" + std::to_string(rc) + ">";
  }

  static zmrtest::TestPki* pki;
  static zmrtest::TestPki* other;
  std::string dir, trust;
  int counter = 0;
};
zmrtest::TestPki* Configuration::pki = nullptr;
zmrtest::TestPki* Configuration::other = nullptr;

struct FileCase {
  const char* name;
  std::string text;  // "@T" stands for the trust-store directory
  int code;
  std::map<std::string, std::string> expect;  // lookups on success; "<2004>" for none
};

std::string replaceTrust(std::string text, const std::string& trust) {
  for (size_t at; (at = text.find("@T")) != std::string::npos;) text.replace(at, 2, trust);
  return text;
}

std::string lines(int count) {
  std::string text = "truststore=@T\n";
  for (int i = 1; i < count; ++i) text += "key" + std::to_string(i) + "=value" + std::to_string(i) + "\n";
  return text;
}

TEST_F(Configuration, PropertiesFiles) {
  const std::string k1023(1023, 'k'), v1023(1023, 'v');
  const std::vector<FileCase> cases = {
      {"line ends cut", "webaddress=host,ip\r\ntruststore=@T\n", 0,
       {{"webaddress", "host,ip"}, {"truststore", "@T"}}},
      {"last line without line feed", "truststore=@T\nname=value", 0, {{"name", "value"}}},
      {"only one CR is cut", "truststore=@T\nname=v\r\r\n", 0, {{"name", "v\r"}}},
      {"split at the first =", "truststore=@T\nname=a=b\n", 0, {{"name", "a=b"}}},
      {"blanks around = stay", "truststore=@T\nname = value\n", 0,
       {{"name ", " value"}, {"name", "<2004>"}}},
      {"first of two wins", "truststore=@T\nname=first\nNAME=second\n", 0, {{"name", "first"}}},
      {"keys in any case", "TrustStore=@T\n", 0, {{"truststore", "@T"}, {"TRUSTSTORE", "@T"}}},
      {"empty value", "truststore=@T\nname=\n", 0, {{"name", ""}}},
      {"50 lines", lines(50), 0, {{"key49", "value49"}}},
      {"full key and value on a CR LF line", "truststore=@T\r\n" + k1023 + "=" + v1023 + "\r\n", 0,
       {{k1023.c_str(), v1023}}},
      {"full key and value on a last line", "truststore=@T\n" + k1023 + "=" + v1023, 0, {{k1023.c_str(), v1023}}},
      {"blank line", "truststore=@T\n\nname=value\n", 2002, {}},
      {"comment line", "# settings\ntruststore=@T\n", 2002, {}},
      {"NUL in a line", std::string("truststore=@T\nna\0me=value\n", 27), 2002, {}},
      {"51 lines", lines(51), 2003, {}},
      {"no truststore", "webaddress=host,ip\n", 2004, {}},
      {"empty file", "", 2004, {}},
      {"key too long", "truststore=@T\n" + k1023 + "k=v\n", 2005, {}},
      {"value too long", "truststore=@T\nk=" + v1023 + "v\n", 2006, {}},
      {"line beyond the buffer", "truststore=@T\nk=" + std::string(3000, 'v') + "\n", 2006, {}},
      {"line beyond the buffer without =", "truststore=@T\n" + std::string(3000, 'k') + "\n", 2005, {}},
      {"line beyond the buffer, = late", "truststore=@T\n" + std::string(1500, 'k') + "=" + v1023 + "\n", 2005,
       {}},
      {"truststore missing", "truststore=@T/none\n", 2026, {}},
      {"truststore empty", "truststore=\n", 2026, {}},
      {"truststore a file", "truststore=@T/../p0.properties\n", 2026, {}},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Session> session;
    ASSERT_EQ(loadText(replaceTrust(c.text, trust), session), c.code);
    if (c.code != 0) continue;
    for (const auto& [key, value] : c.expect)
      EXPECT_EQ(property(*session, key.c_str()), replaceTrust(value, trust)) << key;
  }
}

TEST_F(Configuration, SearchPermissionOnTheTrustStoreIsRequired) {
  if (geteuid() == 0) GTEST_SKIP() << "root searches every directory";
  ASSERT_EQ(chmod(trust.c_str(), 0600), 0);
  std::unique_ptr<Session> session;
  EXPECT_EQ(loadText("truststore=" + trust + "\n", session), 2026);
  chmod(trust.c_str(), 0755);
}

// Proxy credentials are property values: whatever held them, short ones
// inside the table's own block and long ones in blocks of their own, is
// wiped when a value is replaced and when the session is freed.
TEST_F(Configuration, CredentialsAreWipedWhenReplacedAndWhenTheSessionIsFreed) {
  const std::string shortcred = "u:pw", longcred = "merchant-user:" + std::string(80, 'p');
  std::unique_ptr<Session> session;
  ASSERT_EQ(loadText("truststore=" + trust + "\nhttpproxycredentials=" + shortcred +
                         "\nvahttpproxycredentials=" + longcred + "\nsdmhttpproxycredentials=" + longcred + "\n",
                     session),
            0);
  auto& properties = session->properties;
  ASSERT_EQ(properties.size(), 4u);
  auto where = [&](size_t i) {
    return std::pair(zmrtest::WipeWatch::address(properties[i].second.data()), properties[i].second.size());
  };
  auto shortvalue = where(1), longvalue = where(2), replaced = where(3);
  ASSERT_EQ(std::string_view(properties[1].second), shortcred);
  ASSERT_EQ(std::string_view(properties[2].second), longcred);

  zmrtest::WipeWatch watch;
  ASSERT_EQ(insertproperty(*session, nullptr, "sdmhttpproxycredentials", "other", 6), 0);
  EXPECT_TRUE(watch.wiped(replaced.first, replaced.second));
  session.reset();
  EXPECT_TRUE(watch.wiped(shortvalue.first, shortvalue.second));
  EXPECT_TRUE(watch.wiped(longvalue.first, longvalue.second));
  EXPECT_TRUE(watch.allzero());
}

TEST_F(Configuration, UnreadableFile) {
  std::unique_ptr<Session> session;
  EXPECT_EQ(loadFile(dir + "/absent.properties", session), 2001);
  // A directory opens for reading but refuses every read.
  EXPECT_EQ(loadFile(trust, session), 2001);
}

TEST_F(Configuration, Arguments) {
  Session s;
  ASSERT_EQ(loadproperties(s, "host,ip", trust.c_str(), "ALL", "proxy", "8080", nullptr), 0);
  std::vector<std::pair<std::string, std::string>> want = {
      {"webaddress", "host,ip"}, {"truststore", trust}, {"grantedpolicies", "ALL"},
      {"httpproxyserver", "proxy"}, {"httpproxyport", "8080"}};
  EXPECT_EQ(decltype(want)(s.properties.begin(), s.properties.end()), want);

  // Absent arguments are skipped; the truststore is still required.
  Session t;
  ASSERT_EQ(loadproperties(t, "host,ip", trust.c_str(), nullptr, nullptr, "", nullptr), 0);
  EXPECT_EQ(property(t, "httpproxyserver"), "<2004>");
  EXPECT_EQ(property(t, "httpproxyport"), "");
  Session u, v;
  EXPECT_EQ(loadproperties(u, "host,ip", nullptr, "ALL", nullptr, nullptr, nullptr), 2004);
  std::string tooLong(1024, 'v');
  EXPECT_EQ(loadproperties(v, tooLong.c_str(), trust.c_str(), nullptr, nullptr, nullptr, nullptr), 2006);
}

TEST_F(Configuration, WithoutPathOrWebaddressNothingIsConfigured) {
  Session session;
  ASSERT_EQ(loadproperties(session, nullptr, trust.c_str(), "ALL", nullptr, nullptr, nullptr), 0);
  SSL_CTX* ctx;
  EXPECT_EQ(getvasslcontext(session, &ctx), 2027);
  X509_STORE* store;
  EXPECT_EQ(gettruststore(session, &store), 2026);
  EXPECT_EQ(property(session, "truststore"), "<2004>");
}

TEST_F(Configuration, InsertAndLookupArguments) {
  Session session;
  EXPECT_EQ(insertproperty(session, "a=1", nullptr, nullptr, 0), 0);
  EXPECT_EQ(insertproperty(session, nullptr, "b", "2\n", 2), 0);
  EXPECT_EQ(insertproperty(session, "a=replaced", nullptr, nullptr, 0), 0);
  EXPECT_EQ(insertproperty(session, "c=3", nullptr, nullptr, 100), 2003);
  EXPECT_EQ(insertproperty(session, "c=3", nullptr, nullptr, 6), kBadArgument);
  EXPECT_EQ(insertproperty(session, "no equals", nullptr, nullptr, 4), 2002);
  EXPECT_EQ(property(session, "A"), "replaced");
  EXPECT_EQ(property(session, "b"), "2");
  std::string out;
  EXPECT_EQ(getproperty(session, nullptr, out), 27001);
}

// Runs a TLS handshake between a client of ctx and a server over a BIO pair.
bool handshake(SSL_CTX* client, SSL_CTX* server) {
  SslPtr c(SSL_new(client)), s(SSL_new(server));
  BIO *cb = nullptr, *sb = nullptr;
  if (!c || !s || BIO_new_bio_pair(&cb, 0, &sb, 0) != 1) return false;
  SSL_set_bio(c.get(), cb, cb);
  SSL_set_bio(s.get(), sb, sb);
  SSL_set_connect_state(c.get());
  SSL_set_accept_state(s.get());
  for (int round = 0; round < 50; ++round) {
    int rc = SSL_do_handshake(c.get());
    int rs = SSL_do_handshake(s.get());
    if (rc == 1 && rs == 1) return true;
    for (auto [ssl, r] : {std::pair{c.get(), rc}, std::pair{s.get(), rs}}) {
      int e = SSL_get_error(ssl, r);
      if (r != 1 && e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    }
  }
  return false;
}

SslCtxPtr serverContext(const zmrtest::TestCert& cert, int maxVersion, const char* ciphers) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  EXPECT_TRUE(ctx);
  EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), cert.get()), 1);
  EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), cert.key.get()), 1);
  SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
  if (maxVersion == TLS1_3_VERSION) SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
  if (ciphers != nullptr) {
    EXPECT_EQ(SSL_CTX_set_cipher_list(ctx.get(), ciphers), 1);
  }
  return ctx;
}

TEST_F(Configuration, TlsContextsTalkTls12ToTrustedServersOnly) {
  std::unique_ptr<Session> session;
  ASSERT_EQ(loadText("webaddress=host,ip\ntruststore=" + trust + "\n", session), 0);
  int (*getters[])(const Session&, SSL_CTX**) = {getmgmfesslcontext, getvasslcontext, gettagserversslcontext,
                                      getservicessslcontext, getsdmsslcontext};
  std::vector<SSL_CTX*> contexts;
  for (auto get : getters) {
    SSL_CTX* ctx = nullptr;
    ASSERT_EQ(get(*session, &ctx), 0);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
    EXPECT_EQ(SSL_CTX_get_max_proto_version(ctx), TLS1_2_VERSION);
    EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_verify_depth(ctx), 10);
    EXPECT_NE(SSL_CTX_get_options(ctx) & SSL_OP_IGNORE_UNEXPECTED_EOF, 0u);
    for (SSL_CTX* seen : contexts) EXPECT_NE(seen, ctx);
    contexts.push_back(ctx);
  }

  struct Server {
    const char* name;
    const zmrtest::TestCert* cert;
    int maxVersion;
    const char* ciphers;
    bool connects;
  };
  const Server servers[] = {
      {"trusted", &pki->server, 0, nullptr, true},
      {"trusted, ECDHE AES-GCM", &pki->server, TLS1_2_VERSION, "ECDHE-RSA-AES256-GCM-SHA384", true},
      {"untrusted root", &other->server, TLS1_2_VERSION, nullptr, false},
      {"TLS 1.3 only", &pki->server, TLS1_3_VERSION, nullptr, false},
      {"SHA-1 MAC only", &pki->server, TLS1_2_VERSION, "AES128-SHA:AES256-SHA", false},
  };
  for (const Server& srv : servers) {
    SCOPED_TRACE(srv.name);
    SslCtxPtr server = serverContext(*srv.cert, srv.maxVersion, srv.ciphers);
    for (SSL_CTX* ctx : contexts) EXPECT_EQ(handshake(ctx, server.get()), srv.connects);
  }
}

TEST_F(Configuration, TrustStoreVerifiesUnderTheConfiguredRoots) {
  std::unique_ptr<Session> session;
  ASSERT_EQ(loadText("truststore=" + trust + "\n", session), 0);
  X509_STORE* store = nullptr;
  ASSERT_EQ(gettruststore(*session, &store), 0);
  for (auto [cert, ok] : {std::pair{pki->endUser.get(), true}, std::pair{other->endUser.get(), false}}) {
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    ASSERT_EQ(X509_STORE_CTX_init(ctx.get(), store, cert, nullptr), 1);
    EXPECT_EQ(X509_verify_cert(ctx.get()) == 1, ok);
  }
}

std::string hashName(const X509* cert, int suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "/%08lx.%d", X509_NAME_hash_ex(X509_get_subject_name(cert), nullptr, nullptr, nullptr),
                suffix);
  return name;
}

std::string pemOf(const std::vector<const X509*>& certs, bool aux = false) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  for (const X509* c : certs) {
    if ((aux ? PEM_write_bio_X509_AUX(bio.get(), c) : PEM_write_bio_X509(bio.get(), c)) != 1) return "";
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

// What a verification against store gives: result, error and its depth.
std::tuple<int, int, int> verifyIn(X509_STORE* store, X509* cert) {
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store, cert, nullptr) != 1) return {-2, 0, 0};
  int rc = X509_verify_cert(ctx.get());
  return {rc, X509_STORE_CTX_get_error(ctx.get()), X509_STORE_CTX_get_error_depth(ctx.get())};
}

// The session's store holds the hash directory's certificates from the
// opening on, and verifies in every layout as a store on the bare
// directory lookup does, in the same order of calls (whose lookups the
// bare store remembers): broken and missing files, gaps, certificates of
// another hash in a file, trust settings, a file put there after opening.
TEST_F(Configuration, TrustStoreVerifiesAsTheDirectoryLookupDoes) {
  const X509* root = pki->root.get();
  const X509* ca = pki->ca.get();
  zmrtest::CertSpec renewed = zmrtest::issuingCaSpec();
  renewed.keyIndex = 70;
  const zmrtest::TestCert ca2 = zmrtest::makeCert(renewed, &pki->root);
  ASSERT_EQ(X509_NAME_cmp(X509_get_subject_name(ca2.get()), X509_get_subject_name(ca)), 0);
  zmrtest::CertSpec user = zmrtest::endUserSpec();
  user.keyIndex = 71;
  const zmrtest::TestCert user2 = zmrtest::makeCert(user, &ca2);
  zmr::X509Ptr rejected(X509_dup(root));
  ASSERT_TRUE(rejected && X509_add1_reject_object(rejected.get(), OBJ_nid2obj(NID_anyExtendedKeyUsage)) == 1);
  const std::string garbage = "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n";

  using Files = std::vector<std::pair<std::string, std::string>>;  // name (from the directory), content
  struct Layout {
    const char* name;
    Files files;
    size_t preloaded;   // certificates in the store right after opening
    Files later = {};   // written after opening
  };
  const Layout layouts[] = {
      {"root and CA", {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), pemOf({ca})}}, 2},
      {"renewed CA after the first",
       {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), pemOf({ca})}, {hashName(ca, 1), pemOf({ca2.get()})}},
       3},
      {"both CAs in one file", {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), pemOf({ca, ca2.get()})}}, 3},
      {"CA file broken", {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), garbage}}, 1},
      {"CA file empty", {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), ""}}, 1},
      {"CA after a broken file",
       {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), garbage}, {hashName(ca, 1), pemOf({ca})}},
       1},
      {"renewed CA in a broken file",
       {{hashName(root, 0), pemOf({root})}, {hashName(ca, 0), pemOf({ca})}, {hashName(ca, 1), pemOf({ca2.get()}) + garbage}},
       1},
      {"CA after a gap", {{hashName(root, 0), pemOf({root})}, {hashName(ca, 1), pemOf({ca})}}, 1},
      {"CA under the root's hash", {{hashName(root, 0), pemOf({root, ca})}}, 0},
      {"CA under another name", {{hashName(root, 0), pemOf({root})}, {"/ca.pem", pemOf({ca})}}, 1},
      {"root rejected by its trust settings",
       {{hashName(root, 0), pemOf({rejected.get()}, true)}, {hashName(ca, 0), pemOf({ca})}},
       2},
      {"CA put there after opening", {{hashName(root, 0), pemOf({root})}}, 1, {{hashName(ca, 0), pemOf({ca})}}},
  };
  X509* const checked[] = {pki->endUser.get(), user2.get(), pki->ca.get(), pki->endUser.get(), other->endUser.get(),
                           user2.get()};
  int n = 0;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const std::string store = dir + "/layout" + std::to_string(n++);
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    for (const auto& [name, content] : layout.files) ASSERT_TRUE(zmrtest::writeFile(store + name, content));
    std::unique_ptr<Session> session;
    ASSERT_EQ(loadText("webaddress=host,ip\ntruststore=" + store + "\n", session), 0);
    X509StorePtr bare(X509_STORE_new());
    ASSERT_TRUE(bare && X509_STORE_load_path(bare.get(), store.c_str()) == 1);
    X509_STORE* trust = nullptr;
    ASSERT_EQ(gettruststore(*session, &trust), 0);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(trust)), static_cast<int>(layout.preloaded));
    SSL_CTX* tls = nullptr;
    ASSERT_EQ(getvasslcontext(*session, &tls), 0);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(tls))),
              static_cast<int>(layout.preloaded));
    for (const auto& [name, content] : layout.later) ASSERT_TRUE(zmrtest::writeFile(store + name, content));
    int i = 0;
    for (X509* cert : checked) {
      SCOPED_TRACE("verification " + std::to_string(i++));
      EXPECT_EQ(verifyIn(trust, cert), verifyIn(bare.get(), cert));
    }
  }
}

}  // namespace
}  // namespace zmr
