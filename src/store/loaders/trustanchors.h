// The certificates of a trust store directory, read at opening.
//
// A store on a hash directory (X509_STORE_load_path) reads the files named
// after a name's hash on the first lookup of that name and keeps what it
// read for the store's life; OpenSSL 3.0 reads a certificate's key and
// extensions on first use and keeps that too, also what an allocation
// failure spoilt. A trust anchor first read or used while memory was short
// would then fail every later verification of the session. So the opening
// reads what the lookup would, each certificate read through soundly, and
// puts it in the session's stores from the start; the lookup stays behind
// them for whatever they do not hold, as before.
#pragma once

#include <openssl/x509_vfy.h>

#include <string>

#include "misc/ossl.h"

namespace zmr {

// For every hash h of dir that has a file h.0: the certificates the lookup
// loads for h (each PEM certificate of h.0, h.1, ... up to the first file
// missing), in that order. A hash is left out, for the lookup to read when
// asked as before, when its files do not all read whole, when one of its
// certificates does not read soundly (a broken file, a key of an unknown
// type, or memory short: they cannot be told apart) or has a subject of
// another hash (what the lookup trusts then depends on the names it was
// asked for); so is every hash of a path holding the lookup's list
// separator ':'. 0, or 2026 when dir cannot be listed or memory is short.
int readtrustanchors(const std::string& dir, X509StackPtr& out);

// Adds every certificate of anchors to store (0, or 2026 when memory is
// short; store may then hold some of them).
int addtrustanchors(X509_STORE* store, const STACK_OF(X509) * anchors);

}  // namespace zmr
