#include "support/fixtures.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <stdexcept>

#include "tools/base64.h"

namespace zmrtest {
namespace {

using namespace der;

[[noreturn]] void fail(const std::string& what) {
  char buf[256] = "";
  unsigned long e = ERR_get_error();
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  throw std::runtime_error("fixtures: " + what + (e != 0 ? std::string(": ") + buf : std::string()));
}

template <typename T, typename F>
std::string encode(const T* object, F i2d) {
  unsigned char* buf = nullptr;
  int n = i2d(object, &buf);
  if (n <= 0) fail("encode");
  std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  OPENSSL_free(buf);
  return out;
}

template <typename Ptr, typename F>
Ptr decode(const std::string& der, F d2i, const char* what) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  Ptr out(d2i(nullptr, &p, static_cast<long>(der.size())));
  if (!out) fail(std::string("parse ") + what);
  return out;
}

std::string nameDer(const X509_NAME* name) { return encode(name, i2d_X509_NAME); }
std::string integerDer(const ASN1_INTEGER* i) { return encode(i, i2d_ASN1_INTEGER); }
std::string certDer(const X509* cert) { return encode(cert, i2d_X509); }

std::string dotted(int nid) {
  char buf[128];
  if (OBJ_obj2txt(buf, sizeof buf, OBJ_nid2obj(nid), 1) <= 0) fail("object identifier");
  return buf;
}

const EVP_MD* orSha256(const EVP_MD* md) { return md != nullptr ? md : EVP_sha256(); }

std::string algorithmWithNull(int nid) { return seq(oid(dotted(nid)) + tlv(0x05, "")); }

std::string sign(EVP_PKEY* key, const EVP_MD* md, const std::string& data) {
  zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  size_t n = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
    fail("sign");
  std::string sig(n, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &n,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
    fail("sign");
  sig.resize(n);
  return sig;
}

std::string timeText(long offset, const char* format) {
  time_t t = time(nullptr) + offset;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, format, &tm);
  return buf;
}

std::string attribute(const std::string& dottedOid, const std::string& valueDer) {
  return seq(oid(dottedOid) + set(valueDer));
}

// DER orders the members of a SET OF by their encodings.
std::string sortedSet(std::vector<std::string> members, unsigned char tag) {
  std::sort(members.begin(), members.end());
  std::string content;
  for (const auto& m : members) content += m;
  return tlv(tag, content);
}

std::string signingCertValue(const Pkcs7SignerSpec& s) {
  if (s.signingCertValue) return *s.signingCertValue;
  std::string hash = s.signingCertHash
                         ? *s.signingCertHash
                         : digestOf(EVP_sha256(), certDer(s.signingCertOf != nullptr ? s.signingCertOf : s.cert->get()));
  return seq(seq(seq(oid(s.signingCertHashOid) + octets(hash))));
}

std::string signerInfo(const Pkcs7SignerSpec& s, const std::string& content) {
  const EVP_MD* md = orSha256(s.digest);
  X509* cert = s.cert->get();
  std::string body = tlv(0x02, std::string(1, '\x01'));
  body += seq(nameDer(X509_get_issuer_name(cert)) + integerDer(X509_get0_serialNumber(cert)));
  body += algorithmWithNull(EVP_MD_get_type(md));
  std::string signedBytes = content;
  if (s.signedAttributes) {
    std::vector<std::string> attrs;
    attrs.push_back(attribute(dotted(NID_pkcs9_contentType), oid(dotted(NID_pkcs7_data))));
    if (s.signingTimeDer) {
      attrs.push_back(attribute(dotted(NID_pkcs9_signingTime), *s.signingTimeDer));
    } else if (s.signingTime) {
      attrs.push_back(attribute(dotted(NID_pkcs9_signingTime), utcTime(timeText(0, "%y%m%d%H%M%SZ"))));
    }
    if (s.messageDigest)
      attrs.push_back(attribute(dotted(NID_pkcs9_messageDigest),
                                octets(s.messageDigestValue ? *s.messageDigestValue : digestOf(md, content))));
    if (s.signingCert == SigningCertAttribute::other)
      attrs.push_back(attribute(kOidOtherSigningCertificate, signingCertValue(s)));
    if (s.signingCert == SigningCertAttribute::v2)
      attrs.push_back(attribute(kOidSigningCertificateV2, signingCertValue(s)));
    if (s.channelValueDer) {
      attrs.push_back(attribute(kOidChannel, *s.channelValueDer));
    } else if (s.channel) {
      attrs.push_back(attribute(kOidChannel, octets(*s.channel)));
    }
    for (const auto& [o, v] : s.extraAttributes) attrs.push_back(attribute(o, v));
    signedBytes = sortedSet(attrs, 0x31);
    body += std::string(1, '\xa0') + signedBytes.substr(1);  // [0] IMPLICIT, same content
  }
  body += algorithmWithNull(NID_rsaEncryption);
  body += octets(s.signature ? *s.signature : sign(s.cert->key.get(), md, signedBytes));
  return seq(body);
}

std::string certIdDer(const OcspSingleSpec& s) {
  const EVP_MD* md = s.idDigest != nullptr ? s.idDigest : EVP_sha1();
  std::string nameHash, keyHash(static_cast<size_t>(EVP_MD_get_size(md)), '\0');
  if (s.issuer != nullptr) {
    nameHash = digestOf(md, nameDer(X509_get_subject_name(s.issuer)));
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(s.issuer);
    keyHash = digestOf(md, std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits)),
                                       static_cast<size_t>(ASN1_STRING_length(bits))));
  } else if (s.cert != nullptr) {
    nameHash = digestOf(md, nameDer(X509_get_issuer_name(s.cert)));
  } else {
    nameHash = keyHash;
  }
  std::string serial = s.serial ? tlv(0x02, *s.serial) : integerDer(X509_get0_serialNumber(s.cert));
  return seq(algorithmWithNull(EVP_MD_get_type(md)) + octets(nameHash) + octets(keyHash) + serial);
}

std::string extensionDer(const OcspExtensionSpec& e) {
  return seq(oid(e.oid) + (e.critical ? tlv(0x01, std::string(1, '\xff')) : std::string()) + octets(e.value));
}

std::string singleResponseDer(const OcspSingleSpec& s) {
  std::string status;
  switch (s.status) {
    case V_OCSP_CERTSTATUS_GOOD:
      status = tlv(0x80, "");
      break;
    case V_OCSP_CERTSTATUS_REVOKED:
      status = tlv(0xa1, generalizedTime(generalizedTimeText(s.revokedOffset)));
      break;
    default:
      status = tlv(0x82, "");
  }
  std::string body = (s.certIdDer ? *s.certIdDer : certIdDer(s)) + status + generalizedTime(generalizedTimeText(s.thisUpdateOffset));
  if (s.nextUpdateOffset) body += tlv(0xa0, generalizedTime(generalizedTimeText(*s.nextUpdateOffset)));
  return seq(body);
}

std::string keyHashOf(const X509* cert) {
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(cert);
  return digestOf(EVP_sha1(), std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits)),
                                          static_cast<size_t>(ASN1_STRING_length(bits))));
}

}  // namespace

// ---- PKCS#7 ----

Pkcs7Spec pkcs7For(const TestCert& signer, const std::string& content) {
  Pkcs7Spec spec;
  spec.content = content;
  Pkcs7SignerSpec s;
  s.cert = &signer;
  spec.signers.push_back(s);
  return spec;
}

std::string makePkcs7Der(const Pkcs7Spec& spec) {
  std::vector<std::string> digestAlgs, infos;
  std::string certs;
  for (const auto& s : spec.signers) {
    if (s.cert == nullptr) fail("signer without certificate");
    std::string alg = algorithmWithNull(EVP_MD_get_type(orSha256(s.digest)));
    if (std::find(digestAlgs.begin(), digestAlgs.end(), alg) == digestAlgs.end()) digestAlgs.push_back(alg);
    infos.push_back(signerInfo(s, spec.content));
    if (spec.includeSignerCerts) certs += certDer(s.cert->get());
  }
  for (const X509* c : spec.extraCerts) certs += certDer(c);
  std::string encap = oid(dotted(NID_pkcs7_data));
  if (!spec.detached) encap += tlv(0xa0, octets(spec.content));
  std::string body = tlv(0x02, std::string(1, '\x01')) + sortedSet(digestAlgs, 0x31) + seq(encap);
  if (!certs.empty()) body += tlv(0xa0, certs);
  // Signers stay in the given order (valid BER, which OpenSSL reads as it
  // is), so that tests choose which SignerInfo comes first.
  std::string signerInfos;
  for (const auto& i : infos) signerInfos += i;
  body += set(signerInfos);
  return seq(oid(dotted(NID_pkcs7_signed)) + tlv(0xa0, seq(body)));
}

std::string makePkcs7Base64(const Pkcs7Spec& spec) {
  std::string der = makePkcs7Der(spec);
  return zmr::base64_encode(reinterpret_cast<const unsigned char*>(der.data()), der.size());
}

zmr::Pkcs7Ptr parsePkcs7(const std::string& der) { return decode<zmr::Pkcs7Ptr>(der, d2i_PKCS7, "PKCS#7"); }

zmr::Pkcs7Ptr makePkcs7(const Pkcs7Spec& spec) { return parsePkcs7(makePkcs7Der(spec)); }

std::string rsaRawSign(EVP_PKEY* key, const std::string& block) {
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t n = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(block.data());
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &n, in, block.size()) != 1)
    fail("raw RSA");
  std::string out(n, '\0');
  if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n, in, block.size()) != 1)
    fail("raw RSA");
  out.resize(n);
  return out;
}

std::string digestOf(const EVP_MD* md, const std::string& data) {
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), buf, &n, md, nullptr) != 1) fail("digest");
  return std::string(reinterpret_cast<char*>(buf), n);
}

// ---- OCSP ----

std::string generalizedTimeText(long offset, const std::string& fraction) {
  std::string t = timeText(offset, "%Y%m%d%H%M%S");
  return t + fraction + "Z";
}

OcspSpec ocspFor(const TestCert& responder, const X509* cert, const X509* issuer) {
  OcspSpec spec;
  spec.signer = &responder;
  OcspSingleSpec single;
  single.cert = cert;
  single.issuer = issuer;
  spec.singles.push_back(single);
  return spec;
}

std::string makeOcspBasicDer(const OcspSpec& spec) {
  if (spec.signer == nullptr) fail("OCSP response without signer");
  const X509* named = spec.responderId != nullptr ? spec.responderId : spec.signer->get();
  std::string tbs = spec.responderIdByKey ? tlv(0xa2, octets(keyHashOf(named)))
                                          : tlv(0xa1, nameDer(X509_get_subject_name(named)));
  tbs += generalizedTime(spec.producedAt.empty() ? generalizedTimeText(0) : spec.producedAt);
  std::string singles;
  for (const auto& s : spec.singles) singles += singleResponseDer(s);
  tbs += seq(singles);
  std::string extensions;
  if (spec.nonce) extensions += extensionDer({"1.3.6.1.5.5.7.48.1.2", octets(*spec.nonce)});
  for (const auto& e : spec.extensions) extensions += extensionDer(e);
  if (!extensions.empty()) tbs += tlv(0xa1, seq(extensions));
  tbs = seq(tbs);

  const EVP_MD* md = orSha256(spec.digest);
  EVP_PKEY* key = spec.signer->key.get();
  int sigNid = NID_undef;
  if (OBJ_find_sigid_by_algs(&sigNid, EVP_MD_get_type(md), EVP_PKEY_get_base_id(key)) != 1) fail("signature algorithm");
  std::string sigAlg = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA ? algorithmWithNull(sigNid) : seq(oid(dotted(sigNid)));
  std::string body = tbs + sigAlg + tlv(0x03, std::string(1, '\0') + sign(key, md, tbs));
  std::vector<const X509*> carried = spec.certs ? *spec.certs : std::vector<const X509*>{spec.signer->get()};
  if (!carried.empty()) {
    std::string certs;
    for (const X509* c : carried) certs += certDer(c);
    body += tlv(0xa0, seq(certs));
  }
  return seq(body);
}

zmr::OcspBasicRespPtr parseOcspBasic(const std::string& der) {
  return decode<zmr::OcspBasicRespPtr>(der, d2i_OCSP_BASICRESP, "OCSP response");
}

zmr::OcspBasicRespPtr makeOcspBasic(const OcspSpec& spec) { return parseOcspBasic(makeOcspBasicDer(spec)); }

std::string makeOcspResponseDer(const OcspSpec& spec) {
  return makeOcspEnvelopeDer(0, "1.3.6.1.5.5.7.48.1.1", makeOcspBasicDer(spec));
}

std::string makeOcspEnvelopeDer(int status, const std::optional<std::string>& type, const std::string& bytes) {
  std::unique_ptr<ASN1_ENUMERATED, zmr::OsslDeleter<ASN1_ENUMERATED_free>> value(ASN1_ENUMERATED_new());
  if (!value || ASN1_ENUMERATED_set(value.get(), status) != 1) fail("status");
  std::string content = encode(value.get(), i2d_ASN1_ENUMERATED);
  if (type) content += tlv(0xa0, seq(oid(*type) + octets(bytes)));
  return seq(content);
}

zmr::OcspRequestPtr makeOcspRequest(const X509* cert, const X509* issuer, const std::optional<std::string>& nonce) {
  zmr::OcspRequestPtr req(OCSP_REQUEST_new());
  OCSP_CERTID* id = req ? OCSP_cert_to_id(EVP_sha1(), cert, issuer) : nullptr;
  if (id == nullptr) fail("OCSP request");
  if (OCSP_request_add0_id(req.get(), id) == nullptr) {
    OCSP_CERTID_free(id);
    fail("OCSP request");
  }
  if (nonce &&
      OCSP_request_add1_nonce(req.get(), reinterpret_cast<unsigned char*>(const_cast<char*>(nonce->data())),
                              static_cast<int>(nonce->size())) != 1)
    fail("OCSP nonce");
  return req;
}

}  // namespace zmrtest
