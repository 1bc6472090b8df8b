// A whole dump over a link that fails a read or cuts a write short at a
// chosen byte, through the serial layer's platform seam: the run completes
// with the files of a clean run, and the logger receives every command once
// and whole.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "logger/logger.h"
#include "serial/seam_linux.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

// A run that gets stuck is stopped after this long, so that it fails instead of hanging.
constexpr int WatchdogMs = 30000;

// The platform calls with one fault: a failed read once the link has
// delivered failReadAt bytes, and a write of cutCommand cut after cutAfter bytes.
struct LinkFault {
  size_t failReadAt = SIZE_MAX;
  std::string cutCommand;
  size_t cutAfter = 0;
  bool deadAfterCut = false;  // every write after the cut one fails: the link is gone
  bool cutOutright = false;   // the cut write fails outright: its count says nothing
  bool stopAtCut = false;     // the user stops the run as the cut write goes out
  size_t delivered = 0;
  bool readFailed = false;
  bool writeCut = false;
};
LinkFault fault;
std::atomic<bool>* runStop = nullptr;  // the stop flag of the run in progress

int ReadWithFault(SerialLink* link, unsigned char* buffer, size_t max) {
  if (!fault.readFailed && fault.delivered == fault.failReadAt) {
    fault.readFailed = true;
    return -1;
  }
  // Never read past the byte where the failure is due.
  if (!fault.readFailed) max = std::min(max, fault.failReadAt - fault.delivered);
  const int got = SerialReadSome(link, buffer, max);
  if (got > 0) fault.delivered += static_cast<size_t>(got);
  return got;
}

size_t WriteWithFault(SerialLink* link, const char* data, size_t length) {
  if (fault.writeCut && fault.deadAfterCut) return 0;
  if (!fault.writeCut && std::string(data, length) == fault.cutCommand) {
    fault.writeCut = true;
    const size_t written = SerialWriteSome(link, data, fault.cutAfter);
    if (fault.stopAtCut) *runStop = true;
    if (!fault.cutOutright) return written;
    link->writeFailedOutright = true;
    return 0;
  }
  return SerialWriteSome(link, data, length);
}

// The driver's write of cutCommand interrupted by the user's stop before its
// first byte, as a signal interrupts it.
ssize_t DriverWriteInterrupted(int fd, const void* data, size_t length) {
  if (fault.writeCut || std::string(static_cast<const char*>(data), length) != fault.cutCommand) {
    return write(fd, data, length);
  }
  fault.writeCut = true;
  *runStop = true;
  errno = EINTR;
  return -1;
}

// Runs a dump against an unpaced logger with the fault in place (a stop at a
// write cut after no byte is made in the driver's write).
DriverResult DumpWithFault(const TempDir& dir, InProcessSim* sim) {
  const SerialSeam saved = serialSeam;
  const SerialDriverSeam savedDriver = serialDriverSeam;
  const bool inDriver = fault.stopAtCut && fault.cutAfter == 0;
  serialSeam.readSome = ReadWithFault;
  if (!inDriver) serialSeam.writeSome = WriteWithFault;
  if (inDriver) serialDriverSeam.write = DriverWriteInterrupted;
  std::atomic<bool> stop{false};
  runStop = &stop;
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int waited = 0; waited < WatchdogMs && !done; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop = true;
  });
  const DriverResult run = DumpFrom(sim, dir, StoppedBy(&stop));
  done = true;
  watchdog.join();
  serialSeam = saved;
  serialDriverSeam = savedDriver;
  return run;
}

void ExpectCleanRun(const TempDir& dir, InProcessSim* sim, const DriverResult& run) {
  EXPECT_EQ(sim->Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << run.console.substr(run.console.size() - 200);
  EXPECT_TRUE(HoldsDumpOf(dir.path, std::string(sim->image.begin(), sim->image.end())));
  EXPECT_TRUE(sim->Received() == ExpectedCommands()) << "a command was sent in pieces or twice";
}

// A read that fails 20 bytes into the reply to block 00100 (in its first
// record line, as after a line error): the line keeps its head, the rest of
// the record completes it, and the block goes on.
TEST(LinkFaults, FailedReadInsideARecordLosesNothing) {
  TempDir dir;
  InProcessSim sim(31);
  char reply[SimReplySize];
  fault = LinkFault();
  fault.failReadAt = SimBuildReply(&sim.config, 0x00000, reply, sizeof reply) + 20;
  const DriverResult run = DumpWithFault(dir, &sim);
  EXPECT_TRUE(fault.readFailed);
  ExpectCleanRun(dir, &sim, run);
  EXPECT_EQ(Count(run.console, "read error"), 1u);
}

// A command write cut short after 5 bytes: the logger receives the command
// once and whole, not a piece of it followed by the whole command. One that
// failed outright after 5 bytes (the count unknown) is closed by a line end,
// which the logger ignores, and sent again whole.
TEST(LinkFaults, CommandCutShortIsCompletedNotRepeated) {
  for (const bool outright : {false, true}) {
    TempDir dir;
    InProcessSim sim(32);
    fault = LinkFault();
    fault.cutCommand = "dihex 00100\r\n";
    fault.cutAfter = 5;
    fault.cutOutright = outright;
    const DriverResult run = DumpWithFault(dir, &sim);
    EXPECT_TRUE(fault.writeCut);
    if (!outright) {
      ExpectCleanRun(dir, &sim, run);
      continue;
    }
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete);
    EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
    std::string commands = ExpectedCommands();
    commands.insert(commands.find("dihex 00100"), "dihex\r\n");
    EXPECT_TRUE(sim.Received() == commands) << sim.Received().substr(0, 60);
  }
}

// A stop while a command goes out: a command whose write it interrupts before
// the first byte is not sent at all; one of which a part went out is finished
// first. Either way the end command follows, once.
TEST(LinkFaults, StopWhileACommandGoesOut) {
  for (const size_t partSent : {size_t{0}, size_t{5}}) {
    TempDir dir;
    InProcessSim sim(35);
    fault = LinkFault();
    fault.cutCommand = "dihex 00300\r\n";
    fault.cutAfter = partSent;
    fault.stopAtCut = true;
    const DriverResult run = DumpWithFault(dir, &sim);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_TRUE(fault.writeCut);
    EXPECT_EQ(run.status, ExitInterrupted) << Tail(run.console);
    const std::string sent = Commands(0, partSent == 0 ? 0x00200 : 0x00300) + EndCommandBytes;
    EXPECT_TRUE(sim.Received() == sent) << partSent << ": " << sim.Received().substr(30);
  }
}

// The link lost while a command is being written: the run gives up with
// status 4 and keeps the blocks before. An end command that cannot be written
// on a live link: "write error", and the complete run keeps status 0.
TEST(LinkFaults, CommandLostWithTheLinkAndAFailedEndCommand) {
  {
    TempDir dir;
    InProcessSim sim(33);
    fault = LinkFault();
    fault.cutCommand = "dihex 00300\r\n";
    fault.cutAfter = 5;
    fault.deadAfterCut = true;
    const DriverResult run = DumpWithFault(dir, &sim);
    sim.Finish();
    EXPECT_EQ(run.status, ExitLinkLost);
    EXPECT_TRUE(EndsWith(run.console, LinkLost + ResumeHint)) << run.console;
    EXPECT_TRUE(sim.Received() == Commands(0, 0x00200) + "dihex");
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
                std::string(sim.image.begin(), sim.image.begin() + 0x300));
  }
  TempDir dir;
  InProcessSim sim(34);
  fault = LinkFault();
  fault.cutCommand = EndCommandBytes;
  const DriverResult run = DumpWithFault(dir, &sim);
  sim.Finish();
  EXPECT_EQ(run.status, ExitComplete);
  EXPECT_TRUE(EndsWith(run.console, MessageTail(Msg::Progress) + "\n" + Utf8(Msg::WriteError)))
      << run.console.substr(run.console.size() - 200);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
}

// The give-up clock: a link whose reads fail now and then goes on; one that
// gives nothing but failures for LinkLostAfterMs is given up.
std::atomic<bool> readsFail{false};

// Makes the link's reads fail during the given spans (start, end in ms after
// construction), from another thread.
struct FailureSpans {
  std::thread thread;
  explicit FailureSpans(std::vector<std::pair<int, int>> spans) {
    thread = std::thread([spans] {
      const long long start = TestNowMs();
      for (const auto& span : spans) {
        std::this_thread::sleep_for(std::chrono::milliseconds(start + span.first - TestNowMs()));
        readsFail = true;
        if (span.second < 0) return;  // failing for good
        std::this_thread::sleep_for(std::chrono::milliseconds(start + span.second - TestNowMs()));
        readsFail = false;
      }
    });
  }
  ~FailureSpans() {
    thread.join();
    readsFail = false;
  }
};

int ReadFailingOnDemand(SerialLink* link, unsigned char* buffer, size_t max) {
  return readsFail ? -1 : SerialReadSome(link, buffer, max);
}

// Reads fail on demand while the run is in progress.
struct FailingReads {
  SerialSeam saved = serialSeam;
  FailingReads() { serialSeam.readSome = ReadFailingOnDemand; }
  ~FailingReads() { serialSeam = saved; }
};

// Three streaks of failures, 3.6 s of them within 4.2 s, with good reads
// between, all while one slow reply comes in (no command restarts the clock):
// the run goes on until the user stops it, and says "read error" once per streak.
TEST(GiveUpClock, FailuresWithGoodReadsBetweenNeverEndTheRun) {
  constexpr double slowLine = 150;  // bytes per second: block 0 takes about 5 s
  TempDir dir;
  InProcessSim sim(31, slowLine);
  std::atomic<bool> stop{false};
  DriverResult run;
  {
    FailingReads failing;
    FailureSpans spans({{200, 1400}, {1700, 2900}, {3200, 4400}});
    std::thread user([&stop] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5000));
      stop = true;
    });
    sim.Start();
    DriverRun stoppable{std::string(sim.Path()) + "\n", NoPorts(dir)};
    stoppable.stop = &stop;
    run = RunDriverInProcess(dir.path, stoppable);
    user.join();
  }
  sim.Finish();
  EXPECT_EQ(run.status, ExitInterrupted) << run.console.substr(run.console.size() - 300);
  EXPECT_EQ(Count(run.console, "read error"), 3u);
  EXPECT_EQ(Count(run.console, "\nread error\n"), 3u) << "each streak on a line of its own";
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  EXPECT_TRUE(ExpectedHexFile(sim.image.data()).compare(0, hex.size(), hex) == 0);
}

// Nothing but failures from some point on: given up after LinkLostAfterMs
// with status 4; what was received before stays in the files.
TEST(GiveUpClock, NothingButFailuresEndTheRunWithStatus4) {
  TempDir dir;
  InProcessSim sim(32);
  sim.config.faults.replyDelayMs = 4;
  DriverResult run;
  long long took = 0;
  {
    FailingReads failing;
    FailureSpans spans({{500, -1}});
    const long long start = TestNowMs();
    sim.Start();
    run = RunDriverInProcess(dir.path, {std::string(sim.Path()) + "\n", NoPorts(dir)});
    took = TestNowMs() - start - 500;
  }
  sim.Finish();
  EXPECT_EQ(run.status, ExitLinkLost);
  EXPECT_TRUE(EndsWith(run.console, LinkLost + ResumeHint));
  EXPECT_EQ(Count(run.console, "read error"), 1u);
  EXPECT_GE(took, LinkLostAfterMs);
  EXPECT_LT(took, LinkLostAfterMs + 2000);
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  EXPECT_GT(hex.size(), 0u);
  EXPECT_TRUE(ExpectedHexFile(sim.image.data()).compare(0, hex.size(), hex) == 0);
}

}  // namespace
