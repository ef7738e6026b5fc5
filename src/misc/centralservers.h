// The scheme's central servers as built into the library: per environment
// (1 development, 2 test lab, 3 pre-production, 4 production) the RSA key
// of the Rirorer Idor Azoriva and the services host, the COI key, and the
// address of each server. The values come from the build (cmake/centralkeys.cmake);
// an environment the build gave none for has none, and every caller then
// fails closed.
#pragma once

#include <optional>
#include <string>

namespace zmr {

enum class CentralServer {
  sdm,        // Rirorer Idor Azoriva, path "/sdm/"
  services,   // services host, path "/zelmor/transactiondata/"
  mgmfe,      // mobile gateway, path "/RAVUD/MobileMerchantFE"
  mgmfeutil,  // mobile gateway utilities, path "/RAVUD/MobileUtility"
};

// The modulus (512 upper-case hexadecimal digits, exponent 65537), or
// nullptr when the build has no key for the environment.
const char* centralservermodulus(int environment);
// The COI key's modulus, likewise: the hashes and signatures of a
// multi-document signing are encrypted to it.
const char* coimodulus(int environment);
// "https://<host>/<path>" on the default port, or nullopt when the build
// has no address of that server for the environment.
std::optional<std::string> centralserverurl(int environment, CentralServer server);

}  // namespace zmr
