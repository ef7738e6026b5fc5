// The merchant-reference word lists out of a gateway reply body: the
// reader and checker, then the drawing of a reference with the input's
// first four bytes as the random bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "services/mobile/mobileops.h"

using namespace zmr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // An exact-size copy: any read past the body is caught.
  std::vector<char> body(data + 4, data + size);
  wordlists lists;
  if (readdictionary(std::string_view(body.data(), body.size()), lists) != 0) return 0;
  for (const auto* words : {&lists.words1, &lists.words2}) {
    if (words->size() < 100) std::abort();
    std::unordered_set<std::string> unique(words->begin(), words->end());
    if (unique.size() != words->size()) std::abort();
  }
  std::string reference = pickreference(lists, data);
  const std::string& first = lists.words1[(data[0] * 256u + data[1]) % lists.words1.size()];
  const std::string& second = lists.words2[(data[2] * 256u + data[3]) % lists.words2.size()];
  if (reference != first + " " + second) std::abort();
  return 0;
}
