#include "misc/centralservers.h"
#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"inittransaction::createcoidata: "};

}  // namespace

int createcoidata(const Session& s, std::string& coidata) {
  const int session = s.number;
  coidata.clear();
  document* head = nullptr;
  if (int rc = getdocuments(session, &head); rc != kOk)
    return fail(rc, kAt, "Error fetching documents from session data.\n");
  std::string hashes, signatures;
  for (const document* d = head; d != nullptr; d = d->next.get()) {
    std::string hash;
    if (int rc = hashdata(session, hash, "sha256", d->signeddata.value_or("")); rc != kOk)
      return fail(rc, kAt, "Error creating sha256 hash for coidata.\n");
    if (d != head) {
      hashes.push_back(',');
      signatures.push_back(',');
    }
    hashes.append(hash);
    signatures.append(d->merchantpkcs7.value_or(""));
  }

  stringmap map = createstringmapwithvalues("toBeSignedHashes", hashes);
  if (int rc = addelement(map, "pkcs7s", signatures); rc != kOk) return rc;
  std::string signedtext;
  if (int rc = tostring(&map, "", signedtext); rc != kOk) return fail(rc, kAt, "Error creating data to be signed.\n");
  std::string signature;
  if (int rc = signdatap1(s, signedtext, signature, KeyRole::signing); rc != kOk)
    return fail(rc, kAt, "Error creating signature.\n");
  if (int rc = addelement(map, "coiDataSignature", signature); rc != kOk) return rc;
  std::string plain;
  if (int rc = tourlencodedstring(&map, plain); rc != kOk) return fail(rc, kAt, "Error creating coidata response.\n");

  int environment = 0;
  if (int rc = getenvironment(s, &environment); rc != kOk)
    return fail(rc, kAt, "Error retrieving current environment.\n");
  const char* modulus = coimodulus(environment);
  if (modulus == nullptr) return fail(kInitSessionEnvironment, kAt, "Error setting the correct public key.\n");
  EncryptedRequest encrypted;
  if (int rc = encrypttransactiondata(session, plain, modulus, encrypted); rc != kOk)
    return fail(rc, kAt, "Error encrypting coidata.\n");
  stringmap outer = createstringmapwithvalues("encKey", encrypted.enckey);
  int rc = addelement(outer, "encData", encrypted.encdata);
  if (rc == kOk) rc = addelement(outer, "encAuth", encrypted.encauth);
  if (rc == kOk) rc = tourlencodedstring(&outer, coidata);
  if (rc != kOk) return fail(rc, kAt, "Error assembling coidata parameter.\n");
  return kOk;
}

}  // namespace zmr
