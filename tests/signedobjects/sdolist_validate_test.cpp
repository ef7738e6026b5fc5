// Validation of the older SDO list over real signatures of the test PKI:
// the merchant's over the digest and its date-time, the end user's made
// with SHA-1 over the stored document, the SDO signature over the signable
// text, OCSP answers of the fixture factory. Then each step's refusals,
// with their codes and lines.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "store/setup.h"
#include "signedobjects/sdolist/sdolist.h"
#include "signedobjects/sdopki.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/fixtures.h"
#include "support/recenterror.h"
#include "support/sdolisttrees.h"

namespace zmr {
namespace {

using zmrtest::OcspSpec;
using zmrtest::TestCert;

struct World : sdotest::SdoPki {
  int session = -1;
};
World* world = nullptr;

using OcspEdit = std::function<void(OcspSpec&, const World&)>;

constexpr const char* kElementLine = "sdovalidate_sdovalidate: An error occured verifying one of the signature elements.\n";
constexpr const char* kOcspLine =
    "sdovalidate_verifysignatureelement: An error occured trying to validate the ocsp response in the signature "
    "element.\n";
constexpr const char* kMandatoryLine = "sdovalidate_sdovalidate: The mandatory items in the sdo did not verify.\n";
constexpr const char* kGapLine =
    "sdovalidate_sdovalidate: The merchant ocspresponse and the client ocspresponse must be produced with a timegap "
    "of 3600 seconds.\n";

// What a list is made of.
struct Spec {
  std::string document = "Avtale om levering av 40 sekker sement\n";
  std::string datetime = "2026-12-10T20:15:00";
  long userAt = 0, merchantAt = 0;  // producedAt of the two answers, seconds from now
  std::string fraction;             // of a second, on both producedAt times (".5")
  int elements = 2;                 // 1: the end user's alone; 3: another end user's after the two
  const TestCert* user = nullptr;   // the end user when null
  OcspEdit userOcsp;                // edits of the end user's answer
};

std::string answer(const TestCert& about, long at, const OcspEdit& edit, const std::string& fraction = "") {
  OcspSpec o = zmrtest::ocspFor(world->pki.responder, about.get(), world->pki.ca.get());
  o.producedAt = zmrtest::generalizedTimeText(at, fraction);
  o.singles[0].thisUpdateOffset = at - 60;
  o.singles[0].nextUpdateOffset = at + 3600;
  if (edit) edit(o, *world);
  return zmrtest::makeOcspBasicDer(o);
}

// The end user's signature: SHA-1 over the document, so that its
// messageDigest is the digest the data part holds.
std::string userSignature(const TestCert& user, const std::string& document) {
  zmrtest::Pkcs7Spec p = zmrtest::pkcs7For(user, document);
  p.signers[0].digest = EVP_sha1();
  return zmrtest::makePkcs7Base64(p);
}

std::unique_ptr<sigelement> userElement(const Spec& spec) {
  const TestCert& user = spec.user != nullptr ? *spec.user : world->pki.endUser;
  std::unique_ptr<sigelement> e;
  EXPECT_EQ(0, createsdosignatureelement(world->session, userSignature(user, spec.document),
                                         answer(user, spec.userAt, spec.userOcsp, spec.fraction), std::nullopt, e));
  return e;
}

// The SDO signature over the data part as it now stands.
void seal(sdolist& list) {
  std::string signable;
  ASSERT_EQ(0, sdodataparttosignable(world->session, *list.first->sdodatapart, signable));
  list.first->szsdosignature = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(world->pki.merchantSign, signable));
}

// The merchant's signature over the digest followed by the date-time.
void signMerchant(sdolist& list) {
  sigelement& merchant = *list.first->sdodatapart->siglist->next;
  const std::vector<unsigned char>& digest = *list.first->sdodatapart->szhasheddata;
  merchant.signature = zmrtest::makePkcs7Base64(
      zmrtest::pkcs7For(world->pki.merchantSign, std::string(digest.begin(), digest.end()) + *merchant.szdatetime));
}

std::unique_ptr<sdolist> build(const Spec& spec = {}) {
  std::string digest = zmrtest::digestOf(EVP_sha1(), spec.document);
  std::unique_ptr<sigelement> first = userElement(spec);
  if (spec.elements > 1) {
    EXPECT_EQ(0, createsdosignatureelement(world->session, "",
                                           answer(world->pki.merchantSign, spec.merchantAt, {}, spec.fraction),
                                           spec.datetime, first->next));
    if (spec.elements > 2) first->next->next = userElement(spec);
  }
  std::unique_ptr<sdodatapart> datapart;
  std::unique_ptr<sdoelement> sdo;
  std::unique_ptr<sdolist> list;
  EXPECT_EQ(0, createsdodatapart(world->session, digest, "text/plain", std::move(first), datapart));
  EXPECT_EQ(0, createsdoelement(world->session, std::nullopt, std::move(datapart), sdo));
  sdo->storeddata = zmrtest::bytesOf(spec.document);
  EXPECT_EQ(0, createsdofinished(std::move(sdo), list));
  if (spec.elements > 1) signMerchant(*list);
  seal(*list);
  return list;
}

class SdoListValidate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sdotest::openWorld(world, "sdolist-validate"); }
  static void TearDownTestSuite() { sdotest::closeWorld(world); }
  void SetUp() override { zmrtest::takeRecentError(); }

  static int validate(const sdolist* list, int datacheck = 1) {
    zmrtest::takeRecentError();
    return sdovalidate(world->session, list, datacheck);
  }
  // The recent error ends in these lines.
  static void expectEnding(const std::string& lines) {
    std::string error = zmrtest::peekRecentError();
    ASSERT_GE(error.size(), lines.size()) << error;
    EXPECT_EQ(error.substr(error.size() - lines.size()), lines) << error;
  }
};

TEST_F(SdoListValidate, ListFromRealSignaturesPasses) {
  auto list = build();
  EXPECT_EQ(validate(list.get(), 1), 0) << zmrtest::peekRecentError();
  EXPECT_EQ(zmrtest::peekRecentError(), "");
  EXPECT_EQ(validate(list.get(), 0), 0);
  // So does the same list written and read back.
  std::unique_ptr<sdolist> read;
  ASSERT_EQ(xmltosdo(world->session, zmrtest::writeSdoList(*list), read), 0);
  EXPECT_EQ(validate(read.get(), 1), 0) << zmrtest::peekRecentError();
}

TEST_F(SdoListValidate, MandatoryItemsInTheirOrder) {
  EXPECT_EQ(validate(nullptr), 20002);
  EXPECT_EQ(zmrtest::peekRecentError(), std::string("sdovalidate_verifymandatory: The sdo contains no sdolist.\n") +
                                            kMandatoryLine);
  sdolist empty;
  EXPECT_EQ(validate(&empty), 20002);

  auto two = build();
  two->first->nextsdoelement = std::move(build()->first);
  EXPECT_EQ(validate(two.get()), 20003);
  EXPECT_EQ(zmrtest::peekRecentError(),
            std::string("sdovalidate_verifymandatory: The sdolist contains more than one entry, the nextsdoelement "
                        "is set.\n") +
                kMandatoryLine);

  // Each row takes away its item and all that are checked after it.
  struct Row {
    std::set<std::string> gone;
    int code;
  } rows[] = {
      {{"version", "signature", "policy", "siglist", "datatype", "digest"}, 20004},
      {{"datapart", "signature"}, 20005},
      {{"signature", "policy", "siglist", "datatype", "digest"}, 20006},
      {{"policy", "siglist", "datatype", "digest"}, 20007},
      {{"siglist", "datatype", "digest"}, 20014},
      {{"datatype", "digest"}, 20009},
      {{"digest"}, 20008},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    auto list = build();
    sdoelement& sdo = *list->first;
    sdodatapart& d = *sdo.sdodatapart;
    if (r.gone.count("version")) sdo.szzmr_sdoversion.reset();
    if (r.gone.count("signature")) sdo.szsdosignature.reset();
    if (r.gone.count("policy")) d.szpolicy.reset();
    if (r.gone.count("siglist")) d.siglist.reset();
    if (r.gone.count("datatype")) d.szdatatype.reset();
    if (r.gone.count("digest")) d.szhasheddata.reset();
    if (r.gone.count("datapart")) sdo.sdodatapart.reset();
    EXPECT_EQ(validate(list.get()), r.code);
    EXPECT_EQ(zmrtest::peekRecentError(), kMandatoryLine);
  }
}

TEST_F(SdoListValidate, OnlyTheOnePolicy) {
  for (const char* policy : {"2.999.10.1.16.4.1 ", "urn:oid:2.999.10.1.16.4.1", "2.999.10.1.16.4.2", ""}) {
    SCOPED_TRACE(policy);
    auto list = build();
    list->first->sdodatapart->szpolicy = policy;
    seal(*list);
    EXPECT_EQ(validate(list.get()), 20001);
    EXPECT_EQ(zmrtest::peekRecentError(),
              "sdovalidate_sdovalidate: The sdo_policy is not among supported policies.\n");
  }
}

TEST_F(SdoListValidate, DataCheck) {
  const std::string closing =
      "sdovalidate_sdovalidate: An error occured verifying that the hashed data in the sdo equals the digest of the "
      "input data.\n";
  const std::string missing =
      "sdovalidate_comparehashagainstdata: The sdo does not contain the data, therefore it is impossible to verify "
      "the data itself.\n";
  struct Row {
    const char* name;
    std::function<void(sdoelement&)> edit;
    int code;
    std::string lines;
  } rows[] = {
      {"no stored data", [](sdoelement& s) { s.storeddata.reset(); }, 20012, missing + closing},
      {"stored data without bytes", [](sdoelement& s) { s.storeddata = std::vector<unsigned char>(); }, 20012,
       missing + closing},
      {"a digest one byte short", [](sdoelement& s) { s.sdodatapart->szhasheddata->pop_back(); }, 20013,
       "sdovalidate_comparehashagainstdata: The length of the message digest of the sdo's data does not equal "
       "ihasheddata .\n" +
           closing},
      {"another document", [](sdoelement& s) { s.storeddata->back() ^= 1; }, 20013,
       "sdovalidate_comparehashagainstdata: The message digest of the sdo's data does not equal szhasheddata.\n" +
           closing},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto list = build();
    r.edit(*list->first);
    EXPECT_EQ(validate(list.get(), 1), r.code);
    EXPECT_EQ(zmrtest::peekRecentError(), r.lines);
  }
  // Without the data check the stored document is not looked at.
  auto list = build();
  list->first->storeddata->back() ^= 1;
  EXPECT_EQ(validate(list.get(), 0), 0) << zmrtest::peekRecentError();
  list->first->storeddata.reset();
  EXPECT_EQ(validate(list.get(), 0), 0);
}

TEST_F(SdoListValidate, MerchantDateTimeFormat) {
  const std::string p = "sdovalidate_verifydatetimeformat: ";
  const std::string format =
      "sdovalidate_verifysignatureelement: An error occured trying to verify the format of the signatureelements "
      "szdatetime (merchant signature).\n";
  const std::string hour = p + "The time in the datetime string is less than 0 or above 23.\n";
  const std::string separators = p + "One or several of the separators in the datetime string is invalid.\n";
  const std::string size = p + "The datetime string is not of size 19.\n";
  struct Row {
    const char* datetime;
    std::string line;  // the format check's own line; "pass" when it passes, "" when it has none
  } rows[] = {
      {"2026-02-30T10:00:00", "pass"},  // days are checked against 1-31 only
      {"2000-01-01T00:00:00", "pass"},
      {"2100-12-31T23:59:59", "pass"},
      {"2026-12-10T0x:00:00", "pass"},  // reads as 0 and begins with the digit
      {"2026-12-10T24:00:00", hour},
      {"2026-12-10Tx0:00:00", hour},  // reads as 0 but begins with a letter
      {"2026/12/10T20:15:00", separators},
      {"2026-12-10 20:15:00", separators},
      {"2026-12-10T20.15:00", separators},
      {"2026-12-10T20:15:0", size},
      {"2026-12-10T20:15:000", size},
      {"1999-12-10T20:15:00", p + "The year in the datetime string is less than 2000 or above 2100.\n"},
      {"2101-12-10T20:15:00", p + "The year in the datetime string is less than 2000 or above 2100.\n"},
      {"2026-13-10T20:15:00", p + "The month in the datetime string is less than 1 or above 12.\n"},
      {"2026-12-00T20:15:00", ""},
      {"2026-12-32T20:15:00", ""},
      {"2026-12-10T20:60:00", p + "The minute in the datetime string is less than 0 or above 59.\n"},
      {"2026-12-10T20:15:60", p + "The second in the datetime string is less than 0 or above 59.\n"},
      {"2026-12-10T20:15:-1", p + "The second in the datetime string is less than 0 or above 59.\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.datetime);
    Spec spec;
    spec.datetime = r.datetime;
    auto list = build(spec);
    if (r.line == "pass") {
      EXPECT_EQ(validate(list.get()), 0) << zmrtest::peekRecentError();
    } else {
      EXPECT_EQ(validate(list.get()), 20015);
      EXPECT_EQ(zmrtest::peekRecentError(), r.line + format + kElementLine);
    }
  }
}

TEST_F(SdoListValidate, SignaturesOverWhatTheyCover) {
  // The data part changed after the SDO signature was made.
  auto list = build();
  list->first->sdodatapart->szdatatype = "application/pdf";
  EXPECT_NE(validate(list.get()), 0);
  expectEnding(
      "sdovalidate_verifysignature: An error occured trying to verify the signature of the sdo's datapart.\n"
      "sdovalidate_sdovalidate: An error occured verifying the signature of the sdo datapart.\n");

  // The merchant's date-time changed after signing, in a valid form.
  list = build();
  list->first->sdodatapart->siglist->next->szdatetime = "2026-12-10T20:15:01";
  seal(*list);
  EXPECT_NE(validate(list.get()), 0);
  expectEnding(std::string("sdovalidate_verifysignatureelement: An error occured trying to verify the merchant's "
                           "signature in the signature element.\n") +
               kElementLine);

  // The end user signed another document.
  list = build();
  list->first->sdodatapart->siglist->signature = userSignature(world->pki.endUser, "another document");
  seal(*list);
  EXPECT_NE(validate(list.get()), 0);
  expectEnding(std::string("sdovalidate_verifysignatureelement: An error occured trying to verify the end users "
                           "signature in the signature element.\n") +
               kElementLine);

  // Signatures by a key outside the trust store.
  list = build();
  list->first->szsdosignature = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(world->foreign, "x"));
  EXPECT_EQ(validate(list.get()), 5007);
}

TEST_F(SdoListValidate, OcspTimeGap) {
  struct Row {
    long userAt, merchantAt;
    int code;
    std::string fraction;
  } rows[] = {
      {0, -3599, 0, ""},
      {0, -3600, 0, ""},
      {0, -3601, 20027, ""},
      {0, -3599, 0, ".5"},  // fractions of a second are read too
      {0, -3601, 20027, ".25"},
      {-7200, 0, 0, ""},  // the second answer produced later is not limited
      {-50000, 0, 0, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.merchantAt - r.userAt) + r.fraction);
    Spec spec;
    spec.userAt = r.userAt;
    spec.merchantAt = r.merchantAt;
    spec.fraction = r.fraction;
    auto list = build(spec);
    EXPECT_EQ(validate(list.get()), r.code) << zmrtest::peekRecentError();
    if (r.code != 0) {
      EXPECT_EQ(zmrtest::peekRecentError(),
                std::string("sdovalidate_verifyocsptimegap: The timegap between the produced at dates in the "
                            "signature elements ocsp basic responses is too large.\n") +
                    kGapLine);
    }
  }
}

TEST_F(SdoListValidate, NumberOfElements) {
  Spec spec;
  spec.elements = 3;
  auto three = build(spec);
  EXPECT_EQ(validate(three.get()), 20029);
  EXPECT_EQ(zmrtest::peekRecentError(),
            "sdovalidate_verifyzelmorconstraints: The number of signatureelements is different thant two. Currently "
            "two signatures are supported.\n"
            "sdovalidate_sdovalidate: An error occured checking that the sdo zelmor constraints are not violated.\n");

  spec.elements = 1;
  auto one = build(spec);
  EXPECT_EQ(validate(one.get()), 20018);
  EXPECT_EQ(zmrtest::peekRecentError(), std::string("sdovalidate_verifyocsptimegap: sigelement is NULL.\n") + kGapLine);
}

TEST_F(SdoListValidate, ForgedAndMissingOcspAnswers) {
  const std::string prefix = "sdovalidate_validateocsp: ";
  const std::string verifyLine =
      "seidsdovalidate_validateocsp: The OCSP signature and certificate check did not return success.\n";
  struct Row {
    const char* name;
    OcspEdit edit;
    int code;
    std::string line;  // the check's own line
    const TestCert* user;
    std::function<void(sigelement&)> element;  // edits of the element after it was made
  } rows[] = {
      {"sibling with a 16-byte serial", [](OcspSpec& o, const World& w) { o.singles[0].cert = w.longB.get(); }, 20025,
       prefix +
           "The serialnumber in the certificate from the pkcs7 structure does not match the serialnumber for which "
           "the ocsp response is for.\n",
       &world->longA, {}},
      {"another issuer's name", [](OcspSpec& o, const World& w) { o.singles[0].issuer = w.otherCa.get(); }, 20026,
       prefix +
           "The hash of the issuername in the certificate from the pkcs7 structure does not match the hash of the "
           "issuername for which the ocsp response is for.\n",
       nullptr, {}},
      {"SHA-256 CertID", [](OcspSpec& o, const World&) { o.singles[0].idDigest = EVP_sha256(); }, 20026,
       prefix +
           "The hash of the issuername in the certificate from the pkcs7 structure does not match the hash of the "
           "issuername for which the ocsp response is for.\n",
       nullptr, {}},
      {"first revoked, then good",
       [](OcspSpec& o, const World&) {
         zmrtest::OcspSingleSpec good = o.singles[0];
         o.singles[0].status = V_OCSP_CERTSTATUS_REVOKED;
         o.singles.push_back(good);
       },
       20022, prefix + "The certificatestatus was not good in signatureelements ocsp response.\n", nullptr, {}},
      {"another key under the responder's name", [](OcspSpec& o, const World& w) { o.signer = &w.impostor; }, 13023,
       verifyLine, nullptr, {}},
      {"responder outside the trust store",
       [](OcspSpec& o, const World& w) {
         o.signer = &w.foreign;
         o.certs = std::vector<const X509*>{w.foreign.get(), w.foreignRoot.get()};
       },
       13031, verifyLine, nullptr, {}},
      {"responder without the responder policy", [](OcspSpec& o, const World& w) { o.signer = &w.noPolicy; }, 6001,
       verifyLine, nullptr, {}},
      {"a full OCSPResponse", {}, 20018,
       prefix +
           "The der encoded ocsp basic response in the signature element can not be parsed to an ocsp basicresponse "
           "structure.\n",
       nullptr,
       [](sigelement& e) {
         OcspSpec o = zmrtest::ocspFor(world->pki.responder, world->pki.endUser.get(), world->pki.ca.get());
         e.szocspresponse = zmrtest::bytesOf(zmrtest::makeOcspResponseDer(o));
       }},
      {"no answer", {}, 20016,
       prefix + "The signature element in the sdo does not contain an ocsp response.\n", nullptr,
       [](sigelement& e) { e.szocspresponse.reset(); }},
      {"an answer without bytes", {}, 20017,
       prefix + "The signature element in the sdo does not contain an ocsp response length.\n", nullptr,
       [](sigelement& e) { e.szocspresponse = std::vector<unsigned char>(); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Spec spec;
    spec.user = r.user;
    spec.userOcsp = r.edit;
    auto list = build(spec);
    if (r.element) {
      r.element(*list->first->sdodatapart->siglist);
      seal(*list);
    }
    EXPECT_EQ(validate(list.get(), 0), r.code);
    expectEnding(r.line + kOcspLine + kElementLine);
  }
}

TEST_F(SdoListValidate, SessionMustBeOpen) {
  auto list = build();
  EXPECT_EQ(sdovalidate(world->session + 1, list.get(), 1), 2009);
  setlasterror(world->session, "old\n");
  EXPECT_EQ(sdovalidate(world->session, list.get(), 1), 0);
  EXPECT_EQ(zmrtest::peekRecentError(), "");  // taken on entry
}

}  // namespace
}  // namespace zmr
