#include "simcore.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// Time after the end command's LF to wait for its trailing CR.
constexpr int EndCommandTailMs = 300;
// How often a waiting SimServe looks at its quit flag.
constexpr int QuitPollMs = 100;
constexpr size_t CommandLineSize = 256;

long long NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

size_t AppendRecord(char* out, uint8_t length, uint16_t address, uint8_t type,
                    const uint8_t* data) {
  static const char digits[] = "0123456789ABCDEF";
  uint8_t sum = static_cast<uint8_t>(length + (address >> 8) + (address & 0xFF) + type);
  size_t n = 0;
  out[n++] = ':';
  auto put = [&](uint8_t byte) {
    out[n++] = digits[byte >> 4];
    out[n++] = digits[byte & 0x0F];
  };
  put(length);
  put(static_cast<uint8_t>(address >> 8));
  put(static_cast<uint8_t>(address & 0xFF));
  put(type);
  for (uint8_t i = 0; i < length; ++i) {
    put(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  put(static_cast<uint8_t>(-sum));
  out[n++] = '\r';
  out[n++] = '\n';
  return n;
}

// The line as a sender of bytes: paced to bytesPerSecond when that is set.
struct Line {
  int fd;
  double bytesPerSecond;
  long long freeAtNs;  // when the line has carried everything so far
};

void WaitUntil(long long ns) {
  const long long left = ns - NowNs();
  if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

// Accounts for bytes that crossed the line towards the logger.
void LineReceived(Line* line, size_t bytes) {
  if (line->bytesPerSecond <= 0) return;
  const long long now = NowNs();
  if (line->freeAtNs < now) line->freeAtNs = now;
  line->freeAtNs += static_cast<long long>(bytes * 1e9 / line->bytesPerSecond);
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

// Sends data; paced, each byte leaves no earlier than the line can carry it.
bool LineSend(Line* line, const char* data, size_t size) {
  if (line->bytesPerSecond <= 0) return WriteAll(line->fd, data, size);
  const double nsPerByte = 1e9 / line->bytesPerSecond;
  // Chunks of about a millisecond of line time keep the pace smooth.
  const size_t chunk = line->bytesPerSecond / 1000 > 1 ? line->bytesPerSecond / 1000 : 1;
  if (line->freeAtNs < NowNs()) line->freeAtNs = NowNs();
  for (size_t sent = 0; sent < size;) {
    const size_t n = size - sent < chunk ? size - sent : chunk;
    line->freeAtNs += static_cast<long long>(n * nsPerByte);
    WaitUntil(line->freeAtNs);
    if (!WriteAll(line->fd, data + sent, n)) return false;
    sent += n;
  }
  return true;
}

// Waits ms milliseconds, looking at the quit flag now and then. False on quit.
bool PauseUnlessQuit(const SimConfig* config, unsigned ms) {
  const long long until = NowNs() + ms * 1000000LL;
  for (;;) {
    if (config->quit != nullptr && config->quit->load()) return false;
    const long long left = until - NowNs();
    if (left <= 0) return true;
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(left < QuitPollMs * 1000000LL ? left : QuitPollMs * 1000000LL));
  }
}

// Sends a reply, stopping halfway for the configured pause when it is this block's.
bool SendReply(Line* line, const SimConfig* config, uint32_t address, const char* reply,
               size_t size, SimStats* stats) {
  if (config->pauseMs == 0 || address != config->pauseAddress) {
    return LineSend(line, reply, size);
  }
  const size_t half = size / 2;
  if (!LineSend(line, reply, half)) return false;
  stats->pauseStartNs = NowNs();
  if (!PauseUnlessQuit(config, config->pauseMs)) return false;
  stats->pauseEndNs = NowNs();
  return LineSend(line, reply + half, size - half);
}

bool ParseDihex(const char* text, uint32_t* address) {
  if (std::strncmp(text, "dihex ", 6) != 0) return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text + 6, &end, 16);
  if (end == text + 6 || value >= SimImageSize) return false;
  *address = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

void SimFillPattern(uint8_t* image, uint32_t seed) {
  uint32_t state = seed != 0 ? seed : 0x2545F491u;  // xorshift32 never leaves 0
  for (uint32_t i = 0; i < SimImageSize; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    image[i] = static_cast<uint8_t>(state >> 24);
  }
}

size_t SimBuildReply(const SimConfig* config, uint32_t address, char* out, size_t outSize) {
  size_t n = 0;
  for (int i = 0; i < 16; ++i) {
    const uint32_t at = address + static_cast<uint32_t>(i) * SimRecordBytes;
    if (n + 64 > outSize) break;
    if (address >= SimHighStart) {
      // An extended segment address record places the data record that follows.
      const uint16_t segment = static_cast<uint16_t>((at >> 4) & 0xF000);
      const uint8_t segmentBytes[2] = {static_cast<uint8_t>(segment >> 8),
                                       static_cast<uint8_t>(segment & 0xFF)};
      n += AppendRecord(out + n, 2, 0, 0x02, segmentBytes);
    }
    n += AppendRecord(out + n, SimRecordBytes, static_cast<uint16_t>(at & 0xFFFF), 0x00,
                      config->image + (at % SimImageSize));
  }
  return n;
}

bool SimOpenPty(SimPty* pty) {
  pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  pty->slave = -1;
  if (pty->master < 0) return false;
  if (grantpt(pty->master) != 0 || unlockpt(pty->master) != 0 ||
      ptsname_r(pty->master, pty->path, sizeof pty->path) != 0) {
    SimClosePty(pty);
    return false;
  }
  pty->slave = open(pty->path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) {
    SimClosePty(pty);
    return false;
  }
  // Raw from the start, so nothing is echoed or translated before the tool sets it up.
  termios tio;
  if (tcgetattr(pty->slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(pty->slave, TCSANOW, &tio);
  }
  fcntl(pty->master, F_SETFL, fcntl(pty->master, F_GETFL) | O_NONBLOCK);
  return true;
}

void SimClosePty(SimPty* pty) {
  if (pty->slave >= 0) close(pty->slave);
  if (pty->master >= 0) close(pty->master);
  pty->slave = pty->master = -1;
}

int SimServe(int master, const SimConfig* config, FILE* received, SimStats* stats) {
  *stats = SimStats{};
  Line line = {master, config->bytesPerSecond, 0};
  static char reply[SimReplySize];
  char command[CommandLineSize];
  size_t commandLength = 0;
  long long endSeenNs = 0;    // when "q" and its LF arrived
  long long replyDoneNs = 0;  // when the last reply was sent, until the next command comes
  for (;;) {
    if (config->quit != nullptr && config->quit->load()) return 1;
    int waitMs = QuitPollMs;
    if (endSeenNs != 0) {
      const long long left = endSeenNs / 1000000 + EndCommandTailMs - NowNs() / 1000000;
      if (left <= 0) return 0;
      waitMs = static_cast<int>(left);
    }
    pollfd pfd = {master, POLLIN, 0};
    const int ready = poll(&pfd, 1, waitMs);
    if (ready < 0 && errno != EINTR) return -1;
    if (ready <= 0) continue;
    char bytes[512];
    const ssize_t got = read(master, bytes, sizeof bytes);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // EIO: no process holds the port side any more (cannot happen while we hold it).
    if (got <= 0) return -1;
    const long long arrivedNs = NowNs();
    if (stats->firstCommandNs == 0) stats->firstCommandNs = arrivedNs;
    if (replyDoneNs != 0) {
      const long long turnaround = arrivedNs - replyDoneNs;
      stats->turnaroundTotalNs += turnaround;
      if (turnaround > stats->turnaroundMaxNs) stats->turnaroundMaxNs = turnaround;
      ++stats->turnarounds;
      replyDoneNs = 0;
    }
    stats->bytesReceived += got;
    LineReceived(&line, static_cast<size_t>(got));
    if (received != nullptr) {
      std::fwrite(bytes, 1, static_cast<size_t>(got), received);
      std::fflush(received);
    }
    for (ssize_t i = 0; i < got; ++i) {
      const char c = bytes[i];
      if (endSeenNs != 0) {
        if (c == '\r') return 0;  // the end command is complete
        continue;
      }
      if (c != '\n') {
        if (commandLength + 1 < sizeof command) command[commandLength++] = c;
        continue;
      }
      // A command ends at LF; a CR before it is part of the command's ending.
      while (commandLength > 0 && command[commandLength - 1] == '\r') --commandLength;
      command[commandLength] = '\0';
      commandLength = 0;
      uint32_t address = 0;
      const char* text = command;
      while (*text == '\r') ++text;  // the CR that ended the previous end command
      if (std::strcmp(text, "q") == 0) {
        stats->sawEnd = true;
        stats->endCommandNs = NowNs();
        endSeenNs = stats->endCommandNs;
      } else if (ParseDihex(text, &address)) {
        // The logger starts answering once the command has crossed the line.
        WaitUntil(line.freeAtNs);
        const size_t n = SimBuildReply(config, address, reply, sizeof reply);
        if (!SendReply(&line, config, address, reply, n, stats)) {
          return config->quit != nullptr && config->quit->load() ? 1 : -1;
        }
        replyDoneNs = NowNs();
        stats->bytesSent += static_cast<long long>(n);
        ++stats->commands;
      }
    }
  }
}
