#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/ossl.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

// The eight RSA components in the order the object template lists them
// after the exponent pair: n, e, d, p, q, dp, dq, qinv.
constexpr const char* kComponents[] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
    OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
    OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
};
constexpr CK_ATTRIBUTE_TYPE kComponentTypes[] = {
    CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
    CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT,
};
constexpr size_t kComponentCount = std::size(kComponents);

// Unsigned big-endian bytes of minimal length, wiped when freed.
bool components(EVP_PKEY* key, std::array<SecretString, kComponentCount>& out) {
  if (key == nullptr || EVP_PKEY_is_a(key, "RSA") != 1) return false;
  for (size_t i = 0; i < kComponentCount; ++i) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, kComponents[i], &raw) != 1) {
      ERR_clear_error();
      return false;
    }
    SecretBignumPtr bn(raw);
    out[i].value.resize(static_cast<size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), reinterpret_cast<unsigned char*>(out[i].value.data()));
  }
  return true;
}

// Imports of one key under one label into one slot run one at a time, so
// that sessions loading the same key at once find or make one object
// between them; imports of other keys never wait for these. The registry
// lock is held only to find the entry.
struct ImportLock {
  std::mutex mutex;
  int users = 0;
};
std::mutex registry;
std::map<std::string, ImportLock> importing;

class ScopedImport {
 public:
  explicit ScopedImport(std::string id) : id_(std::move(id)) {
    {
      std::lock_guard<std::mutex> lock(registry);
      entry_ = &importing[id_];  // map nodes stay where they are
      ++entry_->users;
    }
    entry_->mutex.lock();
  }
  ~ScopedImport() {
    entry_->mutex.unlock();
    std::lock_guard<std::mutex> lock(registry);
    if (--entry_->users == 0) importing.erase(id_);
  }
  ScopedImport(const ScopedImport&) = delete;
  ScopedImport& operator=(const ScopedImport&) = delete;

 private:
  std::string id_;
  ImportLock* entry_ = nullptr;
};

int createkey(Session& state, EVP_PKEY* key, const std::string& label, CK_RV& rv) {
  const int session = state.number;
  std::array<SecretString, kComponentCount> parts;
  if (!components(key, parts)) {
    setlasterror(session,
                 "hsmclient_hsm_createp11privkeyhandle: The key to import is not an RSA private key with all its "
                 "components.\n");
    return kBadArgument;
  }
  static constexpr CallLines lines = {
      "hsmclient_hsm_createp11privkeyhandle: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n",
      "hsmclient_hsm_decrypt: Unable to extract slotid for merchant session.\n",
      "hsmclient_hsm_decrypt: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n",
  };
  const HsmDriver& d = hsmdriver();
  ScopedP11Session s(d);
  // Creating an object needs a read-write session.
  int code = opencallsession(state, s, CKF_SERIAL_SESSION | CKF_RW_SESSION, lines, rv);
  if (code != kOk) return code;

  uint64_t slot = 0;
  getslotid(state, &slot);  // read by opencallsession already
  ScopedImport one(std::to_string(slot) + '\0' + label + '\0' + std::string(parts[0].view()));

  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  // A token object outlives the process: one of the same label may hold
  // another key (an older one, another merchant's), so the modulus must
  // match too.
  code = findprivatekey(session, s.handle, label, object, rv, false, parts[0].value);
  if (code == kHsmNoKey) {
    CK_BBOOL yes = CK_TRUE;
    CK_OBJECT_CLASS keyclass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keytype = CKK_RSA;
    std::array<CK_ATTRIBUTE, 7 + kComponentCount + 2> attributes = {{
        {CKA_SIGN, &yes, sizeof yes},
        // A token object: its handle is used after this session closes.
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char*>(label.data()), static_cast<CK_ULONG>(label.size())},
        {CKA_EXTRACTABLE, &yes, sizeof yes},
        {CKA_UNWRAP, &yes, sizeof yes},
    }};
    for (size_t i = 0; i < kComponentCount; ++i) {
      attributes[7 + i] = {kComponentTypes[i], parts[i].value.data(), static_cast<CK_ULONG>(parts[i].value.size())};
    }
    attributes[7 + kComponentCount] = {CKA_CLASS, &keyclass, sizeof keyclass};
    attributes[8 + kComponentCount] = {CKA_KEY_TYPE, &keytype, sizeof keytype};
    rv = d.C_CreateObject(s.handle, attributes.data(), static_cast<CK_ULONG>(attributes.size()), &object);
    if (rv != CKR_OK) {
      setlasterror(session,
                   "hsmclient_hsm_createp11privkeyhandle: An error occured calling C_CreateObject on the hsm PKCS11 "
                   "driver.\n");
      return kHsmCreateObject;
    }
  } else if (code != kOk) {
    appendpkcs11errorcode(session, code, rv);
    setlasterror(session,
                 "hsmclient_hsm_createp11privkeyhandle: An error occured trying to find the private key matching the "
                 "label.\n");
    return code;
  }
  code = setverifierkeyhandle(state, object);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_createp11privkeyhandle: An error occured trying to store the CSFEV private keyhandle "
                 "for the current merchant during opensession.\n");
    return code;
  }
  rv = s.close();
  if (rv != CKR_OK) {
    setlasterror(session, "hsmclient_hsm_decrypt: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n");
    return kHsmCloseSession;
  }
  return kOk;
}

}  // namespace

int hsm_createp11privkeyhandle(Session& state, EVP_PKEY* key, const std::string& label) {
  CK_RV rv = CKR_OK;
  int code = createkey(state, key, label, rv);
  appendpkcs11errorcode(state.number, code, rv);
  return code;
}

}  // namespace zmr
