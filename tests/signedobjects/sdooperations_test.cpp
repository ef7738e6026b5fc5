// The SDO operations on trees: what each builds and changes record by
// record, what a failure leaves, and the lines it writes.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>

#include "signedobjects/seid/sdooperations.h"
#include "support/apitest.h"
#include "support/merchant.h"
#include "support/recenterror.h"
#include "support/sdosigning.h"
#include "support/sdotrees.h"
#include "support/verifiers.h"

namespace zmr {
namespace {

using zmrtest::peekRecentError;

constexpr const char* kDocument = "The contract, signed in turn.";

class SdoOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    m = zmrtest::makeMerchantFiles("sdo-operations", 2);
    ASSERT_EQ(0, zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    data = zmrtest::toBase64(kDocument);
    userPkcs7 = zmrtest::sdoSignature(m.pki.endUser, kDocument);
    userOcsp = zmrtest::goodOcsp(m.pki, m.pki.endUser.get());
    merchantOcsp = zmrtest::goodOcsp(m.pki, m.pki.merchantSign.get());
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  std::unique_ptr<seidsdocell> dynamic(const ::signatures* list, std::string_view mimetype = "text/plain") {
    std::unique_ptr<seidsdocell> tree;
    EXPECT_EQ(0, createsdo(s, tree, data, mimetype, "Contract", {}, list)) << peekRecentError();
    return tree;
  }

  zmrtest::MerchantFiles m;
  int s = -1;
  std::string data, userPkcs7, userOcsp, merchantOcsp;
};

TEST_F(SdoOperations, DynamicSdoTakesEveryEntryUnverifiedAndWithoutLineBreaks) {
  // Three entries, none of them over this document: nothing is verified.
  zmrtest::SignatureList list;
  const std::string other = zmrtest::sdoSignature(m.pki.endUser, "another document");
  const std::string sha1 = zmrtest::sdoSignature(m.pki.merchantSign, kDocument, EVP_sha1());
  list.add(other.substr(0, 40) + "\r\n" + other.substr(40) + "\n", userOcsp);
  list.add(sha1, "\r\n" + merchantOcsp);
  list.add(userPkcs7, userOcsp.substr(0, 10) + "\n" + userOcsp.substr(10));
  auto tree = dynamic(list.link(), "application/pdf");
  ASSERT_TRUE(tree);
  const seidsdo& sdo = *tree->first;
  EXPECT_FALSE(sdo.seal);
  EXPECT_FALSE(sdo.signedobject);
  EXPECT_EQ(sdo.flavour, kSdoCompliant);
  EXPECT_EQ(sdo.version, "1.0");
  ASSERT_TRUE(sdo.metadata && sdo.metadata->first);
  EXPECT_EQ(sdo.metadata->first->name, "MerchantDesc");
  EXPECT_EQ(sdo.metadata->first->value, "Contract");
  EXPECT_FALSE(sdo.metadata->first->description);
  const std::string pkcs7s[] = {other, sha1, userPkcs7};
  const std::string ocsps[] = {userOcsp, merchantOcsp, userOcsp};
  const char* methods[] = {"SHA-256", "SHA-1", "SHA-256"};
  const std::string digests[] = {zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), kDocument)),
                                 zmrtest::toBase64(zmrtest::digestOf(EVP_sha1(), kDocument)),
                                 zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), kDocument))};
  int i = 0;
  for (const signatureelement* e = sdo.datapart->first.get(); e != nullptr; e = e->next.get(), ++i) {
    ASSERT_LT(i, 3);
    SCOPED_TRACE(i);
    EXPECT_EQ(e->element->cmssignature, pkcs7s[i]);
    EXPECT_EQ(*ocspvalueof(*e->element), ocsps[i]);
    EXPECT_EQ(*mimetypeof(*e->element), "application/pdf");
    EXPECT_EQ(e->element->hasheddata->digestmethod, methods[i]);
    EXPECT_EQ(e->element->hasheddata->digestvalue, digests[i]);
  }
  EXPECT_EQ(i, 3);
}

TEST_F(SdoOperations, FailedSealLeavesTheTreeAsItWas) {
  zmrtest::SignatureList list;
  list.add(userPkcs7, userOcsp);
  auto tree = dynamic(list.link());
  ASSERT_TRUE(tree);
  ASSERT_EQ(0, sdoadddata(s, tree.get(), data));
  ASSERT_EQ(0, sdoseal(s, tree.get(), merchantOcsp, std::nullopt)) << peekRecentError();
  // Read back from the plain form, which the flavour keeps, to see it kept.
  std::string plain = zmrtest::writeXml(*tree, kSdoPlain);
  std::unique_ptr<seidsdocell> read;
  ASSERT_EQ(0, xmltoseidsdo(s, plain, read, 1));
  ASSERT_EQ(kSdoPlain, read->first->flavour);
  const std::string before = zmrtest::dumpTree(*read);

  const std::string full = zmrtest::toBase64(
      zmrtest::makeOcspResponseDer(zmrtest::ocspFor(m.pki.responder, m.pki.merchantSign.get(), m.pki.ca.get())));
  EXPECT_EQ(12012, sdoseal(s, read.get(), full, std::nullopt));
  EXPECT_TRUE(peekRecentError().ends_with(
      "createsecurechannel_createsecurechannel: Cannot create SDO signature element because signing time in pkcs7 is "
      "not set or fullocsp response is received\n"
      "sdoseal_sdoseal: An error occured trying to create the SDOSignature's CMSSignature.\n"))
      << peekRecentError();
  EXPECT_EQ(zmrtest::dumpTree(*read), before);
  EXPECT_EQ(read->first->flavour, kSdoPlain);

  // A seal that is made switches the SDO to the compliant form.
  ASSERT_EQ(0, sdoseal(s, read.get(), merchantOcsp, std::nullopt)) << peekRecentError();
  EXPECT_EQ(read->first->flavour, kSdoCompliant);
  std::string xml;
  ASSERT_EQ(0, sdotoxml(s, read.get(), xml));
  EXPECT_NE(xml.find("<XAdES:Identifier>"), std::string::npos);
  EXPECT_EQ(xml.find("<Identifier>"), std::string::npos);
}

TEST_F(SdoOperations, FailingStepsWriteTheirLines) {
  zmrtest::SignatureList list;
  list.add(userPkcs7, userOcsp);
  std::unique_ptr<seidsdocell> tree;
  EXPECT_EQ(21002, createsdo(s, tree, "not base64!", "text/plain", "Contract", {}, list.link()));
  EXPECT_FALSE(tree);
  EXPECT_TRUE(peekRecentError().ends_with("createsdo_createsdo: An error occured trying to hash the input data.\n"))
      << peekRecentError();

  zmrtest::SignatureList noTime;
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(m.pki.endUser, kDocument);
  spec.signers[0].signingTime = false;
  noTime.add(zmrtest::makePkcs7Base64(spec), userOcsp);
  EXPECT_EQ(12012, createsdo(s, tree, data, "text/plain", "Contract", {}, noTime.link()));
  EXPECT_TRUE(peekRecentError().ends_with(
      "createsecurechannel_createsecurechannel: Cannot create SDO signature element due to invalid pkcs7 or ocsp\n"
      "createsdo_createsdo: An error occured trying to create the servers sdo signature element.\n"))
      << peekRecentError();

  // The classic form names which of its two elements failed.
  const ClassicSdoSignatures wrongUser{noTime.pkcs7s[0], userPkcs7, userOcsp, merchantOcsp};
  EXPECT_EQ(12012, createsdo(s, tree, data, "text/plain", "Contract", wrongUser, nullptr));
  EXPECT_TRUE(peekRecentError().ends_with(
      "createsdo_createsdo: An error occured trying to create the clients sdo signature element.\n"));
  const ClassicSdoSignatures wrongMerchant{userPkcs7, noTime.pkcs7s[0], userOcsp, merchantOcsp};
  EXPECT_EQ(12012, createsdo(s, tree, data, "text/plain", "Contract", wrongMerchant, nullptr));
  EXPECT_TRUE(peekRecentError().ends_with(
      "createsdo_createsdo: An error occured trying to create the servers sdo signature element.\n"));
  EXPECT_FALSE(tree);

  std::string converted;
  ASSERT_EQ(0, convertDataDescription(s, "Bl\xE6 & <b> 'c'", converted));
  EXPECT_EQ(converted, "Bl\xC3\xA6 & <b> 'c'");  // the writer escapes
}

}  // namespace
}  // namespace zmr
