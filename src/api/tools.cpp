// Exported functions of hashing, random, base64, text and version, zmr_free,
// and the two host-visible triple-DES functions.
#include "api/frame.h"
#include "misc/status.h"
#include "services/items/itemsops.h"

using namespace zmr;

ZMR_EXPORT int zmr_free(void* pointer) {
  ZMR_TRY(required(pointer));
  std::free(pointer);
  return 0;
}

ZMR_EXPORT int zmr_getversioninfo(char** out) {
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    std::string text;
    ZMR_TRY(getversioninfo(text));
    return handout(text, out);
  });
}

ZMR_EXPORT int zmr_hashdata(int session, char** out, int algorithm, const char* data) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(out));
  if (algorithm < 0) return kBadArgument;
  std::string_view text;
  ZMR_TRY(requiredtext(data, text));
  static const char* const names[] = {"sha1", "md5", "sha256"};
  if (algorithm > 2) return kBadAlgorithm;
  *out = nullptr;
  return guarded([&] {
    std::string digest;
    ZMR_TRY(hashdata(session, digest, names[algorithm], text));
    return handout(digest, out);
  });
}

ZMR_EXPORT int zmr_getrandom(int session, char** out, uint64_t count) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    SecretString text;
    ZMR_TRY(getrandom(session, text, count));
    return handout(text, out);
  });
}

ZMR_EXPORT int zmr_base64encode(int session, const unsigned char* data, uint64_t length, char** out) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(data));
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    std::string text;
    ZMR_TRY(base64encode(session, data, length, text));
    return handout(text, out);
  });
}

ZMR_EXPORT int zmr_base64decode(int session, const char* text, unsigned char** out, uint64_t* length) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(text));
  ZMR_TRY(required(out));
  ZMR_TRY(required(length));
  *out = nullptr;
  *length = 0;
  return guarded([&] {
    std::vector<unsigned char> bytes;
    ZMR_TRY(base64decode(session, text, bytes));
    return handout(bytes, out, length);
  });
}

ZMR_EXPORT int zmr_removecrlf(int session, const char* text, char** out) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(text));
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    std::string result;
    ZMR_TRY(removecrlf(session, text, result));
    return handout(result, out);
  });
}

using TripleDes = int (*)(int, std::string_view, std::string_view, SecretString&);

static int tripledesentry(TripleDes op, int session, const char* key, const char* input, char** out) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(key));
  ZMR_TRY(requiredtext(input));
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    SecretString result;
    ZMR_TRY(op(session, key, input, result));
    return handout(result, out);
  });
}

ZMR_EXPORT int symmetricencrypt(int session, const char* key, const char* plain, char** out) {
  return tripledesentry(zmr::symmetricencrypt, session, key, plain, out);
}
ZMR_EXPORT int symmetricdecrypt(int session, const char* key, const char* cipher, char** out) {
  return tripledesentry(zmr::symmetricdecrypt, session, key, cipher, out);
}
