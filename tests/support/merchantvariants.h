// Merchant set-ups that differ from the usual one: another size of
// authentication key, another signing certificate, another key-file layout
// (written with writeMerchantFiles of merchant.h).
#pragma once

#include <functional>
#include <string>

#include "keyfiles.h"
#include "merchant.h"
#include "pki.h"

namespace zmrtest {

// The usual PKI of the environment with the merchant's two certificates
// reissued under its CA from these descriptions (merchantAuthSpec() and
// merchantSignSpec() adjusted by the caller).
TestPki makeMerchantPki(int environment, const CertSpec& auth, const CertSpec& sign);

// Layout edit: the sign-only key file, without the authentication
// certificate and its key.
void dropAuthenticationPair(KeyFileSpec& spec);

}  // namespace zmrtest
