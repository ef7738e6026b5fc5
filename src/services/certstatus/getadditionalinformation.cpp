#include <openssl/x509v3.h>

#include "misc/status.h"
#include "services/certstatus/certstatusops.h"
#include "store/threadstore.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

// One kind of additional information: the data extension, its status
// extension, the items they fill and the lines of failed pushes.
struct Kind {
  const char* data;
  const char* status;
  const char* item;
  const char* erritem;
  const char* absentline;
  const char* itemline;
  const char* errline;
};

constexpr Kind kKinds[] = {
    {"2.999.10.1.16.3.2", "2.999.10.1.16.3.2.1", "socialno", "socialnoerr",
     "Unable to set the social number error (Extension not present) additional information in merchant's session "
     "store\n",
     "Unable to set the social number additional information in merchant's session store\n",
     "Unable to set the social number error additional information in merchant's session store\n"},
    {"2.999.10.1.16.3.1", "2.999.10.1.16.3.1.1", "accountno", "accountnoerr",
     "Unable to set the account number error (Extension not present) additional information in merchant's session "
     "store\n",
     "Unable to set the account number additional information in merchant's session store\n",
     "Unable to set the account number error additional information in merchant's session store\n"},
    {"2.999.10.1.16.3.3", "2.999.10.1.16.3.3.1", "organisationno", "organisationnoerr",
     "Unable to set the organisation number error (Extension not present) additional information in merchant's "
     "session store\n",
     "Unable to set the organisation number additional information in merchant's session store\n",
     "Unable to set the organisation number error additional information in merchant's session store\n"},
};

int push(int session, std::string_view key, std::string_view value, const char* line) {
  int rc = pushinfoitem(session, key, value);
  if (rc != kOk) setlasterror(session, std::string("getcertstatus_getadditionalinformation: ").append(line));
  return rc;
}

std::string_view valueof(X509_EXTENSION* ext) {
  const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(ext);
  if (v == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(v)),
                          static_cast<size_t>(ASN1_STRING_length(v)));
}

// Every data extension with a value, in the response's order.
int pushdata(int session, OCSP_BASICRESP* basic) {
  for (int i = 0; i < OCSP_BASICRESP_get_ext_count(basic); ++i) {
    X509_EXTENSION* ext = OCSP_BASICRESP_get_ext(basic, i);
    std::string_view value = valueof(ext);
    if (value.empty()) continue;
    std::string oid = oidtext(X509_EXTENSION_get_object(ext));
    for (const Kind& k : kKinds) {
      if (oid != k.data) continue;
      if (int rc = push(session, k.item, value, k.itemline); rc != kOk) return rc;
    }
  }
  return kOk;
}

}  // namespace

int getadditionalinformation(int session, OCSP_BASICRESP* basic) {
  int count = OCSP_BASICRESP_get_ext_count(basic);
  if (count <= 0) {
    for (const Kind& k : kKinds) {
      if (int rc = push(session, k.erritem, "Extension not present", k.absentline); rc != kOk) return rc;
    }
    return kOk;
  }
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = OCSP_BASICRESP_get_ext(basic, i);
    std::string oid = oidtext(X509_EXTENSION_get_object(ext));
    for (const Kind& k : kKinds) {
      if (oid != k.status) continue;
      std::string_view status = valueof(ext);
      int rc = status == "ok" || status == "Ok" || status == "OK" ? pushdata(session, basic)
                                                                  : push(session, k.erritem, status, k.errline);
      if (rc != kOk) return rc;
    }
  }
  return kOk;
}

}  // namespace zmr
