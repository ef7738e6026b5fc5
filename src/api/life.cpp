// Exported functions of library life and merchant sessions.
#include "api/frame.h"
#include "services/life/lifeops.h"
#include "store/sessionstore.h"

using namespace zmr;

ZMR_EXPORT int zmr_initialize(void) {
  return guarded([] { return zmr::initialize(nullptr); });
}

ZMR_EXPORT int zmr_hsminitialize(const char* driverpath) {
  ZMR_TRY(requiredtext(driverpath));
  return guarded([&] { return zmr::initialize(driverpath); });
}

ZMR_EXPORT int zmr_finalize(void) {
  return guarded([] { return zmr::finalize(); });
}

namespace {

// The first checks of the three opening functions. The out-pointer is
// probed before anything opens: a number that cannot be handed back would
// leave a session open that no one can close.
int openingframe(int* session, const char* keyfile) {
  if (session == nullptr || keyfile == nullptr) return kBadArgument;
  ZMR_TRY(probe(session));
  return probetext(keyfile);
}

}  // namespace

ZMR_EXPORT int zmr_opensession(int* session, const char* keyfile, const char* password, const char* propertiesfile,
                               const char* webaddress, const char* /*ignored*/, const char* truststore,
                               const char* grantedpolicies, const char* httpproxyserver, const char* httpproxyport) {
  ZMR_TRY(openingframe(session, keyfile));
  ZMR_TRY(requiredtext(password));
  ZMR_TRY(optionaltext(propertiesfile));
  if (propertiesfile == nullptr) {
    ZMR_TRY(requiredtext(webaddress));
    ZMR_TRY(requiredtext(truststore));
    ZMR_TRY(requiredtext(grantedpolicies));
    ZMR_TRY(optionaltext(httpproxyserver));
    ZMR_TRY(optionaltext(httpproxyport));
  }
  return guarded([&] {
    int number = -1;
    ZMR_TRY(zmr::opensession(number, keyfile, password, propertiesfile, webaddress, truststore, grantedpolicies,
                             httpproxyserver, httpproxyport, nullptr, -1));
    *session = number;
    return 0;
  });
}

ZMR_EXPORT int zmr_hsmopensession(int* session, const char* keyfile, const char* password, const char* propertiesfile,
                                  const char* webaddress, const char* /*ignored*/, const char* truststore,
                                  const char* grantedpolicies, const char* httpproxyserver, const char* httpproxyport,
                                  const char* pkcs11password, int slot) {
  ZMR_TRY(openingframe(session, keyfile));
  ZMR_TRY(requiredtext(password));
  ZMR_TRY(optionaltext(propertiesfile));
  ZMR_TRY(optionaltext(webaddress));
  ZMR_TRY(optionaltext(truststore));
  ZMR_TRY(optionaltext(grantedpolicies));
  ZMR_TRY(optionaltext(httpproxyserver));
  ZMR_TRY(optionaltext(httpproxyport));
  ZMR_TRY(requiredtext(pkcs11password));
  return guarded([&] {
    int number = -1;
    ZMR_TRY(zmr::opensession(number, keyfile, password, propertiesfile, webaddress, truststore, grantedpolicies,
                             httpproxyserver, httpproxyport, pkcs11password, slot));
    *session = number;
    return 0;
  });
}

ZMR_EXPORT int zmr_rahsmopensession(int* session, const char* keyfile, const char* password, const char* pkcs11password,
                                    int slot) {
  ZMR_TRY(openingframe(session, keyfile));
  ZMR_TRY(requiredtext(password));
  ZMR_TRY(requiredtext(pkcs11password));
  return guarded([&] {
    int number = -1;
    ZMR_TRY(zmr::opensession(number, keyfile, password, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             pkcs11password, slot));
    *session = number;
    return 0;
  });
}

ZMR_EXPORT int zmr_closesession(int session) {
  if (session < 0) return kBadArgument;
  return guarded([&] { return zmr::closesession(session); });
}

namespace {

void freeinfo(::sessionstoreinfo* list) {
  while (list != nullptr) {
    ::sessionstoreinfo* next = list->next;
    std::free(list->commonname);
    std::free(list->grantedpolicies);
    std::free(list->signcertificate);
    std::free(list->authcertificate);
    std::free(list);
    list = next;
  }
}

}  // namespace

ZMR_EXPORT int zmr_getsessionstoreinfo(int session, ::sessionstoreinfo** out) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    zmr::sessionstoreinfo info;
    ZMR_TRY(zmr::getsessionstoreinfo(session, info));
    auto* node = static_cast<::sessionstoreinfo*>(std::calloc(1, sizeof(::sessionstoreinfo)));
    if (node == nullptr) return kOutOfMemory;
    node->sessionid = info.sessionid;
    node->environment = info.environment;
    if (handout(info.commonname, &node->commonname) != 0 ||
        handout(info.grantedpolicies, &node->grantedpolicies) != 0 ||
        handout(info.signcertificate, &node->signcertificate) != 0 ||
        handout(info.authcertificate, &node->authcertificate) != 0) {
      freeinfo(node);
      return kOutOfMemory;
    }
    *out = node;
    return 0;
  });
}

ZMR_EXPORT int zmr_freesessionstoreinfo(int session, ::sessionstoreinfo* list) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(list));
  // Released whatever the session's state: a description outliving its
  // session must not leak.
  int rc = guarded([&] {
    ZMR_TRY(zmr::checksessionvalidity(session));
    std::optional<std::string> discarded;
    return zmr::getlasterror(session, discarded);
  });
  freeinfo(list);
  return rc;
}
