#include <algorithm>
#include <iterator>

#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

struct ErrorName {
  CK_RV rv;
  const char* name;
};

// The return values of the Cryptoki 2.20 standard, ascending. Later
// additions, vendor values and CKR_DOMAIN_PARAMS_INVALID are reported as
// unknown.
constexpr ErrorName pkcs11errortable[] = {
    {0x000, "OK"},
    {0x001, "CANCEL"},
    {0x002, "HOST_MEMORY"},
    {0x003, "SLOT_ID_INVALID"},
    {0x005, "GENERAL_ERROR"},
    {0x006, "FUNCTION_FAILED"},
    {0x007, "ARGUMENTS_BAD"},
    {0x008, "NO_EVENT"},
    {0x009, "NEED_TO_CREATE_THREADS"},
    {0x00A, "CANT_LOCK"},
    {0x010, "ATTRIBUTE_READ_ONLY"},
    {0x011, "ATTRIBUTE_SENSITIVE"},
    {0x012, "ATTRIBUTE_TYPE_INVALID"},
    {0x013, "ATTRIBUTE_VALUE_INVALID"},
    {0x020, "DATA_INVALID"},
    {0x021, "DATA_LEN_RANGE"},
    {0x030, "DEVICE_ERROR"},
    {0x031, "DEVICE_MEMORY"},
    {0x032, "DEVICE_REMOVED"},
    {0x040, "ENCRYPTED_DATA_INVALID"},
    {0x041, "ENCRYPTED_DATA_LEN_RANGE"},
    {0x050, "FUNCTION_CANCELED"},
    {0x051, "FUNCTION_NOT_PARALLEL"},
    {0x054, "FUNCTION_NOT_SUPPORTED"},
    {0x060, "KEY_HANDLE_INVALID"},
    {0x062, "KEY_SIZE_RANGE"},
    {0x063, "KEY_TYPE_INCONSISTENT"},
    {0x064, "KEY_NOT_NEEDED"},
    {0x065, "KEY_CHANGED"},
    {0x066, "KEY_NEEDED"},
    {0x067, "KEY_INDIGESTIBLE"},
    {0x068, "KEY_FUNCTION_NOT_PERMITTED"},
    {0x069, "KEY_NOT_WRAPPABLE"},
    {0x06A, "KEY_UNEXTRACTABLE"},
    {0x070, "MECHANISM_INVALID"},
    {0x071, "MECHANISM_PARAM_INVALID"},
    {0x082, "OBJECT_HANDLE_INVALID"},
    {0x090, "OPERATION_ACTIVE"},
    {0x091, "OPERATION_NOT_INITIALIZED"},
    {0x0A0, "PIN_INCORRECT"},
    {0x0A1, "PIN_INVALID"},
    {0x0A2, "PIN_LEN_RANGE"},
    {0x0A3, "PIN_EXPIRED"},
    {0x0A4, "PIN_LOCKED"},
    {0x0B0, "SESSION_CLOSED"},
    {0x0B1, "SESSION_COUNT"},
    {0x0B3, "SESSION_HANDLE_INVALID"},
    {0x0B4, "SESSION_PARALLEL_NOT_SUPPORTED"},
    {0x0B5, "SESSION_READ_ONLY"},
    {0x0B6, "SESSION_EXISTS"},
    {0x0B7, "SESSION_READ_ONLY_EXISTS"},
    {0x0B8, "SESSION_READ_WRITE_SO_EXISTS"},
    {0x0C0, "SIGNATURE_INVALID"},
    {0x0C1, "SIGNATURE_LEN_RANGE"},
    {0x0D0, "TEMPLATE_INCOMPLETE"},
    {0x0D1, "TEMPLATE_INCONSISTENT"},
    {0x0E0, "TOKEN_NOT_PRESENT"},
    {0x0E1, "TOKEN_NOT_RECOGNIZED"},
    {0x0E2, "TOKEN_WRITE_PROTECTED"},
    {0x0F0, "UNWRAPPING_KEY_HANDLE_INVALID"},
    {0x0F1, "UNWRAPPING_KEY_SIZE_RANGE"},
    {0x0F2, "UNWRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x100, "USER_ALREADY_LOGGED_IN"},
    {0x101, "USER_NOT_LOGGED_IN"},
    {0x102, "USER_PIN_NOT_INITIALIZED"},
    {0x103, "USER_TYPE_INVALID"},
    {0x104, "USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x105, "USER_TOO_MANY_TYPES"},
    {0x110, "WRAPPED_KEY_INVALID"},
    {0x112, "WRAPPED_KEY_LEN_RANGE"},
    {0x113, "WRAPPING_KEY_HANDLE_INVALID"},
    {0x114, "WRAPPING_KEY_SIZE_RANGE"},
    {0x115, "WRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x120, "RANDOM_SEED_NOT_SUPPORTED"},
    {0x121, "RANDOM_NO_RNG"},
    {0x150, "BUFFER_TOO_SMALL"},
    {0x160, "SAVED_STATE_INVALID"},
    {0x170, "INFORMATION_SENSITIVE"},
    {0x180, "STATE_UNSAVEABLE"},
    {0x190, "CRYPTOKI_NOT_INITIALIZED"},
    {0x191, "CRYPTOKI_ALREADY_INITIALIZED"},
    {0x1A0, "MUTEX_BAD"},
    {0x1A1, "MUTEX_NOT_LOCKED"},
};
static_assert(std::size(pkcs11errortable) == 83);

}  // namespace

const char* pkcs11errorname(CK_RV rv) {
  const auto* it = std::find_if(std::begin(pkcs11errortable), std::end(pkcs11errortable),
                                [rv](const ErrorName& e) { return e.rv == rv; });
  return it != std::end(pkcs11errortable) ? it->name : "UNKNOWN_CRYPTOKI_ERRORCODE";
}

void appendpkcs11errorcode(int session, int code, CK_RV rv) {
  if (code == kOk || rv == CKR_OK) return;
  setlasterror(session, "The PKCS#11 error was: ");
  setlasterror(session, pkcs11errorname(rv));
  setlasterror(session, "\n");
}

}  // namespace zmr
