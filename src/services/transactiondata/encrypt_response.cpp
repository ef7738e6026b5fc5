#include "misc/status.h"
#include "net/http_lib.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {

int encryptanswer(int session, std::string_view plain, std::string_view basekeytext, std::string_view prefix,
                  std::string& answer) {
  answer.clear();
  const Where at{prefix};
  SecretBytes basekey;
  if (int rc = decodebase64(session, basekeytext, basekey.bytes); rc != kOk)
    return fail(rc, at, "An error occured during base64 decoding of the basekey\n.");

  SubKey key, mackey, iv;
  KeyDeriver derive(basekey.bytes);
  if (derive.derive(kResponseLabels.encryption, key) != kOk)
    return fail(kOutOfMemory, at, "An error occured deriving the encryption key\n.");
  if (derive.derive(kResponseLabels.authentication, mackey) != kOk)
    return fail(kOutOfMemory, at, "An error occured deriving the authentication key\n.");
  if (derive.derive(kResponseLabels.iv, iv) != kOk)
    return fail(kOutOfMemory, at, "An error occured deriving the init vector\n.");

  std::vector<unsigned char> cipher;
  if (int rc = symmetricEncrypt2(session, key.bytes, iv.bytes, bytesof(plain), cipher); rc != kOk)
    return fail(rc, at, "An error occured while encrypting the data\n.");
  std::array<unsigned char, kTagLength> tag{};
  if (int rc = authenticateMessage(mackey.bytes, cipher, tag); rc != kOk)
    return fail(rc, at, "Failed to get the MAC for the encrypted message\n.");

  std::string data, mac;
  if (int rc = encodebase64(session, cipher.data(), cipher.size(), data); rc != kOk)
    return fail(rc, at, "Failed to base64 encode the encrypted message\n.");
  if (int rc = encodebase64(session, tag.data(), tag.size(), mac); rc != kOk)
    return fail(rc, at, "Failed to base64 encode the MAC\n.");
  std::string encdata, encauth;
  http_urlencode(data, encdata);
  http_urlencode(mac, encauth);
  answer.reserve(encdata.size() + encauth.size() + 18);
  answer.append("encData=").append(encdata).append("&encAuth=").append(encauth);
  return kOk;
}

int encrypt_response(int session, std::string_view plain, std::string_view basekey, std::string& answer) {
  return encryptanswer(session, plain, basekey, "inittransaction::encrypt_response: ", answer);
}

}  // namespace zmr
