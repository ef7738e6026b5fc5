// The process-wide cache of merchant-reference word lists: one slot per
// locale, 20 slots, guarded by the named mutex "merchantreference".
#pragma once

#include <array>
#include <memory>

namespace zmr {

inline constexpr int kDictionarySlots = 20;

struct dictionary;  // one cached locale (generatemerchantreference.cpp)
using DictionarySlots = std::array<std::shared_ptr<dictionary>, kDictionarySlots>;

// The slots; touched only under "merchantreference".
DictionarySlots& dictData();

}  // namespace zmr
