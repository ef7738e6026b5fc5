#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int decrypt(const Session& state, const unsigned char* data, size_t length, SecretBytes& plaintext,
            const std::string* label, HsmRsa mechanismkind, CK_RV& rv) {
  const int session = state.number;
  static constexpr CallLines lines = {
      "hsmclient_hsm_decrypt: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n",
      "hsmclient_hsm_decrypt: Unable to extract slotid for merchant session.\n",
      "hsmclient_hsm_decrypt: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n",
  };
  const HsmDriver& d = hsmdriver();
  ScopedP11Session s(d);
  int code = opencallsession(state, s, CKF_SERIAL_SESSION, lines, rv);
  if (code != kOk) return code;

  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  if (label != nullptr) {
    code = findprivatekeyhandle(session, s.handle, *label, key, &rv);
    if (code != kOk) {
      setlasterror(session,
                   "hsmclient_hsm_signdata: An error occured trying to find the private key matching the label.\n");
      return code;
    }
  } else {
    uint64_t handle = 0;
    code = getverifierkeyhandle(state, &handle);
    if (code != kOk) {
      setlasterror(session,
                   "hsmclient_hsm_opensession: An error occured trying to store the CSFEV private keyhandle for the "
                   "current merchant during opensession.\n");
      return code;
    }
    key = handle;
  }

  CK_RSA_PKCS_OAEP_PARAMS oaepparams = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
  CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
  if (mechanismkind == HsmRsa::oaep) mechanism = {CKM_RSA_PKCS_OAEP, &oaepparams, sizeof oaepparams};
  if (mechanismkind == HsmRsa::raw) mechanism = {CKM_RSA_X_509, nullptr, 0};
  rv = d.C_DecryptInit(s.handle, &mechanism, key);
  if (rv != CKR_OK) {
    setlasterror(session, "hsmclient_hsm_decrypt: An error occured calling C_DecryptInit on the hsm PKCS11 driver.\n");
    return kHsmDecryptInit;
  }
  SecretBytes buffer(kHsmResultMax);
  CK_ULONG produced = buffer.bytes.size();
  rv = d.C_Decrypt(s.handle, const_cast<unsigned char*>(data), static_cast<CK_ULONG>(length), buffer.bytes.data(),
                   &produced);
  // A length beyond the buffer would have us read memory the module did
  // not write.
  if (rv != CKR_OK || produced > buffer.bytes.size()) {
    setlasterror(session, "hsmclient_hsm_decrypt: An error occured calling C_Decrypt on the hsm PKCS11 driver.\n");
    return kHsmDecrypt;
  }
  rv = s.close();
  if (rv != CKR_OK) {
    setlasterror(session, "hsmclient_hsm_decrypt: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n");
    return kHsmCloseSession;
  }
  buffer.bytes.resize(produced);  // shrinking keeps the block: wiped as a whole when it goes
  plaintext.wipe();
  std::swap(plaintext.bytes, buffer.bytes);
  return kOk;
}

}  // namespace

int hsm_decrypt(const Session& state, const unsigned char* data, size_t length, SecretBytes& plaintext,
                const std::string* label, HsmRsa mechanism) {
  plaintext.wipe();
  CK_RV rv = CKR_OK;
  int code = decrypt(state, data, length, plaintext, label, mechanism, rv);
  appendpkcs11errorcode(state.number, code, rv);
  return code;
}

}  // namespace zmr
