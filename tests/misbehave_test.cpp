// Loggers that are slow, echo, repeat a reply, answer with another block's
// records or are no logger at all: never a wrong image with status 0, and
// never a run that can only fail going on for hours.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "logger/logger.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

struct Misbehaviour {
  const char* name;
  SimFaults faults;
  uint32_t reread;  // the block asked for twice; ImageSize: none
};

void PrintTo(const Misbehaviour& m, std::ostream* os) {
  *os << m.name;
}

SimFaults Faults(long SimFaults::*block, long address) {
  SimFaults faults;
  faults.*block = address;
  faults.spoilFirst = 1;
  return faults;
}

class Misbehaving : public ::testing::TestWithParam<Misbehaviour> {};

// Whatever the logger did, the run ends with status 0 and the files of a
// clean run, having asked again for at most the one block concerned.
TEST_P(Misbehaving, LoggerGivesTheImageOfACleanRun) {
  const Misbehaviour& m = GetParam();
  TempDir dir;
  InProcessSim sim(31);
  sim.config.faults = m.faults;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << Tail(run.console);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory());
  if (!m.faults.echo) {
    EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
  }
  const std::string commands =
      m.reread == ImageSize ? ExpectedCommands() : CommandsAsking(Commands(m.reread, m.reread), 2);
  EXPECT_TRUE(sim.Received() == commands) << Tail(sim.Received());
  EXPECT_EQ(Count(run.console, MessageTail(Msg::Reread)), m.reread == ImageSize ? 0u : 1u);
  EXPECT_EQ(Count(run.console, Utf8(Msg::ExtraReplies)), 0u)
      << "by address, a copy of the last reply after the end command is harmless";
}

SimFaults SlowAfterASplitLineEnd() {
  SimFaults faults = Faults(&SimFaults::splitBlock, 0x00200);
  faults.lateBlock = 0x00300;
  return faults;
}

SimFaults Echoing() {
  SimFaults faults;
  faults.echo = true;
  return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Misbehaving,
    ::testing::Values(
        // Neither a line end left from the last reply nor an echo begins a reply.
        Misbehaviour{"slow_after_split_line_end", SlowAfterASplitLineEnd(), ImageSize},
        Misbehaviour{"echo", Echoing(), ImageSize},
        // While the numbering is learned, another block's records are bad.
        Misbehaviour{"odd_block_00100", Faults(&SimFaults::otherReplyBlock, 0x00100), 0x00100},
        Misbehaviour{"odd_block_00000", Faults(&SimFaults::otherReplyBlock, 0x00000), 0x00000},
        // A reply sent twice is not taken for the next block's; a copy of the
        // last reply after the end command is harmless.
        Misbehaviour{"block_00000_twice", Faults(&SimFaults::twiceBlock, 0x00000), 0x00100},
        Misbehaviour{"twice", Faults(&SimFaults::twiceBlock, 0x05000), 0x05100},
        Misbehaviour{"last_block_twice", Faults(&SimFaults::twiceBlock, 0x3FF00), ImageSize}),
    [](const ::testing::TestParamInfo<Misbehaviour>& info) {
      return std::string(info.param.name);
    });

// Replies that never fit (records of 32 bytes, or memory 64 KiB too low from
// 0x10000 on) stop the run after BadBlocksInARowLimit blocks in a row, each
// tried BlockTries times: status 5, every block in its place in logger.bin.
// Replies that never fit from the first block on leave an earlier dump as it
// was, and name no bad block, since none was stored.
TEST(NeverFitting, RepliesStopTheRunAfterTheLimit) {
  struct Case {
    bool wideRecords;
    bool lowSegments;
    uint32_t firstBad;
  };
  for (const Case c : {Case{true, false, 0x00000}, Case{false, true, HighBlocksStart}}) {
    TempDir dir;
    const std::string earlierHex = "an earlier dump's records";
    const std::string earlierBin = "an earlier dump's image";
    WriteFileBytes(dir.File("logger.hex"), earlierHex);
    WriteFileBytes(dir.File("logger.bin"), earlierBin);
    InProcessSim sim(32);
    sim.config.faults.wideRecords = c.wideRecords;
    sim.config.faults.lowSegments = c.lowSegments;
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitSuspectImage);
    const uint32_t end = c.firstBad + BadBlocksInARowLimit * BlockSize;
    std::string commands = c.firstBad == 0 ? "" : Commands(0, c.firstBad - BlockSize);
    for (uint32_t a = c.firstBad; a < end; a += BlockSize) commands += Asked(a, BlockTries);
    EXPECT_TRUE(sim.Received() == commands + EndCommandBytes) << Tail(sim.Received());
    EXPECT_NE(run.console.find("\n" + Said(Msg::RepliesNeverFit, BadBlocksInARowLimit)),
              std::string::npos)
        << Tail(run.console);
    const bool anySound = c.firstBad > 0;
    EXPECT_EQ(Count(run.console, Said(Msg::BadBlocks, 8L, L"", ImageFiller).substr(0, 60)),
              anySound ? 1u : 0u);
    std::string image(sim.image.begin(), sim.image.begin() + c.firstBad);
    image.append(end - c.firstBad, '\xFF');
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == (anySound ? image : earlierBin));
    if (!anySound) {
      EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), earlierHex);
    }
  }
}

// Data records that come after the end command mean that the logger answered
// a command never sent: harmless where every block was proven by its
// addresses, suspect where the numbering cannot tell blocks apart. Records without data (an
// end-of-file record) and other text are no sign.
TEST(EndOfRun, RecordLinesAfterTheEndCommandAreNoticed) {
  const std::string data = ":10000000000102030405060708090A0B0C0D0E0F78\r\n";
  struct Case {
    std::string pending;
    LoggerNumbering numbering;
    LoggerExtraRecords extra;
  };
  for (const Case& c :
       {Case{data, LoggerNumbering::NoAddresses, LoggerExtraRecords::Suspect},
        Case{data, LoggerNumbering::ByAddress, LoggerExtraRecords::Harmless},
        Case{":00000001FF\r\n", LoggerNumbering::NoAddresses, LoggerExtraRecords::None},
        Case{"\n+STATUS OK\r\n", LoggerNumbering::NoAddresses, LoggerExtraRecords::None}}) {
    SimPty pty{};
    ASSERT_TRUE(SimOpenPty(&pty));
    SerialOpenFailure failure;
    SerialLink* link = SerialOpen(pty.path, &failure);
    ASSERT_NE(link, nullptr);
    LoggerSession session;
    LoggerStart(&session, link, nullptr, nullptr, nullptr, c.numbering);
    ASSERT_EQ(write(pty.master, c.pending.data(), c.pending.size()),
              static_cast<ssize_t>(c.pending.size()));
    const LoggerEnding ending = LoggerEnd(&session, true);
    EXPECT_TRUE(ending.sent);
    EXPECT_EQ(ending.extraRecords, c.extra) << c.pending;
    char sent[8] = {};
    EXPECT_EQ(read(pty.master, sent, sizeof sent), 3);
    EXPECT_STREQ(sent, EndCommandBytes);
    SerialClose(link);
    SimClosePty(&pty);
  }
}

}  // namespace
