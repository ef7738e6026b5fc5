// A text that is wiped before its memory is released (passwords, PINs).
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zmr {

struct SecretString {
  SecretString() = default;
  explicit SecretString(std::string_view s) : value(s) {}
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString() { wipe(); }
  void assign(std::string_view s) {
    wipe();
    value.assign(s.data(), s.size());
  }
  void wipe() {
    // Clean the whole capacity: a shorter text may have left older bytes.
    if (value.capacity() != 0) OPENSSL_cleanse(value.data(), value.capacity());
    value.clear();
  }
  std::string value;
};

// Bytes wiped before their memory is released (keys, decrypted blocks).
struct SecretBytes {
  SecretBytes() = default;
  explicit SecretBytes(size_t size) : bytes(size) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }
  void wipe() {
    bytes.resize(bytes.capacity());  // no reallocation: reach every byte held
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
  }
  std::vector<unsigned char> bytes;
};

}  // namespace zmr
