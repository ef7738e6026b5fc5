// A text that is wiped before its memory is released (passwords, PINs).
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <string_view>

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

}  // namespace zmr
