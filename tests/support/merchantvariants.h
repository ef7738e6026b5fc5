// Merchant set-ups that differ from the usual one: another size of
// authentication key, another signing certificate, another key-file layout.
#pragma once

#include <functional>
#include <string>

#include "keyfiles.h"
#include "merchant.h"
#include "pki.h"

namespace zmrtest {

// The usual PKI of the environment with the merchant's two certificates
// reissued under its CA from these specs (merchantAuthSpec() and
// merchantSignSpec() adjusted by the caller).
TestPki makeMerchantPki(int environment, const CertSpec& auth, const CertSpec& sign);

// Writes the key file, trust store and properties of pki under a fresh
// directory named after tag. layout edits the usual key-file spec (from
// merchantKeyFile) before it is written, e.g. to drop the CA certificates.
MerchantFiles writeMerchantFiles(const std::string& tag, const TestPki& pki,
                                 const std::function<void(KeyFileSpec&)>& layout = {});

// Layout edit: the sign-only key file, without the authentication
// certificate and its key.
void dropAuthenticationPair(KeyFileSpec& spec);

}  // namespace zmrtest
