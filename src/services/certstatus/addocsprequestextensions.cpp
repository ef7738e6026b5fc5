#include <openssl/rand.h>

#include <climits>

#include "misc/status.h"
#include "services/certstatus/certstatusops.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr const char* kOidWanted = "1.2.3.4";
constexpr const char* kOidBilling = "2.999.10.1.15.200.1.2.1";
constexpr const char* kOidRfc6960 = "2.999.10.1.16.7.1";
constexpr int kBillingRandomBytes = 20;

constexpr Where kAt{"getcertstatus_addocsprequestextensions: "};

int nomemory() { return fail(kOutOfMemory, kAt, "Error allocating memory.\n"); }

// A non-critical extension whose value is the text itself, without DER
// around it.
bool addrawextension(OCSP_REQUEST* request, const char* oid, std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return false;
  Asn1ObjectPtr object(OBJ_txt2obj(oid, 1));
  OctetStringPtr value(ASN1_OCTET_STRING_new());
  if (!object || !value ||
      ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size())) != 1)
    return false;
  ExtensionPtr ext(X509_EXTENSION_create_by_OBJ(nullptr, object.get(), 0, value.get()));
  return ext && OCSP_REQUEST_add_ext(request, ext.get(), -1) == 1;
}

bool isset(int session, std::string_view key, std::string& value) { return popinfoitem(session, key, value) == kOk; }

// The wish for additional end-user data: exists when any of the three
// items does, whatever their values.
std::optional<std::string> wantedtext(int session) {
  struct Wish {
    const char* item;
    const char* text;
  };
  static constexpr Wish wishes[] = {{"addsocialno", "2.999.10.1.16.3.2"},
                                    {"addaccountno", ",2.999.10.1.16.3.1"},
                                    {"addorganisationno", ",2.999.10.1.16.3.3"}};
  std::optional<std::string> text;
  for (const Wish& w : wishes) {
    std::string value;
    if (!isset(session, w.item, value)) continue;
    if (!text) text.emplace();
    if (value == "true") text->append(w.text);
  }
  return text;
}

// A look-up where absence is normal; another failure is reported.
int lookup(int session, std::string_view key, std::optional<std::string>& out, std::string_view line) {
  out.reset();
  std::string value;
  int rc = popinfoitem(session, key, value);
  if (rc == kNotFound) return kOk;
  if (rc != kOk) return fail(rc, kAt, line);
  out = std::move(value);
  return kOk;
}

}  // namespace

int addocsprequestextensions(int session, OCSP_REQUEST* request, std::string_view usage, bool rfc6960,
                             std::string& billing) {
  billing.clear();
  if (std::optional<std::string> wanted = wantedtext(session); wanted && !addrawextension(request, kOidWanted, *wanted))
    return nomemory();

  std::optional<std::string> prefix, traceid;
  if (int rc = lookup(session, "BillingPrefix", prefix,
                      "An error occured retrieving the BillingPrefix parameter from merchant's session store.\n");
      rc != kOk)
    return rc;
  unsigned char random[kBillingRandomBytes];
  if (RAND_bytes(random, sizeof random) != 1) return fail(kRandomFailed, kAt, "Unable to create OCSP nonce value.\n");
  std::string text =
      prefix ? *prefix + ";" : std::string(usage.find("authentication") != std::string_view::npos ? "A;;" : "S;;");
  text += base64_encode(random, sizeof random);
  if (int rc = lookup(session, "traceId", traceid,
                      "An error occurred retrieving the client's trace id from merchant's session store.\n");
      rc != kOk)
    return rc;
  if (traceid) text.append(";").append(*traceid);
  if (!addrawextension(request, kOidBilling, text)) return nomemory();

  if (rfc6960 && usage == "signing" && !addrawextension(request, kOidRfc6960, kOcspRfc6960)) return nomemory();
  billing = std::move(text);
  return kOk;
}

}  // namespace zmr
