// The line between the tool and the substitute logger as a sender of bytes:
// paced like a serial line of bytesPerSecond in both directions, or unpaced.
#pragma once

#include <atomic>
#include <cstddef>

// How often a waiting logger looks at its quit flag, and a write that cannot
// go on looks at the port again.
constexpr int QuitPollMs = 100;

struct Line {
  int fd;
  double bytesPerSecond;  // 0: unpaced
  long long freeAtNs;     // when the line has carried everything so far
};

// The monotonic clock in nanoseconds.
long long NowNs();

// Sleeps until NowNs() reaches ns.
void WaitUntil(long long ns);

// Waits ms milliseconds, looking at the quit flag (may be null) now and then.
// False on quit.
bool WaitUnlessQuit(const std::atomic<bool>* quit, unsigned ms);

// Accounts for bytes that crossed the line towards the logger.
void LineReceived(Line* line, size_t bytes);

// Sends data; paced, each byte leaves no earlier than the line can carry it,
// and the last one on time. False when the port fails.
bool LineSend(Line* line, const char* data, size_t size);
