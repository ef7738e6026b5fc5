// Validation of SEID SDOs built from real signatures and answers of the
// fixture factory: the element check's fixed lists, the modes, seal rules
// and counts, forged and tampered SDOs refused with their codes, and the
// XML front ends.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "store/setup.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/sdopki.h"
#include "store/sessionstore.h"
#include "support/fixtures.h"
#include "support/recenterror.h"
#include "support/sdotrees.h"
#include "support/storesession.h"
#include "support/verifiers.h"

namespace zmr {
namespace {

using zmrtest::CertSpec;
using zmrtest::OcspSpec;
using zmrtest::SdoElementTexts;
using zmrtest::TestCert;
using Tree = std::unique_ptr<seidsdocell>;

constexpr const char* kElementLine =
    "seidsdovalidate_seidsdovalidate: Verification of one of the signatureelements in the sdodatapart failed.\n";
constexpr const char* kOcspClose =
    "seidsdovalidate_verifycmssignatureelement: An error occured trying to validate the ocsp response in the "
    "signature element.\n";
constexpr const char* kSealClose =
    "seidsdovalidate_seidsdovalidate: An error occured verifying the SDOSeal signature and elements.\n";
constexpr const char* kSealSignature =
    "seidsdovalidate_verifysealcmssigelement: An error occured trying to verify the sdoseal signature.\n";
constexpr const char* kDocumentClose =
    "seidsdovalidate_seidsdovalidate: An error occured verifying that the hash of the signedobject is equal to the "
    "signatureelements hashes.\n";
constexpr const char* kParseLine =
    "sdoxmlvalidate_sdoxmlvalidate: An error occured parsing the seid sdo xml into an sdo structure.\n";
constexpr const char* kValidateLine = "sdoxmlvalidate_sdoxmlvalidate: An error occured validating the seid sdo.\n";

const std::string kDocument = "Contract: the buyer pays 100 on delivery.";

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct World : sdotest::SdoPki {
  // Expired an hour ago; valid while it signed, ten hours ago.
  TestCert expiredUser = endUserWith([](CertSpec& s) {
    s.notBeforeOffset = -20 * 3600;
    s.notAfterOffset = -3600;
  });
  TestCert authOnly = endUserWith([](CertSpec& s) { s.keyUsage = KU_DIGITAL_SIGNATURE; });
  std::string documentB64 = zmrtest::toBase64(kDocument);
  int session = -1;

  // The element of a signer over document, with the answer edited.
  SdoElementTexts element(const TestCert& signer, const std::function<void(OcspSpec&)>& edit = {},
                          const EVP_MD* md = nullptr, const std::string& document = kDocument) const {
    OcspSpec o = zmrtest::ocspFor(pki.responder, signer.get(), pki.ca.get());
    if (edit) edit(o);
    zmrtest::Pkcs7Spec p7 = zmrtest::pkcs7For(signer, document);
    p7.signers[0].digest = md;
    return zmrtest::signedElementTexts(p7, zmrtest::toBase64(zmrtest::makeOcspBasicDer(o)));
  }
  std::string merchantOcsp() const { return zmrtest::goodOcsp(pki, pki.merchantSign.get()); }
  // An SDO of these elements, sealed by the merchant when sealed, the
  // document kept when keep.
  Tree sdo(std::vector<SdoElementTexts> elements, bool sealed = true, bool keep = true) const {
    Tree t = zmrtest::sdoTree(elements);
    zmrtest::addPair(*t, "MerchantDesc", "The contract", std::nullopt);
    if (sealed) zmrtest::sealSdo(*t, pki.merchantSign, merchantOcsp());
    if (keep) zmrtest::keepDocument(*t, documentB64);
    return t;
  }
  Tree classic(bool sealed = true, bool keep = true) const {
    return sdo({element(pki.endUser), element(pki.merchantSign)}, sealed, keep);
  }
};

World* world = nullptr;

class SdoValidate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sdotest::openWorld(world, "sdovalidate-store"); }
  static void TearDownTestSuite() { sdotest::closeWorld(world); }
  void SetUp() override { zmrtest::takeRecentError(); }

  static const World& w() { return *world; }
  static int validate(const Tree& t, int documentcheck, std::optional<std::string_view> data, int count,
                      int sealrule, int mode) {
    return seidsdovalidate(world->session, t.get(), documentcheck, data, count, sealrule, mode);
  }
  static int mode0(const Tree& t, int documentcheck = 0) { return validate(t, documentcheck, std::nullopt, 0, 0, 0); }
  static int element(const cmssignatureelement& e, int digestcheck = 1) {
    return seidverifycmssigelement(*zmrtest::sessionState(world->session), e, digestcheck);
  }
};

cmssignatureelement& first(const Tree& t) { return *t->first->datapart->first->element; }
cmssignatureelement& second(const Tree& t) { return *t->first->datapart->first->next->element; }
cmssignatureelement& sealOf(const Tree& t) { return *t->first->seal->sdosignature->element; }
// The texts at the ends of an element's chains, to change.
sdotext& ocspOf(cmssignatureelement& e) { return const_cast<sdotext&>(*ocspvalueof(e)); }
sdotext& mimeOf(cmssignatureelement& e) { return const_cast<sdotext&>(*mimetypeof(e)); }
sdotext& policyOf(cmssignatureelement& e) { return const_cast<sdotext&>(*identifierof(e)); }

TEST_F(SdoValidate, ClassicSdoPassesWhereverItFits) {
  Tree t = w().classic();
  EXPECT_EQ(0, mode0(t));
  EXPECT_EQ(0, mode0(t, 1));
  EXPECT_EQ(0, validate(t, -1, std::nullopt, 2, 0, 1));
  EXPECT_EQ(0, validate(t, -1, w().documentB64, 0, 2, 1));
  EXPECT_EQ(0, validate(t, 0, std::nullopt, 2, 0, 2));
  EXPECT_EQ("", zmrtest::peekRecentError());
  // The seal's own digest names nothing: it is compared with nothing.
  sealOf(t).hasheddata->digestvalue = zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), "anything"));
  EXPECT_EQ(0, mode0(t, 1));
  // The seal signs the data part in the SDO's own flavour.
  for (int flavour : {kSdoPlain, kSdoQualifier}) {
    t->first->flavour = flavour;
    EXPECT_EQ(12003, mode0(t)) << flavour;
    zmrtest::sealSdo(*t, w().pki.merchantSign, w().merchantOcsp());
    EXPECT_EQ(0, mode0(t, 1)) << flavour;
  }
}

TEST_F(SdoValidate, ExpiredEndUserCertificateStillPasses) {
  const long signedAt = -10 * 3600;
  Tree t = w().sdo({w().element(w().expiredUser,
                                [&](OcspSpec& o) {
                                  o.producedAt = zmrtest::generalizedTimeText(signedAt);
                                  o.singles[0].thisUpdateOffset = signedAt - 60;
                                  o.singles[0].nextUpdateOffset = signedAt + 3600;
                                }),
                    w().element(w().pki.merchantSign)});
  // Signed while the certificate was valid.
  zmrtest::Pkcs7Spec p7 = zmrtest::pkcs7For(w().expiredUser, kDocument);
  p7.signers[0].signingTime = false;
  p7.signers[0].signingTimeDer = zmrtest::der::tlv(0x17, zmrtest::generalizedTimeText(signedAt).substr(2));
  first(t).cmssignature = zmrtest::makePkcs7Base64(p7);
  zmrtest::sealSdo(*t, w().pki.merchantSign, w().merchantOcsp());
  EXPECT_EQ(0, mode0(t, 1)) << zmrtest::peekRecentError();

  // Signed now, after it ended: the signing-time check refuses it.
  first(t).cmssignature = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(w().expiredUser, kDocument));
  zmrtest::sealSdo(*t, w().pki.merchantSign, w().merchantOcsp());
  EXPECT_EQ(6022, mode0(t));
  EXPECT_TRUE(endsWith(zmrtest::peekRecentError(),
                       std::string("seidsdovalidate_seidverifycmssigelement: An error occured trying to verify that "
                                   "the signingtime is between certificate notbefore and notafter.\n") +
                           kElementLine));
}

// Forged and tampered SDOs, each with its code and the recent error's end.
TEST_F(SdoValidate, ForgedAndTamperedSdosAreRefused) {
  using Make = std::function<Tree()>;
  const World& x = w();
  auto userElement = [&](const std::function<void(OcspSpec&)>& edit) {
    return x.sdo({x.element(x.pki.endUser, edit), x.element(x.pki.merchantSign)});
  };
  auto withOcspLine = [](const std::string& own) {
    return "seidsdovalidate_validateocsp: " + own + "\n" + kOcspClose + kElementLine;
  };
  const std::string finalOcsp =
      std::string("seidsdovalidate_validateocsp: The OCSP signature and certificate check did not return success.\n") +
      kOcspClose + kElementLine;
  struct Row {
    const char* name;
    Make make;
    int code;
    std::string end;
  } rows[] = {
      {"answer about a sibling with a 16-byte serial",
       [&] {
         return x.sdo({x.element(x.longA, [&](OcspSpec& o) { o.singles[0].cert = x.longB.get(); }),
                       x.element(x.pki.merchantSign)});
       },
       20025,
       withOcspLine("The serialnumber in the certificate from the pkcs7 structure does not match the serialnumber for "
                    "which the ocsp response is for.")},
      {"CertID naming another issuer", [&] { return userElement([&](OcspSpec& o) { o.singles[0].issuer = x.otherCa.get(); }); },
       20026,
       withOcspLine("The hash of the issuername in the certificate from the pkcs7 structure does not match the hash "
                    "of the issuername for which the ocsp response is for.")},
      {"CertID with a SHA-256 hash", [&] { return userElement([](OcspSpec& o) { o.singles[0].idDigest = EVP_sha256(); }); },
       20026,
       withOcspLine("The hash of the issuername in the certificate from the pkcs7 structure does not match the hash "
                    "of the issuername for which the ocsp response is for.")},
      {"first single response revoked, a later one good",
       [&] {
         return userElement([](OcspSpec& o) {
           zmrtest::OcspSingleSpec good = o.singles[0];
           o.singles[0].status = V_OCSP_CERTSTATUS_REVOKED;
           o.singles.push_back(good);
         });
       },
       20022, withOcspLine("The certificatestatus was not good in signatureelements ocsp response.")},
      {"answer signed by another key under the responder's name",
       [&] { return userElement([&](OcspSpec& o) { o.signer = &x.impostor; }); }, 13023, finalOcsp},
      {"responder outside the trust store",
       [&] {
         return userElement([&](OcspSpec& o) {
           o.signer = &x.foreign;
           o.certs = std::vector<const X509*>{x.foreign.get(), x.foreignRoot.get()};
         });
       },
       13031, finalOcsp},
      {"responder without the responder policy", [&] { return userElement([&](OcspSpec& o) { o.signer = &x.noPolicy; }); },
       6001, finalOcsp},
      {"the merchant's answer in the end user's element",
       [&] {
         Tree t = x.classic();
         ocspOf(first(t)) = ocspOf(second(t));
         return t;
       },
       20025,
       withOcspLine("The serialnumber in the certificate from the pkcs7 structure does not match the serialnumber for "
                    "which the ocsp response is for.")},
      {"a full OCSPResponse as the value",
       [&] {
         Tree t = x.classic();
         ocspOf(first(t)) = zmrtest::toBase64(zmrtest::makeOcspResponseDer(
             zmrtest::ocspFor(x.pki.responder, x.pki.endUser.get(), x.pki.ca.get())));
         return t;
       },
       20018,
       withOcspLine("The der encoded ocsp basic response in the signature element can not be parsed to an ocsp "
                    "basicresponse structure.")},
      {"OCSP value not base64",
       [&] {
         Tree t = x.classic();
         ocspOf(first(t)) = "MII*";
         return t;
       },
       21002,
       "seidsdovalidate_validateocsp: Unable to base64 decode ocsp value in one of the dataparts signatureelements.\n" +
           std::string(kOcspClose) + kElementLine},
      {"tampered digest value",
       [&] {
         Tree t = x.classic();
         first(t).hasheddata->digestvalue = zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), "another contract"));
         return t;
       },
       12003,
       std::string("seidsdovalidate_verifycmssignatureelement: An error occured trying to verify the end users "
                   "signature in the signature element.\n") +
           kElementLine},
      {"signer without nonRepudiation", [&] { return x.sdo({x.element(x.authOnly), x.element(x.pki.merchantSign)}); },
       6002,
       std::string("seidsdovalidate_verifycmssignatureelement: An error occured trying to verify the end users "
                   "signature in the signature element.\n") +
           kElementLine},
      {"replaced signed object",
       [&] {
         Tree t = x.classic();
         zmrtest::keepDocument(*t, zmrtest::toBase64("Contract: the buyer pays 1 on delivery."));
         return t;
       },
       20037,
       "seidsdovalidate_seidsdovalidate: The hash of the document does not match the hash in the signatureelement.\n"},
      {"data part changed after sealing",
       [&] {
         Tree t = x.classic();
         mimeOf(second(t)) = "application/pdf";
         return t;
       },
       12003, std::string(kSealSignature) + kSealClose},
      {"seal by a signer without nonRepudiation",
       [&] {
         Tree t = x.classic();
         zmrtest::sealSdo(*t, x.pki.merchantAuth, zmrtest::goodOcsp(x.pki, x.pki.merchantAuth.get()));
         return t;
       },
       6002, std::string(kSealSignature) + kSealClose},
      {"seal carrying the end user's answer",
       [&] {
         Tree t = x.classic();
         zmrtest::sealSdo(*t, x.pki.merchantSign, zmrtest::goodOcsp(x.pki, x.pki.endUser.get()));
         return t;
       },
       20025,
       "seidsdovalidate_validateocsp: The serialnumber in the certificate from the pkcs7 structure does not match the "
       "serialnumber for which the ocsp response is for.\n" +
           std::string(kOcspClose) +
           "seidsdovalidate_verifysealcmssigelement: An error occured trying to verify items in sdoseal .\n" +
           kSealClose},
      {"version 1.0 and a blank",
       [&] {
         Tree t = x.classic();
         t->first->version = "1.0 ";
         return t;
       },
       20001, ""},
      {"version 1", [&] {
         Tree t = x.classic();
         t->first->version = "1";
         return t;
       },
       20001, ""},
      {"an element without its CMS signature",
       [&] {
         Tree t = x.classic();
         second(t).cmssignature.reset();
         return t;
       },
       18024, "seidsdotoxml_seidsdotoxml: The SDO does not contain all mandatory parameters.\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Tree t = r.make();
    zmrtest::takeRecentError();
    EXPECT_EQ(r.code, mode0(t));
    std::string error = zmrtest::peekRecentError();
    if (r.end.empty()) {
      EXPECT_EQ("", error);
    } else {
      EXPECT_TRUE(endsWith(error, r.end)) << error;
    }
  }
}

// The fixed lists of one element, beyond its signature and answer.
TEST_F(SdoValidate, ElementTextsAreCheckedAgainstTheirLists) {
  struct Row {
    const char* name;
    std::function<void(cmssignatureelement&)> edit;
    int code;
  } rows[] = {
      {"as built", [](cmssignatureelement&) {}, 0},
      {"URN policy in capitals", [](cmssignatureelement& e) { policyOf(e) = "URN:OID:2.999.10.1.16.4.1"; }, 0},
      {"bare policy", [](cmssignatureelement& e) { policyOf(e) = "2.999.10.1.16.4.1"; }, 0},
      {"bare policy and a blank", [](cmssignatureelement& e) { policyOf(e) = "2.999.10.1.16.4.1 "; }, 20033},
      {"URN policy with .0 appended", [](cmssignatureelement& e) { policyOf(e) = "urn:oid:2.999.10.1.16.4.1.0"; },
       20033},
      {"no policy record", [](cmssignatureelement& e) { e.signaturepolicyidentifier.reset(); }, 0},
      {"digest method SHA-512", [](cmssignatureelement& e) { e.hasheddata->digestmethod = "SHA-512"; }, 20033},
      {"digest method sha-256", [](cmssignatureelement& e) { e.hasheddata->digestmethod = "sha-256"; }, 20033},
      {"application/pdf", [](cmssignatureelement& e) { mimeOf(e) = "application/pdf"; }, 0},
      {"text/ZMRXML", [](cmssignatureelement& e) { mimeOf(e) = "text/ZMRXML"; }, 0},
      {"text/html", [](cmssignatureelement& e) { mimeOf(e) = "text/html"; }, 20034},
      {"text/zmrxml", [](cmssignatureelement& e) { mimeOf(e) = "text/zmrxml"; }, 20034},
      {"another profile", [](cmssignatureelement& e) { e.sdoprofile = "SEID-SDO-Basic-V2"; }, 20035},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto e = zmrtest::sdoElement(w().element(w().pki.endUser));
    r.edit(*e);
    EXPECT_EQ(r.code, element(*e));
  }
  // A seal's own digest value names nothing: with the digest check off it
  // is not looked at.
  auto e = zmrtest::sdoElement(w().element(w().pki.endUser));
  e->hasheddata->digestvalue = "AAAA";
  EXPECT_NE(0, element(*e, 1));
  EXPECT_EQ(0, element(*e, 0));
}

// Mode x seal rule x sealed: where a seal is verified, a broken one (the
// data part changed after sealing) fails with the seal's code, 12003.
TEST_F(SdoValidate, SealRulesByMode) {
  Tree unsealed = w().classic(false);
  Tree sealed = w().classic();
  Tree broken = w().classic();
  mimeOf(second(broken)) = "application/pdf";
  constexpr int kVerified = -1;
  struct Row {
    int mode, rule, unsealed, sealed;
  } rows[] = {
      {0, 0, 20043, kVerified}, {0, 1, 20043, kVerified}, {0, 2, 20043, kVerified},
      {1, 0, 20043, kVerified}, {1, 1, 0, 20044},         {1, 2, 0, kVerified},
      {1, -3, 0, kVerified},    {2, 0, 20043, kVerified}, {2, 1, 0, 20044},
      {2, 2, 0, kVerified},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("mode " + std::to_string(r.mode) + " rule " + std::to_string(r.rule));
    EXPECT_EQ(r.unsealed, validate(unsealed, 0, std::nullopt, 0, r.rule, r.mode));
    EXPECT_EQ(r.sealed == kVerified ? 0 : r.sealed, validate(sealed, 0, std::nullopt, 0, r.rule, r.mode));
    EXPECT_EQ(r.sealed == kVerified ? 12003 : r.sealed, validate(broken, 0, std::nullopt, 0, r.rule, r.mode));
  }
  zmrtest::takeRecentError();
  EXPECT_EQ(20043, mode0(unsealed));
  EXPECT_EQ("seidsdovalidate_seidsdovalidate: The SDO is not sealed. Sealing of this SDO is required.\n",
            zmrtest::peekRecentError());
  zmrtest::takeRecentError();
  EXPECT_EQ(20044, validate(sealed, 0, std::nullopt, 0, 1, 2));
  EXPECT_EQ("seidsdovalidate_seidsdovalidate: The SDO is sealed. It is required that this SDO is not sealed.\n",
            zmrtest::peekRecentError());
  EXPECT_EQ(kBadArgument, validate(sealed, 0, std::nullopt, 0, 0, 3));
}

// Count x elements: mode 1 exactly, mode 2 at least, mode 0 not at all.
TEST_F(SdoValidate, SignatureCounts) {
  std::vector<SdoElementTexts> elements = {w().element(w().pki.endUser), w().element(w().pki.merchantSign)};
  std::map<int, Tree> trees;
  trees[2] = w().sdo(elements);
  elements.push_back(w().element(w().longA));
  trees[3] = w().sdo(elements);
  elements.push_back(w().element(w().pki.endUser, {}, EVP_sha1()));
  trees[4] = w().sdo(elements);
  struct Row {
    int mode, count, elements, code;
  } rows[] = {
      {1, 0, 2, 0},     {1, 0, 4, 0},     {1, -1, 3, 0}, {1, 2, 2, 0},     {1, 3, 2, 20042}, {1, 3, 3, 0},
      {1, 3, 4, 20042}, {2, 2, 2, 0},     {2, 2, 3, 0},  {2, 2, 4, 0},     {2, 3, 2, 20042}, {2, 0, 2, 0},
      {0, 5, 2, 0},     {0, 1, 4, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("mode " + std::to_string(r.mode) + " count " + std::to_string(r.count) + " elements " +
                 std::to_string(r.elements));
    zmrtest::takeRecentError();
    EXPECT_EQ(r.code, validate(trees[r.elements], 0, std::nullopt, r.count, 2, r.mode));
    if (r.code == 20042) {
      EXPECT_EQ("seidsdovalidate_seidsdovalidate: The SDO does not contain the required number of signatures.\n",
                zmrtest::peekRecentError());
    }
  }
}

// Which document is compared, and how.
TEST_F(SdoValidate, DocumentAgainstDigests) {
  const std::string other = zmrtest::toBase64("Contract: the buyer pays 1 on delivery.");
  Tree kept = w().classic();
  Tree bare = w().classic(true, false);

  // The data argument takes the place of the kept document.
  EXPECT_EQ(0, validate(bare, -1, w().documentB64, 0, 0, 1));
  EXPECT_EQ(20037, validate(bare, -1, other, 0, 0, 1));
  zmrtest::takeRecentError();
  EXPECT_EQ(20037, validate(kept, -1, other, 0, 0, 1));
  EXPECT_EQ("seidsdovalidate_seidsdovalidate: The hash of the document does not match the hash of the data in the "
            "SDO.\n",
            zmrtest::peekRecentError());
  zmrtest::takeRecentError();
  EXPECT_EQ(20045, validate(bare, -1, std::nullopt, 0, 0, 1));
  EXPECT_EQ("seidsdovalidate_seidsdovalidate: The contract must be present in the SDO or as input parameter data.\n",
            zmrtest::peekRecentError());
  zmrtest::takeRecentError();
  EXPECT_EQ(21002, validate(bare, -1, std::string_view("not*base64"), 0, 0, 1));
  EXPECT_TRUE(endsWith(zmrtest::peekRecentError(),
                       "sdovalidate_comparehashagainstdata: An error occured trying to create a message digest of "
                       "the sdo's data.\n"));

  // Mode 0: without the document check nothing is compared when nothing is
  // kept; with it a kept document is required.
  EXPECT_EQ(0, mode0(bare));
  zmrtest::takeRecentError();
  EXPECT_EQ(20039, mode0(bare, 1));
  EXPECT_EQ(std::string("sdovalidate_comparehashagainstdata: The signedobject is not present while requesting "
                        "validation of the document.\n") +
                kDocumentClose,
            zmrtest::peekRecentError());

  // Each element by its own method, in the mode-0 check too: a SHA-1
  // signer beside a SHA-256 one, either way round, is a sound classic SDO.
  Tree mixed = w().sdo({w().element(w().pki.endUser, {}, EVP_sha1()), w().element(w().pki.merchantSign)});
  EXPECT_EQ("SHA-1", *first(mixed).hasheddata->digestmethod);
  EXPECT_EQ("SHA-256", *second(mixed).hasheddata->digestmethod);
  EXPECT_EQ(0, mode0(mixed));
  EXPECT_EQ(0, validate(mixed, -1, std::nullopt, 0, 0, 1));
  EXPECT_EQ(0, mode0(mixed, 1)) << zmrtest::peekRecentError();
  Tree reversed = w().sdo({w().element(w().pki.endUser), w().element(w().pki.merchantSign, {}, EVP_sha1())});
  EXPECT_EQ("SHA-1", *second(reversed).hasheddata->digestmethod);
  EXPECT_EQ(0, mode0(reversed, 1)) << zmrtest::peekRecentError();
  Tree sha1s = w().sdo({w().element(w().pki.endUser, {}, EVP_sha1()), w().element(w().pki.merchantSign, {}, EVP_sha1())});
  EXPECT_EQ(0, mode0(sha1s, 1));

  // A single element cannot be a classic SDO's pair.
  Tree single = w().sdo({w().element(w().pki.endUser)});
  EXPECT_EQ(0, mode0(single));
  zmrtest::takeRecentError();
  EXPECT_EQ(20041, mode0(single, 1));
  EXPECT_EQ(std::string("seidsdovalidate_seidcomparehashagainstdata: The hash of the document does not match the "
                        "hash stored in one of the dataparts signatureelements.\n") +
                kDocumentClose,
            zmrtest::peekRecentError());
}

TEST_F(SdoValidate, ValidationLeavesTheTreeAsItWas) {
  Tree t = w().classic();
  std::string before = zmrtest::dumpTree(*t);
  EXPECT_EQ(0, mode0(t, 1));
  mimeOf(second(t)) = "application/pdf";
  std::string changed = zmrtest::dumpTree(*t);
  EXPECT_EQ(12003, mode0(t, 1));
  EXPECT_EQ(changed, zmrtest::dumpTree(*t));
  EXPECT_NE(before, changed);
}

// Trees read back from the writer's text, in every flavour, sealed or not,
// keep their flavour, validate as the trees did (the seal over the data
// part in the form it was written in) and write again byte for byte.
TEST_F(SdoValidate, ReadBackFromXml) {
  for (bool sealed : {false, true}) {
    for (int flavour : {kSdoCompliant, kSdoPlain, kSdoQualifier}) {
      SCOPED_TRACE(std::string(sealed ? "sealed" : "unsealed") + ", flavour " + std::to_string(flavour));
      Tree t = w().classic(false);
      t->first->flavour = flavour;
      if (sealed) zmrtest::sealSdo(*t, w().pki.merchantSign, w().merchantOcsp());
      const std::string xml = zmrtest::writeXml(*t, flavour);
      Tree read;
      ASSERT_EQ(0, xmltoseidsdo(world->session, xml, read, 1));
      EXPECT_EQ(flavour, read->first->flavour);
      EXPECT_EQ(zmrtest::dumpTree(*t, true), zmrtest::dumpTree(*read, true));
      EXPECT_EQ(xml, zmrtest::writeXml(*read, read->first->flavour));
      if (sealed) {
        EXPECT_EQ(0, mode0(read, 1)) << zmrtest::peekRecentError();
        EXPECT_EQ(0, sdoxmlvalidate(world->session, xml, 1)) << zmrtest::peekRecentError();
        EXPECT_EQ(0, simpleseidsdoxmlvalidate(world->session, xml, 2));
      } else {
        EXPECT_EQ(0, validate(read, -1, std::nullopt, 2, 1, 1)) << zmrtest::peekRecentError();
      }
    }
  }
}

TEST_F(SdoValidate, SessionMustBeOpen) {
  Tree t = w().classic();
  EXPECT_EQ(2009, seidsdovalidate(999, t.get(), 0, std::nullopt, 0, 0, 0));
  EXPECT_EQ(2009, sdoxmlvalidate(999, zmrtest::writeXml(*t, kSdoCompliant), 0));
  EXPECT_EQ(2009, simpleseidsdoxmlvalidate(-1, zmrtest::writeXml(*t, kSdoCompliant), 2));
}

// The XML front ends: read, validate, free; after a failure only their own
// line is left.
TEST_F(SdoValidate, XmlFrontEnds) {
  const int s = world->session;
  Tree t = w().classic();
  std::string xml = zmrtest::writeXml(*t, kSdoCompliant);
  EXPECT_EQ(0, sdoxmlvalidate(s, xml, 1));
  EXPECT_EQ(0, sdoxmlvalidate(s, xml, 0));
  EXPECT_EQ(0, simpleseidsdoxmlvalidate(s, xml, 2));
  EXPECT_EQ(0, simpleseidsdoxmlvalidate(s, xml, 0));
  EXPECT_EQ("", zmrtest::peekRecentError());

  EXPECT_EQ(20042, simpleseidsdoxmlvalidate(s, xml, 3));
  EXPECT_EQ(kValidateLine, zmrtest::peekRecentError());

  Tree unsealed = w().classic(false);
  EXPECT_EQ(20043, simpleseidsdoxmlvalidate(s, zmrtest::writeXml(*unsealed, kSdoPlain), 1));
  EXPECT_EQ(kValidateLine, zmrtest::peekRecentError());

  // A full OCSPResponse where a basic one belongs.
  Tree full = w().classic();
  ocspOf(first(full)) = zmrtest::toBase64(
      zmrtest::makeOcspResponseDer(zmrtest::ocspFor(w().pki.responder, w().pki.endUser.get(), w().pki.ca.get())));
  EXPECT_EQ(20018, sdoxmlvalidate(s, zmrtest::writeXml(*full, kSdoCompliant), 0));
  EXPECT_EQ(kValidateLine, zmrtest::peekRecentError());

  Tree moved = w().classic(true, false);
  zmrtest::keepDocument(*moved, zmrtest::toBase64("another document"));
  EXPECT_EQ(20037, sdoxmlvalidate(s, zmrtest::writeXml(*moved, kSdoCompliant), 1));
  EXPECT_EQ(kValidateLine, zmrtest::peekRecentError());

  EXPECT_EQ(34001, sdoxmlvalidate(s, xml.substr(0, xml.size() - 3), 0));
  EXPECT_EQ(kParseLine, zmrtest::peekRecentError());
  EXPECT_EQ(34002, simpleseidsdoxmlvalidate(s, "<?xml version=\"1.0\"?><Other/>", 2));
  EXPECT_EQ(kParseLine, zmrtest::peekRecentError());
  // Two SDOs in one list are not one SDO.
  std::string two = xml;
  size_t sdoStart = two.find("<SDO>");
  size_t sdoEnd = two.rfind("</SDOList>");
  two.insert(sdoEnd, two.substr(sdoStart, sdoEnd - sdoStart));
  EXPECT_EQ(18004, sdoxmlvalidate(s, two, 0));
  EXPECT_EQ(kValidateLine, zmrtest::peekRecentError());
  // Success after a failure leaves nothing behind.
  EXPECT_EQ(0, sdoxmlvalidate(s, xml, 1));
  EXPECT_EQ("", zmrtest::peekRecentError());
}

}  // namespace
}  // namespace zmr
