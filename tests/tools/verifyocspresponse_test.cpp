// Verification of validation-authority OCSP answers over the fixture
// factory's responses: one table of cases, each with its expected code and,
// when accepted, the status of the single response handed back.
#include <gtest/gtest.h>

#include <functional>

#include "store/setup.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/fixtures.h"
#include "support/tempdir.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

using zmrtest::CertSpec;
using zmrtest::makeCert;
using zmrtest::OcspSpec;
using zmrtest::TestCert;

constexpr long kDay = 86400;

std::string takeError() {
  std::optional<std::string> e;
  getlasterror(0, e);
  return e.value_or("");
}

CertSpec aged(CertSpec spec, int keyIndex) {
  spec.notBeforeOffset = -30 * kDay;
  spec.keyIndex = keyIndex;
  return spec;
}

// Certificates valid since a month, so that answers from days ago can be
// judged at their own time.
struct World {
  TestCert root = makeCert(aged(zmrtest::rootSpec("TESTLAB - Zelmor Root CA"), 60));
  TestCert ca = makeCert(aged(zmrtest::issuingCaSpec(), 61), &root);
  TestCert responder = makeCert(aged(zmrtest::responderSpec(), 62), &ca);
  TestCert user = makeCert(aged(zmrtest::endUserSpec(), 63), &ca);
  TestCert otherUser = makeCert(aged(zmrtest::endUserSpec(), 63), &ca);
  // Same subject as ca, another key; and another CA name.
  TestCert caTwin = makeCert(aged(zmrtest::issuingCaSpec(), 64), &root);
  TestCert otherCa = makeCert(aged(zmrtest::issuingCaSpec("Zelmor Other CA"), 64), &root);
  TestCert noPolicy = responderWith([](CertSpec& s) { s.policies = {zmrtest::kPolicyPersonal}; }, 65);
  TestCert policySecond =
      responderWith([](CertSpec& s) { s.policies = {zmrtest::kPolicyPersonal, zmrtest::kPolicyResponder}; }, 65);
  TestCert signingOnly = responderWith([](CertSpec& s) { s.keyUsage = KU_DIGITAL_SIGNATURE; }, 65);
  TestCert expired = responderWith([](CertSpec& s) { s.notAfterOffset = -kDay; }, 62);
  TestCert foreignRoot = makeCert(aged(zmrtest::rootSpec("Zelmor Root CA"), 66));
  TestCert foreign = makeCert(aged(zmrtest::responderSpec(), 67), &foreignRoot);
  // Serials longer than 64 bits that agree in their low bytes.
  TestCert longA = longSerial("0x01000000000000000000000000000005");
  TestCert longB = longSerial("0x02000000000000000000000000000005");

  TestCert responderWith(const std::function<void(CertSpec&)>& edit, int keyIndex) {
    CertSpec s = aged(zmrtest::responderSpec(), keyIndex);
    edit(s);
    return makeCert(s, &ca);
  }
  TestCert longSerial(const std::string& serial) {
    CertSpec s = aged(zmrtest::endUserSpec(), 63);
    s.serial = serial;
    return makeCert(s, &ca);
  }
};

int sessionWithStore(const std::vector<const X509*>& certs) {
  std::string dir = zmrtest::makeTempDir("ocsp-store");
  EXPECT_TRUE(zmrtest::writeTrustStore(dir, certs));
  X509_STORE* store = X509_STORE_new();
  EXPECT_EQ(X509_STORE_load_locations(store, nullptr, dir.c_str()), 1);
  int s = zmrtest::openStoreSession();
  zmrtest::sessionState(s)->truststore.reset(store);
  // Even a session that grants every policy must not let a signer act as
  // the validation authority.
  zmrtest::sessionState(s)->properties.emplace_back("grantedpolicies", "ALL");
  return s;
}

void stale(OcspSpec& o, long nextUpdate) {
  o.singles[0].thisUpdateOffset = -7200;
  o.singles[0].nextUpdateOffset = nextUpdate;
}

enum class Subject { certAndIssuer, certOnly, serialOnly, longA };

using Edit = std::function<void(OcspSpec&, const World&)>;

struct Case {
  const char* name = "";
  Edit edit;
  int code = 0;
  int status = V_OCSP_CERTSTATUS_GOOD;  // of the single response handed back
  bool request = false;
  std::optional<std::string> requestNonce;
  Subject subject = Subject::certAndIssuer;
  int useResponseCerts = 0;
  OcspTime mode = OcspTime::live;
  bool rootOnlyStore = false;

  Case& expectStatus(int s) {
    status = s;
    return *this;
  }
  Case& withRequest(const std::optional<std::string>& nonce) {
    request = true;
    requestNonce = nonce;
    return *this;
  }
  Case& about(Subject s) {
    subject = s;
    return *this;
  }
  // A trust store holding the root alone, and whether the response's
  // certificates may complete the chain.
  Case& rootOnly(int useCerts) {
    rootOnlyStore = true;
    useResponseCerts = useCerts;
    return *this;
  }
  Case& stored() {
    mode = OcspTime::stored;
    return *this;
  }
};

Case row(const char* name, Edit edit, int code) {
  Case c;
  c.name = name;
  c.edit = std::move(edit);
  c.code = code;
  return c;
}

class VerifyOcspResponse : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(initstructures(), 0); }
};

TEST_F(VerifyOcspResponse, Cases) {
  World w;
  int full = sessionWithStore({w.root.get(), w.ca.get()});
  int rootOnly = sessionWithStore({w.root.get()});
  using V = std::vector<const X509*>;
  auto past = [](OcspSpec& o, long at) {
    o.producedAt = zmrtest::generalizedTimeText(at);
    o.singles[0].thisUpdateOffset = at - 60;
    o.singles[0].nextUpdateOffset = at + 3600;
  };

  const Case cases[] = {
      row("good", [](auto&, auto&) {}, 0),
      row("revoked", [](auto& o, auto&) { o.singles[0].status = V_OCSP_CERTSTATUS_REVOKED; }, 0)
          .expectStatus(V_OCSP_CERTSTATUS_REVOKED),
      row("unknown", [](auto& o, auto&) { o.singles[0].status = V_OCSP_CERTSTATUS_UNKNOWN; }, 0)
          .expectStatus(V_OCSP_CERTSTATUS_UNKNOWN),
      row("responder ID by key", [](auto& o, auto&) { o.responderIdByKey = true; }, 0),
      row("SHA-256 CertID", [](auto& o, auto&) { o.singles[0].idDigest = EVP_sha256(); }, 0),
      // Nonces: only two different ones fail.
      row("same nonce", [](auto& o, auto&) { o.nonce = "nonce-0123456789"; }, 0).withRequest("nonce-0123456789"),
      row("response without the request's nonce", [](auto&, auto&) {}, 0).withRequest("nonce-0123456789"),
      row("other nonce", [](auto& o, auto&) { o.nonce = "nonce-9999999999"; }, 13009)
          .withRequest("nonce-0123456789"),
      row("nonce without request", [](auto& o, auto&) { o.nonce = "nonce-9999999999"; }, 0),
      // The responder certificate
      row("no certificates", [](auto& o, auto&) { o.certs = V{}; }, 13011),
      row("responder without the VA policy", [](auto& o, auto& w) { o.signer = &w.noPolicy; }, 6001),
      row("VA policy only as second policy", [](auto& o, auto& w) { o.signer = &w.policySecond; }, 6001),
      row("end user vouching for itself", [](auto& o, auto& w) { o.signer = &w.user; }, 6001),
      row("responder without nonRepudiation", [](auto& o, auto& w) { o.signer = &w.signingOnly; }, 6002),
      row("responder under an untrusted root", [](auto& o, auto& w) { o.signer = &w.foreign; }, 13031),
      row("expired responder", [](auto& o, auto& w) { o.signer = &w.expired; }, 13031),
      row("named responder, another key signs",
          [](auto& o, auto& w) {
            o.signer = &w.noPolicy;
            o.responderId = w.responder.get();
            o.certs = V{w.responder.get()};
          },
          13023),
      row("genuine responder first, end user signs",
          [](auto& o, auto& w) {
            o.signer = &w.user;
            o.certs = V{w.responder.get(), w.user.get()};
          },
          6001),
      row("genuine responder first, foreign VA signs",
          [](auto& o, auto& w) {
            o.signer = &w.foreign;
            o.responderIdByKey = true;
            o.certs = V{w.responder.get(), w.foreign.get()};
          },
          13031),
      row("genuine responder first, foreign VA of the same name signs",
          [](auto& o, auto& w) {
            o.signer = &w.foreign;
            o.certs = V{w.responder.get(), w.foreign.get()};
          },
          13023),
      row("signer's certificate not carried",
          [](auto& o, auto& w) {
            o.signer = &w.foreign;
            o.responderIdByKey = true;
            o.certs = V{w.responder.get()};
          },
          13011),
      // Chains through the response's own certificates
      row("intermediate from the response", [](auto& o, auto& w) { o.certs = V{w.responder.get(), w.ca.get()}; }, 0)
          .rootOnly(1),
      row("intermediate from the response not allowed",
          [](auto& o, auto& w) { o.certs = V{w.responder.get(), w.ca.get()}; }, 13031)
          .rootOnly(0),
      // Which single response
      row("asked certificate second",
          [](auto& o, auto& w) {
            o.singles.insert(o.singles.begin(), o.singles[0]);
            o.singles[0].cert = w.otherUser.get();
            o.singles[1].status = V_OCSP_CERTSTATUS_REVOKED;
          },
          0)
          .expectStatus(V_OCSP_CERTSTATUS_REVOKED),
      row("only other certificates", [](auto& o, auto& w) { o.singles[0].cert = w.otherUser.get(); }, 13010),
      row("no single response", [](auto& o, auto&) { o.singles.clear(); }, 13010),
      row("serial under another CA name", [](auto& o, auto& w) { o.singles[0].issuer = w.otherCa.get(); }, 13010),
      row("same CA name, other key", [](auto& o, auto& w) { o.singles[0].issuer = w.caTwin.get(); }, 13010),
      row("same CA name, other key, issuer unknown", [](auto& o, auto& w) { o.singles[0].issuer = w.caTwin.get(); },
          0)
          .about(Subject::certOnly),
      row("serial alone", [](auto&, auto&) {}, 0).about(Subject::serialOnly),
      row("long serial, other certificate", [](auto& o, auto& w) { o.singles[0].cert = w.longB.get(); }, 13010)
          .about(Subject::longA),
      row("long serial", [](auto& o, auto& w) { o.singles[0].cert = w.longA.get(); }, 0).about(Subject::longA),
      // Currency of live answers
      row("nextUpdate passed", [](auto& o, auto&) { stale(o, -600); }, kOcspNotCurrent),
      row("nextUpdate passed within leeway", [](auto& o, auto&) { stale(o, -240); }, 0),
      row("thisUpdate ahead", [](auto& o, auto&) { o.singles[0].thisUpdateOffset = 600; }, kOcspNotCurrent),
      row("thisUpdate ahead within leeway", [](auto& o, auto&) { o.singles[0].thisUpdateOffset = 240; }, 0),
      row("no nextUpdate, two hours old",
          [](auto& o, auto&) {
            o.singles[0].thisUpdateOffset = -7200;
            o.singles[0].nextUpdateOffset.reset();
          },
          kOcspNotCurrent),
      row("no nextUpdate, half an hour old",
          [](auto& o, auto&) {
            o.singles[0].thisUpdateOffset = -1800;
            o.singles[0].nextUpdateOffset.reset();
          },
          0),
      row("nextUpdate before thisUpdate",
          [](auto& o, auto&) {
            o.singles[0].thisUpdateOffset = -60;
            o.singles[0].nextUpdateOffset = -120;
          },
          kOcspNotCurrent),
      row("fractional producedAt", [](auto& o, auto&) { o.producedAt = zmrtest::generalizedTimeText(-2, ".375"); },
          0),
      // Stored answers, judged at their producedAt
      row("three days old, live", [&](auto& o, auto&) { past(o, -3 * kDay); }, kOcspNotCurrent),
      row("three days old, stored", [&](auto& o, auto&) { past(o, -3 * kDay); }, 0).stored(),
      row("stored, fractional producedAt",
          [&](auto& o, auto&) {
            past(o, -3 * kDay);
            o.producedAt = zmrtest::generalizedTimeText(-3 * kDay, ".5");
          },
          0)
          .stored(),
      row("stored, responder expired since",
          [&](auto& o, auto& w) {
            past(o, -3 * kDay);
            o.signer = &w.expired;
          },
          0)
          .stored(),
      row("stored, stale at its own time",
          [&](auto& o, auto&) {
            past(o, -3 * kDay);
            o.singles[0].nextUpdateOffset = -3 * kDay - 3600;
          },
          kOcspNotCurrent)
          .stored(),
      row("stored, responder not yet valid then", [&](auto& o, auto&) { past(o, -40 * kDay); }, 13031).stored(),
  };

  for (const Case& c : cases) {
    OcspSpec spec = zmrtest::ocspFor(w.responder, w.user.get(), w.ca.get());
    c.edit(spec, w);
    zmr::OcspBasicRespPtr basic = zmrtest::makeOcspBasic(spec);
    zmr::OcspRequestPtr request;
    if (c.request) request = zmrtest::makeOcspRequest(w.user.get(), w.ca.get(), c.requestNonce);
    OcspSubject subject;
    X509* asked = c.subject == Subject::longA ? w.longA.get() : w.user.get();
    if (c.subject == Subject::serialOnly) {
      subject.serial = X509_get0_serialNumber(asked);
    } else {
      subject.cert = asked;
      if (c.subject != Subject::certOnly) subject.issuer = w.ca.get();
    }
    OCSP_SINGLERESP* single = nullptr;
    int rc = verifyocspresponse(*zmrtest::sessionState(c.rootOnlyStore ? rootOnly : full), request.get(), basic.get(), subject,
                                c.useResponseCerts, c.mode, &single);
    std::string err = takeError();
    EXPECT_EQ(rc, c.code) << c.name << ": " << err;
    if (rc != 0 || c.code != 0) {
      EXPECT_EQ(single, nullptr) << c.name;
      EXPECT_FALSE(err.empty()) << c.name;
      continue;
    }
    ASSERT_NE(single, nullptr) << c.name;
    EXPECT_EQ(OCSP_single_get0_status(single, nullptr, nullptr, nullptr, nullptr), c.status) << c.name;
    ASN1_INTEGER* serial = nullptr;
    OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, const_cast<OCSP_CERTID*>(OCSP_SINGLERESP_get0_id(single)));
    EXPECT_EQ(ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(asked)), 0) << c.name;
  }
}

TEST_F(VerifyOcspResponse, MessagesAndMissingTrustStore) {
  World w;
  int s = sessionWithStore({w.root.get(), w.ca.get()});
  OcspSubject subject{w.user.get(), w.ca.get(), nullptr};
  OcspSpec spec = zmrtest::ocspFor(w.responder, w.user.get(), w.ca.get());
  stale(spec, -600);
  EXPECT_EQ(verifyocspresponse(*zmrtest::sessionState(s), nullptr, zmrtest::makeOcspBasic(spec).get(), subject, 0, OcspTime::live, nullptr),
            kOcspNotCurrent);
  EXPECT_EQ(takeError(), "getcertstatus_verifyocspresponse: The ocsp response has passed its nextUpdate time.\n");

  spec = zmrtest::ocspFor(w.noPolicy, w.user.get(), w.ca.get());
  EXPECT_EQ(verifyocspresponse(*zmrtest::sessionState(s), nullptr, zmrtest::makeOcspBasic(spec).get(), subject, 0, OcspTime::live, nullptr), 6001);
  EXPECT_EQ(takeError(),
            "getcertstatus_verifyocspresponse: The signing certificate retrieved from the server does not contain the "
            "VA OCSP responder certificate policy oid\n");

  int bare = zmrtest::openStoreSession();
  spec = zmrtest::ocspFor(w.responder, w.user.get(), w.ca.get());
  EXPECT_EQ(verifyocspresponse(*zmrtest::sessionState(bare), nullptr, zmrtest::makeOcspBasic(spec).get(), subject, 0, OcspTime::live, nullptr),
            2026);
  EXPECT_EQ(takeError(),
            "getcertstatus_verifyocspresponse: An error occured finding the truststore parameter in Zelmor "
            "configuration file.\n");
  EXPECT_EQ(verifyocspresponse(*zmrtest::sessionState(s), nullptr, nullptr, subject, 0, OcspTime::live, nullptr), kBadArgument);
  EXPECT_EQ(verifyocspresponse(*zmrtest::sessionState(s), nullptr, zmrtest::makeOcspBasic(spec).get(), subject, 0, static_cast<OcspTime>(2), nullptr), kBadArgument);
}

}  // namespace
}  // namespace zmr
