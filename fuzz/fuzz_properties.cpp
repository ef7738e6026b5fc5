// The properties-file parser: whatever the file holds, the session ends up
// with at most 50 pairs of bounded, NUL-free texts, every stored key can be
// looked up, and nothing leaks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "misc/stringoperations.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  zmr::Session session;
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (file == nullptr) std::abort();
  int rc = zmr::readproperties(session, file);
  std::fclose(file);

  const zmr::Session* s = &session;
  if (s->properties.size() > static_cast<size_t>(zmr::kMaxProperties)) std::abort();
  if (rc == 0 && s->properties.empty()) std::abort();  // a non-empty file has a line
  for (const auto& [key, value] : s->properties) {
    if (key.size() > zmr::kMaxPropertyText || value.size() > zmr::kMaxPropertyText) std::abort();
    if (key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) std::abort();
    if (!value.empty() && value.back() == '\n') std::abort();
    std::string found;
    if (zmr::getproperty(session, key.c_str(), found) != 0) std::abort();
  }
  std::string value;
  zmr::getproperty(session, "truststore", value);
  return 0;
}
