#include <array>

#include "misc/status.h"
#include "services/entry.h"
#include "services/verifying/verifyingops.h"
#include "tools/certtools.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

using CertReader = int (*)(int, X509*, std::string&);
using Pkcs7Reader = int (*)(int, PKCS7*, std::optional<std::string>&);

struct Item {
  const char* name;
  CertReader cert;    // reads the signer certificate, or
  Pkcs7Reader pkcs7;  // reads the PKCS#7 itself
  const char* line;   // after the reader's own lines; null: none
};

#define FROM_CERT(what) \
  "getpkcs7info_getpkcs7info: An error occured trying to retrieve the " what " from the certificate\n"
constexpr const char* kSigningTimeLine =
    "getpkcs7info_getpkcs7info: An error occured trying to retrieve the signingtime from the pkcs7\n";

constexpr std::array<Item, std::size(kPkcs7Items)> kItems = {{
    {"issuername", getissuername, nullptr, FROM_CERT("issuers subject name")},
    {"subjectname", getsubjectname, nullptr, FROM_CERT("subject name")},
    {"validfromdate", getvalidfromdate, nullptr, FROM_CERT("validfromdate")},
    {"validtodate", getvalidtodate, nullptr, FROM_CERT("validtodate")},
    {"versionnumber", getversionnumber, nullptr, FROM_CERT("versionnumber")},
    {"serialnumber", getserialnumber, nullptr, FROM_CERT("serialnumber")},
    {"keyalgorithm", getkeyalgorithm, nullptr, FROM_CERT("keyalgorithm")},
    {"keysize", getkeysize, nullptr, FROM_CERT("keysize")},
    {"uniqueid", getuniqueid, nullptr, FROM_CERT("uniqueid")},
    {"originator", getoriginator, nullptr, FROM_CERT("originator")},
    {"bankname", getbankname, nullptr, FROM_CERT("bankname")},
    {"dateofbirth", getdateofbirth, nullptr, FROM_CERT("dateofbirth")},
    {"policyoid", getpolicyoid, nullptr, FROM_CERT("policyoid")},
    {"commonname", getcommonname, nullptr, FROM_CERT("commonname")},
    {"signingcertificate", getsigningcertificate, nullptr, nullptr},
    {"keyusage", getkeyusage, nullptr, FROM_CERT("keyusage")},
    {"emailaddress", getemailaddress, nullptr, FROM_CERT("emailaddress")},
    {"signingtime", nullptr, getsigningtime, kSigningTimeLine},
    {"phonenumber", getphonenumber, nullptr,
     "getpkcs7info_getpkcs7info: An error occured trying to retrieve the phonenumber from the pkcs7\n"},
    {"signingtimelongstring", nullptr, getsigningtimelongstring, kSigningTimeLine},
}};
#undef FROM_CERT

constexpr bool sametable() {
  for (size_t i = 0; i < kItems.size(); ++i) {
    if (std::string_view(kItems[i].name) != kPkcs7Items[i]) return false;
  }
  return true;
}
static_assert(sametable(), "the exported item index must name the same items");

const Item* finditem(std::string_view name) {
  for (const Item& item : kItems) {
    if (name == item.name) return &item;
  }
  return nullptr;
}

}  // namespace

int openpkcs7signer(int session, std::string_view pkcs7base64, Pkcs7Ptr& p7, X509*& signer) {
  if (int rc = decodepkcs7(session, pkcs7base64, p7,
                           "getpkcs7info_getpkcs7info: An error occured trying to base64 decode the pkcs7 input.\n",
                           kInfoParse,
                           "getpkcs7info_getpkcs7info: An error occured trying to parse the der encoded pkcs7 input "
                           "to pkcs7 structure.\n");
      rc != kOk)
    return rc;
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0)
    return fail(kInfoNoSigners,
                "getpkcs7info_getpkcs7info: The pkcs7 does not contain any information about signer(s).\n");
  PKCS7_SIGNER_INFO* first = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  if (first == nullptr)
    return fail(kInfoNoSigners,
                "getpkcs7info_getpkcs7info: The pkcs7 does not contain any information about the signer.\n");
  signer = PKCS7_cert_from_signer_info(p7.get(), first);
  if (signer == nullptr)
    return fail(kInfoNoSignerCert,
                "getpkcs7info_getpkcs7info: Did not find the signing certificate from the pkcs7 signing "
                "information\n");
  return 0;
}

int readpkcs7item(int session, PKCS7* p7, X509* signer, std::string_view name, std::string& out) {
  const Item* item = finditem(name);
  if (item == nullptr)
    return fail(kInfoItem, "getpkcs7info_getpkcs7info: The requested item is not among those which can be retrieved\n");
  int rc = 0;
  std::optional<std::string> text;
  if (item->cert != nullptr) {
    text.emplace();
    rc = item->cert(session, signer, *text);
  } else {
    rc = item->pkcs7(session, p7, text);
  }
  if (rc != kOk) {
    if (item->line != nullptr) setlasterror(session, item->line);
    return rc;
  }
  if (!text) return fail(kInfoItem, "getpkcs7info_getpkcs7info: Error retrieving info item\n");
  out = std::move(*text);
  return 0;
}

int getpkcs7info(int session, std::string_view pkcs7base64, std::string_view item, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  Pkcs7Ptr p7;
  X509* signer = nullptr;
  if (int rc = openpkcs7signer(session, pkcs7base64, p7, signer); rc != kOk) return rc;
  return readpkcs7item(session, p7.get(), signer, item, out);
}

}  // namespace zmr
