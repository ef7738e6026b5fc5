// The library's version, held once: CMake's PROJECT_VERSION, passed to the
// library's sources as ZMR_VERSION_TEXT.
#pragma once

#include <string_view>

#ifndef ZMR_VERSION_TEXT
#error "ZMR_VERSION_TEXT is set by the build (CMakeLists.txt)"
#endif

namespace zmr {

inline constexpr std::string_view kVersion = ZMR_VERSION_TEXT;

}  // namespace zmr
