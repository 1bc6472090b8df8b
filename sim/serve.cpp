// The logger's side of the protocol: commands taken byte by byte, a "dihex"
// answered with its block's reply, the end command, paced like the line. What
// the faults make of it comes as plans (faults.h): the manner the logger has
// from the start, and each reply's text and sending.
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

#include "faults.h"
#include "line.h"
#include "reply.h"

namespace {

// Time after the end command's LF to wait for its trailing CR.
constexpr int EndCommandTailMs = 300;
constexpr size_t CommandLineSize = 256;
// Before hanging up, the logger waits (at most this long) until the port side
// has taken everything sent, so that what was sent is what the tool received.
constexpr int DrainLimitMs = 2000;
constexpr int DrainPollMs = 10;
constexpr int DrainEmptyChecks = 3;

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
  SimManner manner;
  long long chatterAtNs[SimChatterRoom];  // when each line of chatter is next due
  char reply[SimReplySize];
  char command[CommandLineSize];
  size_t commandLength;
  bool answering;              // block commands are answered (until a reply's plan ends it)
  long long endSeenNs;         // when "q" and its LF arrived
  long long replyDoneNs;       // when the last reply was sent, until the next command comes
  unsigned asked[BlockCount];  // times each block was asked for
};

bool Quitting(const Server* server) {
  return server->config->quit != nullptr && server->config->quit->load();
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

// Sends a reply, stalling halfway for the configured time when it is the
// first reply to this block.
bool SendReply(Server* server, uint32_t address, unsigned asked, const char* reply, size_t size) {
  const SimConfig* config = server->config;
  if (config->stallMs == 0 || address != config->stallAddress || asked > 0) {
    return LineSend(&server->line, reply, size);
  }
  const size_t half = size / 2;
  if (!LineSend(&server->line, reply, half)) return false;
  server->stats->stallStartNs = NowNs();
  if (!WaitUnlessQuit(config->quit, config->stallMs)) return false;
  server->stats->stallEndNs = NowNs();
  return LineSend(&server->line, reply + half, size - half);
}

// Sends a whole reply of n bytes; with a late line end its last LF comes a
// little later, in a write of its own.
bool SendWholeReply(Server* server, const SimReplyPlan* plan, size_t n) {
  const bool split = plan->send.lateLineEnd && n > 0 && server->reply[n - 1] == '\n';
  const size_t first = split ? n - 1 : n;
  if (!SendReply(server, plan->address, plan->asked, server->reply, first)) return false;
  if (!split) return true;
  return WaitUnlessQuit(server->config->quit, SimSplitLineEndMs) &&
         LineSend(&server->line, "\n", 1);
}

// Answers "dihex <address>" with the block's reply, as its plan says.
int Answer(Server* server, uint32_t address) {
  const SimConfig* config = server->config;
  // The logger starts answering once the command has crossed the line.
  WaitUntil(server->line.freeAtNs);
  SimReplyPlan plan;
  SimPlanReply(&config->faults, address, server->asked[address / BlockSize]++, &plan);
  const SimSending* send = &plan.send;
  if (send->delayMs > 0 && !WaitUnlessQuit(config->quit, send->delayMs)) return SimQuit;
  size_t n = SimWriteReply(config->image, &plan.text, server->reply, sizeof server->reply);
  if (send->cutHalfway) n = HalfwayCut(server->reply, n);
  for (int i = 0; i < send->copies; ++i) {
    if (i > 0 && !WaitUnlessQuit(config->quit, SimRepeatGapMs)) return SimQuit;
    if (!SendWholeReply(server, &plan, n)) return Quitting(server) ? SimQuit : -1;
    server->stats->bytesSent += static_cast<long long>(n);
  }
  server->replyDoneNs = NowNs();
  ++server->stats->commands;
  if (send->hangUp) return HangUp(server->pty);
  if (send->lastAnswer) server->answering = false;
  return ServeGoOn;
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

// Takes one command line (its LF and any CR before it already removed).
int TakeCommand(Server* server, const char* text) {
  while (*text == '\r') ++text;  // the CR that ended the previous end command
  if (server->manner.echo) {
    char echo[CommandLineSize + 2];
    std::snprintf(echo, sizeof echo, "%s\r\n", text);
    if (!LineSend(&server->line, echo, std::strlen(echo))) return -1;
  }
  uint32_t address = 0;
  if (IsEndCommand(text)) {
    server->stats->sawEnd = true;
    server->stats->endCommandNs = NowNs();
    server->endSeenNs = server->stats->endCommandNs;
    const char* answer = server->manner.endAnswer;
    if (answer != nullptr && !LineSend(&server->line, answer, std::strlen(answer))) return -1;
  } else if (server->answering && ParseDihex(text, &address)) {
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

// Sends each line of chatter that is due, whatever the tool is doing.
bool SendChatter(Server* server) {
  for (int i = 0; i < server->manner.chatterCount; ++i) {
    const SimChatter* chatter = &server->manner.chatter[i];
    if (NowNs() < server->chatterAtNs[i]) continue;
    if (!LineSend(&server->line, chatter->line, std::strlen(chatter->line))) return false;
    server->chatterAtNs[i] = NowNs() + chatter->everyMs * 1000000LL;
  }
  return true;
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
  SimPlanManner(&config->faults, &server.manner);
  server.answering = server.manner.answers;
  for (long long& at : server.chatterAtNs) at = NowNs();
  for (;;) {
    if (Quitting(&server)) return SimQuit;
    if (!SendChatter(&server)) return -1;
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
