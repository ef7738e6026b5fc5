// A small PKCS#11 module for the failures a real token does not produce on
// demand: any entry point can be made to answer a chosen return value, slots
// can refuse sessions or PINs, and the module counts what was called. Built
// as several shared libraries that differ only in which entry points they
// export (see extra.cmake), for drivers that lack one.
//
// The user PIN is "1234". Logins are per slot and end when the slot's last
// session closes, as in a real module.
#include <p11-kit-1/p11-kit/pkcs11.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

struct Object {
  std::string label;
  CK_OBJECT_CLASS cls;
};

struct Slot {
  CK_SLOT_ID id = 0;
  CK_RV openrv = CKR_OK;
  CK_RV loginrv = CKR_OK;
  bool loggedin = false;
  std::vector<Object> objects;
};

struct Session {
  size_t slot;
  bool rw;
  std::vector<CK_OBJECT_HANDLE> found;
  bool finding = false;
};

std::mutex m;
bool initialised = false;
std::vector<Slot> slots;
std::map<CK_SESSION_HANDLE, Session> sessions;
CK_SESSION_HANDLE nexthandle = 1;
std::map<std::string, CK_RV> overrides;
std::map<std::string, unsigned long> calls;
CK_ULONG reportedsignlen = 256;
CK_ULONG reportedslotcount = 0;  // 0: the real number
CK_MECHANISM_TYPE lastdecryptmechanism = CKM_VENDOR_DEFINED;
const std::string kFakePlaintext = "fake plaintext";
std::string decrypted = kFakePlaintext;  // what every C_Decrypt answers

constexpr CK_SLOT_ID kFirstSlotId = 10;
constexpr CK_OBJECT_HANDLE handleof(size_t slot, size_t index) { return slot * 1000 + index + 1; }

// Counts the call and tells whether it is to answer an injected value.
bool injected(const char* fn, CK_RV& rv) {
  ++calls[fn];
  auto it = overrides.find(fn);
  if (it == overrides.end()) return false;
  rv = it->second;
  return true;
}

Session* sessionof(CK_SESSION_HANDLE h) {
  auto it = sessions.find(h);
  return it == sessions.end() ? nullptr : &it->second;
}

// Signing and decryption take a private key of the session's slot.
CK_RV checkkey(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key) {
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const auto& objects = slots[s->slot].objects;
  if (key / 1000 != s->slot || key % 1000 == 0 || key % 1000 > objects.size()) return CKR_KEY_HANDLE_INVALID;
  return objects[key % 1000 - 1].cls == CKO_PRIVATE_KEY ? CKR_OK : CKR_KEY_TYPE_INCONSISTENT;
}

const CK_ATTRIBUTE* attribute(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  for (CK_ULONG i = 0; i < count; ++i) {
    if (tmpl[i].type == type) return &tmpl[i];
  }
  return nullptr;
}

void resetlocked(unsigned long nslots) {
  slots.clear();
  for (unsigned long i = 0; i < nslots; ++i) {
    Slot slot;
    slot.id = kFirstSlotId + i;
    slots.push_back(slot);
  }
  sessions.clear();
  overrides.clear();
  calls.clear();
  reportedsignlen = 256;
  reportedslotcount = 0;
  lastdecryptmechanism = CKM_VENDOR_DEFINED;
  decrypted = kFakePlaintext;
}

struct Defaults {
  Defaults() { resetlocked(1); }
} defaults;

}  // namespace

// ---- control interface for the tests ----

FAKE_API void fakep11_reset(unsigned long nslots) {
  std::lock_guard<std::mutex> lock(m);
  resetlocked(nslots);
}
FAKE_API void fakep11_setrv(const char* fn, CK_RV rv) {
  std::lock_guard<std::mutex> lock(m);
  overrides[fn] = rv;
}
FAKE_API void fakep11_clearrv(const char* fn) {
  std::lock_guard<std::mutex> lock(m);
  overrides.erase(fn);
}
FAKE_API void fakep11_setslot(unsigned long index, CK_RV openrv, CK_RV loginrv) {
  std::lock_guard<std::mutex> lock(m);
  slots.at(index).openrv = openrv;
  slots.at(index).loginrv = loginrv;
}
FAKE_API void fakep11_addobject(unsigned long index, const char* label, CK_OBJECT_CLASS cls) {
  std::lock_guard<std::mutex> lock(m);
  slots.at(index).objects.push_back({label, cls});
}
FAKE_API void fakep11_setsignlen(CK_ULONG len) {
  std::lock_guard<std::mutex> lock(m);
  reportedsignlen = len;
}
FAKE_API void fakep11_setslotcount(CK_ULONG count) {
  std::lock_guard<std::mutex> lock(m);
  reportedslotcount = count;
}
FAKE_API unsigned long fakep11_calls(const char* fn) {
  std::lock_guard<std::mutex> lock(m);
  auto it = calls.find(fn);
  return it == calls.end() ? 0 : it->second;
}
FAKE_API unsigned long fakep11_opensessions() {
  std::lock_guard<std::mutex> lock(m);
  return sessions.size();
}
FAKE_API int fakep11_loggedin(unsigned long index) {
  std::lock_guard<std::mutex> lock(m);
  return slots.at(index).loggedin ? 1 : 0;
}
FAKE_API int fakep11_initialised() {
  std::lock_guard<std::mutex> lock(m);
  return initialised ? 1 : 0;
}
FAKE_API void fakep11_setdecrypted(const unsigned char* bytes, CK_ULONG len) {
  std::lock_guard<std::mutex> lock(m);
  decrypted.assign(reinterpret_cast<const char*>(bytes), len);
}
FAKE_API CK_MECHANISM_TYPE fakep11_lastdecryptmechanism() {
  std::lock_guard<std::mutex> lock(m);
  return lastdecryptmechanism;
}
FAKE_API CK_SLOT_ID fakep11_slotid(unsigned long index) { return kFirstSlotId + index; }
FAKE_API CK_OBJECT_HANDLE fakep11_objecthandle(unsigned long slot, unsigned long index) {
  return handleof(slot, index);
}

// ---- the PKCS#11 entry points ----

// Every entry point holds the module's lock, counts the call and answers an
// injected value when one is set.
#define ENTER(fn)                             \
  std::lock_guard<std::mutex> lock(m);        \
  if (CK_RV forced; injected(fn, forced)) return forced

FAKE_API CK_RV C_Initialize(void*) {
  ENTER("C_Initialize");
  if (initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  initialised = true;
  return CKR_OK;
}

FAKE_API CK_RV C_Finalize(void*) {
  ENTER("C_Finalize");
  if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
  initialised = false;
  sessions.clear();
  return CKR_OK;
}

FAKE_API CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  ENTER("C_GetSlotList");
  CK_ULONG n = reportedslotcount != 0 ? reportedslotcount : slots.size();
  if (list == nullptr) {
    *count = n;
    return CKR_OK;
  }
  if (*count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG i = 0; i < n; ++i) list[i] = kFirstSlotId + i;
  *count = n;
  return CKR_OK;
}

FAKE_API CK_RV C_OpenSession(CK_SLOT_ID id, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR out) {
  ENTER("C_OpenSession");
  if (id < kFirstSlotId || id - kFirstSlotId >= slots.size()) return CKR_SLOT_ID_INVALID;
  size_t index = id - kFirstSlotId;
  if (slots[index].openrv != CKR_OK) return slots[index].openrv;
  if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  *out = nexthandle++;
  sessions[*out] = Session{index, (flags & CKF_RW_SESSION) != 0, {}, false};
  return CKR_OK;
}

FAKE_API CK_RV C_CloseSession(CK_SESSION_HANDLE h) {
  ENTER("C_CloseSession");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  size_t slot = s->slot;
  sessions.erase(h);
  bool last = std::none_of(sessions.begin(), sessions.end(), [slot](const auto& e) { return e.second.slot == slot; });
  if (last) slots[slot].loggedin = false;
  return CKR_OK;
}

FAKE_API CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  ENTER("C_Login");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  Slot& slot = slots[s->slot];
  if (slot.loginrv != CKR_OK) return slot.loginrv;
  if (slot.loggedin) return CKR_USER_ALREADY_LOGGED_IN;
  if (std::string(reinterpret_cast<const char*>(pin), len) != "1234") return CKR_PIN_INCORRECT;
  slot.loggedin = true;
  return CKR_OK;
}

FAKE_API CK_RV C_Logout(CK_SESSION_HANDLE h) {
  ENTER("C_Logout");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!slots[s->slot].loggedin) return CKR_USER_NOT_LOGGED_IN;
  slots[s->slot].loggedin = false;
  return CKR_OK;
}

FAKE_API CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  ENTER("C_FindObjectsInit");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->finding) return CKR_OPERATION_ACTIVE;
  const CK_ATTRIBUTE* label = attribute(tmpl, count, CKA_LABEL);
  const CK_ATTRIBUTE* cls = attribute(tmpl, count, CKA_CLASS);
  s->found.clear();
  const auto& objects = slots[s->slot].objects;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (label != nullptr &&
        objects[i].label != std::string(static_cast<const char*>(label->pValue), label->ulValueLen))
      continue;
    if (cls != nullptr && objects[i].cls != *static_cast<const CK_OBJECT_CLASS*>(cls->pValue)) continue;
    s->found.push_back(handleof(s->slot, i));
  }
  s->finding = true;
  return CKR_OK;
}

FAKE_API CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
  ENTER("C_FindObjects");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  CK_ULONG n = std::min<CK_ULONG>(max, s->found.size());
  std::copy(s->found.begin(), s->found.begin() + n, out);
  s->found.erase(s->found.begin(), s->found.begin() + n);
  *count = n;
  return CKR_OK;
}

FAKE_API CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
  ENTER("C_FindObjectsFinal");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
  s->finding = false;
  return CKR_OK;
}

FAKE_API CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE key) {
  ENTER("C_SignInit");
  return checkkey(h, key);
}

// Writes at most 256 bytes, but reports reportedsignlen.
FAKE_API CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR sig, CK_ULONG_PTR siglen) {
  ENTER("C_Sign");
  if (sessionof(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (*siglen < 256) {
    *siglen = 256;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::memset(sig, 0xA5, 256);
  *siglen = reportedsignlen;
  return CKR_OK;
}

FAKE_API CK_RV C_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  ENTER("C_DecryptInit");
  lastdecryptmechanism = mechanism->mechanism;
  return checkkey(h, key);
}

FAKE_API CK_RV C_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outlen) {
  ENTER("C_Decrypt");
  if (sessionof(h) == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (*outlen < decrypted.size()) return CKR_BUFFER_TOO_SMALL;
  std::memcpy(out, decrypted.data(), decrypted.size());
  *outlen = decrypted.size();
  return CKR_OK;
}

FAKE_API CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR out) {
  ENTER("C_CreateObject");
  Session* s = sessionof(h);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->rw) return CKR_SESSION_READ_ONLY;
  const CK_ATTRIBUTE* label = attribute(tmpl, count, CKA_LABEL);
  const CK_ATTRIBUTE* cls = attribute(tmpl, count, CKA_CLASS);
  if (label == nullptr || cls == nullptr) return CKR_TEMPLATE_INCOMPLETE;
  auto& objects = slots[s->slot].objects;
  objects.push_back({std::string(static_cast<const char*>(label->pValue), label->ulValueLen),
                     *static_cast<const CK_OBJECT_CLASS*>(cls->pValue)});
  *out = handleof(s->slot, objects.size() - 1);
  return CKR_OK;
}
