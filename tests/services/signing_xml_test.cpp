// The signed ZelmorXML envelope and the enveloping XML-DSig document,
// checked byte by byte and by openssl cms and xmlsec1.
#include <openssl/x509.h>

#include <ctime>

#include "services/signing/signingops.h"
#include "signingtest.h"

using namespace signingtest;

namespace {

class SignXml : public Library {};
class XmlDsig : public Library {};

TEST_F(SignXml, EnvelopeIsTheFixedPiecesAroundUnescapedTexts) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("signxml", 2);
  int s = session(m);
  struct Case {
    std::string xml, xsl, envelope;
  } cases[] = {
      {"a", "b", "<ZelmorXML><ZMRXML>a</ZMRXML><ZMRXSL>b</ZMRXSL></ZelmorXML>"},
      {"<p a=\"1\">&amp;</p>", "<xsl/>",
       "<ZelmorXML><ZMRXML><p a=\"1\">&amp;</p></ZMRXML><ZMRXSL><xsl/></ZMRXSL></ZelmorXML>"},
      {std::string("ab\0cd", 5), std::string("x\0", 2), "<ZelmorXML><ZMRXML>ab</ZMRXML><ZMRXSL>x</ZMRXSL></ZelmorXML>"},
      {"", "", "<ZelmorXML><ZMRXML></ZMRXML><ZMRXSL></ZMRXSL></ZelmorXML>"},
  };
  ASSERT_EQ(59u, cases[0].envelope.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.envelope);
    std::string pkcs7, envelope;
    ASSERT_EQ(0, zmr::signxml(s, c.xml.data(), c.xml.size(), c.xsl.data(), c.xsl.size(), pkcs7, envelope))
        << takeError();
    EXPECT_EQ(c.envelope, zmrtest::fromBase64(envelope));
    // Signed like zmr_signdata: signing key, with the channel attribute.
    zmr::Pkcs7Ptr p7 = parse(pkcs7);
    ASSERT_TRUE(p7);
    EXPECT_EQ(octets("ZMR Channel"), attributeDer(signer(p7.get()), kChannel));
    EXPECT_EQ(0, X509_NAME_cmp(signer(p7.get())->issuer_and_serial->issuer,
                               X509_get_issuer_name(m.pki.merchantSign.get())));
    std::string log;
    EXPECT_TRUE(zmrtest::cmsVerifies(pkcs7, c.envelope, {m.pki.root.get()}, &log)) << log;
  }
}

TEST_F(SignXml, SigningFailureKeepsTheInnerLinesAndAddsItsOwn) {
  zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles("signxml-nokey", zmrtest::makePki(2),
                                                         [](zmrtest::KeyFileSpec& spec) {
                                                           spec.safes.erase(spec.safes.begin() + 5);  // CA
                                                           spec.safes.erase(spec.safes.begin() + 4);  // root
                                                         });
  int s = -1;
  // Without CA certificates the key file may be refused; then this case
  // cannot arise through it.
  if (open(m, s) != 0) GTEST_SKIP() << "key files without CA certificates are refused";
  std::string pkcs7 = "x", envelope = "y";
  EXPECT_EQ(2044, zmr::signxml(s, "a", 1, "b", 1, pkcs7, envelope));
  EXPECT_EQ("", pkcs7);
  EXPECT_EQ("", envelope);
  EXPECT_EQ(
      "signdata_signdata: An error occured trying to retrieve the merchant's ca chain from session store.\n"
      "signxml_signxml: An error occured trying to sign the ZMRXML xml structure.\n",
      takeError());
}

// The document as it must be written, from its variable parts.
std::string expectedDocument(const std::string& order, const std::string& digestvalue,
                             const std::string& signaturevalue, const std::string& certificate, bool sha1) {
  const std::string ns = "http://www.w3.org/2000/09/xmldsig#";
  std::string signatureMethod = sha1 ? ns + "rsa-sha1" : "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
  std::string digestMethod = sha1 ? ns + "sha1" : "http://www.w3.org/2001/04/xmlenc#sha256";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><Signature xmlns=\"" + ns + "\"><SignedInfo xmlns=\"" + ns +
         "\"><CanonicalizationMethod Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\">"
         "</CanonicalizationMethod><SignatureMethod Algorithm=\"" +
         signatureMethod + "\"></SignatureMethod><Reference URI=\"#envelopingData\"><DigestMethod Algorithm=\"" +
         digestMethod + "\"></DigestMethod><DigestValue>" + digestvalue +
         "</DigestValue></Reference></SignedInfo><SignatureValue>" + signaturevalue +
         "</SignatureValue><KeyInfo><X509Data><X509Certificate>" + certificate +
         "</X509Certificate></X509Data></KeyInfo><Object xmlns=\"" + ns + "\" Id=\"envelopingData\">" + order +
         "</Object></Signature>";
}

std::string between(const std::string& text, const std::string& open, const std::string& close) {
  size_t a = text.find(open);
  if (a == std::string::npos) return "";
  a += open.size();
  size_t b = text.find(close, a);
  return b == std::string::npos ? "" : text.substr(a, b - a);
}

int daysLeft(const X509* cert) {
  int days = 0, seconds = 0;
  ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert));
  return days;
}

TEST_F(XmlDsig, DocumentIsExactAndAcceptedByXmlsecForBothDigests) {
  zmrtest::CertSpec smallauth = zmrtest::merchantAuthSpec();
  smallauth.keyBits = 1024;
  struct Case {
    const char* name;
    zmrtest::TestPki pki;
    bool sha1;
  } cases[] = {
      {"sha256", zmrtest::makePki(2), false},
      {"sha1", zmrtest::makeMerchantPki(2, smallauth, zmrtest::merchantSignSpec()), true},
  };
  const std::string orders[] = {
      "<order id=\"4711\"><item qty=\"2\">widget &amp; gadget</item><note></note></order>",
      "",
      "plain text, not XML",
  };
  for (const Case& c : cases) {
    zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles(std::string("xmldsig-") + c.name, c.pki);
    int s = session(m);
    for (const std::string& order : orders) {
      SCOPED_TRACE(std::string(c.name) + ": " + order);
      std::string document;
      int days = -1;
      int before = daysLeft(m.pki.merchantSign.get());
      ASSERT_EQ(0, zmr::createxmldsig(s, order, document, days)) << takeError();
      int after = daysLeft(m.pki.merchantSign.get());
      EXPECT_TRUE(days == before || days == after) << days;

      const EVP_MD* md = c.sha1 ? EVP_sha1() : EVP_sha256();
      std::string object =
          "<Object xmlns=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"envelopingData\">" + order + "</Object>";
      std::string digestvalue = zmrtest::toBase64(digestOf(md, object));
      EXPECT_EQ(c.sha1 ? 28u : 44u, digestvalue.size());
      std::string signaturevalue = between(document, "<SignatureValue>", "</SignatureValue>");
      EXPECT_EQ(expectedDocument(order, digestvalue, signaturevalue, m.pki.merchantSign.derBase64(), c.sha1),
                document);
      std::string signedinfo = "<SignedInfo" + between(document, "<SignedInfo", "</SignedInfo>") + "</SignedInfo>";
      std::string log;
      EXPECT_TRUE(zmrtest::pkeyutlVerifies(signaturevalue, signedinfo, m.pki.merchantSign.get(),
                                           c.sha1 ? "sha1" : "sha256", &log))
          << log;
      if (order != orders[2]) {
        EXPECT_TRUE(zmrtest::xmlsecVerifies(document, {m.pki.root.get()}, {m.pki.ca.get()}, &log)) << log;
      }
    }
  }
}

TEST_F(XmlDsig, XmlsecRejectsATamperedOrder) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("xmldsig-tamper", 2);
  int s = session(m);
  std::string document;
  int days = 0;
  ASSERT_EQ(0, zmr::createxmldsig(s, "<order><sum>100</sum></order>", document, days)) << takeError();
  size_t at = document.find("100");
  ASSERT_NE(std::string::npos, at);
  document.replace(at, 3, "900");
  EXPECT_FALSE(zmrtest::xmlsecVerifies(document, {m.pki.root.get()}, {m.pki.ca.get()}));
}

TEST_F(XmlDsig, SigningCertificateWithoutTheSignOnlyPolicyIsRefused) {
  struct Case {
    std::vector<std::string> policies;
  } cases[] = {
      {{"2.999.10.1.16.1.14.2"}},
      {{"2.999.10.1.16.1.14.11", zmrtest::kPolicySignOnly}},  // only the first policy counts
      {{}},                                                    // no policies extension
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    zmrtest::CertSpec sign = zmrtest::merchantSignSpec();
    sign.policies = c.policies;
    zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles(
        "xmldsig-policy-" + std::to_string(n++), zmrtest::makeMerchantPki(2, zmrtest::merchantAuthSpec(), sign));
    int s = session(m);
    std::string document = "previous";
    int days = 0;
    EXPECT_EQ(30001, zmr::createxmldsig(s, "<order></order>", document, days));
    EXPECT_EQ("", document);
    EXPECT_EQ(
        "createxmldsig_createxmldsig: To create XMLDSIG signatures an RA Signing certificate must be aquired\n",
        takeError());
  }
}

}  // namespace
