#include <openssl/evp.h>

#include <climits>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

// Decoded bytes go to the digests a piece at a time, from a buffer that
// stays in the cache, instead of a block the size of the whole text.
constexpr size_t kPieceBytes = 16384;
constexpr size_t kPieceText = kPieceBytes / 3 * 4;
static_assert(kPieceText / 4 * 3 + 3 <= kPieceBytes + 3);

// The input of a digest: a base64 text, or bytes that come as they are.
struct Input {
  std::string_view text;
  const unsigned char* bytes = nullptr;
  size_t length = 0;
  bool istext = true;
};

// One digest or two over the same input, each started, fed and finished
// as hashdata does it alone; failed is the index of the one that failed.
class Digests {
 public:
  Digests(int session, size_t* failed) : session_(session), failed_(failed) {}

  int start(std::string_view algorithm) {
    *failed_ = count_;
    const EVP_MD* md = nullptr;
    if (algorithm == "sha1") {
      md = EVP_sha1();
    } else if (algorithm == "md5") {
      md = EVP_md5();
    } else if (algorithm.substr(0, 4) == "sha2") {
      md = EVP_sha256();
    } else if (algorithm.substr(0, 4) == "sha5") {
      md = EVP_sha512();
    } else {
      setlasterror(session_, "hashdata_hashdata: The requested hashingalgorithm is not supported.\n");
      return kHashAlgorithm;
    }
    EvpMdCtxPtr& ctx = ctx_[count_];
    ctx.reset(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
      setlasterror(session_, "hashdata_hashdata: An error occured during EVP_DigestInit.\n");
      return kHashInit;
    }
    ++count_;
    return kOk;
  }

  int feed(const Input& in) {
    *failed_ = 0;
    if (!in.istext) {
      // The codes the bytes' own base64 encoding would have given.
      if (in.length == 0) return kBase64Encode;
      if (base64_encodedlength(in.length) > static_cast<size_t>(INT_MAX)) return kBadArgument;
      return update(in.bytes, in.length);
    }
    if (in.text.size() > static_cast<size_t>(INT_MAX)) return undecodable(kBadArgument);
    unsigned char piece[kPieceBytes + 3];
    Base64Decoding state;
    size_t total = 0, produced = 0;
    for (size_t at = 0; at < in.text.size(); at += kPieceText) {
      if (!base64_decodepiece(state, in.text.substr(at, kPieceText), piece, produced))
        return undecodable(base64decodefailure(session_));
      if (int rc = update(piece, produced); rc != kOk) return rc;
      total += produced;
    }
    if (!base64_decodeend(state, piece, produced) || total + produced == 0)
      return undecodable(base64decodefailure(session_));
    return update(piece, produced);
  }

  int finish(std::string* const* outs) {
    for (size_t i = 0; i < count_; ++i) {
      *failed_ = i;
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (EVP_DigestFinal_ex(ctx_[i].get(), digest, &length) != 1) {
        setlasterror(session_, "hashdata_hashdata: An error occured during EVP_DigestFinal.\n");
        return kHashFinal;
      }
      if (outs[i] == nullptr) {
        raw_.assign(digest, digest + length);
        continue;
      }
      if (int rc = encodebase64(session_, digest, length, *outs[i]); rc != kOk) {
        setlasterror(session_, "hashdata_hashdata: Could not base64 encode the digested data.\n");
        return rc;
      }
    }
    return kOk;
  }

  std::vector<unsigned char>& raw() { return raw_; }

 private:
  int undecodable(int rc) {
    setlasterror(session_,
                 "hashdata_hashdata: An error occured trying to base64 decode the base64 encoded data input.\n");
    return rc;
  }

  int update(const unsigned char* data, size_t length) {
    if (length == 0) return kOk;
    for (size_t i = 0; i < count_; ++i) {
      if (EVP_DigestUpdate(ctx_[i].get(), data, length) != 1) {
        *failed_ = i;
        setlasterror(session_, "hashdata_hashdata: An error occured during EVP_DigestUpdate.\n");
        return kHashUpdate;
      }
    }
    return kOk;
  }

  int session_;
  size_t* failed_;
  EvpMdCtxPtr ctx_[2];
  size_t count_ = 0;
  std::vector<unsigned char> raw_;
};

// The digests of in for count algorithms (1 or 2), into outs (nullptr: the
// raw digest, into raw).
int digest(int session, const Input& in, const std::string_view* algorithms, std::string* const* outs, size_t count,
           size_t* failed, std::vector<unsigned char>* raw = nullptr) {
  size_t ignored = 0;
  if (failed == nullptr) failed = &ignored;
  *failed = 0;
  for (size_t i = 0; i < count; ++i)
    if (outs[i] != nullptr) outs[i]->clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  Digests digests(session, failed);
  for (size_t i = 0; i < count; ++i)
    if (int rc = digests.start(algorithms[i]); rc != kOk) return rc;
  if (int rc = digests.feed(in); rc != kOk) return rc;
  if (int rc = digests.finish(outs); rc != kOk) return rc;
  if (raw != nullptr) *raw = std::move(digests.raw());
  return kOk;
}

constexpr std::string_view kPair[] = {"sha1", "sha256"};

Input textinput(std::string_view data) { return Input{data}; }
Input bytesinput(const unsigned char* data, size_t length) { return Input{{}, data, length, false}; }

}  // namespace

int hashdata(int session, std::string& out, std::string_view algorithm, std::string_view data) {
  std::string* outs[] = {&out};
  return digest(session, textinput(data), &algorithm, outs, 1, nullptr);
}

int hashbytes(int session, std::string& out, std::string_view algorithm, const unsigned char* data, size_t length) {
  std::string* outs[] = {&out};
  return digest(session, bytesinput(data, length), &algorithm, outs, 1, nullptr);
}

int hashbytes(int session, std::vector<unsigned char>& out, std::string_view algorithm, const unsigned char* data,
              size_t length) {
  out.clear();
  std::string* outs[] = {nullptr};
  return digest(session, bytesinput(data, length), &algorithm, outs, 1, nullptr, &out);
}

int hashdatapair(int session, std::string& sha1, std::string& sha256, std::string_view data, bool* secondfailed) {
  std::string* outs[] = {&sha1, &sha256};
  size_t failed = 0;
  int rc = digest(session, textinput(data), kPair, outs, 2, &failed);
  if (secondfailed != nullptr) *secondfailed = rc != kOk && failed == 1;
  return rc;
}

int hashbytespair(int session, std::string& sha1, std::string& sha256, const unsigned char* data, size_t length,
                  bool* secondfailed) {
  std::string* outs[] = {&sha1, &sha256};
  size_t failed = 0;
  int rc = digest(session, bytesinput(data, length), kPair, outs, 2, &failed);
  if (secondfailed != nullptr) *secondfailed = rc != kOk && failed == 1;
  return rc;
}

}  // namespace zmr
