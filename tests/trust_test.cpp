// What a reply must prove before it is kept: its addresses name its own block,
// a copy of block 00000 teaches nothing, a record line waiting behind a reply
// the addresses cannot vouch for means the reply was not one block,
// and replies that never fit end the run in bounded time. The block check on
// its own, and whole runs against the substitute logger.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

// Another block's records, by address or while the numbering is learned, and
// a high block's data records without a segment record naming its 64 KiB, are
// another block's. A copy of block 00000 where 00100 is asked looks like a
// logger's without addresses, but the same numbers must come again to show one.
TEST(Evidence, AnotherBlocksRecordsNeverFit) {
  const std::vector<uint8_t> image = PatternImage(61);
  const SimConfig clean = {image.data(), 0, nullptr};
  const LoggerReply block200 = ReplyOf(clean, 0x00200);
  const LoggerReply block100 = ReplyOf(clean, 0x00100);
  for (const LoggerNumbering n : {LoggerNumbering::Unknown, LoggerNumbering::ByAddress}) {
    EXPECT_EQ(Verdict(&block200, 0x00100, n), LoggerVerdict::OtherBlock);
    EXPECT_EQ(Verdict(&block100, 0x00000, n), LoggerVerdict::OtherBlock);
  }
  for (const uint8_t placeless : {0x03, 0x01}) {
    SimConfig lost = clean;
    lost.faults.lostBaseBlock = 0x23400;
    lost.faults.lostBaseType = placeless;
    const LoggerReply reply = ReplyOf(lost, 0x23400);
    ASSERT_EQ(reply.count, RecordLinesHigh);
    for (const LoggerNumbering n : {LoggerNumbering::Unknown, LoggerNumbering::ByAddress}) {
      EXPECT_EQ(Verdict(&reply, 0x23400, n), LoggerVerdict::OtherBlock) << int(placeless);
    }
  }
  // A segment record that comes after the data records places none of them.
  LoggerReply late = ReplyOf(clean, 0x23400);
  std::swap(late.line[0], late.line[1]);
  std::swap(late.length[0], late.length[1]);
  EXPECT_NE(Verdict(&late, 0x23400, LoggerNumbering::ByAddress), LoggerVerdict::Sound);

  LoggerReply copy = ReplyOf(clean, 0x00000);
  LoggerReply own = block100;
  LoggerParseReply(&copy);
  LoggerParseReply(&own);
  const LoggerJudgement first = LoggerJudgeReply(&copy, 0x00100, LoggerNumbering::Unknown);
  const LoggerJudgement second = LoggerJudgeReply(&own, 0x00100, LoggerNumbering::Unknown);
  EXPECT_EQ(first.verdict, LoggerVerdict::Unaddressed);
  EXPECT_FALSE(LoggerShowsNoAddresses(&first, &second));
  EXPECT_TRUE(LoggerShowsNoAddresses(&first, &first));
  // Alike but for one load address: two different replies, no logger's numbering.
  LoggerJudgement moved = first;
  moved.loads[DataRecordsPerBlock - 1] ^= RecordDataBytes;
  EXPECT_FALSE(LoggerShowsNoAddresses(&first, &moved));
}

struct WrongBlock {
  const char* name;
  SimFaults faults;
  uint32_t block;  // answered wrongly on every try
};

void PrintTo(const WrongBlock& w, std::ostream* os) {
  *os << w.name;
}

SimFaults OtherReply(long block) {
  SimFaults faults;
  faults.otherReplyBlock = block;
  return faults;
}

SimFaults LostBase(uint8_t placeless) {
  SimFaults faults;
  faults.lostBaseBlock = 0x23400;
  faults.lostBaseType = placeless;
  return faults;
}

class WrongBlockOnEveryTry : public ::testing::TestWithParam<WrongBlock> {};

// The block is asked for BlockTries times and stays bad: status 5, the block
// named, ImageFiller in its place and every other block exact. No note says
// that the addresses go unchecked, and the blocks after it are still checked.
TEST_P(WrongBlockOnEveryTry, IsBadAndTheCheckStaysOn) {
  const WrongBlock& w = GetParam();
  TempDir dir;
  InProcessSim sim(62);
  sim.config.faults = w.faults;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitSuspectImage);
  EXPECT_TRUE(sim.Received() == CommandsAsking(Commands(w.block, w.block), BlockTries));
  wchar_t named[8];
  std::swprintf(named, 8, L"%5.5x", w.block);
  EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::BadBlocks, 1L, named, ImageFiller)))
      << Tail(run.console);
  EXPECT_EQ(Count(run.console, Utf8(Msg::NoAddresses)), 0u);
  std::string image(sim.image.begin(), sim.image.end());
  image.replace(w.block, BlockSize, BlockSize, '\xFF');
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == image);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WrongBlockOnEveryTry,
    ::testing::Values(WrongBlock{"next_block_at_00000", OtherReply(0), 0},
                      WrongBlock{"next_block_at_00100", OtherReply(0x100), 0x100},
                      WrongBlock{"start_records_for_segments", LostBase(0x03), 0x23400},
                      WrongBlock{"end_records_for_segments", LostBase(0x01), 0x23400}),
    [](const ::testing::TestParamInfo<WrongBlock>& info) { return std::string(info.param.name); });

// Block 00000's reply comes twice and 00100's comes late: the copy, where
// 00100 is asked, is bad and teaches nothing; 00100 is asked again, and its
// own reply shows numbering by address (which try brings it depends on when
// the late one comes). The run is clean, the address check never off.
TEST(Copies, ACopyOfBlock00000WhileTheNumberingIsLearnedIsAskedAgain) {
  constexpr unsigned late = 900;  // more than the quiet wait before the try again
  TempDir dir;
  InProcessSim sim(63);
  sim.config.faults.twiceBlock = 0x00000;
  sim.config.faults.lateBlock = 0x00100;
  sim.config.faults.lateMs = late;
  sim.config.faults.spoilFirst = 1;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << Tail(run.console);
  EXPECT_GE(Count(sim.Received(), "dihex 00100\r\n"), 2u);
  EXPECT_EQ(Count(run.console, Utf8(Msg::NoAddresses)), 0u);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
}

struct Surplus {
  const char* name;
  bool noAddresses;
  long duplicateAddress;  // sent twice in its block's reply
  long surplusBlock;      // or an end-of-file record after the block's reply
  unsigned spoilFirst;
  int asked;  // times the block 00700 is asked for
};

void PrintTo(const Surplus& s, std::ostream* os) {
  *os << s.name;
}

class SurplusBehindAReply : public ::testing::TestWithParam<Surplus> {};

// A line behind a reply, read one byte at a time as on Windows and whole as
// on Linux. Proven by its addresses, the reply is kept and the line dropped
// before the next command. Where the addresses cannot vouch for the block, a
// record line waiting behind it means the reply was not one block: it is
// asked for again, and stays bad if that never changes. No other block is
// touched.
TEST_P(SurplusBehindAReply, IsDroppedOrMakesTheBlockAskedAgain) {
  if (ByteReads()) GTEST_SKIP() << "runs both ways by itself";
  const Surplus& c = GetParam();
  for (const bool oneByte : {false, true}) {
    SCOPED_TRACE(oneByte ? "one byte per read" : "whole reads");
    TempDir dir;
    InProcessSim sim(65);
    sim.config.faults.noAddresses = c.noAddresses;
    sim.config.faults.duplicateAddress = c.duplicateAddress;
    sim.config.faults.surplusBlock = c.surplusBlock;
    sim.config.faults.spoilFirst = c.spoilFirst;
    DriverResult run;
    {
      const OneByteReads reads(oneByte);
      run = DumpFrom(&sim, dir);
    }
    EXPECT_EQ(sim.Finish(), 0);
    const bool bad = c.asked == BlockTries;
    EXPECT_EQ(run.status, bad ? ExitSuspectImage : ExitComplete) << Tail(run.console);
    const std::string commands = CommandsAsking("dihex 00700\r\n", c.asked);
    EXPECT_TRUE(sim.Received() == (c.noAddresses ? UnaddressedCommands(commands) : commands));
    std::string image(sim.image.begin(), sim.image.end());
    if (bad) image.replace(0x00700, BlockSize, BlockSize, '\xFF');
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == image);
    if (bad) continue;
    SimConfig clean = {sim.image.data(), 0, nullptr};
    clean.faults.noAddresses = c.noAddresses;
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(clean));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SurplusBehindAReply,
    ::testing::Values(Surplus{"end_record_after_addressed_reply", false, SimNone, 0x00700, 0, 1},
                      Surplus{"record_twice_unaddressed_once", true, 0x00735, SimNone, 1, 2},
                      Surplus{"record_twice_unaddressed_at_the_end", true, 0x007F5, SimNone, 1, 2},
                      Surplus{"record_twice_unaddressed_always", true, 0x00735, SimNone, 0,
                              BlockTries}),
    [](const ::testing::TestParamInfo<Surplus>& info) { return std::string(info.param.name); });

// After the end command: an end-of-file record is no alarm; a data record
// nobody asked for is only noted where every block was proven by its
// addresses, and is a warning with status 5 where the numbering cannot tell
// blocks apart.
TEST(EndCommand, WhatComesAfterItIsJudgedByWhatTheAddressesProved) {
  struct Case {
    const char* after;
    bool noAddresses;
    int status;
    const wchar_t* said;  // null: nothing
  };
  for (const Case& c : {Case{SimEndOfFileLine, false, ExitComplete, nullptr},
                        Case{SimEndOfFileLine, true, ExitComplete, nullptr},
                        Case{SimStrayRecordLine, false, ExitComplete, Msg::ExtraRecordsNote},
                        Case{SimStrayRecordLine, true, ExitSuspectImage, Msg::ExtraReplies}}) {
    SCOPED_TRACE(c.after);
    TempDir dir;
    InProcessSim sim(66);
    sim.config.faults.afterEnd = c.after;
    sim.config.faults.noAddresses = c.noAddresses;
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, c.status);
    const std::string commands = ExpectedCommands();
    EXPECT_TRUE(sim.Received() == (c.noAddresses ? UnaddressedCommands(commands) : commands));
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory());
    EXPECT_EQ(Count(run.console, Utf8(Msg::ExtraReplies)) +
                  Count(run.console, Utf8(Msg::ExtraRecordsNote)),
              c.said == nullptr ? 0u : 1u);
    if (c.said != nullptr) {
      EXPECT_TRUE(EndsWith(run.console, MessageTail(Msg::Progress) + "\n" + Utf8(c.said)));
    }
  }
}

// Blocks bad on every try, never BadBlocksInARowLimit in a row but more of
// them in all: the run goes on past them (here until the user stops it),
// names the first BadBlocksNamed and counts the rest.
TEST(Bounds, BadBlocksApartNeverStopTheRun) {
  if (ByteReads()) GTEST_SKIP() << "nothing here depends on how the link reads";
  constexpr uint32_t firstBad = 0x00100;
  constexpr uint32_t stride = 2 * BlockSize;
  constexpr uint32_t lastBad = firstBad + BadBlocksInARowLimit * stride;
  TempDir dir;
  InProcessSim sim(67);
  sim.config.faults.corruption = SimCorruption::Checksum;
  sim.config.faults.corruptAddress = firstBad + 5;
  sim.config.faults.corruptStride = stride;
  // The user stops the run once the block after the last bad one was asked for.
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::thread user([&] {
    const std::string after = Commands(lastBad + BlockSize, lastBad + BlockSize);
    while (!done && sim.Received().find(after) == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
  });
  const DriverResult run = DumpFrom(&sim, dir, StoppedBy(&stop));
  done = true;
  user.join();
  sim.Finish();
  EXPECT_EQ(run.status, ExitInterrupted) << Tail(run.console);
  for (uint32_t a = 0; a <= lastBad; a += BlockSize) {
    const bool spoiled = a >= firstBad && (a - firstBad) % stride == 0;
    EXPECT_EQ(Count(sim.Received(), Commands(a, a)), spoiled ? 4u : 1u) << a;
  }
  std::wstring named;
  for (uint32_t a = 0x00100; a <= 0x00f00; a += 0x200)
    named += (a == 0x00100 ? L"" : L", ") + Wide(Said(Msg::BadBlockFirst, a));
  named += Wide(Said(Msg::BadBlocksMore, 1L));
  EXPECT_NE(run.console.find("\n" + Said(Msg::BadBlocks, 9L, named.c_str(), ImageFiller)),
            std::string::npos)
      << Tail(run.console);
}

// Every reply bad and a record line every 0.3 s: the line never falls quiet,
// and the run gives up NoSoundReplyLimitMs after the first bad reply, the
// quiet waits counted, with status 5. No sound block came: the files stay as
// they were (here created empty).
TEST(Bounds, ALineThatNeverFallsQuietIsGivenUpWithinAMinute) {
  if (ByteReads()) GTEST_SKIP() << "a minute of waiting, the same whichever way the link reads";
  TempDir dir;
  InProcessSim sim(68);
  sim.config.faults.wideRecords = true;
  sim.config.faults.strayRecordMs = 300;
  const long long start = TestNowMs();
  const DriverResult run = DumpFrom(&sim, dir);
  const long long took = TestNowMs() - start;
  sim.Finish();
  EXPECT_EQ(run.status, ExitSuspectImage);
  EXPECT_GE(took, NoSoundReplyLimitMs);
  EXPECT_LT(took, NoSoundReplyLimitMs + 2 * QuietLimitMs);
  // Block 00000 is asked its tries; how many tries of the next block fit in
  // the rest of the minute depends on the machine's pace, but at least one.
  const std::string received = sim.Received();
  bool asked = false;
  for (int next = 1; next <= BlockTries; ++next) {
    asked = asked || received == Asked(0, BlockTries) + Asked(0x100, next) + EndCommandBytes;
  }
  EXPECT_TRUE(asked) << received;
  EXPECT_NE(run.console.find("\n" + Said(Msg::NoSoundReplyInTime, 60)), std::string::npos)
      << Tail(run.console);
  EXPECT_EQ(ReadFileBytes(dir.File("logger.bin")), "");
}

// An echo of every command and a reply that takes longer than the notice:
// the console says the logger is awaited, not that another device talks.
TEST(Bounds, AnEchoIsNoOtherDevice) {
  if (ByteReads()) GTEST_SKIP() << "nothing here depends on how the link reads";
  TempDir dir;
  InProcessSim sim(69);
  sim.config.faults.echo = true;
  sim.config.faults.lateBlock = 0x00300;
  sim.config.faults.lateMs = WaitNoticeMs + 500;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete);
  EXPECT_EQ(Count(run.console, Utf8(Msg::WaitingForLogger)), 1u);
  EXPECT_EQ(Count(run.console, Utf8(Msg::ForeignData).substr(0, 30)), 0u);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory());
}

}  // namespace
