// The serial link over a real pseudo-terminal, and the choice of the port.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "dump/portchoice.h"
#include "serial/link.h"
#include "serial/seam_linux.h"
#include "sim/simcore.h"
#include "testutil.h"

namespace {

// A link opened on the port side of a pseudo-terminal; the test plays the logger on the master.
struct LinkOnPty : ::testing::Test {
  SimPty pty{};
  SerialLink* link = nullptr;
  // LineBuffer followed by a guard that SerialReadLine must never touch.
  char line[SerialLineSize + 64];

  void SetUp() override {
    ASSERT_TRUE(SimOpenPty(&pty));
    SerialOpenFailure failure{};
    link = SerialOpen(pty.path, &failure);
    ASSERT_NE(link, nullptr);
    std::memset(line, 'G', sizeof line);
  }
  void TearDown() override {
    SerialClose(link);
    SimClosePty(&pty);
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(pty.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Next complete line, reading again over time-outs (at most a few).
  std::string NextLine(int* count) {
    for (int tries = 0; tries < 4; ++tries) {
      *count = SerialReadLine(link, line);
      if (*count != SerialLineTimeout) break;
    }
    return *count > 0 ? std::string(line, static_cast<size_t>(*count)) : std::string();
  }
  bool GuardIntact() const {
    for (size_t i = SerialLineSize; i < sizeof line; ++i) {
      if (line[i] != 'G') return false;
    }
    return true;
  }
};

TEST_F(LinkOnPty, CrLfMakesTwoLines) {
  Send("abc\r\n");
  int n = 0;
  EXPECT_EQ(NextLine(&n), "abc\r");
  EXPECT_EQ(n, 4);
  EXPECT_EQ(line[4], '\0');
  EXPECT_EQ(NextLine(&n), "\n");
  EXPECT_EQ(n, 1);
}

TEST_F(LinkOnPty, NulBytesNeverReachTheLine) {
  Send(
      std::string("\0:1\0\0"
                  "2\0\r",
                  8));
  int n = 0;
  EXPECT_EQ(NextLine(&n), ":12\r");
}

TEST_F(LinkOnPty, OverlongLineKeepsItsHeadAndTheNextLineSurvives) {
  Send(std::string(1000, 'x') + "\r:next\r");
  int n = 0;
  EXPECT_EQ(NextLine(&n), std::string(MaxLineText, 'x') + "\r");
  EXPECT_EQ(n, 255);
  EXPECT_EQ(line[255], '\0');
  EXPECT_TRUE(GuardIntact());
  EXPECT_EQ(NextLine(&n), ":next\r");
}

TEST_F(LinkOnPty, TimeoutKeepsThePartOfTheLineReceived) {
  Send(":ab");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SerialReadLine(link, line), SerialLineTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(400));
  Send("c\r");
  int n = 0;
  EXPECT_EQ(NextLine(&n), ":abc\r");
}

bool RefusePurge(SerialLink*) {
  return false;
}

// What waits before a command is gone afterwards: a line being assembled is
// dropped by a discard, and the port's queue is emptied by a drop also where
// the link reads one byte at a time and cannot see what stays queued, and
// where the port refuses to purge its queue.
TEST_F(LinkOnPty, DiscardAndDropLeaveNothingOfWhatCameBefore) {
  Send(":part");
  EXPECT_EQ(SerialReadLine(link, line), SerialLineTimeout);
  EXPECT_EQ(SerialDropInputAndWait(link), 0);
  Send("a\r");
  int n = 0;
  EXPECT_EQ(NextLine(&n), "a\r");
  for (const int variant : {0, 1, 2}) {
    SCOPED_TRACE(variant);
    const OneByteReads reads(variant != 0);
    if (variant == 2) serialSeam.purgeInput = RefusePurge;
    Send("\nb\r\n:stale\r\n:st");
    EXPECT_EQ(NextLine(&n), "\n");
    EXPECT_EQ(NextLine(&n), "b\r");
    EXPECT_TRUE(SerialDropInputNow(link));
    Send("c\r");
    EXPECT_EQ(NextLine(&n), "c\r");
  }
}

// A drop needs the port's queue emptied unless the link's own bytes show it
// empty: after a CR LF line the LF alone was held, and nothing that came later
// is dropped; after a line and a lone CR more may follow, and what came later is.
TEST_F(LinkOnPty, DropEmptiesThePortUnlessOnlyTheLfOfACrLfWasHeld) {
  for (const bool crLf : {true, false}) {
    SCOPED_TRACE(crLf);
    Send(crLf ? "a\r\n" : "a\n\r");
    int n = 0;
    EXPECT_EQ(NextLine(&n), crLf ? "a\r" : "a\n");
    Send("late\r");
    pollfd arrived = {static_cast<int>(link->handle), POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 5000), 1);
    EXPECT_TRUE(SerialDropInputNow(link));
    EXPECT_EQ(NextLine(&n), crLf ? "late\r" : "");
  }
}

// A line beginning with ':' that waits behind the last line handed out is
// seen without waiting, whether the link holds it or the port still queues
// it; a line end, other text or nothing at all is no such line. What was
// looked at is still read afterwards.
TEST_F(LinkOnPty, LineWaitingIsSeenWithoutWaitingAndStaysToBeRead) {
  struct Case {
    std::string after;  // what follows the line read
    bool waiting;
  };
  for (const bool oneByte : {false, true}) {
    const OneByteReads reads(oneByte);
    for (const Case& c : {Case{"\n:2\r\n", true}, Case{"\n?\r\n:3", true}, Case{"\n", false},
                          Case{"\nabc\r\n", false}, Case{"", false}}) {
      SCOPED_TRACE(c.after + (oneByte ? " one byte" : " whole"));
      Send(":1\r" + c.after);
      int n = 0;
      EXPECT_EQ(NextLine(&n), ":1\r");
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(SerialLineWaiting(link, ':'), c.waiting);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
      if (c.waiting) {
        EXPECT_EQ(NextLine(&n), "\n");
      }
      SerialDropInputAndWait(link);
    }
  }
}

TEST_F(LinkOnPty, HangUpIsAFailedReadAndAFailedWrite) {
  Send(":partial");
  // The logger goes away: both sides of the pseudo-terminal it held are closed.
  close(pty.master);
  close(pty.slave);
  pty.master = pty.slave = -1;
  int result = SerialLineTimeout;
  for (int tries = 0; tries < 4 && result == SerialLineTimeout; ++tries) {
    result = SerialReadLine(link, line);
  }
  EXPECT_EQ(result, SerialLineFailed);
  EXPECT_EQ(SerialReadLine(link, line), SerialLineFailed) << "a dead port stays failed";
  EXPECT_EQ(SerialWrite(link, "dihex 00000\r\n"), 0u);
}

TEST_F(LinkOnPty, WritesTheExactBytes) {
  ASSERT_EQ(SerialWrite(link, "dihex 3ff00\r\n"), 13u);
  ASSERT_EQ(SerialWrite(link, EndCommandBytes), 3u);
  char got[32] = {};
  size_t n = 0;
  for (int tries = 0; tries < 100 && n < 16; ++tries) {
    const ssize_t r = read(pty.master, got + n, sizeof got - n);
    if (r > 0)
      n += static_cast<size_t>(r);
    else
      usleep(1000);
  }
  EXPECT_EQ(std::string(got, n), "dihex 3ff00\r\nq\n\r");
}

// A write bigger than the port's buffer waits for room while the other side
// reads nothing, and goes on once it reads: every byte is reported written.
TEST_F(LinkOnPty, WriteThatFillsTheBufferGoesOnOnceTheOtherSideReads) {
  const std::string text(200000, 'w');
  size_t received = 0;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    char chunk[4096];
    for (int idle = 0; received < text.size() && idle < 5000;) {
      const ssize_t r = read(pty.master, chunk, sizeof chunk);
      if (r > 0) {
        received += static_cast<size_t>(r);
      } else {
        ++idle;
        usleep(1000);
      }
    }
  });
  EXPECT_EQ(SerialWrite(link, text.c_str()), text.size());
  reader.join();
  EXPECT_EQ(received, text.size());
}

// A write that fails part-way says how many bytes went out, so that the
// caller sends only the rest. The port here is a pipe with room for exactly
// one page more, whose reader goes away while the write waits for room.
TEST(SerialWrite, FailurePartWayReportsTheBytesThatWentOut) {
  signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t capacity = static_cast<size_t>(fcntl(ends[1], F_GETPIPE_SZ));
  const std::string filler(capacity - page, 'f');
  ASSERT_EQ(write(ends[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(ends[0]);
  });
  SerialLink link{};
  link.handle = ends[1];
  const std::string text(page + 13, 'x');
  EXPECT_EQ(SerialWrite(&link, text.c_str()), page);
  reader.join();
  close(ends[1]);
}

// Reads that fail or come in pieces through the platform seam: the part of
// a line received before a failed read is kept, and the line completes.
struct ScriptedPort {
  // "" stands for a failed read, "." and the end of the script for an empty
  // read that returns at once, as some drivers' reads do
  static std::vector<std::string> pieces;
  static size_t next;
  static int calls;
  static int ReadSome(SerialLink*, unsigned char* buffer, size_t max) {
    ++calls;
    if (next == pieces.size()) return 0;
    const std::string& piece = pieces[next++];
    if (piece.empty()) return -1;
    if (piece == ".") return 0;
    const size_t n = std::min(max, piece.size());
    std::memcpy(buffer, piece.data(), n);
    return static_cast<int>(n);
  }
};
std::vector<std::string> ScriptedPort::pieces;
size_t ScriptedPort::next = 0;
int ScriptedPort::calls = 0;

TEST(ReadLineSeam, FailedReadInTheMiddleOfALineKeepsWhatArrived) {
  const SerialSeam saved = serialSeam;
  serialSeam.readSome = ScriptedPort::ReadSome;
  ScriptedPort::pieces = {":1001", "", "", "00AA\r:0", "", "0\n"};
  ScriptedPort::next = 0;
  SerialLink link{};
  char line[SerialLineSize];
  std::vector<std::string> results;
  for (int i = 0; i < 8; ++i) {
    const int n = SerialReadLine(&link, line);
    results.push_back(n > 0 ? std::string(line, static_cast<size_t>(n)) : std::to_string(n));
  }
  serialSeam = saved;
  const std::string failed = std::to_string(SerialLineFailed);
  const std::string timeout = std::to_string(SerialLineTimeout);
  EXPECT_EQ(results, (std::vector<std::string>{failed, failed, ":100100AA\r", failed, ":00\n",
                                               timeout, timeout, timeout}));
}

int DropAndWait(SerialLink* link, char*) {
  return SerialDropInputAndWait(link);
}

// An empty read that returns at once is neither a time-out nor a reason to
// ask again in a tight loop: the line counts as quiet only once a whole read
// time-out has passed, asked a few dozen times meanwhile. One byte per read.
TEST(ReadLineSeam, EmptyReadsThatReturnAtOnceAreWaitedOut) {
  const SerialSeam saved = serialSeam;
  serialSeam.readSome = ScriptedPort::ReadSome;
  ScriptedPort::pieces = {":", ".", "1", ".", ".", "\r", ".", ".", "x"};
  ScriptedPort::next = 0;
  SerialLink link{};
  char line[LineBufferSize] = {};
  EXPECT_EQ(SerialReadLine(&link, line), 3);
  EXPECT_STREQ(line, ":1\r");
  EXPECT_EQ(SerialDropInputAndWait(&link), 1);  // "x" after empty reads: no quiet line
  for (int (*wait)(SerialLink*, char*) : {SerialReadLine, DropAndWait}) {
    ScriptedPort::calls = 0;
    const long long start = TestNowMs();
    EXPECT_EQ(wait(&link, line), 0);
    EXPECT_GE(TestNowMs() - start, static_cast<long long>(ReadTimeoutMs) - EarlyReturnSlackMs);
    EXPECT_LE(ScriptedPort::calls, static_cast<int>(ReadTimeoutMs / EmptyReadPauseMs) + 2);
  }
  serialSeam = saved;
}

TEST_F(LinkOnPty, PortIsRaw19200EightNOne) {
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B19200);
  EXPECT_EQ(cfgetospeed(&tio), B19200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
}

// On a pseudo-terminal, where a hold would outlive a killed run while the
// other side stays open, the run takes no exclusive hold: its lock alone
// keeps a second run out. On a device whose hold ends with its last
// descriptor (a USB adapter's, as the seam makes this one) the run holds the
// port while the link is open. A link made but never opened closes nothing.
TEST(SerialOpen, HoldIsTakenOnlyWhereItEndsWithTheRun) {
  if (!ExclusiveHoldVisible()) GTEST_SKIP() << "TIOCGEXCL is not available (qemu-user lacks it)";
  SimPty pty{};
  ASSERT_TRUE(SimOpenPty(&pty));
  const SerialDriverSeam saved = serialDriverSeam;
  for (const bool pseudoTerminal : {true, false}) {
    if (!pseudoTerminal) serialDriverSeam.holdOutlivesProcess = [](dev_t) { return false; };
    SerialOpenFailure failure{};
    SerialLink* link = SerialOpen(pty.path, &failure);
    ASSERT_NE(link, nullptr);
    int held = -1;
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &held), 0);
    EXPECT_EQ(held != 0, !pseudoTerminal) << "pseudo-terminal " << pseudoTerminal;
    EXPECT_EQ(SerialOpen(pty.path, &failure), nullptr) << "a second run took the port";
    EXPECT_EQ(failure.fault, SerialOpenFault::InUse);
    EXPECT_TRUE(SerialClose(link));
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &held), 0);
    EXPECT_EQ(held, 0) << "the port stays held after the link was closed";
  }
  serialDriverSeam = saved;

  SerialLink never;
  std::memset(&never, 0, sizeof never);  // descriptor 0 if taken as it is
  SerialInit(&never);
  SerialClose(&never);
  SerialClose(&never);
  EXPECT_NE(fcntl(0, F_GETFD), -1) << "closing a link that was never opened closed descriptor 0";
  SimClosePty(&pty);
}

// A driver as the seam plays it: one with a latency setting (turned on for
// the run and off again at close) and modem lines it refuses in one of the
// ways CDC-ACM and gadget drivers do (the port is used all the same); a
// restore that fails is told with the system's code, one on a port that has
// hung up is not.
struct FakeDriver {
  static int modemError;     // errno of the request for the modem lines, 0: taken
  static int closeSetError;  // errno of the settings put back at close, 0: taken
  static int latencyError;   // errno of the latency setting at close, 0: taken
  static int latencyFlags;   // the driver's flags
  static bool open;          // the link is open: later calls are the close's
  static int Control(int fd, unsigned long request, void* arg) {
    if (request == TIOCMBIC && modemError != 0) return errno = modemError, -1;
    if (request == TIOCGSERIAL) {
      std::memset(arg, 0, sizeof(serial_struct));
      static_cast<serial_struct*>(arg)->flags = latencyFlags;
      return 0;
    }
    if (request == TIOCSSERIAL) {
      if (open && latencyError != 0) return errno = latencyError, -1;
      latencyFlags = static_cast<serial_struct*>(arg)->flags;
      return 0;
    }
    return ioctl(fd, request, arg);
  }
  static int SetSettings(int fd, int when, const termios* tio) {
    if (open && closeSetError != 0) return errno = closeSetError, -1;
    return tcsetattr(fd, when, tio);
  }
};
int FakeDriver::modemError = 0;
int FakeDriver::closeSetError = 0;
int FakeDriver::latencyError = 0;
int FakeDriver::latencyFlags = 0;
bool FakeDriver::open = false;

TEST(SerialOpen, DriversWithoutModemLinesOrWithLatencyAndFailedRestores) {
  SimPty pty{};
  ASSERT_TRUE(SimOpenPty(&pty));
  const SerialDriverSeam saved = serialDriverSeam;
  serialDriverSeam.control = FakeDriver::Control;
  serialDriverSeam.setSettings = FakeDriver::SetSettings;
  struct Case {
    int modemError, closeSetError, latencyError;
    bool restored;
    unsigned long code;
  };
  for (const Case& c :
       {Case{EOPNOTSUPP, 0, 0, true, 0}, Case{EIO, 0, 0, true, 0}, Case{0, EPERM, 0, false, EPERM},
        Case{0, EIO, 0, true, 0}, Case{0, 0, EINVAL, false, EINVAL}}) {
    FakeDriver::modemError = c.modemError;
    FakeDriver::closeSetError = c.closeSetError;
    FakeDriver::latencyError = c.latencyError;
    FakeDriver::latencyFlags = 0;
    FakeDriver::open = false;
    SerialOpenFailure failure{};
    SerialLink* link = SerialOpen(pty.path, &failure);
    ASSERT_NE(link, nullptr) << "modem lines refused with " << c.modemError;
    EXPECT_EQ(FakeDriver::latencyFlags, ASYNC_LOW_LATENCY);
    FakeDriver::open = true;
    unsigned long code = 99;
    EXPECT_EQ(SerialClose(link, &code), c.restored) << c.closeSetError << " " << c.latencyError;
    EXPECT_EQ(code, c.code);
    if (c.latencyError == 0) {
      EXPECT_EQ(FakeDriver::latencyFlags, 0) << "low latency left on";
    }
  }
  // Settings refused at open, and the earlier ones with them: both are told.
  FakeDriver::closeSetError = EPERM;
  SerialOpenFailure failure{};
  EXPECT_EQ(SerialOpen(pty.path, &failure), nullptr);
  EXPECT_EQ(failure.fault, SerialOpenFault::SettingsRefused);
  EXPECT_TRUE(failure.notRestored && failure.restoreCode == EPERM);
  serialDriverSeam = saved;
  SimClosePty(&pty);
}

// A signal (Ctrl-C) that interrupts a write before any byte went out ends it
// at once, so that the caller can look at its stop request; once a part has
// gone, the rest follows.
struct InterruptedWrite {
  static int calls;
  static size_t firstPart;  // bytes the first call takes before the signal; 0: none
  static ssize_t Write(int fd, const void* data, size_t length) {
    if (calls++ == 0 && firstPart == 0) return errno = EINTR, -1;
    if (calls == 1) return write(fd, data, firstPart);
    if (calls == 2) return errno = EINTR, -1;
    return write(fd, data, length);
  }
};
int InterruptedWrite::calls = 0;
size_t InterruptedWrite::firstPart = 0;

TEST_F(LinkOnPty, WriteInterruptedBeforeItsFirstByteIsNotMadeAgain) {
  const SerialDriverSeam saved = serialDriverSeam;
  serialDriverSeam.write = InterruptedWrite::Write;
  const std::string command = Commands(0x300, 0x300);
  for (const size_t firstPart : {size_t{0}, size_t{5}}) {
    InterruptedWrite::calls = 0;
    InterruptedWrite::firstPart = firstPart;
    EXPECT_EQ(SerialWrite(link, command.c_str()), firstPart == 0 ? 0 : command.size());
    EXPECT_EQ(InterruptedWrite::calls, firstPart == 0 ? 1 : 3);
  }
  serialDriverSeam = saved;
  // The pseudo-terminal hands the bytes on in its own time.
  std::string got;
  char chunk[64];
  for (int polls = 0; got.size() < command.size() && polls < 100; ++polls) {
    pollfd ready = {pty.master, POLLIN, 0};
    if (poll(&ready, 1, 10) <= 0) continue;
    const ssize_t n = read(pty.master, chunk, sizeof chunk);
    if (n > 0) got.append(chunk, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, command);
}

// Whatever the port was set to before the link (here a terminal's line
// editing, echo and signals at 9600 baud), it is set to again at close; the
// mark of a killed run found in them is not (another program's own hold
// would later be taken for a killed run's).
TEST(SerialOpen, EarlierSettingsComeBackAtClose) {
  SimPty pty{};
  ASSERT_TRUE(SimOpenPty(&pty));
  for (const bool killedRunsMark : {false, true}) {
    termios before{};
    termios after{};
    tcgetattr(pty.slave, &before);
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cc[SerialHoldMarkIndex] = killedRunsMark ? SerialHoldMark : _POSIX_VDISABLE;
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    before.c_cc[SerialHoldMarkIndex] = _POSIX_VDISABLE;
    SerialOpenFailure failure{};
    EXPECT_TRUE(SerialClose(SerialOpen(pty.path, &failure)));
    ASSERT_EQ(failure.fault, SerialOpenFault::None);
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0) << killedRunsMark;
    EXPECT_EQ(cfgetospeed(&after), B9600);
  }
  SimClosePty(&pty);
}

// loggersim takes what arrives in pieces of any size: a command sent four
// bytes at a time (four is the count it once mistook for its end) is answered,
// and only the end command ends it.
TEST(Loggersim, ACommandInPiecesOfFourBytesIsAnswered) {
  InProcessSim sim;
  sim.Start();
  SerialOpenFailure failure{};
  SerialLink* link = SerialOpen(sim.Path(), &failure);
  ASSERT_NE(link, nullptr);
  const std::string command = Commands(0, 0);
  for (size_t at = 0; at < command.size(); at += 4) {
    ASSERT_EQ(SerialWrite(link, command.substr(at, 4).c_str()),
              std::min<size_t>(4, command.size() - at));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // each piece read on its own
  }
  char line[SerialLineSize];
  int lines = 0;
  for (int reads = 0; lines < RecordLinesLow && reads < 64; ++reads) {
    if (SerialReadLine(link, line) > 0 && line[0] == ':') ++lines;
  }
  EXPECT_EQ(lines, RecordLinesLow);
  EXPECT_EQ(SerialWrite(link, EndCommand), std::strlen(EndCommand));
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_TRUE(sim.Received() == command + EndCommand);
  SerialClose(link);
}

TEST(ParsePortNumber, ReadsTheLeadingIntegerLikeAtoi) {
  struct Case {
    const char* line;
    long number;
    bool inRange;
  } cases[] = {
      {"3\n", 3, true},
      {"12abc\n", 12, true},
      {"", 0, true},
      {"\n", 0, true},
      {"abc\n", 0, true},
      {"  \t 7\n", 7, true},
      {"-5\n", -5, true},
      {"+8\n", 8, true},
      {"- 5\n", 0, true},
      {"99999999\n", 99999999, true},
      {"-9999999\n", -9999999, true},
      {"100000000\n", MaxPortNumber, false},
      {"-10000000\n", MinPortNumber, false},
      {"000000000000000000000000000042\n", 42, true},
  };
  for (const Case& c : cases) {
    long number = -1;
    EXPECT_EQ(ParsePortNumber(c.line, &number), c.inRange) << c.line;
    EXPECT_EQ(number, c.number) << c.line;
  }
  // Thousands of digits cannot overflow anything.
  const std::string huge(10000, '9');
  long number = 0;
  EXPECT_FALSE(ParsePortNumber(huge.c_str(), &number));
  EXPECT_EQ(number, MaxPortNumber);
}

TEST(ChoosePort, TypedPathOrNumber) {
  static SerialPortList list{};
  list.count = 1;
  std::wcscpy(list.ports[0].name, L"COM1");
  std::snprintf(list.ports[0].device, sizeof list.ports[0].device, "/dev/ttyUSB0");
  list.ports[0].number = 1;
  PortChoice path{};

  ChoosePort("  /dev/pts/7\r\n", &list, &path);
  EXPECT_TRUE(path.exists);
  EXPECT_STREQ(path.device, "/dev/pts/7");
  EXPECT_STREQ(path.shown, L"/dev/pts/7");
  // Blanks after the path go too, blanks inside it stay.
  ChoosePort("\t/dev/my port 7 \t \r\n", &list, &path);
  EXPECT_STREQ(path.device, "/dev/my port 7");
  ChoosePort("/dev/pts/7  ", &list, &path);
  EXPECT_STREQ(path.device, "/dev/pts/7");

  ChoosePort("1\n", &list, &path);
  EXPECT_TRUE(path.exists);
  EXPECT_STREQ(path.device, "/dev/ttyUSB0");

  ChoosePort("12abc\n", &list, &path);
  EXPECT_FALSE(path.exists);
  EXPECT_STREQ(path.shown, L"COM12");

  ChoosePort("\n", &list, &path);
  EXPECT_FALSE(path.exists);
  EXPECT_STREQ(path.shown, L"COM0");

  ChoosePort(" -123456789012\n", &list, &path);
  EXPECT_FALSE(path.exists);
  EXPECT_STREQ(path.shown, L"COM-123456789012");
}

// The number as the port list shows it (COM1), or typed in full width with
// an input method left on (UTF-8 here), is the listed port's, and so is the
// name of a port listed by a name without a number; everything else is read
// as before, by the leading integer.
TEST(ChoosePort, NumberAfterComOrInFullWidth) {
  static SerialPortList list{};
  list.count = 2;
  std::snprintf(list.ports[0].device, sizeof list.ports[0].device, "/dev/ttyUSB0");
  list.ports[0].number = 1;
  std::wcscpy(list.ports[1].name, L"CNCA0");
  std::snprintf(list.ports[1].device, sizeof list.ports[1].device, "\\\\.\\CNCA0");
  list.ports[1].number = -1;
  // The listed port is shown by its device; a number that names none as COM and the number.
  const wchar_t* listed = L"/dev/ttyUSB0";
  const std::pair<const char*, const wchar_t*> cases[] = {
      {"com1\n", listed},
      {"  Com1  \r\n", listed},
      {"\xEF\xBC\x91\n", listed},                                                  // １
      {"\xE3\x80\x80\xEF\xBC\xA3\xEF\xBC\xAF\xEF\xBC\xAD\xEF\xBC\x91\n", listed},  // 　ＣＯＭ１
      {"\xEF\xBC\x91\xEF\xBC\x92\n", L"COM12"},                                    // １２
      {"COM12abc\n", L"COM12"},
      {"x1\n", L"COM0"},
      {" cnca0 \r\n", L"\\\\.\\CNCA0"},
      {"\xEF\xBC\xA3\xEF\xBC\xAE\xEF\xBC\xA3\xEF\xBC\xA1\xEF\xBC\x90\n",
       L"\\\\.\\CNCA0"},  // ＣＮＣＡ０
      {"CNCA\n", L"COM0"},
      {"\xC3\xA9\n", L"COM0"}};  // é
  PortChoice choice{};
  for (const auto& c : cases) {
    ChoosePort(c.first, &list, &choice);
    EXPECT_EQ(choice.exists, std::wcsncmp(c.second, L"COM", 3) != 0) << c.first;
    EXPECT_STREQ(choice.shown, c.second) << c.first;
  }
}

}  // namespace
