// The monotonic millisecond clock, shared by the serial link (its time-outs)
// and the run (progress, give-up times). One file per platform
// (clock_linux.cpp, clock_win.cpp) is chosen by the build.
#pragma once

// Milliseconds on the platform's monotonic clock: elapsed time, never CPU
// time, unaffected by changes of the system time.
long long NowMs();
