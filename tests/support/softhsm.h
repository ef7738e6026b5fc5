// SoftHSM2 as the real PKCS#11 module of tests: a token directory of the
// test's own, tokens and RSA keys put there with softhsm2-util.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zmrtest {

inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

struct SoftHsm {
  std::string dir;   // holds softhsm2.conf and tokens/
  std::string conf;  // the configuration file SOFTHSM2_CONF names
  std::string log;   // output of the last softhsm2-util run, for messages
};

// Makes a fresh directory with an empty token store and its configuration,
// and points SOFTHSM2_CONF of this process at it. Call it before the module
// is initialised (SoftHSM2 reads the configuration in C_Initialize) and
// before any thread is started (it calls setenv).
bool makeSoftHsm(const std::string& name, SoftHsm& out);

// Initialises a new token in the first free slot; *slot receives the slot
// id SoftHSM2 gives it.
bool initToken(SoftHsm& hsm, const std::string& tokenLabel, const std::string& userPin,
               uint64_t* slot = nullptr, const std::string& soPin = "87654321");

// Imports an RSA private key (handed to softhsm2-util as a PKCS#8 PEM
// file) under the object label and hex id, with its public key as well
// unless privateOnly. Tokens are named by their label.
bool importKey(SoftHsm& hsm, const std::string& tokenLabel, const std::string& userPin, EVP_PKEY* key,
               const std::string& label, const std::string& idHex = "01", bool privateOnly = false);

struct SlotEntry {
  uint64_t id;
  std::string tokenLabel;  // empty for the free, uninitialised token
};
// The slots in the order the module lists them (softhsm2-util --show-slots).
std::vector<SlotEntry> listSlots(SoftHsm& hsm);

}  // namespace zmrtest
