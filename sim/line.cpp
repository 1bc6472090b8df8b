#include "line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// The last part of a paced wait that is spun rather than slept.
constexpr long long ExactWaitSpinNs = 200000;

// As WaitUntil, but on time: sleeps to a little before ns and spins the rest.
// A sleep can end tens of microseconds late (more in a virtual machine), and
// the end of a reply is the moment the tool is timed from.
void WaitUntilExactly(long long ns) {
  WaitUntil(ns - ExactWaitSpinNs);
  while (NowNs() < ns) {
  }
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd = {fd, POLLOUT, 0};
    poll(&pfd, 1, QuitPollMs);
  }
  return true;
}

}  // namespace

long long NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void WaitUntil(long long ns) {
  const long long left = ns - NowNs();
  if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

bool WaitUnlessQuit(const std::atomic<bool>* quit, unsigned ms) {
  const long long until = NowNs() + ms * 1000000LL;
  for (;;) {
    if (quit != nullptr && quit->load()) return false;
    const long long left = until - NowNs();
    if (left <= 0) return true;
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(left < QuitPollMs * 1000000LL ? left : QuitPollMs * 1000000LL));
  }
}

void LineReceived(Line* line, size_t bytes) {
  if (line->bytesPerSecond <= 0) return;
  const long long now = NowNs();
  if (line->freeAtNs < now) line->freeAtNs = now;
  line->freeAtNs += static_cast<long long>(bytes * 1e9 / line->bytesPerSecond);
}

bool LineSend(Line* line, const char* data, size_t size) {
  if (line->bytesPerSecond <= 0) return WriteAll(line->fd, data, size);
  const double nsPerByte = 1e9 / line->bytesPerSecond;
  // Chunks of about a millisecond of line time keep the pace smooth.
  const size_t chunk = line->bytesPerSecond / 1000 > 1 ? line->bytesPerSecond / 1000 : 1;
  // A sleep that overran by a little does not move the line's schedule: the
  // bytes still arrive when the line would have carried them. Only a line that
  // stood idle (a stall) starts its schedule anew.
  const long long now = NowNs();
  if (line->freeAtNs + static_cast<long long>(chunk * nsPerByte / 2) < now) line->freeAtNs = now;
  for (size_t sent = 0; sent < size;) {
    const size_t n = size - sent < chunk ? size - sent : chunk;
    line->freeAtNs += static_cast<long long>(n * nsPerByte);
    if (sent + n == size) {
      WaitUntilExactly(line->freeAtNs);
    } else {
      WaitUntil(line->freeAtNs);
    }
    if (!WriteAll(line->fd, data + sent, n)) return false;
    sent += n;
  }
  return true;
}
