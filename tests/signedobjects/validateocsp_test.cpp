// The check of an OCSP answer kept beside a signature, over answers and
// signatures of the fixture factory: a table of forged and damaged
// answers, each with its code and the line the check writes, under both
// prefixes its callers give.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "store/setup.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/sdopki.h"
#include "store/sessionstore.h"
#include "support/fixtures.h"
#include "support/recenterror.h"
#include "support/storesession.h"
#include "tools/base64.h"

namespace zmr {
namespace {

using zmrtest::OcspSpec;
using zmrtest::TestCert;

constexpr const char* kFinalLine =
    "seidsdovalidate_validateocsp: The OCSP signature and certificate check did not return success.\n";

std::string b64(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

struct World : sdotest::SdoPki {
  int session = -1;
};

World* world = nullptr;

class ValidateOcsp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sdotest::openWorld(world, "validateocsp-store"); }
  static void TearDownTestSuite() { sdotest::closeWorld(world); }
  void SetUp() override { zmrtest::takeRecentError(); }

  static int check(const std::string& der, const std::string& pkcs7, std::string_view prefix) {
    SessionRef s = zmrtest::sessionState(world->session);
    return validateocspvalue(*s, reinterpret_cast<const unsigned char*>(der.data()), der.size(), pkcs7, prefix);
  }
};

using Edit = std::function<void(OcspSpec&, const World&)>;

struct Case {
  const char* name;
  Edit edit;
  int code;
  const char* line;  // the check's own line; the final OCSP line when null
  const TestCert* signer = nullptr;  // the end user when null
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"good", [](OcspSpec&, const World&) {}, 0, ""},
      {"sibling with a 16-byte serial",
       [](OcspSpec& o, const World& w) { o.singles[0].cert = w.longB.get(); }, 20025,
       "The serialnumber in the certificate from the pkcs7 structure does not match the serialnumber for which the "
       "ocsp response is for.",
       &world->longA},
      {"another issuer's name", [](OcspSpec& o, const World& w) { o.singles[0].issuer = w.otherCa.get(); }, 20026,
       "The hash of the issuername in the certificate from the pkcs7 structure does not match the hash of the "
       "issuername for which the ocsp response is for."},
      {"SHA-256 CertID", [](OcspSpec& o, const World&) { o.singles[0].idDigest = EVP_sha256(); }, 20026,
       "The hash of the issuername in the certificate from the pkcs7 structure does not match the hash of the "
       "issuername for which the ocsp response is for."},
      {"first revoked, then good",
       [](OcspSpec& o, const World&) {
         zmrtest::OcspSingleSpec good = o.singles[0];
         o.singles[0].status = V_OCSP_CERTSTATUS_REVOKED;
         o.singles.push_back(good);
       },
       20022, "The certificatestatus was not good in signatureelements ocsp response."},
      {"first unknown", [](OcspSpec& o, const World&) { o.singles[0].status = V_OCSP_CERTSTATUS_UNKNOWN; }, 20022,
       "The certificatestatus was not good in signatureelements ocsp response."},
      {"no single response", [](OcspSpec& o, const World&) { o.singles.clear(); }, 20021,
       "No single responses in tbsresponsedata."},
      {"another key under the responder's name",
       [](OcspSpec& o, const World& w) { o.signer = &w.impostor; }, 13023, nullptr},
      {"responder outside the trust store",
       [](OcspSpec& o, const World& w) {
         o.signer = &w.foreign;
         o.certs = std::vector<const X509*>{w.foreign.get(), w.foreignRoot.get()};
       },
       13031, nullptr},
      {"responder without the responder policy", [](OcspSpec& o, const World& w) { o.signer = &w.noPolicy; }, 6001,
       nullptr},
      {"stale at its own producedAt",
       [](OcspSpec& o, const World&) {
         o.singles[0].thisUpdateOffset = -7200;
         o.singles[0].nextUpdateOffset = std::nullopt;
       },
       13033, nullptr},
  };
  return all;
}

TEST_F(ValidateOcsp, ForgedAndDamagedAnswers) {
  for (std::string_view prefix : {"seidsdovalidate_validateocsp: ", "sdovalidate_validateocsp: "}) {
    for (const Case& c : cases()) {
      SCOPED_TRACE(std::string(c.name) + " / " + std::string(prefix));
      const TestCert& signer = c.signer != nullptr ? *c.signer : world->pki.endUser;
      OcspSpec spec = zmrtest::ocspFor(world->pki.responder, signer.get(), world->pki.ca.get());
      c.edit(spec, *world);
      std::string pkcs7 = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(signer));
      zmrtest::takeRecentError();
      EXPECT_EQ(c.code, check(zmrtest::makeOcspBasicDer(spec), pkcs7, prefix));
      std::string error = zmrtest::peekRecentError();
      if (c.code == 0) {
        EXPECT_EQ("", error);
      } else if (c.line == nullptr) {
        // verifyocspresponse's own line comes first.
        ASSERT_GT(error.size(), std::strlen(kFinalLine));
        EXPECT_EQ(kFinalLine, error.substr(error.size() - std::strlen(kFinalLine)));
      } else {
        EXPECT_EQ(std::string(prefix) + c.line + "\n", error);
      }
    }
  }
}

TEST_F(ValidateOcsp, WhatIsNotABasicResponseOrNotASignature) {
  const World& w = *world;
  OcspSpec spec = zmrtest::ocspFor(w.pki.responder, w.pki.endUser.get(), w.pki.ca.get());
  std::string basic = zmrtest::makeOcspBasicDer(spec);
  std::string pkcs7 = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(w.pki.endUser));
  zmrtest::Pkcs7Spec bare = zmrtest::pkcs7For(w.pki.endUser);
  bare.includeSignerCerts = false;
  const std::string prefix = "sdovalidate_validateocsp: ";
  const std::string notBasic =
      prefix +
      "The der encoded ocsp basic response in the signature element can not be parsed to an ocsp basicresponse "
      "structure.\n";
  struct Row {
    const char* name;
    std::string der, pkcs7;
    int code;
    std::string error;
  } rows[] = {
      {"full OCSPResponse", zmrtest::makeOcspResponseDer(spec), pkcs7, 20018, notBasic},
      {"a byte after the response", basic + std::string(1, '\0'), pkcs7, 20018, notBasic},
      {"cut short", basic.substr(0, basic.size() - 1), pkcs7, 20018, notBasic},
      {"no bytes", "", pkcs7, 20018, notBasic},
      {"signature not base64", basic, "MII*", 21002,
       prefix + "The base64 and der encoded signature in the signatureelement could not be base64 decoded.\n"},
      {"signature not a PKCS#7", basic, b64(basic), 20023,
       prefix + "The der encoded signature in the signatureelement could not be parsed to an pkcs7 structure.\n"},
      {"signer certificate missing", basic, zmrtest::makePkcs7Base64(bare), 12001,
       prefix + "An error occured retrieving the signing certificate from the pkcs7 structure.\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    zmrtest::takeRecentError();
    EXPECT_EQ(r.code, check(r.der, r.pkcs7, prefix));
    std::string error = zmrtest::peekRecentError();
    ASSERT_GE(error.size(), r.error.size());
    // The decoder and the signer lookup write their own lines first.
    EXPECT_EQ(r.error, error.substr(error.size() - r.error.size()));
  }
}

}  // namespace
}  // namespace zmr
