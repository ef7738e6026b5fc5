// Client session set-up with the Rirorer Idor Azoriva, and the small
// server-info and proof-of-possession texts other central-server exchanges
// carry.
//
// initsession builds a signed initSession form from the calling thread's
// info items, encrypts it to the Rirorer Idor Azoriva of the session's
// environment, posts it over HTTPS (15 s limit, proxy prefix "sdm"), opens
// the reply and checks that it echoes the request's nonce. Everything the
// exchange authenticates (nonce, errorCode, cdmUri, tid, cid) is read from
// the decrypted payload only; clear fields of the same names are ignored.
// Every read of the reply stays within the reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/stringmap.h"
#include "store/sessionstore.h"

namespace zmr {

inline constexpr int kInitSessionTimeoutSeconds = 15;

// The whole exchange. Clears the recent error. The three references are
// set in order as far as the reply holds them: after 43007 or 43008 the
// ones before are set. Codes: 2009, 43000 (no key or URL for the
// environment), 43002 (status not 200, no end of headers), 43003 (the
// server's errorCode, also pushed as info item "errorcode"), 43004/43005
// (nonce missing / different), 43006-43008 (cdmUri, tid, cid missing), and
// those of the steps (41001 missing mandatory info item, 35xxx, 40051...).
int initsession(int session, std::optional<std::string>& cdmuri, std::optional<std::string>& tid,
                std::optional<std::string>& cid);

// The steps below take the state the exchange holds.

// The signed, form-encoded request carrying nonce.
int create_initsession_request(const Session& s, std::string_view nonce, std::string& request);
// Base64 of the form of server type, version, platform, arch, timestamp and
// the authentication certificate's issuer, serial and common name.
int create_server_info(const Session& s, std::string& serverinfo);
// The Rirorer Idor Azoriva URL of the session's environment: in 1 and 2
// the property initsessiondns when set, else the built-in one; in 3 and 4
// the built-in one; 43000 when there is none.
int get_initsession_url(const Session& s, std::string& url);
// One POST of body; response is the raw HTTP reply.
int get_initsession_response(const Session& s, std::string_view body, std::string& response);
// Status check, then either errorCode (up to 4 characters after
// "errorCode" and one separator, wherever it stands) or the body's fields,
// appended to map after HTTPSTATUSCODE=200. 43002.
int parse_initsession_response(int session, std::string_view response, stringmap& map);
// Opens encData/encAuth of map with the request's base key; payload
// receives the decrypted fields in order. 41000, decryption codes.
int decrypt_initsession_response(int session, const stringmap& map, std::string_view basekey, stringmap& payload);

// "serverInfo=" and the form-encoded base64 of the server-info form
// without its timestamp. Takes no lock. 2043, 6xxx, 21xxx.
int get_server_info(const Session& s, std::string& out);
// Base64 of issuer, serialnumber, timestamp (seconds and "000") and a fresh
// 20-byte nonce of the authentication certificate. 2043, 6xxx, 10005, 21xxx.
int get_pop_info(const Session& s, std::string& out);
// Issuer, serial and (when asked) common name of the authentication
// certificate, each failure with its line under prefix. Shared by the two
// above; takes no lock.
int readauthcertfields(const Session& s, std::string_view prefix, std::string& issuer, std::string& serial,
                       std::string* commonname);
// The keys of map joined by ",", without "popSignature".
int get_pop_parameters(const stringmap& map, std::string& out);
// Appends "&" (unless buffer is empty), the form-encoded key, "=" and the
// form-encoded value. 10005 with buffer unchanged when either is absent.
int add_url_key_value(std::string& buffer, std::optional<std::string_view> key, std::optional<std::string_view> value);

}  // namespace zmr
