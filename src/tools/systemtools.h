// Clock, UTC conversion and sleeping.
#pragma once

#include <cstdint>
#include <ctime>

namespace zmr {

// Milliseconds since 1970-01-01 UTC; all ones when the clock cannot be read.
int64_t getcurrenttimemillis();
// Reentrant UTC conversion.
struct tm* gmtime_safe(const time_t* seconds, struct tm* out);
// Sleeps ms milliseconds (once, not resumed when interrupted); nothing for ms <= 0.
void msleep(int64_t ms);
// Milliseconds of a monotonic clock, for time limits.
int64_t monotonicmillis();

}  // namespace zmr
