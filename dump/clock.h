#pragma once

// Milliseconds on a monotonic wall clock: elapsed time, never CPU time, and
// unaffected by changes of the system time. Implemented with the platform's
// own monotonic clock in platform_linux.cpp and platform_win.cpp (MinGW's
// std::chrono::steady_clock follows the system time).
long long NowMs();
