// Before and around the exchange: refused inputs, the responder's address
// from the certificate and the properties, TLS or not, retries, time-outs
// and the proxy.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "certstatustest.h"
#include "support/verifiers.h"

using namespace certstatustest;

namespace {

constexpr const char* kCommLine = "getcertstatus_getcertstatus: An error occured during VA communication.\n";

class Exchange : public Library {
 protected:
  void SetUp() override {
    Library::SetUp();
    pki = zmrtest::makePki(2);
    plain = zmrtest::makeVaSetup("cs-exchange", pki, false);
    tls = zmrtest::makeVaSetup("cs-exchange-tls", pki, true);
  }
  // A session over the plain set-up's merchant with exactly these
  // properties after the standard ones.
  int openWith(const zmrtest::Properties& extra) {
    zmrtest::Properties properties = zmrtest::standardProperties(plain.merchant.truststore);
    properties.insert(properties.end(), extra.begin(), extra.end());
    zmrtest::writePropertiesFile(plain.merchant.properties, properties);
    int s = open(plain);
    EXPECT_EQ(0, zmr::removeinfoitems(s));
    EXPECT_EQ(0, zmr::setinfoitem(s, "operation", "verifyAuth"));
    return s;
  }
  // The end user's PKCS#7 with the certificate reissued from an adjusted
  // description.
  std::string pkcs7Of(const std::function<void(zmrtest::CertSpec&)>& change) {
    zmrtest::CertSpec spec = zmrtest::endUserSpec();
    change(spec);
    certs.push_back(std::make_unique<zmrtest::TestCert>(zmrtest::makeCert(spec, &pki.ca)));
    return zmrtest::endUserPkcs7(pki, certs.back().get());
  }
  std::string urlPkcs7(const std::optional<std::string>& url) {
    return pkcs7Of([&](zmrtest::CertSpec& s) { s.ocspUrl = url; });
  }

  zmrtest::TestPki pki;
  zmrtest::VaSetup plain, tls;
  std::vector<std::unique_ptr<zmrtest::TestCert>> certs;
};

// A port on 127.0.0.1 that nothing listens on.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

TEST_F(Exchange, RefusedBeforeAnythingIsSent) {
  zmrtest::Pkcs7Spec noIssuer = zmrtest::pkcs7For(pki.endUser);
  zmrtest::Pkcs7Spec noSigner = zmrtest::pkcs7For(pki.endUser);
  noSigner.includeSignerCerts = false;
  noSigner.extraCerts = {pki.ca.get()};
  const std::string prefix = "getcertstatus_getcertstatus: ";
  struct Case {
    const char* name;
    std::string pkcs7;
    zmrtest::Properties items;  // replace the operation item
    int code;
    std::string tail;  // the last lines of the recent error
  } cases[] = {
      {"not base64", "MII%%%", {}, 21002,
       prefix + "An error occured trying to base64 decode the pkcs7 input.\n"},
      {"not a PKCS#7", zmrtest::toBase64("not a signature"), {}, 5001,
       prefix + "An error occured trying to build an pkcs7 structure based on the DER encoded pkcs7.\n"},
      {"no signer certificate", zmrtest::makePkcs7Base64(noSigner), {}, 12001,
       "pkcs7tools_getpkcs7signercert: Did not find signing certificate in pkcs7.\n" + prefix +
           "An error occured trying to retrieve the signing certificate from the pkcs7 structure.\n"},
      {"no issuer certificate", zmrtest::makePkcs7Base64(noIssuer), {}, 12001,
       "pkcs7tools_getpkcs7issuercert: Did not find the certificate for the issuer of the signing certificate.\n" +
           prefix + "An error occured trying to retrieve the signing certificate's issuer certificate from the pkcs7.\n"},
      {"no policy", pkcs7Of([](zmrtest::CertSpec& s) { s.policies.clear(); }), {}, 6001,
       prefix + "An error occured during verification of the signing certificate's policy oid.\n"},
      {"no operation item", zmrtest::endUserPkcs7(pki), {{"traceId", "x"}}, 2022,
       prefix + "An error occured trying to fetch infoitem \"operation\" from session store.\n"},
      {"no usable key usage",
       pkcs7Of([](zmrtest::CertSpec& s) {
         s.policies = {zmrtest::kPolicySignOnly};
         s.keyUsage = KU_KEY_ENCIPHERMENT;
       }),
       {},
       6012,
       prefix + "An error occured trying to find the keyusage in the pkcs#7.\n"},
      {"no OCSP location", urlPkcs7(std::nullopt), {}, 6009,
       prefix + "An error occured trying to retrieve the aia location from the certificate in request.\n"},
      {"no scheme", urlPkcs7("127.0.0.1/ocsp"), {}, 13002,
       "getcertstatus::getserverandport: An error occured trying to find the application protocol (http vs https) "
       "int the aia location\n" +
           prefix +
           "An error occured trying to retrieve the va servername and va port from the aia location in the certificate "
           "in request.\n"},
      {"ldap", urlPkcs7("ldap://127.0.0.1/"), {}, 13002,
       "getcertstatus::getserverandport: The application protcol in the aia location is neither http nor https.\n" +
           prefix +
           "An error occured trying to retrieve the va servername and va port from the aia location in the certificate "
           "in request.\n"},
      {"no host", urlPkcs7("http:///ocsp"), {}, 13002,
       "getcertstatus::getserverandport: The aia location does not name a va server.\n" + prefix +
           "An error occured trying to retrieve the va servername and va port from the aia location in the certificate "
           "in request.\n"},
  };
  int s = openWith({{"vassldisabled", "true"}, {"vaport", std::to_string(plain.va->port())}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zmr::removeinfoitems(s);
    if (c.items.empty()) {
      ASSERT_EQ(0, zmr::setinfoitem(s, "operation", "verifyAuth"));
    }
    for (const auto& [k, v] : c.items) ASSERT_EQ(0, zmr::setinfoitem(s, k, v));
    Outcome o = call(s, c.pkcs7);
    EXPECT_EQ(c.code, o.rc);
    ASSERT_GE(o.error.size(), c.tail.size()) << o.error;
    EXPECT_EQ(c.tail, o.error.substr(o.error.size() - c.tail.size()));
    EXPECT_EQ("", o.ocsp);
  }
  EXPECT_TRUE(plain.va->requests().empty());
}

TEST_F(Exchange, PortsAndTimeLimitsThatCannotBeUsed) {
  const std::string port13026 =
      "getcertstatus_getcertstatus: An error occured trying to parse the portnumber from the certificates AIA "
      "location.\n";
  const std::string timeout13029 =
      "getcertstatus_getcertstatus: The vatimeout property in the configuration file is invalid.\n";
  struct Case {
    const char* name;
    std::string url;
    zmrtest::Properties properties;
    int code;
    std::string error;
  } cases[] = {
      {"URL port 0", "http://127.0.0.1:0/", {}, 13026, port13026},
      {"URL port too large", "http://127.0.0.1:65536/", {}, 13026, port13026},
      {"URL port not a number", "http://127.0.0.1:8o/", {}, 13026, port13026},
      {"vaport 0", "http://127.0.0.1", {{"vaport", "0"}}, 13026, port13026},
      {"vaport not a number", "http://127.0.0.1", {{"vaport", "eighty"}}, 13026, port13026},
      {"vaport too large", "http://127.0.0.1", {{"vaport", "70000"}}, 13026, port13026},
      {"vaport negative", "http://127.0.0.1", {{"vaport", "-80"}}, 13026, port13026},
      {"vatimeout 0", "http://127.0.0.1", {{"vaport", "1"}, {"vatimeout", "0"}}, 13029, timeout13029},
      {"vatimeout not a number", "http://127.0.0.1", {{"vaport", "1"}, {"vatimeout", "soon"}}, 13029, timeout13029},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string pkcs7 = urlPkcs7(c.url);
    int s = openWith(c.properties);
    Outcome o = call(s, pkcs7);
    EXPECT_EQ(c.code, o.rc);
    EXPECT_EQ(c.error, o.error);
    EXPECT_EQ(0, zmr::closesession(s));
  }
}

// The URL's port replaces the scheme's, vaport replaces both; the request
// goes to the URL's path; only vassldisabled switches TLS off.
TEST_F(Exchange, AddressFromTheUrlAndTheProperties) {
  std::string plainPort = std::to_string(plain.va->port());
  std::string tlsPort = std::to_string(tls.va->port());
  struct Case {
    const char* name;
    std::string url;
    zmrtest::Properties properties;
    zmrtest::VaStandin* reached;
    std::string path;
  } cases[] = {
      {"URL port and path", "http://127.0.0.1:" + plainPort + "/ocsp/check?x=1", {{"vassldisabled", "true"}},
       plain.va.get(), "/ocsp/check"},
      {"https URL, plain by property", "https://127.0.0.1:" + plainPort, {{"vassldisabled", "yes"}}, plain.va.get(),
       "/"},
      {"vaport wins", "http://127.0.0.1:1/va", {{"vaport", plainPort}, {"vassldisabled", "TRUE"}}, plain.va.get(),
       "/va"},
      {"capital HTTP is TLS", "HTTP://127.0.0.1:" + tlsPort + "/x", {}, tls.va.get(), "/x"},
      {"vassldisabled false is TLS", "http://127.0.0.1/", {{"vaport", tlsPort}, {"vassldisabled", "false"}},
       tls.va.get(), "/"},
      {"negative vatimeout runs under the client's default", "http://127.0.0.1:" + tlsPort,
       {{"vatimeout", "-5"}}, tls.va.get(), "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string pkcs7 = urlPkcs7(c.url);
    size_t before = c.reached->requests().size();
    int s = openWith(c.properties);
    Outcome o = call(s, pkcs7);
    EXPECT_EQ(0, o.rc) << o.error;
    ASSERT_EQ(before + 1, c.reached->requests().size());
    EXPECT_EQ(c.path, c.reached->requests().back().http.path);
    EXPECT_EQ(0, zmr::closesession(s));
  }
}

TEST_F(Exchange, FailedExchangesAndRetries) {
  zmrtest::TlsTestbed bed = zmrtest::makeTlsTestbed("cs-untrusted");
  zmrtest::StandinServer untrusted(bed.unknownCa());
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  struct Case {
    const char* name;
    zmrtest::Properties properties;
    zmrtest::StandinServer* server;  // connections counted
    zmrtest::Behaviour behaviour;
    int code;
    int connections;
    const char* line;
  } cases[] = {
      {"nothing listens", {{"vaport", std::to_string(closedPort())}, {"vassldisabled", "true"}}, nullptr,
       zmrtest::Behaviour::normal, 35005, 0, "http_post: Could not connect to server\n"},
      {"untrusted server", {{"vaport", std::to_string(untrusted.port())}}, &untrusted, zmrtest::Behaviour::normal,
       35006, 3, "http_post: Error during SSL handshake\n"},
      {"reset", {{"vaport", std::to_string(plain.va->port())}, {"vassldisabled", "true"}}, &plain.va->server(),
       zmrtest::Behaviour::reset, 35011, 3, "http_post: Connection error\n"},
      {"stall", {{"vaport", std::to_string(plain.va->port())}, {"vassldisabled", "true"}, {"vatimeout", "2"}},
       &plain.va->server(), zmrtest::Behaviour::stall, 35014, 1, "http_post: Connection timed out\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int before = c.server != nullptr ? c.server->connections() : 0;
    if (c.server != nullptr) c.server->setBehaviour(c.behaviour);
    int s = openWith(c.properties);
    Outcome o = call(s, pkcs7);
    EXPECT_EQ(c.code, o.rc);
    // Each attempt clears the recent error: only the last one's line is left.
    EXPECT_EQ(std::string(c.line) + kCommLine, o.error);
    if (c.server != nullptr) {
      EXPECT_EQ(c.connections, c.server->connections() - before);
    }
    EXPECT_EQ("<absent>", item(s, "vaperf"));
    EXPECT_EQ(0, zmr::closesession(s));
  }
  plain.va->server().setBehaviour(zmrtest::Behaviour::normal);
}

// A failure that a retry gets past: the attempt that answers is the one
// used, the failed attempts leave no line, and the exchange's time is
// stored. Reset connections, once and twice, then a good answer.
TEST_F(Exchange, ARetryThatSucceeds) {
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  for (int failures : {1, 2}) {
    SCOPED_TRACE(std::to_string(failures) + " failed attempts");
    int s = openWith({{"vaport", std::to_string(plain.va->port())}, {"vassldisabled", "true"}});
    const int connections = plain.va->server().connections();
    plain.va->server().failNext(failures, zmrtest::Behaviour::reset);
    Outcome o = call(s, pkcs7);
    EXPECT_EQ(0, o.rc) << o.error;
    EXPECT_EQ(failures + 1, plain.va->server().connections() - connections);
    EXPECT_FALSE(o.ocsp.empty());
    EXPECT_EQ(std::string::npos, o.error.find("http_post")) << o.error;
    EXPECT_NE("<absent>", item(s, "vaperf"));
    EXPECT_EQ(0, zmr::closesession(s));
  }
}

TEST_F(Exchange, ThroughTheProxy) {
  zmrtest::ProxyStandin proxy;
  proxy.requireCredentials("merchant:pw");
  std::string proxyPort = std::to_string(proxy.port());
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  int s = openWith({{"vaport", std::to_string(tls.va->port())},
                    {"vahttpproxyserver", "127.0.0.1"},
                    {"vahttpproxyport", proxyPort},
                    {"vahttpproxycredentials", "merchant:pw"}});
  Outcome o = call(s, pkcs7);
  EXPECT_EQ(0, o.rc) << o.error;
  EXPECT_EQ(1u, tls.va->requests().size());
  ASSERT_EQ(1u, proxy.requestLines().size());
  EXPECT_EQ("CONNECT 127.0.0.1:" + std::to_string(tls.va->port()) + " HTTP/1.1", proxy.requestLines()[0]);
  EXPECT_EQ(0, zmr::closesession(s));

  // Without a port anywhere, an http URL means port 80 and still TLS (three
  // attempts, as nothing answers there).
  s = openWith({{"vahttpproxyserver", "127.0.0.1"},
                {"vahttpproxyport", proxyPort},
                {"vahttpproxycredentials", "merchant:pw"}});
  o = call(s, pkcs7);
  EXPECT_NE(0, o.rc);
  EXPECT_EQ(kCommLine, lastLine(o.error));
  std::vector<std::string> lines = proxy.requestLines();
  ASSERT_EQ(4u, lines.size());
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ("CONNECT 127.0.0.1:80 HTTP/1.1", lines[i]);
  EXPECT_EQ(0, zmr::closesession(s));
}

}  // namespace
