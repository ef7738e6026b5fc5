// SEID SDO record trees made directly, text by text, for the checker, the
// writer and the reader; and a dump of a tree's every record and text, so
// that two trees compare in one assertion.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "signedobjects/seid/seidsdo.h"
#include "support/fixtures.h"
#include "support/pki.h"

namespace zmrtest {

// The seven texts of one CMS signature element (nullopt: absent).
struct SdoElementTexts {
  zmr::sdotext profile, identifier, mimetype, digestmethod, digestvalue, cmssignature, ocsp;
};

// The texts "P", "I", "M", "DM", "DV", "S" and "O".
SdoElementTexts shortTexts();
// The texts an SDO built from signatures carries, around the given PKCS#7
// and OCSP texts.
SdoElementTexts realisticTexts(const std::string& pkcs7 = "MIIB", const std::string& ocsp = "MIIC");

// An element with every record of its chains and the given texts.
std::unique_ptr<zmr::cmssignatureelement> sdoElement(const SdoElementTexts& texts);

// One SDO: version, a data part of the given elements, the seal when
// given; no metadata, no signed object; flavour -1.
std::unique_ptr<zmr::seidsdocell> sdoTree(const std::vector<SdoElementTexts>& elements,
                                          const std::optional<SdoElementTexts>& seal = std::nullopt,
                                          const zmr::sdotext& version = std::string("1.0"));

// Appends a metadata pair (creating the Metadata record) to the first SDO.
void addPair(zmr::seidsdocell& tree, const zmr::sdotext& name, const zmr::sdotext& value,
             const zmr::sdotext& description);

// Every SDO, record and text in document order, one per line: a missing
// record as "-", an absent text as "(absent)". With emptyAsAbsent, an
// empty text is shown absent too, as the reader gives it back (a metadata
// pair's excepted: it reads back empty).
std::string dumpTree(const zmr::seidsdocell& tree, bool emptyAsAbsent = false);

// The writer's output, or the code in the failure message.
std::string writeXml(const zmr::seidsdocell& tree, int flavour);

// ---- SDOs with real signatures ----
//
// Signatures and answers from the fixture factory; only the seal's signable
// text comes from the library's writer.

// The texts of one signer's element: the PKCS#7 of spec (detached over its
// content, the document) and the base64 answer. The element's digest
// method follows the first signer's digest ("SHA-1" for SHA-1, else
// "SHA-256"), its digest value is that digest of the content.
SdoElementTexts signedElementTexts(const Pkcs7Spec& spec, const std::string& ocspBase64,
                                   const std::string& mimetype = "text/plain");
// The base64 DER of the responder's good answer about cert (issued by the
// PKI's CA).
std::string goodOcsp(const TestPki& pki, const X509* cert);
// Seals the first SDO anew: the sealer's PKCS#7 (signingTime, SHA-256)
// over the signable text of its data part in the SDO's flavour, with the
// base64 answer given, mime type "text/plain".
void sealSdo(zmr::seidsdocell& tree, const TestCert& sealer, const std::string& ocspBase64);
// Keeps the document (base64) in the first SDO's SignedObject.
void keepDocument(zmr::seidsdocell& tree, const std::string& documentBase64);
// The classic SDO over document (bytes): the end user's element, then the
// merchant's (signing certificate), each with the responder's good answer,
// sealed by the merchant, the document kept when keep is true.
std::unique_ptr<zmr::seidsdocell> classicSdo(const TestPki& pki, const std::string& document, bool keep = true);

}  // namespace zmrtest
