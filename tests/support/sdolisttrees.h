// Trees of the older SDO list made record by record, and a dump of a
// tree's every record, text and byte count, so that two trees compare in
// one assertion.
#pragma once

#include <memory>
#include <string>

#include "signedobjects/sdolist/sdolist.h"

namespace zmrtest {

// Bytes of a text, for the byte fields.
std::vector<unsigned char> bytesOf(const std::string& text);

// One SDO: version "1.0", policy, the digest "0123456789abcdefghij",
// "text/plain", an end user's element (signature "VVNFUg==", OCSP bytes
// "OCSP-U", no date-time) and a merchant's ("2026-12-10T20:15:00",
// "TUVSQw==", "OCSP-M", timestamp authority "tsa & co"), the SDO signature
// "U0RP", metadata ("k1 k2", "Contract <1> & 'terms'", pairs MerchantDesc
// = "Order 42" and Ref = "a\"b"), a location with "&" and the stored
// document "Hello, SDO list!".
std::unique_ptr<zmr::sdolist> sampleSdoList();

// Every SDO, record, text and byte field in document order, one per line:
// a missing record as "-", an absent field as "(absent)", bytes as their
// count and base64. With emptyAsAbsent, an empty text or byte field is
// shown absent, as the reader gives it back.
std::string dumpSdoList(const zmr::sdolist& list, bool emptyAsAbsent = false);

// The writer's output (throws on failure).
std::string writeSdoList(const zmr::sdolist& list);

}  // namespace zmrtest
