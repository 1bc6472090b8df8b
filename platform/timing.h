// The clock, sleeping and the stop check: all that the logger layer and the
// serial link need of the platform. One file per platform
// (timing_linux.cpp, timing_win.cpp) is chosen by the build.
#pragma once

#include <atomic>

// Milliseconds on the platform's monotonic clock: elapsed time, never CPU
// time, unaffected by changes of the system time.
long long NowMs();

void SleepMs(unsigned ms);

// The stop flag is set from a signal handler (Linux) or from a thread of the
// system's own (Windows): only a lock-free atomic is safe in both.
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be lock-free");

// Whether the user asked to stop: flag set (a null flag is never set).
inline bool StopRequested(const std::atomic<bool>* flag) {
  return flag != nullptr && flag->load();
}

// Sleeps ms in short steps so that a stop request is seen at once; false
// when one came.
inline bool SleepUnlessStopped(const std::atomic<bool>* flag, unsigned ms) {
  constexpr unsigned slice = 100;
  for (unsigned slept = 0; slept < ms; slept += slice) {
    if (StopRequested(flag)) return false;
    SleepMs(ms - slept < slice ? ms - slept : slice);
  }
  return !StopRequested(flag);
}
