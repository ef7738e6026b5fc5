// The SignedData the library writes as DER, byte for byte against the same
// SignedData built through OpenSSL's PKCS7 objects and encoded by
// OpenSSL, for one fixed signing time: every profile, both roles, the
// channel attribute, chains with and without a self-signed root, serial
// numbers of every form, long issuer names, both digests, software and HSM
// keys. Each output also survives OpenSSL's decode and re-encode and is
// accepted by PKCS7_verify and openssl cms.
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <ctime>
#include <functional>
#include <sstream>

#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "signingtest.h"
#include "store/sessionstore.h"
#include "store/setup.h"
#include "support/softhsm.h"
#include "support/storesession.h"

using namespace signingtest;

namespace {

// ---- the reference: OpenSSL's PKCS7 objects and encoder ----

bool addAttribute(PKCS7_SIGNER_INFO* si, int nid, int type, const void* value, int length) {
  return X509at_add1_attr_by_NID(&si->auth_attr, nid, type, static_cast<const unsigned char*>(value), length) !=
         nullptr;
}

struct ReferenceInput {
  X509* cert = nullptr;
  STACK_OF(X509)* cas = nullptr;
  EVP_PKEY* key = nullptr;  // the signer's private key, in software
  const EVP_MD* md = nullptr;
  bool iso = false;
  bool nonce = false;
  std::time_t now = 0;
  std::string data;
};

// The DER of the detached SignedData, "" when a step fails: the signer
// with version 1, issuer and serial, the digest with NULL parameters and
// rsaEncryption; the signed attributes sorted by OpenSSL's SET OF encoder;
// the signer's certificate, then the chain without self-signed ones.
std::string referenceSignedData(const ReferenceInput& in) {
  zmr::Pkcs7Ptr p7(PKCS7_new());
  if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1) return "";
  zmr::SignerInfoPtr owned(PKCS7_SIGNER_INFO_new());
  if (!owned || ASN1_INTEGER_set(owned->version, 1) != 1 ||
      X509_NAME_set(&owned->issuer_and_serial->issuer, X509_get_issuer_name(in.cert)) != 1)
    return "";
  ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(in.cert));
  if (serial == nullptr) return "";
  ASN1_INTEGER_free(owned->issuer_and_serial->serial);
  owned->issuer_and_serial->serial = serial;
  if (X509_ALGOR_set0(owned->digest_alg, OBJ_nid2obj(EVP_MD_get_type(in.md)), V_ASN1_NULL, nullptr) != 1 ||
      X509_ALGOR_set0(owned->digest_enc_alg, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr) != 1 ||
      PKCS7_add_signer(p7.get(), owned.get()) != 1)
    return "";
  PKCS7_SIGNER_INFO* si = owned.release();
  if (!addAttribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data), -1)) return "";

  std::string certvalue = signingCertValue(in.cert);
  if (!addAttribute(si, in.iso ? zmr::NID_pkcs9_signerInfoV2 : zmr::NID_pkcs9_signerInfo, V_ASN1_SEQUENCE,
                    certvalue.data(), static_cast<int>(certvalue.size())))
    return "";
  static constexpr char kChannelText[] = "ZMR Channel";
  if (in.nonce && !addAttribute(si, zmr::NID_pkcs9_randomNonce, V_ASN1_OCTET_STRING, kChannelText,
                                sizeof kChannelText - 1))
    return "";
  if (PKCS7_add_certificate(p7.get(), in.cert) != 1) return "";
  for (int i = 0; i < sk_X509_num(in.cas); ++i) {
    X509* ca = sk_X509_value(in.cas, i);
    if (X509_NAME_cmp(X509_get_subject_name(ca), X509_get_issuer_name(ca)) == 0) continue;
    if (PKCS7_add_certificate(p7.get(), ca) != 1) return "";
  }
  if (PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1 || PKCS7_set_detached(p7.get(), 1) != 1) return "";
  if (!in.iso) {
    zmr::Asn1TimePtr now(ASN1_UTCTIME_adj(nullptr, in.now, 0, 0));
    if (!now || !addAttribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, now.get(), -1)) return "";
  }
  std::string digest = digestOf(in.md, in.data);
  if (!addAttribute(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digest.data(), static_cast<int>(digest.size())))
    return "";

  unsigned char* attributes = nullptr;
  int attributeslength =
      ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
  if (attributeslength <= 0) return "";
  zmr::OsslMemoryPtr<unsigned char> attributesowner(attributes);
  zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, in.md, nullptr, in.key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, attributes, static_cast<size_t>(attributeslength)) != 1)
    return "";
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSign(ctx.get(), signature.data(), &length, attributes, static_cast<size_t>(attributeslength)) != 1 ||
      ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(length)) != 1)
    return "";

  unsigned char* der = nullptr;
  int n = i2d_PKCS7(p7.get(), &der);
  if (n <= 0) return "";
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

// ---- comparing ----

std::string firstDifference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  std::ostringstream text;
  text << "sizes " << a.size() << " and " << b.size() << ", first difference at byte " << i;
  return text.str();
}

// OpenSSL's decode and re-encode gives the same bytes back.
std::string reencoded(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  zmr::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (!p7 || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) return "";
  unsigned char* out = nullptr;
  int n = i2d_PKCS7(p7.get(), &out);
  std::string text(reinterpret_cast<char*>(out), n > 0 ? static_cast<size_t>(n) : 0);
  OPENSSL_free(out);
  return text;
}

struct Profile {
  zmr::CmsProfile profile;
  const char* format;  // cmsFormat set before signing, if any
};
constexpr Profile kProfiles[] = {
    {zmr::CmsProfile::fromitem, nullptr},
    {zmr::CmsProfile::fromitem, "PKCS7_ISO320001"},
    {zmr::CmsProfile::standard, "PKCS7_ISO320001"},
};

// Signs with the session in every role, channel and profile at now and
// compares each output with the reference; the signing keys are the
// software ones of pki (an HSM session holds the same). With roots, one
// output per role also goes through openssl cms.
void expectSameAsReference(int session, const zmrtest::TestPki& pki, std::time_t now, const std::string& data,
                           const std::vector<const X509*>& roots = {}) {
  zmr::SessionRef state = zmrtest::sessionState(session);
  const EVP_MD* md = EVP_PKEY_get_bits(pki.merchantAuth.key.get()) == 1024 ? EVP_sha1() : EVP_sha256();
  STACK_OF(X509)* cas = nullptr;
  ASSERT_EQ(0, zmr::getcacerts(*state, &cas));
  for (zmr::KeyRole role : {zmr::KeyRole::signing, zmr::KeyRole::authentication}) {
    const zmrtest::TestCert& signer = role == zmr::KeyRole::signing ? pki.merchantSign : pki.merchantAuth;
    X509* cert = nullptr;
    ASSERT_EQ(0, role == zmr::KeyRole::signing ? zmr::getsigncert(*state, &cert) : zmr::getauthcert(*state, &cert));
    ASSERT_EQ(0, X509_cmp(cert, signer.get()));
    bool verifiedbycms = roots.empty();
    for (zmr::ChannelNonce nonce : {zmr::ChannelNonce::without, zmr::ChannelNonce::with}) {
      for (const Profile& p : kProfiles) {
        SCOPED_TRACE(testing::Message() << "role " << static_cast<int>(role) << " nonce " << static_cast<int>(nonce)
                                        << " profile " << static_cast<int>(p.profile) << " format "
                                        << (p.format ? p.format : "-") << " time " << now);
        ASSERT_EQ(0, zmr::removeinfoitems(session));
        if (p.format != nullptr) {
          ASSERT_EQ(0, zmr::setinfoitem(session, "cmsFormat", p.format));
        }
        ReferenceInput in;
        in.cert = cert;
        in.cas = cas;
        in.key = signer.key.get();
        in.md = md;
        in.iso = p.profile == zmr::CmsProfile::fromitem && p.format != nullptr && role == zmr::KeyRole::signing;
        in.nonce = nonce == zmr::ChannelNonce::with;
        in.now = now;
        in.data = data;
        const std::string expected = referenceSignedData(in);
        ASSERT_NE("", expected);

        std::string out;
        ASSERT_EQ(0, zmr::signdata(*state, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out,
                                   role, nonce, p.profile, now))
            << takeError();
        const std::string der = zmrtest::fromBase64(out);
        ASSERT_EQ(expected, der) << firstDifference(expected, der);
        EXPECT_EQ(der, reencoded(der));
        EXPECT_TRUE(zmrtest::pkcs7VerifiesWith(out, data, signer.get()));
        if (!verifiedbycms) {
          std::string log;
          EXPECT_TRUE(zmrtest::cmsVerifies(out, data, roots, &log)) << log;
          verifiedbycms = true;
        }
      }
    }
  }
}

class SignedDataDer : public Library {};

TEST_F(SignedDataDer, SameBytesAsOpensslAtEveryTimeAndForEveryData) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("der-usual", 2);
  int s = session(m);
  const std::time_t times[] = {
      0,           // 700101000000Z
      946684799,   // 991231235959Z
      951782400,   // 000229000000Z, a leap day
      1796979912,  // now-ish
      2524607999,  // 491231235959Z, UTCTime's last second
      -631152000,  // 500101000000Z, its first
  };
  for (std::time_t now : times) expectSameAsReference(s, m.pki, now, "order 4711: 2 x widget");
  expectSameAsReference(s, m.pki, 1796979912, "", {m.pki.root.get()});
  expectSameAsReference(s, m.pki, 1796979912, std::string(100000, '\xA5'));
}

TEST_F(SignedDataDer, SameBytesForEveryDigestChainSerialAndIssuer) {
  struct Merchant {
    std::string tag;
    zmrtest::TestPki pki;
    std::function<void(zmrtest::KeyFileSpec&)> layout;
    std::vector<zmrtest::TestCert> extra;  // certificates the layout borrows
  };
  std::vector<Merchant> merchants;

  zmrtest::CertSpec smallauth = zmrtest::merchantAuthSpec();
  smallauth.keyBits = 1024;  // SHA-1 for both roles
  merchants.push_back({"sha1", zmrtest::makeMerchantPki(2, smallauth, zmrtest::merchantSignSpec()), {}, {}});
  // Only the self-signed root beside the signer: no certificate but his.
  merchants.push_back({"rootonly", zmrtest::makePki(2), [](zmrtest::KeyFileSpec& spec) { spec.safes.pop_back(); }, {}});

  // Serial numbers at each edge of their encoding, two per merchant.
  const std::pair<std::string, std::string> serials[] = {
      {"0", "1"},
      {"127", "128"},
      {"255", "256"},
      {"-1", "-128"},
      {"-129", "0x" + std::string(40, 'F')},
      {"0x7F" + std::string(38, 'F'), "0x" + std::string(80, '9')},
  };
  int index = 0;
  for (const auto& [auth, sign] : serials) {
    zmrtest::CertSpec a = zmrtest::merchantAuthSpec(), b = zmrtest::merchantSignSpec();
    a.serial = auth;
    b.serial = sign;
    merchants.push_back({"serial" + std::to_string(index++), zmrtest::makeMerchantPki(2, a, b), {}, {}});
  }

  // An issuer name far over 255 bytes, with string types OpenSSL would not choose.
  {
    zmrtest::TestPki pki = zmrtest::makePki(2);
    zmrtest::CertSpec ca = zmrtest::issuingCaSpec();
    ca.subject = {{"C", "NO"},
                  {"O", std::string(64, 'o')},
                  {"OU", std::string(64, 'u')},
                  {"OU", std::string(64, 'v')},
                  {"OU", std::string("\0Z\0e\0l\0m\0o\0r", 12), V_ASN1_BMPSTRING},
                  {"OU", "T61 unit", V_ASN1_T61STRING},
                  {"CN", "Zelmor \xC3\x98st Issuing CA " + std::string(200, 'n'), V_ASN1_UTF8STRING},
                  {"emailAddress", "ca@example.invalid"}};
    pki.ca = zmrtest::makeCert(ca, &pki.root);
    ASSERT_GT(i2d_X509_NAME(X509_get_subject_name(pki.ca.get()), nullptr), 255) << "a name of two length bytes";
    pki.merchantAuth = zmrtest::makeCert(zmrtest::merchantAuthSpec(), &pki.ca);
    pki.merchantSign = zmrtest::makeCert(zmrtest::merchantSignSpec(), &pki.ca);
    merchants.push_back({"longissuer", pki, {}, {}});
  }

  // Root and two intermediates, the root between them in the key file: it
  // stays out wherever it stands, the others keep their order.
  {
    zmrtest::TestPki pki = zmrtest::makePki(2);
    zmrtest::CertSpec first = zmrtest::issuingCaSpec("Zelmor Policy CA");
    first.pathlen = -1;
    pki.ca = zmrtest::makeCert(first, &pki.root);
    zmrtest::CertSpec second = zmrtest::issuingCaSpec("Zelmor Merchant CA");
    second.keyIndex = 0;
    zmrtest::TestCert sub = zmrtest::makeCert(second, &pki.ca);
    pki.merchantAuth = zmrtest::makeCert(zmrtest::merchantAuthSpec(), &sub);
    pki.merchantSign = zmrtest::makeCert(zmrtest::merchantSignSpec(), &sub);
    merchants.push_back({"longchain", pki, {}, {sub}});
    Merchant& last = merchants.back();
    last.layout = [&last](zmrtest::KeyFileSpec& spec) {
      // merchantKeyFile ends with the root and the CA: the sub-CA goes first.
      spec.safes.insert(spec.safes.end() - 2, zmrtest::safeOf({zmrtest::certBag(last.extra[0])}, true));
    };
  }

  for (const Merchant& merchant : merchants) {
    SCOPED_TRACE(merchant.tag);
    zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles("der-" + merchant.tag, merchant.pki, merchant.layout);
    int s = session(m);
    ASSERT_GE(s, 0) << takeError();
    // Where the output holds no issuing CA, openssl cms is given it.
    std::vector<const X509*> trusted = {merchant.pki.root.get(), merchant.pki.ca.get()};
    expectSameAsReference(s, merchant.pki, 1796979912, "pay 100 to account 1234.56.78903", trusted);
  }
}

TEST_F(SignedDataDer, TimeOutsideUtcTimeFailsAsBeforeButTheIsoProfileSigns) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("der-times", 2);
  int s = session(m);
  zmr::SessionRef state = zmrtest::sessionState(s);
  const char* line = "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n";
  for (std::time_t now : {std::time_t{2524608000}, std::time_t{-631152001}}) {
    SCOPED_TRACE(now);
    ReferenceInput in;
    in.cert = m.pki.merchantSign.get();
    in.key = m.pki.merchantSign.key.get();
    in.md = EVP_sha256();
    in.now = now;
    EXPECT_EQ("", referenceSignedData(in)) << "the reference has no signingTime for that moment either";
    for (zmr::KeyRole role : {zmr::KeyRole::signing, zmr::KeyRole::authentication}) {
      ASSERT_EQ(0, zmr::removeinfoitems(s));
      zmr::setlasterror(s, "stale line\n");
      std::string out = "previous";
      EXPECT_EQ(4011, zmr::signdata(*state, reinterpret_cast<const unsigned char*>("x"), 1, out, role,
                                    zmr::ChannelNonce::with, zmr::CmsProfile::fromitem, now));
      EXPECT_EQ("", out);
      EXPECT_EQ(line, takeError());
    }
    ASSERT_EQ(0, zmr::setinfoitem(s, "cmsFormat", "PKCS7_ISO320001"));
    std::string out;
    EXPECT_EQ(0, zmr::signdata(*state, reinterpret_cast<const unsigned char*>("x"), 1, out, zmr::KeyRole::signing,
                               zmr::ChannelNonce::with, zmr::CmsProfile::fromitem, now))
        << takeError();
    EXPECT_TRUE(zmrtest::pkcs7VerifiesWith(out, "x", m.pki.merchantSign.get()));
  }
}

// HSM keys: the signature is made in SoftHSM2 with the very keys of the
// PKI, so the bytes are the reference's.
class SignedDataDerHsm : public ::testing::Test {
 protected:
  void TearDown() override { zmr::finalize(); }
};

TEST_F(SignedDataDerHsm, SameBytesAsOpensslWithHsmKeys) {
  zmrtest::SoftHsm hsm;
  ASSERT_TRUE(zmrtest::makeSoftHsm("der-hsm", hsm));
  ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
  zmrtest::CertSpec smallauth = zmrtest::merchantAuthSpec();
  smallauth.keyBits = 1024;
  const zmrtest::TestPki pkis[] = {zmrtest::makePki(2),
                                   zmrtest::makeMerchantPki(2, smallauth, zmrtest::merchantSignSpec())};
  std::vector<zmrtest::MerchantFiles> files;
  for (int i = 0; i < 2; ++i) {
    const std::string tag = std::to_string(i);
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pkis[i].merchantSign.key.get(), "sign-" + tag,
                                   std::to_string(10 + 2 * i)))
        << hsm.log;
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pkis[i].merchantAuth.key.get(), "auth-" + tag,
                                   std::to_string(11 + 2 * i)))
        << hsm.log;
    files.push_back(zmrtest::writeMerchantFiles("der-hsm-" + tag, pkis[i], [&](zmrtest::KeyFileSpec& spec) {
      spec.safes = zmrtest::hsmKeyFile(pkis[i], "merchant-secret", "auth-" + tag, "sign-" + tag).safes;
    }));
  }
  ASSERT_EQ(0, zmr::initialize(zmrtest::kSoftHsmModule));
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    int s = -1;
    ASSERT_EQ(0, open(files[i], s, "1234")) << takeError();
    uint64_t context = 0;
    zmr::gethsm_sessioncontext(*zmrtest::sessionState(s), &context);
    ASSERT_NE(0u, context) << "not an HSM session";
    expectSameAsReference(s, pkis[i], 1796979912, "pay 100 to account 1234.56.78903", {pkis[i].root.get()});
  }
}

}  // namespace
