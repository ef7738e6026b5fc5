#include <vector>

#include "misc/status.h"
#include "net/http_lib.h"
#include "services/certstatus/certstatusops.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/verifying/verifyingops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

constexpr Where kAt{"verifytransactionrequest::handleverifysign21: "};

// The signatures of clientpkcs7s: as many as there are commas, plus one.
std::vector<std::string_view> splitsignatures(std::string_view text) {
  std::vector<std::string_view> out;
  while (true) {
    size_t comma = text.find(',');
    out.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return out;
    text.remove_prefix(comma + 1);
  }
}

// One document's signature, verified over its signed data and its
// signer's certificate status asked for; the answer is kept in the
// document even when the status is not good.
int verifydocument(const Session& s, document& d, std::string_view signature) {
  const int session = s.number;
  if (!d.signeddata) return fail(kNoSignedData, kAt, "The signed data element is null.\n");
  std::vector<unsigned char> bytes;
  if (int rc = decodebase64(session, *d.signeddata, bytes); rc != kOk)
    return fail(rc, kAt, "Unable to base64 decode the signed data.\n");
  static constexpr int usages[] = {kUsageSigning};
  Pkcs7Ptr p7;
  if (int rc =
          verifydata(s, signature, bytes.data(), bytes.size(), DataIs::content, usages, 1, ChainCheck::policy, &p7);
      rc != kOk)
    return fail(rc, kAt, "Error occured during verification of signed data.\n");
  const std::string pkcs7(signature);
  std::string ocsp;
  std::optional<std::string> fullocsp;
  int rc = getcertstatus(s, pkcs7.c_str(), ocsp, nullptr, &fullocsp, p7.get());
  if (!ocsp.empty()) d.ocsp = std::move(ocsp);
  if (fullocsp) d.fullocsp = std::move(fullocsp);
  if (rc != kOk) return fail(rc, kAt, "Error occured during retrieval of certificate status.\n");
  d.clientpkcs7 = pkcs7;
  return kOk;
}

}  // namespace

int handleverifysign21(const Session& s, std::string_view form) {
  const int session = s.number;
  std::optional<std::string> serverocsp = formfield(form, "ocsp");
  if (!serverocsp) return fail(kNoOcsp, kAt, "\"ocsp\" missing in transaction data.\n");
  if (int rc = pushinfoitem(session, "serverOcsp", *serverocsp); rc != kOk)
    return fail(rc, kAt, "Could not set infoitem \"serverocsp\".\n");
  std::optional<std::string> joined = formfield(form, "clientpkcs7s");
  if (!joined) return fail(kNoPkcs7s, kAt, "\"pkcs7s\" missing in transaction data.\n");
  // Certificate status bills a personal certificate by the operation.
  if (int rc = pushinfoitem(session, "operation", "verifySign"); rc != kOk)
    return fail(rc, kAt, "Unable to set infoitem \"operation\".\n");
  const std::vector<std::string_view> signatures = splitsignatures(*joined);
  document* head = nullptr;
  if (int rc = getdocuments(session, &head); rc != kOk)
    return fail(rc, kAt, "Unable to retrieve signed data from session storage.\n");

  size_t verified = 0;
  document* d = head;
  for (; d != nullptr && verified < signatures.size() && !signatures[verified].empty(); d = d->next.get()) {
    if (int rc = verifydocument(s, *d, signatures[verified]); rc != kOk) return rc;
    ++verified;
  }
  size_t documents = 0;
  for (document* e = head; e != nullptr; e = e->next.get()) ++documents;
  if (verified != signatures.size() || verified != documents)
    return fail(kSignatureCount, kAt,
                "The number of documents set is not equal to the number of signatures received.\n");

  // The client's report and cpReport: undone together when either fails.
  PushedItems pushed;
  if (std::optional<std::string> report = formfield(form, "rtReport")) {
    if (int rc = handlereportdata(session, *report); rc != kOk)
      return fail(rc, kAt, "Error occured parsing rtReport.\n");
    if (int rc = pushinfoitem(session, "rtReport", *report); rc != kOk)
      return fail(rc, kAt, "Error setting infoitem \"rtReport\".\n");
  }
  std::optional<std::string> cpreport = formfield(form, "cpReport");
  std::string decoded;
  if (!cpreport || http_urldecode(*cpreport, decoded) != kOk) return fail(1, kAt, "Error occured decoding cpReport.\n");
  if (int rc = pushinfoitem(session, "cpReport", decoded); rc != kOk)
    return fail(rc, kAt, "Error occured setting infoitem \"cpReport\".\n");
  pushed.keep();
  return kOk;
}

}  // namespace zmr
