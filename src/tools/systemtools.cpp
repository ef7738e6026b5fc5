#include "tools/systemtools.h"

#include <sys/time.h>

namespace zmr {

int64_t getcurrenttimemillis() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return -1;
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

struct tm* gmtime_safe(const time_t* seconds, struct tm* out) {
  return gmtime_r(seconds, out);
}

void msleep(int64_t ms) {
  if (ms <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  nanosleep(&ts, nullptr);
}

int64_t monotonicmillis() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace zmr
