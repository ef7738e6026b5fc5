// Helpers of the PKCS#11 client tests: merchant session numbers, the recent
// error, the fake driver's control interface, the module's own function
// list (to look at the token the way the host would) and RSA checks made
// with OpenSSL alone.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hsm/hsmclient.h"
#include "misc/ossl.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"

namespace hsmtest {

// An open merchant session with an empty state, closed at the end of the
// scope (its last user then ends an HSM session left open on it).
struct MerchantSession : zmrtest::StoreSession {
  uint64_t context() const {
    uint64_t h = 0;
    zmr::gethsm_sessioncontext(state(), &h);
    return h;
  }
};

// Takes the calling thread's recent error ("" when none).
inline std::string takeError() {
  std::optional<std::string> text;
  zmr::getlasterror(0, text);
  return text.value_or("");
}

// The base of every fixture here: each test starts and ends with the
// calling thread's recent error empty, so that the lines one test leaves
// behind never reach the checks of the next when they share a process.
class Test : public ::testing::Test {
 protected:
  void SetUp() override { takeError(); }
  void TearDown() override { takeError(); }
};

// The control interface of the fake driver at path (see fakep11.cpp).
struct FakeP11 {
  explicit FakeP11(const std::string& p = ZMR_FAKEP11_PATH) : path(p), handle(dlopen(p.c_str(), RTLD_NOW)) {
    if (handle == nullptr) return;
    resolve(reset, "fakep11_reset");
    resolve(setrv, "fakep11_setrv");
    resolve(clearrv, "fakep11_clearrv");
    resolve(setslot, "fakep11_setslot");
    resolve(addobject, "fakep11_addobject");
    resolve(setsignlen, "fakep11_setsignlen");
    resolve(setslotcount, "fakep11_setslotcount");
    resolve(calls, "fakep11_calls");
    resolve(opensessions, "fakep11_opensessions");
    resolve(loggedin, "fakep11_loggedin");
    resolve(initialised, "fakep11_initialised");
    resolve(slotid, "fakep11_slotid");
    resolve(objecthandle, "fakep11_objecthandle");
    resolve(lastmechanism, "fakep11_lastdecryptmechanism");
    resolve(setdecrypted, "fakep11_setdecrypted");
  }
  ~FakeP11() {
    if (handle != nullptr) dlclose(handle);
  }
  FakeP11(const FakeP11&) = delete;
  FakeP11& operator=(const FakeP11&) = delete;
  template <typename Fn>
  void resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
  }
  // Direct calls into the module, as a host that uses it itself would make.
  template <typename Fn>
  Fn entry(const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
  }

  std::string path;
  void* handle;
  void (*reset)(unsigned long) = nullptr;
  void (*setrv)(const char*, CK_RV) = nullptr;
  void (*clearrv)(const char*) = nullptr;
  void (*setslot)(unsigned long, CK_RV, CK_RV) = nullptr;
  void (*addobject)(unsigned long, const char*, CK_OBJECT_CLASS) = nullptr;
  void (*setsignlen)(CK_ULONG) = nullptr;
  void (*setslotcount)(CK_ULONG) = nullptr;
  unsigned long (*calls)(const char*) = nullptr;
  unsigned long (*opensessions)() = nullptr;
  int (*loggedin)(unsigned long) = nullptr;
  int (*initialised)() = nullptr;
  CK_SLOT_ID (*slotid)(unsigned long) = nullptr;
  CK_OBJECT_HANDLE (*objecthandle)(unsigned long, unsigned long) = nullptr;
  CK_MECHANISM_TYPE (*lastmechanism)() = nullptr;  // of the last C_DecryptInit
  // What C_Decrypt answers from now on ("fake plaintext" after a reset).
  void (*setdecrypted)(const unsigned char*, CK_ULONG) = nullptr;
};

// The number of private-key objects with that label that the PKCS#11
// session h sees (at most 16).
inline unsigned long privateKeyObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE h, const std::string& label) {
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE search[] = {{CKA_LABEL, const_cast<char*>(label.data()), static_cast<CK_ULONG>(label.size())},
                           {CKA_CLASS, &cls, sizeof cls}};
  if (p11->C_FindObjectsInit(h, search, 2) != CKR_OK) return ~0ul;
  CK_OBJECT_HANDLE found[16];
  CK_ULONG count = 0;
  CK_RV rv = p11->C_FindObjects(h, found, 16, &count);
  p11->C_FindObjectsFinal(h);
  return rv == CKR_OK ? count : ~0ul;
}

// The function list of an already loaded module (the library's own load).
inline CK_FUNCTION_LIST* moduleFunctions(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return nullptr;
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  if (get == nullptr || get(&list) != CKR_OK) list = nullptr;
  dlclose(h);  // the library's own handle keeps it loaded
  return list;
}

// The DigestInfo of SHA-256(message), as signers hand it to the module.
inline std::vector<unsigned char> sha256DigestInfo(const std::string& message, std::vector<unsigned char>* hash = nullptr) {
  static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(message.data(), message.size(), md, &len, EVP_sha256(), nullptr);
  if (hash != nullptr) hash->assign(md, md + 32);
  std::vector<unsigned char> out(sizeof prefix + 32);
  std::memcpy(out.data(), prefix, sizeof prefix);
  std::memcpy(out.data() + sizeof prefix, md, 32);
  return out;
}

// OpenSSL's own check of a PKCS#1 v1.5 SHA-256 signature over message.
inline bool verifiesSha256(EVP_PKEY* key, const std::string& message, const std::vector<unsigned char>& signature) {
  std::vector<unsigned char> hash;
  sha256DigestInfo(message, &hash);
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

// RSA encryption with OpenSSL (PKCS#1 v1.5, or OAEP with SHA-1 and MGF1-SHA1).
inline std::vector<unsigned char> rsaEncrypt(EVP_PKEY* key, const std::string& plaintext, bool oaep) {
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t len = 0;
  std::vector<unsigned char> out;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) != 1)
    return out;
  auto in = reinterpret_cast<const unsigned char*>(plaintext.data());
  if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, in, plaintext.size()) != 1) return out;
  out.resize(len);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in, plaintext.size()) != 1) out.clear();
  out.resize(len);
  return out;
}

}  // namespace hsmtest
