#include "misc/status.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr Where kAt{"decrypttransactiondata::decrypttransactionresponse: "};

}  // namespace

int decrypttransactionresponse(int session, std::string_view basekeytext, std::string_view encdata,
                               std::string_view encauth, SecretString& plain) {
  plain.wipe();
  SecretBytes basekey;
  if (int rc = decodebase64(session, basekeytext, basekey.bytes); rc != kOk)
    return fail(rc, kAt, "Error base64 decoding basekey.\n");

  SubKey mackey, iv, key;
  KeyDeriver derive(basekey.bytes);
  if (derive.derive(kResponseLabels.authentication, mackey) != kOk)
    return fail(kOutOfMemory, kAt, "Error deriving the authentication key.\n");
  if (derive.derive(kResponseLabels.iv, iv) != kOk)
    return fail(kOutOfMemory, kAt, "Error deriving the decryption init vector.\n");
  if (derive.derive(kResponseLabels.encryption, key) != kOk)
    return fail(kOutOfMemory, kAt, "Error deriving the decryption key.\n");

  std::vector<unsigned char> cipher, tag;
  if (int rc = decodebase64(session, encdata, cipher); rc != kOk)
    return fail(rc, kAt, "Error base64 decoding encdata.\n");
  if (int rc = decodebase64(session, encauth, tag); rc != kOk) return fail(rc, kAt, "Error base64 decoding encauth.\n");
  if (int rc = authenticateMessage(mackey.bytes, cipher, tag); rc != kOk)
    return fail(rc, kAt, "Unable to verify authenticity of received message.\n");
  if (int rc = symmetricDecrypt2(session, key.bytes, iv.bytes, cipher, plain); rc != kOk)
    return fail(rc, kAt, "Error decrypting the received data.\n");
  return kOk;
}

}  // namespace zmr
