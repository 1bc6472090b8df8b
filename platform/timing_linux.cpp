// The monotonic clock and sleeping on Linux.
#include <ctime>

#include "timing.h"

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(unsigned ms) {
  // A stop signal ends the sleep early; the caller checks the flag.
  timespec delay = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&delay, nullptr);
}
