// Transaction information from the scheme's services host.
//
// gettransactioninfo sends the form key, oids, certinfo (the merchant's POP
// information, whose nonce the answer must echo), serverinfo, params and
// signature (PKCS#1 by the authentication key over the form before it),
// encrypted to the services host's built-in key, to the host's
// "/zelmor/transactiondata/" over HTTPS (60 s, proxy prefix "services").
// The encrypted answer is "nonce=<nonce of the request>&data=<payload>",
// the payload a form-encoded form whose field names hold the key; each
// field becomes an info item of the calling thread named by what follows
// the key. The answer is checked whole before anything is stored.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "misc/secret.h"
#include "store/sessionstore.h"

namespace zmr {

inline constexpr int kServicesTimeoutSeconds = 60;

// Clears the recent error. Codes: 2009, 2043 and 6xxx (POP and server
// information), 29xxx/4009 (signing), 42002 (no key or address of the
// services host for the session's environment; nothing is sent), 35xxx,
// 42000 (a reply without header end or body form, the host's clear
// ErrorCode, a payload that cannot be read), 41000 (encData or encAuth
// missing), 21002/40050/40051/23xxx (the answer does not open), 42001 (the
// answer does not echo the nonce), 2023 and other codes of the info-item
// store (items pushed before stay).
int gettransactioninfo(int session, std::string_view key, std::string_view oids);

// The services host's URL for the session's environment: in 1 and 2 the
// property servicehostdns when set, else the built-in one; in 3 and 4 the
// built-in one. 42002 when there is none.
int getservicesurl(const Session& s, std::string& url);

// ---- readers of what the services host sends, usable without a network ----

// The raw HTTP reply: its body form must carry encData and encAuth and no
// ErrorCode. 42000 (no header end, no form, ErrorCode) or 41000, with the
// recent-error lines of each.
int readservicesreply(int session, std::string_view reply, std::string& encdata, std::string& encauth);

// The request's nonce (the text after "nonce=" in the decoded POP
// information) is echoed as the answer's text between its first "nonce="
// and the first "&" after that.
bool verify_nonce(int session, std::string_view answer, std::string_view popinfo);

// The payload of the answer as info items, in order: everything after the
// first "data=" form-decoded, split into pairs, each name cut after the
// first occurrence of key (pairs without it skipped) and each value decoded
// once more. 0, or 42000 when any of it cannot be read. The payload is the
// services host's secret answer: every copy of it is in wiped storage.
using PayloadItem = std::pair<WipedString, WipedString>;
using PayloadItems = std::vector<PayloadItem, WipingAllocator<PayloadItem>>;
int parse_payload(int session, std::string_view answer, std::string_view key, PayloadItems& items);

}  // namespace zmr
