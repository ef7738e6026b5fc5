// Merchant session configuration: the properties (from a file or from the
// opening arguments), the five TLS client contexts and the trust store.
//
// Properties file: lines of key "=" value, split at the first "=", nothing
// trimmed except one line feed and then one carriage return at the end of
// the value. At most 50 lines, every line must hold "=", key and value at
// most 1023 bytes each, no NUL bytes. A line too long for key, "=", value
// and CR LF fails as a whole.
//
// The trust store's certificates are read at opening into the trust store
// and the TLS contexts alike (store/loaders/trustanchors.h).
//
// None of these functions appends to the recent error: session opening
// reports on its own.
#pragma once

#include <cstdio>
#include <string>

#include "misc/secret.h"
#include "store/sessionstore.h"

namespace zmr {

inline constexpr size_t kMaxPropertyText = 1023;

// Fills the properties, TLS contexts and trust store of a session being
// opened (PendingSession). Every text may be null. With neither path nor
// webaddress the session gets no configuration at all (key file and HSM
// only). Without a path the five arguments are stored under their own
// names, null ones skipped. On failure the state is left part-filled, for
// the opening to drop.
//   2001 file cannot be opened or read (a directory), 2002 line without
//   "=" (or holding NUL), 2003 more than 50 properties, 2004 no truststore,
//   2005/2006 key/value too long, 2024 TLS context refused, 2026
//   truststore not a searchable directory or not loadable, 2028 file
//   cannot be closed, 33001.
int loadproperties(Session& s, const char* webaddress, const char* truststore, const char* grantedpolicies,
                   const char* httpproxyserver, const char* httpproxyport, const char* path);

// Reads properties lines from an open file into the state's table, after
// what is stored already. The parser under loadproperties; the file is not
// closed. Codes as loadproperties (2001 read failure, 2002, 2003, 2005,
// 2006, 33001).
int readproperties(Session& s, FILE* file);

// Stores one pair at pair slot index (an even string index 0..98; the slot
// must be the next free one or an occupied one, which is replaced). With a
// line, key and value come from it; else from key and value (null: 33002).
// 2002, 2003, 2005, 2006, 33002.
int insertproperty(Session& s, const char* line, const char* key, const char* value, int index);

// Value of the first stored pair whose key equals key regardless of ASCII
// case. 27001 for a null key, 2004 when there is none.
int getproperty(const Session& s, const char* key, std::string& out);
// The same for a value that is a secret (credentials).
int getproperty(const Session& s, const char* key, SecretString& out);

}  // namespace zmr
