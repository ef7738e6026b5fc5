// Status codes. Every code the library returns has one row in
// misc/statuscodes.def, and its internal name here: kNoSession for row
// NoSession. The public header names the same rows ZMR_E_<PUBLIC>.
#pragma once

namespace zmr {

inline constexpr int kOk = 0;

#define ZMR_STATUS(name, pub, number, meaning) inline constexpr int k##name = number;
#include "misc/statuscodes.def"
#undef ZMR_STATUS

}  // namespace zmr
