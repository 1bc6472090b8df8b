// --resume: a dump cut short goes on from where it stopped, and ends with the
// files of a clean run; changed memory or complete files are told apart; an
// earlier dump survives a port that cannot be opened.
#include <sys/stat.h>

#include <memory>
#include <string>

#include "dump/logger.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

constexpr uint32_t Seed = 41;
constexpr char ResumeTail[] = "q\n\r";

std::string Image(const InProcessSim& sim) {
  return std::string(sim.image.begin(), sim.image.end());
}

struct Cut {
  const char* name;
  long silentAfterBlock;  // with Ctrl-C while the logger is silent after this block
  long hangUpInBlock;     // or the link lost in the middle of this block
  uint32_t kept;          // blocks the first run stored whole
  int status;
};

void PrintTo(const Cut& c, std::ostream* os) {
  *os << c.name;
}

class Resume : public ::testing::TestWithParam<Cut> {};

// The second run checks blocks 00000 and the last one stored, reads only the
// blocks not yet stored, and leaves the files of a clean run.
TEST_P(Resume, RunCutShortEndsWithTheFilesOfACleanRun) {
  const Cut& c = GetParam();
  TempDir dir;
  {
    InProcessSim sim(Seed);
    sim.config.faults.silentAfterBlock = c.silentAfterBlock;
    sim.config.faults.hangUpInBlock = c.hangUpInBlock;
    // Ctrl-C once the logger has fallen silent.
    std::atomic<bool> stop{false};
    std::unique_ptr<StopLater> later;
    if (c.silentAfterBlock != SimNone) later = std::make_unique<StopLater>(&stop, 1500);
    const DriverResult first = DumpFrom(&sim, dir, &stop);
    EXPECT_EQ(first.status, c.status);
    EXPECT_TRUE(EndsWith(first.console, ResumeHint)) << first.console;
    sim.Finish();
  }
  InProcessSim sim(Seed);
  const DriverResult second = DumpFrom(&sim, dir, nullptr, true);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(second.status, ExitComplete) << second.console;
  const uint32_t from = c.kept * BlockSize;
  EXPECT_NE(second.console.find(Said(Msg::Resuming, from)), std::string::npos) << second.console;
  EXPECT_TRUE(sim.Received() == Commands(0, 0) + Commands(from - BlockSize, from - BlockSize) +
                                    Commands(from, 0x3FF00) + ResumeTail)
      << sim.Received().substr(0, 200);
  EXPECT_TRUE(HoldsDumpOf(dir.path, Image(sim)));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Resume,
    ::testing::Values(Cut{"ctrl_c_low", 0x00400, SimNone, 5, ExitInterrupted},
                      Cut{"link_lost_high", SimNone, 0x2A300, 0x2A3, ExitLinkLost}),
    [](const ::testing::TestParamInfo<Cut>& info) { return std::string(info.param.name); });

// The logger's memory changed since the first run: one line says so, and the
// dump starts again from block 00000.
TEST(ResumeElse, ChangedMemoryIsDumpedAfresh) {
  TempDir dir;
  {
    InProcessSim sim(Seed);
    sim.config.faults.hangUpInBlock = 0x00800;
    EXPECT_EQ(DumpFrom(&sim, dir).status, ExitLinkLost);
    sim.Finish();
  }
  InProcessSim sim(Seed + 1);
  const DriverResult run = DumpFrom(&sim, dir, nullptr, true);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete);
  EXPECT_EQ(Count(run.console, Utf8(Msg::MemoryChanged)), 1u);
  EXPECT_TRUE(sim.Received() == Commands(0, 0) + ExpectedCommands());
  EXPECT_TRUE(HoldsDumpOf(dir.path, Image(sim)));
}

// Files that already hold the whole dump are checked like any others and,
// when the logger agrees, left untouched; a port that cannot be opened leaves
// them untouched too, --resume or not.
TEST(ResumeElse, CompleteFilesAndAPortThatWillNotOpenLeaveTheFilesAlone) {
  TempDir dir;
  {
    InProcessSim sim(Seed);
    EXPECT_EQ(DumpFrom(&sim, dir).status, ExitComplete);
    sim.Finish();
  }
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string bin = ReadFileBytes(dir.File("logger.bin"));
  struct stat before;
  ASSERT_EQ(stat(dir.File("logger.hex").c_str(), &before), 0);
  InProcessSim sim(Seed);
  const DriverResult run = DumpFrom(&sim, dir, nullptr, true);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete);
  EXPECT_NE(run.console.find(Utf8(Msg::AlreadyComplete)), std::string::npos);
  EXPECT_TRUE(sim.Received() == Commands(0, 0) + Commands(0x3FF00, 0x3FF00) + ResumeTail);
  struct stat after;
  ASSERT_EQ(stat(dir.File("logger.hex").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  for (const bool resume : {false, true}) {
    const std::string noPort = dir.File("no-such-port");
    const DriverResult refused =
        RunDriverInProcess(dir.path, "", NoPorts(dir), nullptr, noPort.c_str(), resume);
    EXPECT_EQ(refused.status, ExitPortOpen);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == hex);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == bin);
  }
}

}  // namespace
