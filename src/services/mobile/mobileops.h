// The mobile channel: transactions, status queries and SMS pushes at the
// mobile gateway's merchant front end, and merchant references drawn from
// the gateway's word lists.
//
// None of these clears the calling thread's recent error on entry; the
// gateway post does (the HTTP client), so after a failed exchange the
// recent error holds the sender's lines and those of the operation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zmr {

// Starts a mobile transaction from the calling thread's info items (action,
// url, phonenumber, phonealias, merchantreference mandatory; timeout,
// locale, countryCode, checkAlias, synchronousCommunication with defaults;
// sid optional) and the session's grantedpolicies and webaddress, with a
// proof of possession signed by the authentication key. reference receives
// the gateway's transactionReference. Codes: 2009, 2022 (an item missing),
// 2004 (a property missing), 21001 (empty webaddress), the POP and signing
// codes (2043, 4009, 29xxx), the sender's (35xxx, 36xxx; 36007 leaves the
// gateway's code in the info item "mobileerr"), 37001 (no reference).
int requestmobileaction(int session, std::string& reference);
// The gateway's transactionStatus of a transaction. 37002 when absent.
int requestmobilestatus(int session, std::string_view reference, std::string& status);
// Has the gateway send text to the transaction's phone.
int pushsms(int session, std::string_view reference, std::string_view text);

// The time limit of a mobile action's post: the timeout item when it is a
// decimal number from 1 to 2147483647 (milliseconds), else 40000.
int64_t mobileactiontimeout(std::string_view item);

// ---- merchant references ----

// Two words, one from each of the locale's word lists, joined by a blank.
// The lists come from the gateway's utility endpoint and are cached per
// locale (at most 20 locales) for a day. Codes: 2009, 38001 (no random
// bytes), 38002 (no lists: the first fetch failed, the reply was refused,
// or every cache slot is taken), 3xxx (the cache lock).
int generatemerchantreference(int session, std::string_view locale, std::string& reference);

// The two word lists of a locale, as checked.
struct wordlists {
  std::vector<std::string> words1;
  std::vector<std::string> words2;
};

// Reads the word lists out of a getDictionary reply body: both fields
// dictionary1 and dictionary2 present, each with at least 100 words
// (comma-separated; a word may be empty or of any length) and no word twice
// in one list. 0, or 38003.
int readdictionary(std::string_view body, wordlists& out);
// The reference of four random bytes b0..b3: the word at (b0*256+b1) mod
// the size of the first list, a blank, the word at (b2*256+b3) mod the size
// of the second.
std::string pickreference(const wordlists& lists, const unsigned char bytes[4]);

// Test seams: the clock (seconds since the epoch) and the random source
// (RAND_bytes's contract: 1 on success). Null restores the real one.
using ReferenceClock = int64_t (*)();
using ReferenceRandom = int (*)(unsigned char* out, int count);
void setmerchantreferenceseams(ReferenceClock clock, ReferenceRandom random);

}  // namespace zmr
