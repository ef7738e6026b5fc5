// The record constructors over signatures and OCSP answers from the fixture
// factory, and the release of trees and lists.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/fixtures.h"
#include "support/recenterror.h"
#include "support/sdotrees.h"
#include "tools/base64.h"

namespace zmr {
namespace {

using zmrtest::peekRecentError;

std::string b64(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void clearError() {
  std::optional<std::string> e;
  getlasterror(0, e);
}

constexpr const char* kSha1 = "2jmj7l5rSw0yVb/vlWAYkK/YBwk=";
constexpr const char* kSha256 = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
constexpr const char* kCmsLine =
    "createsecurechannel_createsecurechannel: Cannot create SDO signature element because signing time in pkcs7 is "
    "not set or fullocsp response is received\n";
constexpr const char* kNodeLine =
    "createsecurechannel_createsecurechannel: Cannot create SDO signature element due to invalid pkcs7 or ocsp\n";
constexpr const char* kDigestLine =
    "createsecurechannel_createsecurechannel: An error occured trying to digest the base64 encoded order.\n";
constexpr const char* kSealLine =
    "seidsdotools_createseidsdotools: An error occured trying to create the SDOSignature's CMSSignature.\n";

class SdoRecords : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki = new zmrtest::TestPki(zmrtest::makePki(2));
    auto signer = [](const EVP_MD* md, bool signingTime, std::optional<std::string> timeDer = std::nullopt) {
      zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(pki->endUser);
      spec.signers[0].digest = md;
      spec.signers[0].signingTime = signingTime;
      spec.signers[0].signingTimeDer = std::move(timeDer);
      return zmrtest::makePkcs7Base64(spec);
    };
    p7 = new Pkcs7s{signer(EVP_sha256(), true),
                    signer(EVP_sha1(), true),
                    signer(EVP_md5(), true),
                    signer(EVP_sha512(), true),
                    signer(EVP_sha256(), false),
                    // GeneralizedTime is not the UTCTime the scheme writes.
                    signer(EVP_sha256(), false, zmrtest::der::tlv(0x18, "20300101000000Z"))};
    zmrtest::OcspSpec ocsp = zmrtest::ocspFor(pki->responder, pki->endUser.get(), pki->ca.get());
    std::string basic = zmrtest::makeOcspBasicDer(ocsp);
    ocsps = new Ocsps{b64(basic), b64(zmrtest::makeOcspResponseDer(ocsp)), b64(basic + std::string(1, '\0'))};
  }
  static void TearDownTestSuite() {
    delete pki;
    delete p7;
    delete ocsps;
  }
  void SetUp() override { clearError(); }

  struct Pkcs7s {
    std::string sha256, sha1, md5, sha512, notime, generalizedtime;
  };
  struct Ocsps {
    std::string basic, full, trailing;
  };
  static zmrtest::TestPki* pki;
  static Pkcs7s* p7;
  static Ocsps* ocsps;
};
zmrtest::TestPki* SdoRecords::pki = nullptr;
SdoRecords::Pkcs7s* SdoRecords::p7 = nullptr;
SdoRecords::Ocsps* SdoRecords::ocsps = nullptr;

TEST_F(SdoRecords, ElementBuildersOverSignatureOcspAndDigestVariants) {
  enum Outcome { kSha1Kept, kSha256Kept, kNoDigest, kInvalid, kUnknownDigest };
  struct Pkcs7Case {
    const char* name;
    const std::string* text;
    bool usable;
    Outcome withSha1;  // when usable and the OCSP answer is sound
  };
  const std::string garbage = "bm90IGEgcGtjczc=";
  const Pkcs7Case pkcs7s[] = {
      {"SHA-256 signer", &p7->sha256, true, kSha256Kept},
      {"SHA-1 signer", &p7->sha1, true, kSha1Kept},
      {"MD5 signer", &p7->md5, true, kSha256Kept},
      {"SHA-512 signer", &p7->sha512, true, kUnknownDigest},
      {"no signingTime", &p7->notime, false, kInvalid},
      {"GeneralizedTime signingTime", &p7->generalizedtime, false, kInvalid},
      {"not a PKCS#7", &garbage, false, kInvalid},
  };
  struct OcspCase {
    const char* name;
    std::string text;
    bool usable;
    bool decoderLine;  // the base64 decoder adds its line first
  };
  const OcspCase ocspCases[] = {
      {"BasicOCSPResponse", ocsps->basic, true, false},
      {"whole OCSPResponse", ocsps->full, false, false},
      {"trailing byte", ocsps->trailing, false, false},
      {"not base64", "***", false, true},
  };
  for (const Pkcs7Case& p : pkcs7s) {
    for (const OcspCase& o : ocspCases) {
      for (bool withSha1 : {true, false}) {
        for (bool node : {false, true}) {
          SCOPED_TRACE(std::string(p.name) + " / " + o.name + (withSha1 ? " / SHA-1 given" : " / no SHA-1") +
                       (node ? " / list node" : " / element"));
          Outcome want = !p.usable || !o.usable ? kInvalid : withSha1 ? p.withSha1 : kNoDigest;
          clearError();
          std::optional<std::string_view> sha1;
          if (withSha1) sha1 = kSha1;
          std::unique_ptr<cmssignatureelement> element;
          std::unique_ptr<signatureelement> listnode;
          int rc = node ? createseidsdosignatureelement(0, *p.text, o.text, sha1, kSha256, "application/pdf", listnode)
                        : createseidsdocmssignatureelement(0, *p.text, o.text, sha1, kSha256, "application/pdf",
                                                           element);
          if (want == kInvalid) {
            EXPECT_EQ(rc, 12012);
            EXPECT_EQ(peekRecentError().find("base64_decodebase64") == 0, p.usable && o.decoderLine);
            EXPECT_TRUE(peekRecentError().ends_with(node ? kNodeLine : kCmsLine)) << peekRecentError();
            EXPECT_FALSE(element || listnode);
            continue;
          }
          if (want == kUnknownDigest) {
            EXPECT_EQ(rc, 12001);
            EXPECT_TRUE(peekRecentError().ends_with(kDigestLine)) << peekRecentError();
            EXPECT_NE(peekRecentError(), kDigestLine);  // the reader's own line came first
            EXPECT_FALSE(element || listnode);
            continue;
          }
          ASSERT_EQ(rc, 0) << peekRecentError();
          EXPECT_EQ(peekRecentError(), "");
          if (node) {
            ASSERT_TRUE(listnode && listnode->element);
            EXPECT_FALSE(listnode->next);
          }
          const cmssignatureelement& e = node ? *listnode->element : *element;
          EXPECT_EQ(e.sdoprofile, "SEID-SDO-Basic-V");
          ASSERT_NE(identifierof(e), nullptr);
          EXPECT_EQ(*identifierof(e), "urn:oid:2.999.10.1.16.4.1");
          ASSERT_NE(mimetypeof(e), nullptr);
          EXPECT_EQ(*mimetypeof(e), "application/pdf");
          ASSERT_TRUE(e.hasheddata);
          sdotext method, value;
          if (want == kSha1Kept) method = "SHA-1", value = kSha1;
          if (want == kSha256Kept) method = "SHA-256", value = kSha256;
          EXPECT_EQ(e.hasheddata->digestmethod, method);
          EXPECT_EQ(e.hasheddata->digestvalue, value);
          EXPECT_EQ(e.cmssignature, *p.text);
          ASSERT_NE(ocspvalueof(e), nullptr);
          EXPECT_EQ(*ocspvalueof(e), o.text);
        }
      }
    }
  }
}

TEST_F(SdoRecords, ElementWithoutMimeTypeHoldsAnAbsentOne) {
  std::unique_ptr<cmssignatureelement> e;
  ASSERT_EQ(createseidsdocmssignatureelement(0, p7->sha256, ocsps->basic, kSha1, kSha256, std::nullopt, e), 0);
  ASSERT_TRUE(e->signersdocumentformat);
  EXPECT_FALSE(e->signersdocumentformat->mimetype);
}

std::unique_ptr<seidsdodatapart> dataPartOf(std::vector<std::unique_ptr<signatureelement>> nodes) {
  std::unique_ptr<signatureelement> first;
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    (*it)->next = std::move(first);
    first = std::move(*it);
  }
  std::unique_ptr<seidsdodatapart> datapart;
  EXPECT_EQ(createseidsdodatapart(std::move(first), datapart), 0);
  return datapart;
}

TEST_F(SdoRecords, SdoWithoutSealInputs) {
  std::unique_ptr<signatureelement> node;
  ASSERT_EQ(createseidsdosignatureelement(0, p7->sha256, ocsps->basic, kSha1, kSha256, "text/plain", node), 0);
  std::vector<std::unique_ptr<signatureelement>> nodes;
  nodes.push_back(std::move(node));
  std::unique_ptr<seidsdodatapart> datapart = dataPartOf(std::move(nodes));
  const seidsdodatapart* given = datapart.get();
  for (auto seal : {std::optional<std::string_view>(), std::optional<std::string_view>(p7->sha1)}) {
    // A seal needs both its PKCS#7 and its SHA-1 digest.
    std::unique_ptr<seidsdo> sdo;
    std::unique_ptr<seidsdodatapart> dp;
    if (seal) {
      ASSERT_EQ(createseidsdodatapart(nullptr, dp), 0);
    } else {
      dp = std::move(datapart);
    }
    ASSERT_EQ(createseidsdoelement(0, seal, std::nullopt, kSha256, "Kontrakt & vilkår", std::move(dp), sdo), 0);
    EXPECT_EQ(sdo->version, "1.0");
    EXPECT_EQ(sdo->flavour, -1);
    EXPECT_FALSE(sdo->seal);
    EXPECT_FALSE(sdo->signedobject);
    EXPECT_FALSE(sdo->next);
    if (!seal) {
      EXPECT_EQ(sdo->datapart.get(), given);
    }
    ASSERT_TRUE(sdo->metadata && sdo->metadata->first);
    const valuepair& pair = *sdo->metadata->first;
    EXPECT_EQ(pair.name, "MerchantDesc");
    EXPECT_EQ(pair.value, "Kontrakt & vilkår");
    EXPECT_FALSE(pair.description);
    EXPECT_FALSE(pair.next);
  }
}

TEST_F(SdoRecords, SealCarriesTheSecondElementsOcspAndPlainText) {
  zmrtest::OcspSpec merchantSpec =
      zmrtest::ocspFor(pki->responder, pki->merchantSign.get(), pki->ca.get());
  const std::string merchantOcsp = b64(zmrtest::makeOcspBasicDer(merchantSpec));
  std::vector<std::unique_ptr<signatureelement>> nodes(2);
  ASSERT_EQ(createseidsdosignatureelement(0, p7->sha256, ocsps->basic, kSha1, kSha256, "text/plain", nodes[0]), 0);
  ASSERT_EQ(createseidsdosignatureelement(0, p7->sha1, merchantOcsp, kSha1, kSha256, "text/plain", nodes[1]), 0);
  std::unique_ptr<seidsdo> sdo;
  ASSERT_EQ(createseidsdoelement(0, p7->sha1, "c2VhbHNoYTE=", "c2VhbHNoYTI1Ng==", "desc", dataPartOf(std::move(nodes)),
                                 sdo),
            0)
      << peekRecentError();
  ASSERT_TRUE(sdo->seal && sdo->seal->sdosignature && sdo->seal->sdosignature->element);
  const cmssignatureelement& e = *sdo->seal->sdosignature->element;
  EXPECT_EQ(*ocspvalueof(e), merchantOcsp);
  EXPECT_EQ(*mimetypeof(e), "text/plain");
  EXPECT_EQ(e.cmssignature, p7->sha1);
  EXPECT_EQ(e.hasheddata->digestmethod, "SHA-1");
  EXPECT_EQ(e.hasheddata->digestvalue, "c2VhbHNoYTE=");
  EXPECT_EQ(sdo->flavour, -1);
  auto cell = std::make_unique<seidsdocell>();
  cell->first = std::move(sdo);
  EXPECT_EQ(seidsdonullandconstraintchecker(0, cell.get()), 0);
}

TEST_F(SdoRecords, SealThatCannotBeBuiltFailsWithBothLines) {
  struct Case {
    const char* name;
    int elements;
    const std::string* sealPkcs7;
  };
  const Case cases[] = {
      {"seal PKCS#7 without signingTime", 2, &p7->notime},
      // Without a second element there is no merchant's OCSP answer.
      {"one data-part element", 1, &p7->sha256},
      {"no data-part element", 0, &p7->sha256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearError();
    std::vector<std::unique_ptr<signatureelement>> nodes(c.elements);
    for (auto& n : nodes)
      ASSERT_EQ(createseidsdosignatureelement(0, p7->sha256, ocsps->basic, kSha1, kSha256, "text/plain", n), 0);
    std::unique_ptr<seidsdo> sdo;
    EXPECT_EQ(createseidsdoelement(0, *c.sealPkcs7, kSha1, kSha256, "d", dataPartOf(std::move(nodes)), sdo), 12012);
    EXPECT_FALSE(sdo);
    EXPECT_TRUE(peekRecentError().ends_with(std::string(kCmsLine) + kSealLine)) << peekRecentError();
  }
}

char* dup(const char* s) {
  char* p = static_cast<char*>(std::malloc(std::strlen(s) + 1));
  std::strcpy(p, s);
  return p;
}

::signatures* listOf(int n) {
  ::signatures* head = nullptr;
  for (int i = 0; i < n; ++i) {
    auto* node = static_cast<::signatures*>(std::malloc(sizeof(::signatures)));
    node->pkcs7 = dup("MIIpkcs7");
    node->ocsp = i == 0 ? nullptr : dup("MIIocsp");
    node->next = head;
    head = node;
  }
  return head;
}

// What these free is checked by the leak sanitizer of the sanitizer tree.
TEST_F(SdoRecords, ReleaseWhateverTheSessionsState) {
  int session = zmrtest::openStoreSession();
  ASSERT_LT(session, kMaxSessions);
  for (bool open : {true, false}) {
    SCOPED_TRACE(open ? "open session" : "closed session");
    if (!open) freesession(session);
    int want = open ? 0 : 2009;
    setlasterror(session, "before\n");
    EXPECT_EQ(seidsdofree(session, zmrtest::sdoTree({zmrtest::shortTexts()}).release()), want);
    EXPECT_EQ(peekRecentError(), open ? "" : "before\n");
    EXPECT_EQ(signaturesfree(session, listOf(3)), want);
    EXPECT_EQ(seidsdofree(session, nullptr), want);
    EXPECT_EQ(signaturesfree(session, nullptr), want);
    clearError();
  }
}

// Runs fn on a thread with a 512 KiB stack.
template <typename Fn>
void runOnSmallStack(Fn fn) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* f) -> void* {
                  (*static_cast<Fn*>(f))();
                  return nullptr;
                },
                &fn),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST_F(SdoRecords, LongListsAreFreedWithoutRecursion) {
  // A million nodes freed recursively would need far more than a thread's
  // stack; run on a small stack to be sure.
  int session = zmrtest::openStoreSession();
  auto tree = zmrtest::sdoTree({});
  seidsdo& sdo = *tree->first;
  sdo.metadata = std::make_unique<metadata>();
  std::unique_ptr<valuepair>* pair = &sdo.metadata->first;
  std::unique_ptr<signatureelement>* node = &sdo.datapart->first;
  std::unique_ptr<seidsdo>* next = &sdo.next;
  for (int i = 0; i < 1000000; ++i) {
    *pair = std::make_unique<valuepair>();
    pair = &(*pair)->next;
    *node = std::make_unique<signatureelement>();
    node = &(*node)->next;
    *next = std::make_unique<seidsdo>();
    next = &(*next)->next;
  }
  int rc = -1;
  runOnSmallStack([&] { rc = seidsdofree(session, tree.release()); });
  EXPECT_EQ(rc, 0);
  freesession(session);
}

}  // namespace
}  // namespace zmr
