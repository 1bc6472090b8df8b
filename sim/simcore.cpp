#include "simcore.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
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
// The last part of a paced wait that is spun rather than slept.
constexpr long long ExactWaitSpinNs = 200000;
// How often a waiting SimServe looks at its quit flag.
constexpr int QuitPollMs = 100;
constexpr size_t CommandLineSize = 256;
// Room for one record's text: ':', 255 bytes of data as digits and the fields around them.
constexpr size_t RecordTextSize = 1 + 2 * (4 + 255 + 1) + 1;
// Most that one record line of a reply can take, noise included.
constexpr size_t RecordRoom = 128;
// Lines that are no records: none begins with ':'.
const char* const NoiseLines[] = {"\n", "?\r\n", "dihex echo\r\n", " :1000000000\r\n"};
constexpr size_t NoiseLineCount = sizeof NoiseLines / sizeof NoiseLines[0];
// Before hanging up, the logger waits (at most this long) until the port side
// has taken everything sent, so that what was sent is what the tool received.
constexpr int DrainLimitMs = 2000;
constexpr int DrainPollMs = 10;
constexpr int DrainEmptyChecks = 3;

long long NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// Writes the text of one record (no line end) and returns its length.
size_t FormatRecord(char* out, uint8_t length, uint16_t address, uint8_t type, const uint8_t* data,
                    bool lowercase) {
  const char* digits = lowercase ? "0123456789abcdef" : "0123456789ABCDEF";
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
  return n;
}

// Spoils the text of a record as kind says; returns its new length. (A lost
// line end is made by AppendLine.)
size_t Corrupt(char* record, size_t length, SimCorruption kind, unsigned asked) {
  constexpr size_t firstDataDigit = 9;
  switch (kind) {
    case SimCorruption::Colon:
      record[0] = '.';
      return length;
    case SimCorruption::LineEnd:
    case SimCorruption::Checksum: {
      // Another last digit, a different one each time the block is asked for:
      // the checksum no longer matches, and no two tries bring the same line.
      constexpr unsigned decimalDigits = 10;
      const unsigned value = HexDigitValue(record[length - 1]);
      record[length - 1] =
          static_cast<char>('0' + (value + 1 + asked % (decimalDigits - 1)) % decimalDigits);
      return length;
    }
    case SimCorruption::Digit:
      record[firstDataDigit] = 'G';
      return length;
    case SimCorruption::Short:
      return length / 2;
    case SimCorruption::Lost:  // made by AppendData, which leaves the line out
    case SimCorruption::None:
      break;
  }
  return length;
}

// Appends a record's text as a line ended by CR LF (none when lineEnd is
// false); with noise, a line that is no record goes before it and NUL bytes go
// inside it.
size_t AppendLine(const SimFaults* faults, const char* record, size_t length, size_t lineIndex,
                  char* out, bool lineEnd = true) {
  size_t n = 0;
  if (faults->noise) {
    const char* noise = NoiseLines[lineIndex % NoiseLineCount];
    const size_t noiseLength = std::strlen(noise);
    std::memcpy(out, noise, noiseLength);
    n += noiseLength;
  }
  for (size_t i = 0; i < length; ++i) {
    if (faults->noise && (i == 1 || i == length / 2)) out[n++] = '\0';
    out[n++] = record[i];
  }
  if (faults->noise) out[n++] = '\0';
  if (!lineEnd) return n;
  if (!faults->lfOnly) out[n++] = '\r';
  out[n++] = '\n';
  return n;
}

// Whether a block's reply is spoiled when it has been asked for asked times
// before: the first spoilFirst times, or every time.
bool Spoils(const SimFaults* faults, unsigned asked) {
  return faults->spoilFirst == 0 || asked < faults->spoilFirst;
}

// The load address of the data record holding memory address at.
uint16_t LoadAddress(const SimFaults* faults, uint32_t at) {
  return static_cast<uint16_t>(faults->noAddresses ? at % BlockSize : at & 0xFFFF);
}

// True when the fault's address (SimNone: off) lies in the record starting at at.
bool SameRecord(long faultAddress, uint32_t at) {
  return faultAddress >= 0 &&
         static_cast<uint32_t>(faultAddress) / RecordDataBytes == at / RecordDataBytes;
}

// True when the record starting at at is one that the corruption spoils.
bool CorruptRecord(const SimFaults* faults, uint32_t at) {
  const long first = faults->corruptAddress;
  if (faults->corruptStride <= 0 || first < 0) return SameRecord(first, at);
  const long offset = static_cast<long>(at) - first / RecordDataBytes * RecordDataBytes;
  return offset >= 0 && offset % faults->corruptStride == 0;
}

// Where a hang-up halfway cuts a reply: after half of its lines, in the middle
// of the next one.
size_t HalfwayCut(const char* reply, size_t size) {
  size_t lines = 0;
  for (size_t i = 0; i < size; ++i) lines += reply[i] == '\n';
  size_t seen = 0;
  size_t cutLineStart = 0;
  for (size_t i = 0; i < size; ++i) {
    if (reply[i] != '\n') continue;
    if (seen++ == lines / 2) return cutLineStart + (i - cutLineStart) / 2;
    cutLineStart = i + 1;
  }
  return size / 2;
}

// Waits until the port side has read every byte sent (its input queue stays
// empty for a few looks), at most DrainLimitMs.
void WaitForDrain(int slave) {
  const long long until = NowNs() + DrainLimitMs * 1000000LL;
  for (int empty = 0; empty < DrainEmptyChecks && NowNs() < until;) {
    int queued = 0;
    if (ioctl(slave, FIONREAD, &queued) != 0) return;
    empty = queued == 0 ? empty + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(DrainPollMs));
  }
}

// The logger goes away: both sides of the pseudo-terminal are closed, so the
// tool's port reports a hang-up.
int HangUp(SimPty* pty) {
  WaitForDrain(pty->slave);
  SimClosePty(pty);
  return SimHungUp;
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

// As WaitUntil, but on time: sleeps to a little before ns and spins the rest.
// A sleep can end tens of microseconds late (more in a virtual machine), and
// the end of a reply is the moment the tool is timed from.
void WaitUntilExactly(long long ns) {
  WaitUntil(ns - ExactWaitSpinNs);
  while (NowNs() < ns) {
  }
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

// Waits ms milliseconds, looking at the quit flag now and then. False on quit.
bool WaitUnlessQuit(const SimConfig* config, unsigned ms) {
  const long long until = NowNs() + ms * 1000000LL;
  for (;;) {
    if (config->quit != nullptr && config->quit->load()) return false;
    const long long left = until - NowNs();
    if (left <= 0) return true;
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(left < QuitPollMs * 1000000LL ? left : QuitPollMs * 1000000LL));
  }
}

// Sends a reply, stalling halfway for the configured time when it is the
// first reply to this block.
bool SendReply(Line* line, const SimConfig* config, uint32_t address, unsigned asked,
               const char* reply, size_t size, SimStats* stats) {
  if (config->stallMs == 0 || address != config->stallAddress || asked > 0) {
    return LineSend(line, reply, size);
  }
  const size_t half = size / 2;
  if (!LineSend(line, reply, half)) return false;
  stats->stallStartNs = NowNs();
  if (!WaitUnlessQuit(config, config->stallMs)) return false;
  stats->stallEndNs = NowNs();
  return LineSend(line, reply + half, size - half);
}

// Whether a command line (without its LF) is the end command's.
bool IsEndCommand(const char* text) {
  const size_t word = std::strcspn(EndCommand, "\n");
  return std::strlen(text) == word && std::strncmp(text, EndCommand, word) == 0;
}

bool ParseDihex(const char* text, uint32_t* address) {
  const size_t word = std::strlen(BlockCommandWord);
  if (std::strncmp(text, BlockCommandWord, word) != 0) return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text + word, &end, 16);
  if (end == text + word || value >= ImageSize) return false;
  *address = static_cast<uint32_t>(value);
  return true;
}

// SimServe's results besides the failure (-1) and SimHungUp.
constexpr int SimEnded = 0;
constexpr int SimQuit = 1;
// Internal result of the serving steps: go on serving.
constexpr int ServeGoOn = 3;

// What SimServe keeps between the bytes it receives.
struct Server {
  SimPty* pty;
  const SimConfig* config;
  SimStats* stats;
  FILE* received;
  Line line;
  char reply[SimReplySize];
  char command[CommandLineSize];
  size_t commandLength;
  bool silent;                 // after the silent-after block: commands are taken, never answered
  long long endSeenNs;         // when "q" and its LF arrived
  long long replyDoneNs;       // when the last reply was sent, until the next command comes
  unsigned asked[BlockCount];  // times each block was asked for
};

bool Quitting(const Server* server) {
  return server->config->quit != nullptr && server->config->quit->load();
}

// The time from the end of the last reply to this command is the other side's turnaround.
void NoteArrival(Server* server, size_t bytes) {
  SimStats* stats = server->stats;
  const long long arrivedNs = NowNs();
  if (stats->firstCommandNs == 0) stats->firstCommandNs = arrivedNs;
  if (server->replyDoneNs != 0) {
    const long long turnaround = arrivedNs - server->replyDoneNs;
    stats->turnaroundTotalNs += turnaround;
    if (turnaround > stats->turnaroundMaxNs) stats->turnaroundMaxNs = turnaround;
    ++stats->turnarounds;
    server->replyDoneNs = 0;
  }
  stats->bytesReceived += static_cast<long long>(bytes);
  LineReceived(&server->line, bytes);
}

// What waiting for the tool's bytes came to.
enum class Receipt {
  Bytes,  // *count bytes (maybe none) arrived
  Ended,  // the end command's tail has passed
  Failed,
};

// Waits for the next bytes from the tool (at most a quit poll, or what is left
// of the end command's tail) and takes them; their count in *count.
Receipt ReceiveBytes(Server* server, char* bytes, size_t size, size_t* count) {
  *count = 0;
  int waitMs = QuitPollMs;
  if (server->endSeenNs != 0) {
    const long long left = server->endSeenNs / 1000000 + EndCommandTailMs - NowNs() / 1000000;
    if (left <= 0) return Receipt::Ended;
    waitMs = static_cast<int>(left);
  }
  const int master = server->pty->master;
  pollfd pfd = {master, POLLIN, 0};
  const int ready = poll(&pfd, 1, waitMs);
  if (ready < 0 && errno != EINTR) return Receipt::Failed;
  if (ready <= 0) return Receipt::Bytes;
  const ssize_t got = read(master, bytes, size);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return Receipt::Bytes;
  // EIO: no process holds the port side any more (cannot happen while we hold it).
  if (got <= 0) return Receipt::Failed;
  *count = static_cast<size_t>(got);
  NoteArrival(server, *count);
  if (server->received != nullptr) {
    std::fwrite(bytes, 1, *count, server->received);
    std::fflush(server->received);
  }
  return Receipt::Bytes;
}

// Sends a whole reply; with split line ends its last LF comes a little later,
// in a write of its own.
bool SendWholeReply(Server* server, uint32_t address, unsigned asked, size_t n) {
  const SimConfig* config = server->config;
  const bool split = static_cast<long>(address) == config->faults.splitBlock && n > 0 &&
                     server->reply[n - 1] == '\n';
  const size_t first = split ? n - 1 : n;
  if (!SendReply(&server->line, config, address, asked, server->reply, first, server->stats)) {
    return false;
  }
  if (!split) return true;
  return WaitUnlessQuit(config, SimSplitLineEndMs) && LineSend(&server->line, "\n", 1);
}

// Answers "dihex <address>" with the block's reply, faults applied.
int Answer(Server* server, uint32_t address) {
  const SimConfig* config = server->config;
  const SimFaults* faults = &config->faults;
  // The logger starts answering once the command has crossed the line.
  WaitUntil(server->line.freeAtNs);
  const unsigned asked = server->asked[address / BlockSize]++;
  const long block = static_cast<long>(address);
  const bool spoil = Spoils(faults, asked);
  unsigned delayMs = faults->replyDelayMs;
  if (spoil && block == faults->lateBlock) delayMs += faults->lateMs;
  if (delayMs > 0 && !WaitUnlessQuit(config, delayMs)) return SimQuit;
  size_t n = SimBuildReply(config, address, server->reply, sizeof server->reply, asked);
  const bool cutHalfway = block == faults->hangUpInBlock;
  if (cutHalfway) n = HalfwayCut(server->reply, n);
  const int copies = spoil && block == faults->twiceBlock ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    if (i > 0 && !WaitUnlessQuit(config, SimRepeatGapMs)) return SimQuit;
    if (!SendWholeReply(server, address, asked, n)) return Quitting(server) ? SimQuit : -1;
    server->stats->bytesSent += static_cast<long long>(n);
  }
  server->replyDoneNs = NowNs();
  ++server->stats->commands;
  if (cutHalfway || block == faults->hangUpAfterBlock) return HangUp(server->pty);
  if (block == faults->silentAfterBlock) server->silent = true;
  return ServeGoOn;
}

// Takes one command line (its LF and any CR before it already removed).
int TakeCommand(Server* server, const char* text) {
  while (*text == '\r') ++text;  // the CR that ended the previous end command
  if (server->config->faults.echo) {
    char echo[CommandLineSize + 2];
    std::snprintf(echo, sizeof echo, "%s\r\n", text);
    if (!LineSend(&server->line, echo, std::strlen(echo))) return -1;
  }
  uint32_t address = 0;
  if (IsEndCommand(text)) {
    server->stats->sawEnd = true;
    server->stats->endCommandNs = NowNs();
    server->endSeenNs = server->stats->endCommandNs;
    const char* answer = server->config->faults.afterEnd;
    if (answer != nullptr && !LineSend(&server->line, answer, std::strlen(answer))) return -1;
  } else if (!server->silent && !server->config->faults.foreignText && ParseDihex(text, &address)) {
    return Answer(server, address);
  }
  return ServeGoOn;
}

// Takes one byte from the tool: commands end at LF; after "q" and its LF the
// CR that follows completes the end command.
int TakeByte(Server* server, char c) {
  if (server->endSeenNs != 0) return c == '\r' ? SimEnded : ServeGoOn;
  if (c != '\n') {
    if (server->commandLength + 1 < sizeof server->command) {
      server->command[server->commandLength++] = c;
    }
    return ServeGoOn;
  }
  // A CR before the LF is part of the command's ending.
  size_t length = server->commandLength;
  while (length > 0 && server->command[length - 1] == '\r') --length;
  server->command[length] = '\0';
  server->commandLength = 0;
  return TakeCommand(server, server->command);
}

}  // namespace

void SimFillPattern(uint8_t* image, uint32_t seed) {
  uint32_t state = seed != 0 ? seed : 0x2545F491u;  // xorshift32 never leaves 0
  for (uint32_t i = 0; i < ImageSize; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    image[i] = static_cast<uint8_t>(state >> 24);
  }
}

namespace {

// A reply being built: where it goes and how far it has come.
struct ReplyText {
  const SimConfig* config;
  bool spoil;  // the faults apply to this reply
  unsigned asked;
  char* out;
  size_t n;      // bytes so far
  size_t lines;  // lines so far
};

// The record before the data record of memory address from, in a block from
// HighBlocksStart on: an extended segment address record that places it, or
// with lostBase one that places nothing.
void AppendPlacing(ReplyText* r, uint32_t from, bool lostBase) {
  const SimFaults* faults = &r->config->faults;
  char record[RecordTextSize];
  size_t length = 0;
  if (lostBase) {
    const uint8_t start[4] = {};
    const bool endOfFile = faults->lostBaseType == 0x01;
    length = FormatRecord(record, endOfFile ? 0 : sizeof start, 0, faults->lostBaseType, start,
                          faults->lowercase);
  } else {
    const uint16_t segment = faults->noAddresses ? 0 : SegmentOf(from);
    const uint8_t segmentBytes[2] = {static_cast<uint8_t>(segment >> 8),
                                     static_cast<uint8_t>(segment & 0xFF)};
    length = FormatRecord(record, 2, 0, RecordTypeSegment, segmentBytes, faults->lowercase);
  }
  r->n += AppendLine(faults, record, length, r->lines++, r->out + r->n);
}

// The data record for the block's bytes at, holding recordBytes of memory
// from address from, spoiled or sent twice as the faults say.
void AppendData(ReplyText* r, uint32_t at, uint32_t from, uint8_t recordBytes) {
  const SimFaults* faults = &r->config->faults;
  char record[RecordTextSize];
  uint8_t data[SimWideRecordBytes];
  for (uint8_t i = 0; i < recordBytes; ++i) data[i] = r->config->image[(from + i) % ImageSize];
  size_t length = FormatRecord(record, recordBytes, LoadAddress(faults, at), RecordTypeData, data,
                               faults->lowercase);
  const bool spoiled = r->spoil && CorruptRecord(faults, at);
  if (spoiled && faults->corruption == SimCorruption::Lost) return;
  if (spoiled) length = Corrupt(record, length, faults->corruption, r->asked);
  const bool lineEnd = !spoiled || faults->corruption != SimCorruption::LineEnd;
  r->n += AppendLine(faults, record, length, r->lines++, r->out + r->n, lineEnd);
  if (r->spoil && SameRecord(faults->duplicateAddress, at)) {
    r->n += AppendLine(faults, record, length, r->lines++, r->out + r->n, lineEnd);
  }
}

}  // namespace

size_t SimBuildReply(const SimConfig* config, uint32_t address, char* out, size_t outSize,
                     unsigned asked) {
  const SimFaults* faults = &config->faults;
  const bool spoil = Spoils(faults, asked);
  const long block = static_cast<long>(address);
  if (spoil && block == faults->otherReplyBlock) {
    SimConfig other = *config;
    other.faults.otherReplyBlock = SimNone;
    return SimBuildReply(&other, (address + BlockSize) % ImageSize, out, outSize, asked);
  }
  const uint8_t recordBytes = spoil && faults->wideRecords ? SimWideRecordBytes : RecordDataBytes;
  // Memory 64 KiB too low from HighBlocksStart on, placed there by its segment
  // records, or with no segment records at all.
  const bool lostBase = spoil && block == faults->lostBaseBlock && address >= HighBlocksStart;
  const uint32_t shift = (spoil && faults->lowSegments) || lostBase ? HighBlocksStart : 0;
  ReplyText r = {config, spoil, asked, out, 0, 0};
  if (spoil && block == faults->longLineBlock && SimLongLineLength + 2 <= outSize) {
    std::memset(out, 'x', SimLongLineLength);
    r.n = SimLongLineLength;
    out[r.n++] = '\r';
    out[r.n++] = '\n';
  }
  for (uint32_t at = address; at < address + BlockSize; at += RecordDataBytes) {
    if (r.n + 3 * RecordRoom > outSize) break;
    const uint32_t from = address >= HighBlocksStart ? at - shift : at;
    if (address >= HighBlocksStart) AppendPlacing(&r, from, lostBase);
    AppendData(&r, at, from, recordBytes);
  }
  if (spoil && block == faults->surplusBlock && r.n + RecordRoom <= outSize) {
    // One line more than asked for: an end-of-file record.
    char record[RecordTextSize];
    const size_t length = FormatRecord(record, 0, 0, 0x01, nullptr, faults->lowercase);
    r.n += AppendLine(faults, record, length, r.lines++, out + r.n);
  }
  return r.n;
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

int SimServe(SimPty* pty, const SimConfig* config, FILE* received, SimStats* stats) {
  *stats = SimStats{};
  // Paced sleeps end on time, not up to 50 us late (the default timer slack).
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  Server server{};
  server.pty = pty;
  server.config = config;
  server.stats = stats;
  server.received = received;
  server.line = {pty->master, config->bytesPerSecond, 0};
  long long foreignAtNs = NowNs();
  long long strayAtNs = NowNs();
  for (;;) {
    if (Quitting(&server)) return SimQuit;
    if (config->faults.foreignText && NowNs() >= foreignAtNs) {
      // Another device on the port talks on its own, whatever it is sent.
      if (!LineSend(&server.line, SimForeignLine, std::strlen(SimForeignLine))) return -1;
      foreignAtNs = NowNs() + SimForeignLineMs * 1000000LL;
    }
    if (config->faults.strayRecordMs > 0 && NowNs() >= strayAtNs) {
      const size_t length = std::strlen(SimStrayRecordLine);
      if (!LineSend(&server.line, SimStrayRecordLine, length)) return -1;
      strayAtNs = NowNs() + config->faults.strayRecordMs * 1000000LL;
    }
    char bytes[512];
    size_t got = 0;
    const Receipt receipt = ReceiveBytes(&server, bytes, sizeof bytes, &got);
    if (receipt == Receipt::Ended) return SimEnded;
    if (receipt == Receipt::Failed) return -1;
    for (size_t i = 0; i < got; ++i) {
      const int result = TakeByte(&server, bytes[i]);
      if (result != ServeGoOn) return result;
    }
  }
}
