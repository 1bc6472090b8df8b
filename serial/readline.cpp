// Line assembly and command writing shared by every platform: the platform
// file moves the bytes (SerialReadSome, SerialWriteSome), this file cuts what
// arrives into lines and hands commands over.
#include <cstring>

#include "platform/timing.h"
#include "link.h"

SerialSeam serialSeam = {SerialReadSome, SerialWriteSome, nullptr, SerialPurgeInput};

namespace {

// The links: the run owns one at a time, and no heap is needed.
SerialLink pool[SerialLinksAtOnce];

// Reads what the port has (waiting up to a read time-out) into the receive
// buffer, replacing what it held, and notes the bytes' arrival. The count, 0
// on time-out, or SerialLineFailed.
int TakeFromPort(SerialLink* link) {
  // The clock, not the read, decides when the line has been quiet for a read
  // time-out: an empty read that came back early is read again after a pause.
  const long long due = NowMs() + ReadTimeoutMs;
  link->readInterrupted = false;
  int got = serialSeam.readSome(link, link->receive, sizeof link->receive);
  for (long long left = due - NowMs();
       got == 0 && left > EarlyReturnSlackMs && !link->readInterrupted; left = due - NowMs()) {
    SleepMs(left < EmptyReadPauseMs ? static_cast<unsigned>(left) : EmptyReadPauseMs);
    got = serialSeam.readSome(link, link->receive, sizeof link->receive);
  }
  if (got <= 0) return got < 0 ? SerialLineFailed : 0;
  link->receiveStart = 0;
  link->receiveEnd = static_cast<size_t>(got);
  link->bytesReceived += static_cast<unsigned>(got);
  return got;
}

// Reads that ReadQueueEmpty makes at most: the queue holds SerialQueueBytes,
// and what arrives meanwhile at 19200 baud is far less than a read takes.
constexpr int EmptyingReadsAtMost = 4;

// Empties the port's input queue by reading out what it holds, for a port
// that refused to purge it. False when a read failed or bytes kept coming.
bool ReadQueueEmpty(SerialLink* link) {
  for (int i = 0; i < EmptyingReadsAtMost; ++i) {
    const int got = SerialReadQueued(link, link->receive, sizeof link->receive);
    if (got < 0) return false;
    link->bytesReceived += static_cast<unsigned>(got);
    if (got == 0 || link->queueEmpty) return true;
  }
  return false;
}

}  // namespace

void SerialInit(SerialLink* link) {
  link->taken = false;
  link->handle = SerialClosedHandle;
  link->receiveStart = link->receiveEnd = 0;
  link->partialLength = 0;
  link->bytesReceived = 0;
  link->writeFailedOutright = false;
  link->queueEmpty = false;
  link->readInterrupted = false;
  link->earlyEmptySinceMs = -1;
  link->settingsSaved = false;
}

size_t SerialWrite(SerialLink* link, const char* text) {
  const size_t length = std::strlen(text);
  link->writeFailedOutright = false;  // the platform's write says otherwise
  const size_t written = serialSeam.writeSome(link, text, length);
  return written < length ? written : length;
}

bool SerialWriteFailedOutright(const SerialLink* link) {
  return link->writeFailedOutright;
}

int SerialReadLine(SerialLink* link, char* lineBuffer) {
  // Bytes that keep coming without a line end must not hold the caller (and
  // its stop request) for longer than a read time-out.
  const long long deadline = NowMs() + ReadTimeoutMs;
  for (;;) {
    // Take bytes already received before asking the port for more.
    while (link->receiveStart < link->receiveEnd) {
      const char c = static_cast<char>(link->receive[link->receiveStart++]);
      if (c == '\0') continue;  // NUL bytes never reach a line
      if (c == '\r' || c == '\n') {
        size_t n = link->partialLength;
        std::memcpy(lineBuffer, link->partial, n);
        lineBuffer[n++] = c;
        lineBuffer[n] = '\0';
        link->partialLength = 0;
        return static_cast<int>(n);
      }
      if (link->partialLength < MaxLineText) {
        link->partial[link->partialLength++] = c;
      }  // else: an overlong line keeps its head only
    }
    if (NowMs() >= deadline) return SerialLineTimeout;
    // The line assembled so far stays after a failed read: after a line error
    // the rest of it follows, and the line must not lose its head (and with
    // it its ':').
    const int got = TakeFromPort(link);
    if (got < 0) return SerialLineFailed;
    if (got == 0) return SerialLineTimeout;
  }
}

unsigned long long SerialBytesReceived(const SerialLink* link) {
  return link->bytesReceived;
}

int SerialDropInputAndWait(SerialLink* link) {
  link->partialLength = 0;
  const int got = TakeFromPort(link);
  // What came is dropped as well.
  link->receiveStart = link->receiveEnd = 0;
  return got;
}

bool SerialDropInputNow(SerialLink* link) {
  // Nothing held beyond the last line (at most the LF of its CR LF), and a
  // last read that left the port's queue empty: the system need not be asked.
  // Anything else means the other side sent more than was taken, and its
  // queue may hold more yet.
  const size_t held = link->receiveEnd - link->receiveStart;
  const bool lineEndOnly = held == 0 || (held == 1 && link->receive[link->receiveStart] == '\n');
  const bool emptied = link->partialLength == 0 && lineEndOnly && link->queueEmpty;
  link->partialLength = 0;
  link->receiveStart = link->receiveEnd = 0;
  return emptied || serialSeam.purgeInput(link) || ReadQueueEmpty(link);
}

bool SerialLineWaiting(SerialLink* link, char first) {
  if (link->partialLength > 0 && link->partial[0] == first) return true;
  bool lineStart = link->partialLength == 0;
  size_t scanned = link->receiveStart;
  for (;;) {
    for (; scanned < link->receiveEnd; ++scanned) {
      const char c = static_cast<char>(link->receive[scanned]);
      if (c == '\0') continue;  // NUL bytes never reach a line
      if (c == '\r' || c == '\n') {
        lineStart = true;
        continue;
      }
      if (lineStart && c == first) return true;
      lineStart = false;
    }
    if (link->queueEmpty) return false;
    // Take what the port has queued behind the bytes held, without waiting.
    const size_t held = link->receiveEnd - link->receiveStart;
    std::memmove(link->receive, link->receive + link->receiveStart, held);
    scanned -= link->receiveStart;
    link->receiveStart = 0;
    link->receiveEnd = held;
    if (held == sizeof link->receive) return false;  // no room to look further
    const int got = SerialReadQueued(link, link->receive + held, sizeof link->receive - held);
    if (got <= 0) return false;
    link->receiveEnd += static_cast<size_t>(got);
    link->bytesReceived += static_cast<unsigned>(got);
  }
}

SerialLink* SerialOpen(const char* device, SerialOpenFailure* failure) {
  *failure = {SerialOpenFault::None, 0};
  for (SerialLink& link : pool) {
    if (link.taken) continue;
    SerialInit(&link);
    if (!SerialOpenPort(&link, device, failure)) return nullptr;
    link.taken = true;
    return &link;
  }
  *failure = {SerialOpenFault::Other, 0};
  return nullptr;
}

bool SerialClose(SerialLink* link, unsigned long* code) {
  unsigned long ignored = 0;
  if (code == nullptr) code = &ignored;
  *code = 0;
  if (link == nullptr) return true;
  const bool restored = SerialClosePort(link, code);
  SerialInit(link);
  return restored;
}
