#include <openssl/crypto.h>

#include <array>

#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int signdata(const Session& state, const unsigned char* data, size_t length, std::vector<unsigned char>& signature,
             const std::string& label, HsmRsa mechanismkind, CK_RV& rv) {
  const int session = state.number;
  static constexpr CallLines lines = {
      "hsmclient_hsm_signdata: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n",
      "hsmclient_hsm_signdata: Unable to extract slotid for merchant session.\n",
      "hsmclient_hsm_opensession: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n",
  };
  const HsmDriver& d = hsmdriver();
  ScopedP11Session s(d);
  int code = opencallsession(state, s, CKF_SERIAL_SESSION, lines, rv);
  if (code != kOk) return code;

  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  code = findprivatekeyhandle(session, s.handle, label, key, &rv);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_signdata: An error occured trying to find the private key matching the label.\n");
    return code;
  }
  CK_MECHANISM mechanism = {mechanismkind == HsmRsa::raw ? CKM_RSA_X_509 : CKM_RSA_PKCS, nullptr, 0};
  rv = d.C_SignInit(s.handle, &mechanism, key);
  if (rv != CKR_OK) {
    setlasterror(session, "hsmclient_hsm_signdata: An error occured calling C_SignInit on the hsm PKCS11 driver.\n");
    return kHsmSignInit;
  }
  std::array<unsigned char, kHsmResultMax> buffer{};
  CK_ULONG produced = buffer.size();
  rv = d.C_Sign(s.handle, const_cast<unsigned char*>(data), static_cast<CK_ULONG>(length), buffer.data(), &produced);
  // A length beyond the buffer would have us read memory the module did
  // not write.
  if (rv != CKR_OK || produced > buffer.size()) {
    setlasterror(session, "hsmclient_hsm_signdata: An error occured calling C_Sign on the hsm PKCS11 driver.\n");
    return kHsmSign;
  }
  rv = s.close();
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_hsm_signdata: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n");
    return kHsmCloseSession;
  }
  signature.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(produced));
  return kOk;
}

}  // namespace

int hsm_signdata(const Session& state, const unsigned char* data, size_t length, std::vector<unsigned char>& signature,
                 const std::string& label, HsmRsa mechanism) {
  CK_RV rv = CKR_OK;
  int code = signdata(state, data, length, signature, label, mechanism, rv);
  appendpkcs11errorcode(state.number, code, rv);
  return code;
}

}  // namespace zmr
