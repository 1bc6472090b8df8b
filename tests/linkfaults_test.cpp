// A whole dump over a link that fails a read or cuts a write short at a
// chosen byte, through the serial layer's platform seam: the run completes
// with the files of a clean run, and the logger receives every command once
// and whole.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

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
  size_t delivered = 0;
  bool readFailed = false;
  bool writeCut = false;
};
LinkFault fault;

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
  if (!fault.writeCut && std::string(data, length) == fault.cutCommand) {
    fault.writeCut = true;
    return SerialWriteSome(link, data, fault.cutAfter);
  }
  return SerialWriteSome(link, data, length);
}

// Runs a dump against an unpaced logger with the fault in place.
DriverResult DumpWithFault(const TempDir& dir, InProcessSim* sim) {
  const SerialPlatformCalls saved = serialCalls;
  serialCalls = {ReadWithFault, WriteWithFault};
  volatile std::sig_atomic_t stop = 0;
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int waited = 0; waited < WatchdogMs && !done; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop = 1;
  });
  sim->Start();
  const DriverResult run =
      RunDriverInProcess(dir.path, std::string(sim->Path()) + "\n", NoPorts(dir), &stop);
  done = true;
  watchdog.join();
  serialCalls = saved;
  return run;
}

void ExpectCleanRun(const TempDir& dir, InProcessSim* sim, const DriverResult& run) {
  EXPECT_EQ(sim->Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << run.console.substr(run.console.size() - 200);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(sim->image.data()));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
              std::string(sim->image.begin(), sim->image.end()));
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
// once and whole, not a piece of it followed by the whole command.
TEST(LinkFaults, CommandCutShortIsCompletedNotRepeated) {
  TempDir dir;
  InProcessSim sim(32);
  fault = LinkFault();
  fault.cutCommand = "dihex 00100\r\n";
  fault.cutAfter = 5;
  const DriverResult run = DumpWithFault(dir, &sim);
  EXPECT_TRUE(fault.writeCut);
  ExpectCleanRun(dir, &sim, run);
}

}  // namespace
