// The monotonic clock and sleeping on Windows.
#include <windows.h>

#include "timing.h"

long long NowMs() {
  // The performance counter is monotonic; split the division so that the
  // product cannot overflow however long the machine has been running.
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  constexpr long long MsPerSecond = 1000;
  return count.QuadPart / frequency.QuadPart * MsPerSecond +
         count.QuadPart % frequency.QuadPart * MsPerSecond / frequency.QuadPart;
}

void SleepMs(unsigned ms) {
  Sleep(ms);
}
