#include "misc/centralservers.h"

namespace zmr {
namespace {

struct Environment {
  int environment;
  const char* modulus;
  const char* coimodulus;
  const char* sdm;
  const char* services;
  const char* mgmfe;
  const char* mgmfeutil;
};

// One row per environment 1..4, made by the build; without it nothing is
// built in and every environment fails closed.
constexpr Environment kEnvironments[] = {
#ifdef ZMR_HAVE_CENTRAL_KEYS
#include "centralkeys.inc"
#endif
    {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

const Environment* find(int environment) {
  for (const Environment& e : kEnvironments) {
    if (e.environment == environment && environment >= 1 && environment <= 4) return &e;
  }
  return nullptr;
}

}  // namespace

const char* centralservermodulus(int environment) {
  const Environment* e = find(environment);
  return e != nullptr ? e->modulus : nullptr;
}

const char* coimodulus(int environment) {
  const Environment* e = find(environment);
  return e != nullptr ? e->coimodulus : nullptr;
}

std::optional<std::string> centralserverurl(int environment, CentralServer server) {
  const Environment* e = find(environment);
  if (e == nullptr) return std::nullopt;
  const char* host = nullptr;
  const char* path = nullptr;
  switch (server) {
    case CentralServer::sdm:
      host = e->sdm;
      path = "/sdm/";
      break;
    case CentralServer::services:
      host = e->services;
      path = "/zelmor/transactiondata/";
      break;
    case CentralServer::mgmfe:
      host = e->mgmfe;
      path = "/RAVUD/MobileMerchantFE";
      break;
    case CentralServer::mgmfeutil:
      host = e->mgmfeutil;
      path = "/RAVUD/MobileUtility";
      break;
  }
  if (host == nullptr) return std::nullopt;
  return std::string("https://") + host + path;
}

}  // namespace zmr
