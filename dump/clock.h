#pragma once

#include <chrono>

// Milliseconds on a monotonic wall clock: elapsed time, never CPU time.
inline long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
