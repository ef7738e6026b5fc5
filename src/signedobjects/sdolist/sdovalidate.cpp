// Validation of an SDO list: its mandatory items, policy, stored document,
// SDO signature, each signature element with its OCSP answer, the time
// between the two answers and the scheme's constraints, in that order.
// The first failure ends it.
#include <openssl/ocsp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "services/verifying/verifyingops.h"
#include "signedobjects/sdolist/sdolistinternal.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

constexpr int kUsages[] = {2};  // nonRepudiation

bool hasbytes(const sdobytes& bytes) { return bytes && !bytes->empty(); }

int verifymandatory(const sdolist* list) {
  if (list == nullptr || !list->first)
    return fail(kSdoListEmpty, "sdovalidate_verifymandatory: The sdo contains no sdolist.\n");
  const sdoelement& sdo = *list->first;
  if (sdo.nextsdoelement)
    return fail(kSdoListMany,
                "sdovalidate_verifymandatory: The sdolist contains more than one entry, the nextsdoelement is set.\n");
  if (!sdo.szzmr_sdoversion) return kSdoListNoVersion;
  if (!sdo.sdodatapart) return kSdoListNoDataPart;
  if (!sdo.szsdosignature) return kSdoListNoSignature;
  const sdodatapart& datapart = *sdo.sdodatapart;
  if (!datapart.szpolicy) return kSdoListNoPolicy;
  if (!datapart.siglist) return kSdoListNoSigList;
  if (!datapart.szdatatype) return kSdoListNoDataType;
  if (!datapart.szhasheddata) return kSdoListNoHash;
  return 0;
}

int comparehashagainstdata(int session, const sdoelement& sdo) {
  if (!hasbytes(sdo.storeddata))
    return fail(kSdoListNoData,
                "sdovalidate_comparehashagainstdata: The sdo does not contain the data, therefore it is impossible "
                "to verify the data itself.\n");
  std::string document, digest;
  if (int rc = encodebase64(session, sdo.storeddata->data(), sdo.storeddata->size(), document); rc != kOk) return rc;
  if (int rc = hashdata(session, digest, "sha1", document); rc != kOk) return rc;
  std::vector<unsigned char> bytes;
  if (int rc = decodebase64(session, digest, bytes); rc != kOk) return rc;
  const std::vector<unsigned char>& stored = *sdo.sdodatapart->szhasheddata;
  if (bytes.size() != stored.size())
    return fail(kSdoListHashLength,
                "sdovalidate_comparehashagainstdata: The length of the message digest of the sdo's data does not "
                "equal ihasheddata .\n");
  if (!std::equal(bytes.begin(), bytes.end(), stored.begin()))
    return fail(kSdoListHashLength,
                "sdovalidate_comparehashagainstdata: The message digest of the sdo's data does not equal "
                "szhasheddata.\n");
  return 0;
}

int verifysignature(const Session& s, const sdoelement& sdo) {
  const int session = s.number;
  std::string signable;
  if (int rc = sdodataparttosignable(session, *sdo.sdodatapart, signable); rc != kOk)
    return fail(rc,
                "sdovalidate_verifysignature: An error occured trying to create a signable representation of the "
                "sdo datapart.\n");
  const std::string& signature = *sdo.szsdosignature;
  Pkcs7Ptr p7;
  if (int rc = verifydata(s, signature, reinterpret_cast<const unsigned char*>(signable.data()), signable.size(),
                          DataIs::content, kUsages, 1, ChainCheck::noDates, &p7);
      rc != kOk)
    return fail(rc,
                "sdovalidate_verifysignature: An error occured trying to verify the signature of the sdo's "
                "datapart.\n");
  if (int rc = issigningtimeincertvalidity(session, signature, p7); rc != kOk)
    return fail(rc,
                "sdovalidate_verifysignature: An error occured trying to verify that the signingtime is between "
                "certificate notbefore and notafter.\n");
  return 0;
}

// A field of the date-time read as the C library reads a number; one that
// reads as 0 must at least begin with the digit.
bool datetimefield(std::string_view text, size_t at, size_t length, long low, long high) {
  char field[5] = {};
  std::memcpy(field, text.data() + at, length);
  long value = std::strtol(field, nullptr, 10);
  if (value == 0 && field[0] != '0') return false;
  return value >= low && value <= high;
}

bool verifydatetimeformat(int session, std::string_view t) {
  constexpr std::string_view p = "sdovalidate_verifydatetimeformat: ";
  auto refuse = [&](std::string_view text) {
    setlasterror(session, std::string(p).append(text));
    return false;
  };
  if (t.size() != 19) return refuse("The datetime string is not of size 19.\n");
  if (t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':')
    return refuse("One or several of the separators in the datetime string is invalid.\n");
  if (!datetimefield(t, 0, 4, 2000, 2100))
    return refuse("The year in the datetime string is less than 2000 or above 2100.\n");
  if (!datetimefield(t, 5, 2, 1, 12)) return refuse("The month in the datetime string is less than 1 or above 12.\n");
  if (!datetimefield(t, 8, 2, 1, 31)) return false;
  if (!datetimefield(t, 11, 2, 0, 23)) return refuse("The time in the datetime string is less than 0 or above 23.\n");
  if (!datetimefield(t, 14, 2, 0, 59)) return refuse("The minute in the datetime string is less than 0 or above 59.\n");
  if (!datetimefield(t, 17, 2, 0, 59)) return refuse("The second in the datetime string is less than 0 or above 59.\n");
  return true;
}

int validateocsp(const Session& s, const sigelement& element, std::string_view signature, PKCS7* parsed) {
  if (!element.szocspresponse)
    return fail(kSdoNoOcsp,
                "sdovalidate_validateocsp: The signature element in the sdo does not contain an ocsp response.\n");
  if (element.szocspresponse->empty())
    return fail(kSdoOcspEmpty,
                "sdovalidate_validateocsp: The signature element in the sdo does not contain an ocsp response "
                "length.\n");
  return validateocspvalue(s, element.szocspresponse->data(), element.szocspresponse->size(), signature,
                           "sdovalidate_validateocsp: ", parsed);
}

int verifysignatureelement(const Session& s, const sdodatapart& datapart, const sigelement& element) {
  const int session = s.number;
  const std::vector<unsigned char>& digest = *datapart.szhasheddata;
  const std::string signature = element.signature.value_or("");
  // The signature is decoded once, by verifydata, for the checks after it.
  Pkcs7Ptr p7;
  if (element.szdatetime) {
    // The merchant signs the digest followed by the date-time.
    const std::string& datetime = *element.szdatetime;
    if (!verifydatetimeformat(session, datetime))
      return fail(kSdoListSigFormat,
                  "sdovalidate_verifysignatureelement: An error occured trying to verify the format of the "
                  "signatureelements szdatetime (merchant signature).\n");
    std::vector<unsigned char> covered(digest);
    covered.insert(covered.end(), datetime.begin(), datetime.end());
    if (int rc = verifydata(s, signature, covered.data(), covered.size(), DataIs::content, kUsages, 1,
                            ChainCheck::noDates, &p7);
        rc != kOk)
      return fail(rc,
                  "sdovalidate_verifysignatureelement: An error occured trying to verify the merchant's signature in "
                  "the signature element.\n");
  } else {
    if (int rc = verifydata(s, signature, digest.data(), digest.size(), DataIs::digest, kUsages, 1, ChainCheck::noDates,
                            &p7);
        rc != kOk)
      return fail(rc,
                  "sdovalidate_verifysignatureelement: An error occured trying to verify the end users signature in "
                  "the signature element.\n");
  }
  if (int rc = issigningtimeincertvalidity(session, signature, p7); rc != kOk) return rc;
  if (int rc = validateocsp(s, element, signature, p7.get()); rc != kOk)
    return fail(rc,
                "sdovalidate_verifysignatureelement: An error occured trying to validate the ocsp response in the "
                "signature element.\n");
  return 0;
}

// The producedAt of an element's answer: 0, 20018 or 20020.
int producedat(const sigelement& element, int64_t& seconds) {
  OcspBasicRespPtr basic;
  if (element.szocspresponse) {
    const unsigned char* p = element.szocspresponse->data();
    const long length = static_cast<long>(element.szocspresponse->size());
    basic.reset(d2i_OCSP_BASICRESP(nullptr, &p, length));
    if (basic && p != element.szocspresponse->data() + length) basic.reset();
  }
  if (!basic)
    return fail(kSdoOcspParse,
                "sdovalidate_verifyocsptimegap: Could not parse the signatureelements der encoded ocsp basicresponse "
                "into an ocsp basicresponse structure.\n");
  const ASN1_GENERALIZEDTIME* produced = OCSP_resp_get0_produced_at(basic.get());
  if (produced == nullptr || !asn1timetotime(produced, seconds))
    return fail(kSdoOcspNoProduced,
                "sdovalidate_verifyocsptimegap: The ocsp basicresponse does not contain a produced at date.\n");
  return 0;
}

int verifyocsptimegap(const sdodatapart& datapart) {
  const sigelement* first = datapart.siglist.get();
  const sigelement* second = first != nullptr ? first->next.get() : nullptr;
  if (second == nullptr) return fail(kSdoOcspParse, "sdovalidate_verifyocsptimegap: sigelement is NULL.\n");
  int64_t firsttime = 0, secondtime = 0;
  if (int rc = producedat(*first, firsttime); rc != kOk) return rc;
  if (int rc = producedat(*second, secondtime); rc != kOk) return rc;
  if (firsttime - secondtime > kMaxOcspTimeGapSeconds)
    return fail(kSdoListOcspGap,
                "sdovalidate_verifyocsptimegap: The timegap between the produced at dates in the signature elements "
                "ocsp basic responses is too large.\n");
  return 0;
}

int verifyzelmorconstraints(const sdodatapart& datapart) {
  int count = 0;
  for (const sigelement* e = datapart.siglist.get(); e != nullptr; e = e->next.get(), ++count) {
    if (!hasbytes(e->szocspresponse))
      return fail(kSdoNoOcsp, "sdovalidate_verifyzelmorconstraints: No szocspresponse in signatureelement.\n");
  }
  if (count != 2)
    return fail(kSdoListSigCount,
                "sdovalidate_verifyzelmorconstraints: The number of signatureelements is different thant two. "
                "Currently two signatures are supported.\n");
  return 0;
}

int validate(const Session& s, const sdolist* list, int datacheck) {
  const int session = s.number;
  if (int rc = verifymandatory(list); rc != kOk)
    return fail(rc, "sdovalidate_sdovalidate: The mandatory items in the sdo did not verify.\n");
  const sdoelement& sdo = *list->first;
  const sdodatapart& datapart = *sdo.sdodatapart;
  if (*datapart.szpolicy != kSdoListPolicy)
    return fail(kSdoVersion, "sdovalidate_sdovalidate: The sdo_policy is not among supported policies.\n");
  if (datacheck != 0) {
    if (int rc = comparehashagainstdata(session, sdo); rc != kOk)
      return fail(rc,
                  "sdovalidate_sdovalidate: An error occured verifying that the hashed data in the sdo equals the "
                  "digest of the input data.\n");
  }
  if (int rc = verifysignature(s, sdo); rc != kOk)
    return fail(rc, "sdovalidate_sdovalidate: An error occured verifying the signature of the sdo datapart.\n");
  for (const sigelement* e = datapart.siglist.get(); e != nullptr; e = e->next.get()) {
    if (int rc = verifysignatureelement(s, datapart, *e); rc != kOk)
      return fail(rc, "sdovalidate_sdovalidate: An error occured verifying one of the signature elements.\n");
  }
  if (int rc = verifyocsptimegap(datapart); rc != kOk)
    return fail(rc,
                "sdovalidate_sdovalidate: The merchant ocspresponse and the client ocspresponse must be produced with "
                "a timegap of 3600 seconds.\n");
  if (int rc = verifyzelmorconstraints(datapart); rc != kOk)
    return fail(rc,
                "sdovalidate_sdovalidate: An error occured checking that the sdo zelmor constraints are not "
                "violated.\n");
  return 0;
}

}  // namespace

int sdovalidate(int session, const sdolist* list, int datacheck) {
  SessionRef state;
  if (int rc = enterservice(session, state); rc != kOk) return rc;
  try {
    return validate(*state, list, datacheck);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
