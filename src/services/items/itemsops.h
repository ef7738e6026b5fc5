// The operations behind the exported functions. Each checks its session
// number, clears the calling thread's recent error on entry (where its
// contract says so), and reports failures by code and recent-error line.
// Results are value types; the exported layer copies them for the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "misc/secret.h"

namespace zmr {

// Recent error, info items, documents.
int getrecenterror(int session, std::optional<std::string>& out);
int setinfoitem(int session, std::string_view key, std::string_view value);
int getinfoitem(int session, std::string_view key, std::string& out);
int removeinfoitems(int session);
// type: 0 text, 1 XML with XSL, 2 base64 PDF.
int adddocument(int session, std::string_view content, std::string_view second, int type, std::string_view description);
int setsigneddata(int session, std::string_view signeddata);
int getsigneddata(int session, int index, std::string& signeddata, std::string& merchantpkcs7);
int getsignatureandocsp(int session, int index, std::string& clientpkcs7, std::string& ocsp);
int getsignatureandfullocsp(int session, int index, std::string& clientpkcs7, std::string& fullocsp);

// Hashing, random, base64, text and version.
int hashdata(int session, std::string& out, std::string_view algorithm, std::string_view data);
// For internal callers that hold the bytes: what hashdata gives for their
// base64 text, without making it (no bytes give 21001 and more than a
// text can carry 33002, as their encoding would). The raw form gives the
// digest itself.
int hashbytes(int session, std::string& out, std::string_view algorithm, const unsigned char* data, size_t length);
int hashbytes(int session, std::vector<unsigned char>& out, std::string_view algorithm, const unsigned char* data,
              size_t length);
// SHA-1 and SHA-256 from one pass over the input: as hashdata (or
// hashbytes) for "sha1" and then "sha256"; secondfailed tells that the
// failure is the SHA-256 one's.
int hashdatapair(int session, std::string& sha1, std::string& sha256, std::string_view data, bool* secondfailed);
int hashbytespair(int session, std::string& sha1, std::string& sha256, const unsigned char* data, size_t length,
                  bool* secondfailed);
int getrandom(int session, SecretString& out, uint64_t count);
int base64encode(int session, const unsigned char* data, uint64_t length, std::string& out);
int base64decode(int session, std::string_view text, std::vector<unsigned char>& out);
int removecrlf(int session, std::string_view text, std::string& out);
int latin1toutf8(int session, std::string_view text, std::string& out);
int utf8tolatin1(int session, std::string_view text, std::string& out);
int getcertificate(int session, int which, std::string& out);
int getversioninfo(std::string& out);

// Two-key triple DES over base64 texts.
int symmetricencrypt(int session, std::string_view key, std::string_view plain, SecretString& out);
int symmetricdecrypt(int session, std::string_view key, std::string_view cipher, SecretString& out);

}  // namespace zmr
