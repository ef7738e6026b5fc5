// Status codes shared by every component. Component codes are written as
// numbers where they are used; these are the few that everyone returns.
#pragma once

namespace zmr {

inline constexpr int kOk = 0;
inline constexpr int kOutOfMemory = 33001;
inline constexpr int kBadArgument = 33002;
inline constexpr int kUnreadablePointer = 33003;
inline constexpr int kTruncated = 33004;

}  // namespace zmr
