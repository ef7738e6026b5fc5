#include <string>

#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "services/verifying/verifyingops.h"
#include "signedobjects/seid/sdointernal.h"
#include "store/threadstore.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

std::string_view textof(const sdotext& t) { return t ? std::string_view(*t) : std::string_view(); }

constexpr std::string_view kHashLine =
    "sdovalidate_comparehashagainstdata: An error occured trying to create a message digest of the sdo's data.\n";
constexpr std::string_view kSealClose =
    "seidsdovalidate_seidsdovalidate: An error occured verifying the SDOSeal signature and elements.\n";
constexpr std::string_view kDocumentClose =
    "seidsdovalidate_seidsdovalidate: An error occured verifying that the hash of the signedobject is equal to the "
    "signatureelements hashes.\n";

int hash(int session, std::string& out, std::string_view algorithm, std::string_view document) {
  if (int rc = hashdata(session, out, algorithm, document); rc != kOk) return fail(rc, kHashLine);
  return 0;
}

int verifyseal(const Session& s, const seidsdo& sdo) {
  const int session = s.number;
  const cmssignatureelement& seal = *sdo.seal->sdosignature->element;
  std::string signable;
  if (int rc = seidsdodataparttosignable(session, *sdo.datapart, signable, sdo.flavour); rc != kOk)
    return fail(rc,
                "sdovalidate_verifysealcmssigelement: An error occured trying to create a signable representation "
                "of the sdo datapart.\n");
  const int usages[] = {kUsageSigning};
  if (int rc = verifydata(s, textof(seal.cmssignature), reinterpret_cast<const unsigned char*>(signable.data()),
                          signable.size(), DataIs::content, usages, 1, ChainCheck::noDates);
      rc != kOk)
    return fail(rc,
                "seidsdovalidate_verifysealcmssigelement: An error occured trying to verify the sdoseal signature.\n");
  // The seal's own HashedData names no document: it is compared with nothing.
  if (int rc = seidverifycmssigelement(s, seal, 0); rc != kOk)
    return fail(rc, "seidsdovalidate_verifysealcmssigelement: An error occured trying to verify items in sdoseal .\n");
  return 0;
}

// The document kept in a classic SDO against its first two elements, each
// by the digest method it names itself (two signers may well use different
// ones). An SDO of fewer than two elements cannot be such an SDO.
int comparekeptdocument(int session, const seidsdo& sdo) {
  const std::string* document = keptdocument(sdo);
  if (document == nullptr)
    return fail(kSdoNoSignedObject,
                "sdovalidate_comparehashagainstdata: The signedobject is not present while requesting validation of "
                "the document.\n");
  const signatureelement* first = sdo.datapart->first.get();
  const signatureelement* pair[] = {first, first->next.get()};
  std::string sha1, sha256;
  for (const signatureelement* node : pair) {
    bool matches = false;
    if (node != nullptr) {
      const hasheddata& hashed = *node->element->hasheddata;
      const bool sha1method = textof(hashed.digestmethod) == "SHA-1";
      std::string& digest = sha1method ? sha1 : sha256;
      if (digest.empty()) {
        if (int rc = hash(session, digest, sha1method ? "sha1" : "sha256", *document); rc != kOk) return rc;
      }
      matches = textof(hashed.digestvalue) == digest;
    }
    if (!matches)
      return fail(kSdoDataHash,
                  "seidsdovalidate_seidcomparehashagainstdata: The hash of the document does not match the hash "
                  "stored in one of the dataparts signatureelements.\n");
  }
  return 0;
}

}  // namespace

int seidsdovalidate(int session, const seidsdocell* handle, int32_t documentcheck, std::optional<std::string_view> data,
                    int32_t count, int32_t sealrule, int32_t mode) {
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return seidsdovalidate(*s, handle, documentcheck, data, count, sealrule, mode);
}

int seidsdovalidate(const Session& s, const seidsdocell* handle, int32_t documentcheck,
                    std::optional<std::string_view> data, int32_t count, int32_t sealrule, int32_t mode) {
  const int session = s.number;
  if (int rc = enterservice(s); rc != kOk) return rc;
  if (mode < 0 || mode > 2) return kBadArgument;
  if (int rc = seidsdonullandconstraintchecker(session, handle); rc != kOk)
    return fail(rc, "seidsdotoxml_seidsdotoxml: The SDO does not contain all mandatory parameters.\n");
  const seidsdo& sdo = *handle->first;
  if (textof(sdo.version) != "1.0") return kSdoVersion;

  for (const signatureelement* node = sdo.datapart->first.get(); node != nullptr; node = node->next.get()) {
    if (int rc = seidverifycmssigelement(s, *node->element, 1); rc != kOk)
      return fail(rc,
                  "seidsdovalidate_seidsdovalidate: Verification of one of the signatureelements in the sdodatapart "
                  "failed.\n");
  }

  const std::string* kept = keptdocument(sdo);
  data = givendocument(data);
  std::optional<std::string_view> document = data;
  if (!document && kept != nullptr) document = *kept;
  std::string sha1, sha256;
  if (document) {
    if (int rc = hash(session, sha1, "sha1", *document); rc != kOk) return rc;
    if (int rc = hash(session, sha256, "sha256", *document); rc != kOk) return rc;
  }

  if (mode == 1) {
    if (data && kept != nullptr) {
      std::string keptsha256;
      if (int rc = hash(session, keptsha256, "sha256", *kept); rc != kOk) return rc;
      if (keptsha256 != sha256)
        return fail(kSdoDocHash,
                    "seidsdovalidate_seidsdovalidate: The hash of the document does not match the hash of the data in "
                    "the SDO.\n");
    } else if (!data && kept == nullptr) {
      return fail(kSdoNoContract,
                  "seidsdovalidate_seidsdovalidate: The contract must be present in the SDO or as input parameter "
                  "data.\n");
    }
  }

  int32_t elements = 0;
  for (const signatureelement* node = sdo.datapart->first.get(); node != nullptr; node = node->next.get()) {
    ++elements;
    if (!document) continue;
    const hasheddata& hashed = *node->element->hasheddata;
    const std::string& expected = textof(hashed.digestmethod) == "SHA-1" ? sha1 : sha256;
    if (textof(hashed.digestvalue) != expected)
      return fail(kSdoDocHash,
                  "seidsdovalidate_seidsdovalidate: The hash of the document does not match the hash in the "
                  "signatureelement.\n");
  }

  if (count > 0 && ((mode == 1 && elements != count) || (mode == 2 && elements < count)))
    return fail(kSdoSigCount,
                "seidsdovalidate_seidsdovalidate: The SDO does not contain the required number of signatures.\n");

  bool sealed = sdo.seal != nullptr;
  bool required = mode == 0 || sealrule == 0;
  bool forbidden = mode != 0 && sealrule == 1;
  if (!sealed && required)
    return fail(kSdoNotSealed,
                "seidsdovalidate_seidsdovalidate: The SDO is not sealed. Sealing of this SDO is required.\n");
  if (sealed && forbidden)
    return fail(kSdoSealed,
                "seidsdovalidate_seidsdovalidate: The SDO is sealed. It is required that this SDO is not sealed.\n");
  if (sealed) {
    if (int rc = verifyseal(s, sdo); rc != kOk) return fail(rc, kSealClose);
  }

  if (mode == 0 && documentcheck != 0) {
    if (int rc = comparekeptdocument(session, sdo); rc != kOk) return fail(rc, kDocumentClose);
  }
  return 0;
}

}  // namespace zmr
