#include <string>

#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/status.h"
#include "store/threadstore.h"

namespace zmr {

int findprivatekey(int session, CK_SESSION_HANDLE h, const std::string& label, CK_OBJECT_HANDLE& object, CK_RV& rv,
                   bool reportabsent, std::string_view modulus) {
  const HsmDriver& d = hsmdriver();
  CK_BBOOL yes = CK_TRUE;
  // The class is part of the search: a module may keep the public key, or
  // other objects, under the same label and marked private too.
  CK_OBJECT_CLASS keyclass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE search[] = {
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_LABEL, const_cast<char*>(label.data()), static_cast<CK_ULONG>(label.size())},
      {CKA_CLASS, &keyclass, sizeof keyclass},
      {CKA_MODULUS, const_cast<char*>(modulus.data()), static_cast<CK_ULONG>(modulus.size())},
  };
  CK_ULONG attributes = sizeof search / sizeof search[0];
  if (modulus.empty()) --attributes;
  rv = d.C_FindObjectsInit(h, search, attributes);
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjectsInit on the hsm PKCS11 "
                 "driver\n");
    return kHsmFindObjectsInit;
  }
  CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
  CK_ULONG count = 0;
  CK_RV findrv = d.C_FindObjects(h, &found, 1, &count);
  CK_RV finalrv = d.C_FindObjectsFinal(h);
  if (findrv != CKR_OK) {
    rv = findrv;
    setlasterror(session,
                 "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjects on the hsm PKCS11 "
                 "driver\n");
    return kHsmFindObjects;
  }
  rv = finalrv;
  if (finalrv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_hsm_findprivatekeyhandle: An error occured calling C_FindObjectsFinal on the hsm PKCS11 "
                 "driver\n");
    return kHsmFindObjectsFinal;
  }
  if (count == 0) {
    if (reportabsent) {
      setlasterror(session,
                   "hsmclient_hsm_findprivatekeyhandle: A private key with the the given label does not exist.\n");
    }
    return kHsmNoKey;
  }
  object = found;
  return kOk;
}

int findprivatekeyhandle(int session, CK_SESSION_HANDLE h, const std::string& label, CK_OBJECT_HANDLE& object,
                         CK_RV* lastrv) {
  if (!hsm_driverloaded()) return kHsmNoDriver;
  CK_RV rv = CKR_OK;
  int code = findprivatekey(session, h, label, object, rv, true);
  appendpkcs11errorcode(session, code, rv);
  if (lastrv != nullptr) *lastrv = rv;
  return code;
}

}  // namespace zmr
