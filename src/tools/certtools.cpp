// Certificate field readers.
#include "tools/certtools.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools_asn1.h"

namespace zmr {
namespace {

// Bytes of a string object up to its first NUL.
std::string textupton(const ASN1_STRING* s) {
  const char* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(s));
  size_t n = static_cast<size_t>(ASN1_STRING_length(s));
  return std::string(data, strnlen(data, n));
}

std::string biotext(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool extensionis(X509_EXTENSION* ext, std::string_view oid) { return oidtext(X509_EXTENSION_get_object(ext)) == oid; }

// Display form of a certificate time through its GeneralizedTime.
int displaytime(const ASN1_TIME* t, std::string& out) {
  GeneralizedTimePtr g(t != nullptr ? ASN1_TIME_to_generalizedtime(t, nullptr) : nullptr);
  if (!g) return 1;
  return gentimetostring(g.get(), out) ? 0 : 2;
}

// The first signer's UTCTime signingTime made into text by convert;
// nullopt when it has none. 6016 without signer information, 6015 when
// convert fails.
template <typename Convert>
int signingtimetext(PKCS7* p7, const char* nosigner, const char* unconvertible, Convert convert,
                    std::optional<std::string>& out) {
  STACK_OF(PKCS7_SIGNER_INFO)* sis = p7 != nullptr ? PKCS7_get_signer_info(p7) : nullptr;
  if (sis == nullptr || sk_PKCS7_SIGNER_INFO_num(sis) <= 0) return fail(kTimeNoSigners, nosigner);
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sis, 0);
  ASN1_TYPE* t = si != nullptr ? PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime) : nullptr;
  if (t == nullptr || t->type != V_ASN1_UTCTIME || t->value.utctime == nullptr) {
    out.reset();
    return kOk;
  }
  std::string text;
  if (!convert(t->value.utctime, text)) return fail(kCertTimeText, unconvertible);
  out = std::move(text);
  return kOk;
}

int printname(const X509_NAME* name, std::string& out) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return 1;
  std::string printed = biotext(bio.get());
  out.clear();
  out.reserve(printed.size());
  for (size_t i = 0; i < printed.size(); ++i) {
    char c = printed[i];
    if (c != '/') {
      out.push_back(c);
    } else if (i + 1 < printed.size() && printed[i + 1] == '/') {
      out.push_back('/');
      ++i;
    } else if (i != 0) {
      out.push_back(',');
    }
  }
  return 0;
}

// Last entry of the given kind in the subject, or nullptr.
const ASN1_STRING* lastentry(X509* cert, int nid) {
  const X509_NAME* name = X509_get_subject_name(cert);
  int last = -1;
  for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0; i = X509_NAME_get_index_by_NID(name, nid, i))
    last = i;
  if (last < 0) return nullptr;
  return X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last));
}

// The extension list, or the reader's failure for an absent or empty one.
struct ListLines {
  int code;
  const char* absent;
  const char* empty;
};

int extensionlist(X509* cert, const ListLines& lines, const STACK_OF(X509_EXTENSION) * &out) {
  out = X509_get0_extensions(cert);
  if (out == nullptr) return fail(lines.code, lines.absent);
  if (sk_X509_EXTENSION_num(out) <= 0) return fail(lines.code, lines.empty);
  return kOk;
}

// Shared walk of getbankname and getoriginator: the last extension with
// the OID wins.
int genericoctetextension(X509* cert, std::string_view oid, const ListLines& lines, const char* nomatch,
                          const char* undecodable, std::string& out) {
  const STACK_OF(X509_EXTENSION)* exts = nullptr;
  if (int rc = extensionlist(cert, lines, exts); rc != kOk) return rc;
  std::optional<std::string> found;
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    if (!extensionis(ext, oid)) continue;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    const unsigned char* p = ASN1_STRING_get0_data(data);
    long len = ASN1_STRING_length(data);
    GenericOctetStringExtensionPtr value(d2i_GenericOctetStringExtension(nullptr, &p, len));
    if (!value || value->value == nullptr || p != ASN1_STRING_get0_data(data) + len)
      return fail(lines.code, undecodable);
    found = textupton(value->value);
  }
  if (!found) return fail(lines.code, nomatch);
  out = std::move(*found);
  return kOk;
}

// Visits the attributes of every subjectDirectoryAttributes extension in
// order; visit returns true to stop. An extension without attributes fails
// at once with noattribute.
template <typename Visit>
int walkdirectoryattributes(X509* cert, const ListLines& lines, const char* noattribute, Visit visit) {
  const STACK_OF(X509_EXTENSION)* exts = nullptr;
  if (int rc = extensionlist(cert, lines, exts); rc != kOk) return rc;
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) != NID_subject_directory_attributes) continue;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    const unsigned char* p = ASN1_STRING_get0_data(data);
    long len = ASN1_STRING_length(data);
    SubjectDirectoryAttributesPtr attrs(d2i_SUBJECT_DIRECTORY_ATTRIBUTES(nullptr, &p, len));
    if (!attrs || sk_X509_ATTRIBUTE_num(attrs.get()) <= 0 || p != ASN1_STRING_get0_data(data) + len)
      return fail(lines.code, noattribute);
    for (int j = 0; j < sk_X509_ATTRIBUTE_num(attrs.get()); ++j) {
      X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(attrs.get(), j);
      if (attr == nullptr) continue;
      std::string oid = oidtext(X509_ATTRIBUTE_get0_object(attr));
      ASN1_TYPE* first = X509_ATTRIBUTE_count(attr) > 0 ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
      if (visit(oid, first)) return kOk;
    }
  }
  return kOk;
}

}  // namespace

std::string oidtext(const ASN1_OBJECT* obj) {
  int n = obj != nullptr ? OBJ_obj2txt(nullptr, 0, obj, 1) : 0;
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  OBJ_obj2txt(out.data(), n + 1, obj, 1);
  out.resize(static_cast<size_t>(n));
  return out;
}

int getvalidfromdate(int, X509* cert, std::string& out) {
  switch (displaytime(cert != nullptr ? X509_get0_notBefore(cert) : nullptr, out)) {
    case 0:
      return kOk;
    case 1:
      return fail(kCertNotBefore,
                  "certtools_getvalidfromdate: An error occured trying to extract the notBefore date from the "
                  "certificate.\n");
    default:
      return fail(kCertTimeText, "getvalidfromdate: The ValidFrom date could not be parsed to ascii.\n");
  }
}

int getvalidtodate(int, X509* cert, std::string& out) {
  switch (displaytime(cert != nullptr ? X509_get0_notAfter(cert) : nullptr, out)) {
    case 0:
      return kOk;
    case 1:
      return fail(kCertNotAfter,
                  "certtools_getvalidtodate: An error occured trying to extract the notAfter date from the "
                  "certificate.\n");
    default:
      return fail(kCertTimeText, "certtools_getvalidtodate: The ValidTo date could not be parsed to ascii.\n");
  }
}

int getdaysuntilexpire(int, X509* cert, int& days) {
  int64_t notafter = 0;
  if (cert == nullptr || !asn1timetotime(X509_get0_notAfter(cert), notafter))
    return fail(kCertNotAfter,
                "certtools_getdaysuntilexpire: An error occured trying to extract the notAfter date from the "
                "certificate.\n");
  double d = std::trunc(static_cast<double>(notafter - static_cast<int64_t>(time(nullptr))) / 86400.0);
  days = static_cast<int>(d);
  return kOk;
}

int getsigningtime(int, PKCS7* p7, std::optional<std::string>& out) {
  return signingtimetext(
      p7, "certtools_getsigningtime: No signers information in pkcs7.\n",
      "certtools_getsigningtime: The signingtime date could not be parsed to ascii.\n",
      [](const ASN1_UTCTIME* t, std::string& text) { return displaytime(t, text) == 0; }, out);
}

int getsigningtimelongstring(int, PKCS7* p7, std::optional<std::string>& out) {
  return signingtimetext(
      p7, "certtools_getsigningtimelong: No signers information in pkcs7.\n",
      "certtools_getsigningtimelong: The signingtime date could not be converted.\n",
      [](const ASN1_UTCTIME* t, std::string& text) {
        int64_t seconds = 0;
        if (!asn1timetotime(t, seconds)) return false;
        text = std::to_string(seconds) + "000";
        return true;
      },
      out);
}

int getsubjectname(int, X509* cert, std::string& out) {
  if (cert == nullptr || printname(X509_get_subject_name(cert), out) != 0)
    return fail(kOutOfMemory, "certtools_getsubjectname: The subjectname in the certificate is not parseable.\n");
  return kOk;
}

int getissuername(int, X509* cert, std::string& out) {
  if (cert == nullptr || printname(X509_get_issuer_name(cert), out) != 0)
    return fail(kOutOfMemory, "certtools_getissuer: The issuername in the certificate is not parseable.\n");
  return kOk;
}

int readcommonname(X509* cert, std::string& out, const char** line) {
  *line = "certtools_getcommonname: The commonname entry is missing or empty in the certificate\n";
  const ASN1_STRING* cn = cert != nullptr ? lastentry(cert, NID_commonName) : nullptr;
  if (cn == nullptr) return kNoCommonName;
  BioPtr bio(BIO_new(BIO_s_mem()));
  // Flags 0: one-byte types as stored, wider characters as Latin-1 bytes
  // up to U+00FF and as \UXXXX / \WXXXXXXXX escapes above.
  if (!bio) {
    *line = nullptr;
    return kOutOfMemory;
  }
  if (ASN1_STRING_print_ex(bio.get(), cn, 0) < 0) return kNoCommonName;
  std::string text = biotext(bio.get());
  if (text.empty()) return kNoCommonName;
  out = std::move(text);
  return kOk;
}

int getcommonname(int session, X509* cert, std::string& out) {
  const char* line = nullptr;
  int rc = readcommonname(cert, out, &line);
  if (rc != kOk && line != nullptr) setlasterror(session, line);
  return rc;
}

int getuniqueid(int, X509* cert, std::string& out) {
  const ASN1_STRING* s = nullptr;
  if (cert != nullptr) {
    s = lastentry(cert, NID_serialNumber);
    if (s == nullptr) s = lastentry(cert, NID_organizationalUnitName);
  }
  if (s == nullptr)
    return fail(kNoUniqueId,
                "certtools_getuniqueid: Did not find serialnumber (PID) nor organizational unit name (OU) in the "
                "certificate.\n");
  out = textupton(s);
  return kOk;
}

int getemailaddress(int, X509* cert, std::string& out) {
  EmailsPtr emails(cert != nullptr ? X509_get1_email(cert) : nullptr);
  const char* first =
      emails && sk_OPENSSL_STRING_num(emails.get()) > 0 ? sk_OPENSSL_STRING_value(emails.get(), 0) : nullptr;
  if (first == nullptr || *first == '\0')
    return fail(kNoEmail, "certtools_getemailaddress: The emailaddress entry is missing or empty in the certificate\n");
  out = first;
  return kOk;
}

int getserialnumber(int session, X509* cert, std::string& out) {
  (void)session;
  const ASN1_INTEGER* serial = cert != nullptr ? X509_get0_serialNumber(cert) : nullptr;
  BignumPtr bn(serial != nullptr ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr);
  OsslMemoryPtr<char> text(bn ? BN_bn2dec(bn.get()) : nullptr);
  if (!text) return kOutOfMemory;
  out = text.get();
  return kOk;
}

int getversionnumber(int session, X509* cert, std::string& out) {
  (void)session;
  if (cert == nullptr) return kBadArgument;
  out = std::to_string(X509_get_version(cert) + 1);
  return kOk;
}

namespace {

// The certificate's public key, nullptr when it cannot be read. A parse
// that ran out of memory keeps the certificate without its key, or with a
// key whose sizes were never worked out: when the key's own bytes decode
// now, the key was lost to memory, not unreadable (33001).
int publickey(X509* cert, EVP_PKEY*& key) {
  key = cert != nullptr ? X509_get0_pubkey(cert) : nullptr;
  if (key != nullptr && EVP_PKEY_get_size(key) > 0 && EVP_PKEY_get_bits(key) > 0) return kOk;
  ERR_clear_error();
  key = nullptr;
  X509_PUBKEY* encoded = cert != nullptr ? X509_get_X509_PUBKEY(cert) : nullptr;
  if (encoded == nullptr) return kOk;
  unsigned char* der = nullptr;
  int n = i2d_X509_PUBKEY(encoded, &der);
  OsslMemoryPtr<unsigned char> owner(der);
  if (n <= 0) {
    ERR_clear_error();
    return kOutOfMemory;
  }
  const unsigned char* p = der;
  EvpPkeyPtr again(d2i_PUBKEY(nullptr, &p, n));
  bool nomemory = takeallocationfailure();
  return again || nomemory ? kOutOfMemory : kOk;
}

}  // namespace

int getkeyalgorithm(int, X509* cert, std::string& out) {
  EVP_PKEY* key = nullptr;
  if (int rc = publickey(cert, key); rc != kOk) return rc;
  int id = key != nullptr ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
  if (id == EVP_PKEY_RSA) {
    out = "RSA";
  } else if (id == EVP_PKEY_DSA) {
    out = "DSA";
  } else {
    return fail(kKeyAlgorithm, "certtools_getkeyalgorithm: The keyalgorithm in the certificate is not supported.");
  }
  return kOk;
}

int getkeysize(int session, X509* cert, std::string& out) {
  (void)session;
  EVP_PKEY* key = nullptr;
  if (int rc = publickey(cert, key); rc != kOk) return rc;
  long bits = 0;
  if (key != nullptr) {
    // RSA counts whole modulus bytes, as merchants have always been shown;
    // for other keys the byte count would be a signature size, not a key size.
    bits = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA ? 8L * EVP_PKEY_get_size(key) : EVP_PKEY_get_bits(key);
  }
  out = std::to_string(bits < 0 ? 0 : bits);
  return kOk;
}

int readpolicyoid(X509* cert, std::string& out, const char** line) {
  const STACK_OF(X509_EXTENSION)* exts = X509_get0_extensions(cert);
  if (exts == nullptr) {
    *line = "certtools_getpolicyoid: The certificates cert_info structure did not contain any extensions.\n";
    return kNoPolicyOid;
  }
  if (sk_X509_EXTENSION_num(exts) <= 0) {
    *line = "certtools_getpolicyoid: The certificates cert_info structures extensionlist is empty\n";
    return kNoPolicyOid;
  }
  std::string result;
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) != NID_certificate_policies) continue;
    ERR_clear_error();
    PoliciesPtr policies(static_cast<CERTIFICATEPOLICIES*>(X509V3_EXT_d2i(ext)));
    // An extension that does not decode is passed over; one that could not
    // be decoded for want of memory is no answer.
    bool nomemory = false;
    for (unsigned long e; !policies && (e = ERR_get_error()) != 0;)
      nomemory |= ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE;
    if (nomemory) {
      *line = "";
      return kOutOfMemory;
    }
    if (!policies) continue;
    POLICYINFO* first = sk_POLICYINFO_num(policies.get()) > 0 ? sk_POLICYINFO_value(policies.get(), 0) : nullptr;
    if (first == nullptr || first->policyid == nullptr) {
      *line = "certtools_getpolicyoid: The certificates policy extension holds no policy.\n";
      return kNoPolicyOid;
    }
    result = oidtext(first->policyid);
  }
  out = std::move(result);
  return kOk;
}

int getpolicyoid(int, X509* cert, std::string& out) {
  const char* line = nullptr;
  int rc = readpolicyoid(cert, out, &line);
  return rc == kOk ? kOk : fail(rc, line);
}

int getsigningcertificate(int session, X509* cert, std::string& out) {
  unsigned char* der = nullptr;
  int n = cert != nullptr ? i2d_X509(cert, &der) : -1;
  OsslMemoryPtr<unsigned char> owner(der);
  if (n <= 0) return kOutOfMemory;
  std::string text;
  int rc = encodebase64(session, der, static_cast<size_t>(n), text);
  if (rc != kOk)
    return fail(rc,
                "certtools_getsigningcertificate: An error occured trying to base64encode the DER coded signing "
                "certificate\n");
  out = std::move(text);
  return kOk;
}

int getaialocation(int, X509* cert, std::string& out) {
  const STACK_OF(X509_EXTENSION)* exts = nullptr;
  static constexpr ListLines kLines = {
      kNoAia, "certtools_getaialocation: The certificates cert_info structure does not contain any extensions.\n",
      "certtools_getaialocation: The certificates cert_info extensionlist does not contain any entries.\n"};
  if (int rc = extensionlist(cert, kLines, exts); rc != kOk) return rc;
  X509_EXTENSION* aia = nullptr;
  for (int i = 0; i < sk_X509_EXTENSION_num(exts) && aia == nullptr; ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) == NID_info_access) aia = ext;
  }
  if (aia == nullptr)
    return fail(kNoAia,
                "certtools_getaialocation: The certificate does not contain an authority information access "
                "extension.\n");
  AiaPtr list(static_cast<AUTHORITY_INFO_ACCESS*>(X509V3_EXT_d2i(aia)));
  if (!list)
    return fail(kNoAia, "certtools_getaialocation: The certificate does not contain an access description stack.\n");
  if (sk_ACCESS_DESCRIPTION_num(list.get()) <= 0)
    return fail(kNoAia, "certtools_getaialocation: he certificate does not contain any access descriptions.\n");
  for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(list.get()); ++i) {
    const ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(list.get(), i);
    if (ad == nullptr || OBJ_obj2nid(ad->method) != NID_ad_OCSP || ad->location == nullptr ||
        ad->location->type != GEN_URI || ad->location->d.uniformResourceIdentifier == nullptr)
      continue;
    out = textupton(ad->location->d.uniformResourceIdentifier);
    return kOk;
  }
  return fail(kNoAia, "certtools_getaialocation: The certificate does not contain a uniformResourceIdentifier.\n");
}

int getphonenumber(int, X509* cert, std::string& out) {
  static constexpr ListLines kLines = {
      kNoPhoneNumber,
      "certtools_getphonenumber: The certificates cert_info structure did not contain any extensions.\n",
      "certtools_getphonenumber: The certificates cert_info structures extensionlist is empty.\n"};
  std::optional<std::string> found;
  int rc = walkdirectoryattributes(
      cert, kLines,
      "certtools_getphonenumber: The certificates extension did not contain any subject directory attributes.\n",
      [&](const std::string& oid, const ASN1_TYPE* value) {
        if (oid != "2.5.4.20" || value == nullptr) return false;
        if (value->type != V_ASN1_PRINTABLESTRING && value->type != V_ASN1_UTF8STRING) return false;
        const ASN1_STRING* s = value->value.asn1_string;
        if (s == nullptr) return false;
        found.emplace(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                      static_cast<size_t>(ASN1_STRING_length(s)));
        return true;
      });
  if (rc != kOk) return rc;
  if (!found)
    return fail(kNoPhoneNumber,
                "certtools_getphonenumber: The certificates did not contain the phone number attribute.\n");
  out = std::move(*found);
  return kOk;
}

int getdateofbirth(int, X509* cert, std::string& out) {
  static constexpr ListLines kLines = {
      kNoDateOfBirth,
      "certtools_getdateofbirth: The certificates cert_info structure did not contain any extensions.\n",
      "certtools_getdateofbirth: The certificates cert_info structures extensionlist is empty.\n"};
  std::optional<std::string> candidate;
  int rc = walkdirectoryattributes(
      cert, kLines,
      "certtools_getdateofbirth: The certificates extension did not contain any subject directory attributes.\n",
      [&](const std::string& oid, const ASN1_TYPE* value) {
        if (oid != "1.3.6.1.5.5.7.9.1" || value == nullptr || value->type != V_ASN1_GENERALIZEDTIME) return false;
        std::string text;
        if (gentimetostring(value->value.generalizedtime, text))
          candidate = std::move(text);
        else
          candidate.reset();
        return false;  // the last one wins
      });
  if (rc != kOk) return rc;
  if (!candidate)
    return fail(kNoDateOfBirth, "certtools_getdateofbirth: The certificates did not contain the date of birth.\n");
  out = std::move(*candidate);
  return kOk;
}

int getbankname(int, X509* cert, std::string& out) {
  static constexpr ListLines kLines = {
      kNoBankName, "certtools_getbankname: The certificates cert_info structure did not contain any extensions.\n",
      "certtools_getbankname: The certificates cert_info structures extensionlist did not contain any entries.\n"};
  return genericoctetextension(
      cert, "2.999.10.1.16.2.2", kLines,
      "certtools_getbankname: The certificates cert_info structures extensionlist did not contain a bankname entry.\n",
      "certtools_getbankname: The bankname extension in the certificate could not be decoded.\n", out);
}

int getoriginator(int, X509* cert, std::string& out) {
  static constexpr ListLines kLines = {
      kNoOriginator, "certtools_getoriginator: The certificates cert_info structure did not contain any extensions.\n",
      "certtools_getoriginator: The certificates cert_info structures extensionlist is empty.\n"};
  return genericoctetextension(cert, "2.999.10.1.16.2.1", kLines,
                               "certtools_getoriginator: The certificates does not contain an originator extension.\n",
                               "certtools_getoriginator: The originator extension in the certificate could not be "
                               "decoded.\n",
                               out);
}

int get_merchant_name(const Session& s, std::string& out) {
  const int session = s.number;
  out.clear();
  X509* cert = nullptr;
  if (getsigncert(s, &cert) != kOk || cert == nullptr)
    return fail(kMerchantNoCert, "certtools_getmerchantname: The signer certificate could not be found.\n");
  std::string name;
  if (getcommonname(session, cert, name) != kOk)
    return fail(kMerchantNoName, "certtools_getmerchantname: Unable to get merchant name.\n");
  out = std::move(name);
  return kOk;
}

int get_merchant_id(const Session& s, std::string& out) {
  const int session = s.number;
  out.clear();
  X509* cert = nullptr;
  if (getauthcert(s, &cert) != kOk || cert == nullptr)
    return fail(kMerchantNoCert, "certtools_getmerchantid: The signer certificate could not be found.\n");
  std::string serial, originator;
  if (getserialnumber(session, cert, serial) != kOk || getoriginator(session, cert, originator) != kOk)
    return fail(kMerchantNoId, "certtools_getmerchantid: Unable to get merchant id.\n");
  out = serial + "-" + originator;
  return kOk;
}

}  // namespace zmr
