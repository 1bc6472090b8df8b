// Every block is checked before it is stored and asked for again when bad:
// whole runs in-process against the substitute logger, and the check itself.
#include <cstring>
#include <string>
#include <vector>

#include "logger/logger.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

struct SpoiledOnce {
  const char* name;
  SimCorruption corruption;
  long corruptAddress;
  long duplicateAddress;
  long surplusBlock;
  const char* reread;         // the command sent twice; null: none
  long twiceBlock = SimNone;  // this block's first reply comes twice
};

void PrintTo(const SpoiledOnce& c, std::ostream* os) {
  *os << c.name;
}

class BadBlockSpoiledOnce : public ::testing::TestWithParam<SpoiledOnce> {};

// A reply spoiled once is asked for again after the line has fallen quiet; the
// second, clean reply is what the files get, as in a clean run. A surplus line
// after a reply whose addresses prove it is dropped with the input that waits
// before the next command, which is asked for once.
TEST_P(BadBlockSpoiledOnce, IsReadAgainAndTheRunIsClean) {
  const SpoiledOnce& c = GetParam();
  TempDir dir;
  InProcessSim sim(21);
  sim.config.faults.spoilFirst = 1;
  sim.config.faults.corruption = c.corruption;
  sim.config.faults.corruptAddress = c.corruptAddress;
  sim.config.faults.duplicateAddress = c.duplicateAddress;
  sim.config.faults.surplusBlock = c.surplusBlock;
  sim.config.faults.twiceBlock = c.twiceBlock;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << run.console.substr(run.console.size() - 300);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
  EXPECT_EQ(Count(run.console, MessageTail(Msg::BadBlocks)), 0u);
  if (c.reread == nullptr) {
    EXPECT_EQ(sim.Received(), ExpectedCommands());
    EXPECT_EQ(Count(run.console, MessageTail(Msg::Reread)), 0u);
    return;
  }
  EXPECT_EQ(sim.Received(), CommandsAsking(c.reread, 2));
  const std::string block = std::string(c.reread).substr(6, 5);
  EXPECT_EQ(Count(run.console, MessageTail(Msg::Reread)), 1u);
  EXPECT_NE(run.console.find(
                "\n" + Said(Msg::Reread, static_cast<unsigned>(std::stoul(block, nullptr, 16)), 2) +
                "\r" + block),
            std::string::npos)
      << "the re-read line must stand on its own between the progress lines";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BadBlockSpoiledOnce,
    ::testing::Values(
        SpoiledOnce{"checksum", SimCorruption::Checksum, 0x12345, SimNone, SimNone,
                    "dihex 12300\r\n"},
        SpoiledOnce{"cut", SimCorruption::Short, 0x00345, SimNone, SimNone, "dihex 00300\r\n"},
        SpoiledOnce{"digit", SimCorruption::Digit, 0x20005, SimNone, SimNone, "dihex 20000\r\n"},
        SpoiledOnce{"twice", SimCorruption::None, SimNone, 0x05085, SimNone, "dihex 05000\r\n"},
        // The bad reply comes twice: its copy is gone before the block is asked again.
        SpoiledOnce{"bad reply sent twice", SimCorruption::Checksum, 0x05085, SimNone, SimNone,
                    "dihex 05000\r\n", 0x05000},
        // A record sent twice at the end of a reply, or an end-of-file record
        // after it: dropped.
        SpoiledOnce{"surplus record", SimCorruption::None, SimNone, 0x009F0, SimNone, nullptr},
        SpoiledOnce{"surplus end record", SimCorruption::None, SimNone, SimNone, 0x00700, nullptr},
        // The stalled replies: a line short (no record, or none at all), or the
        // last line never ended.
        SpoiledOnce{"colon", SimCorruption::Colon, 0x0B0A0, SimNone, SimNone, "dihex 0b000\r\n"},
        SpoiledOnce{"lost record", SimCorruption::Lost, 0x2A0C0, SimNone, SimNone,
                    "dihex 2a000\r\n"},
        SpoiledOnce{"line end", SimCorruption::LineEnd, 0x03055, SimNone, SimNone,
                    "dihex 03000\r\n"},
        SpoiledOnce{"last line end", SimCorruption::LineEnd, 0x1C0F0, SimNone, SimNone,
                    "dihex 1c000\r\n"}),
    [](const ::testing::TestParamInfo<SpoiledOnce>& info) {
      std::string name = info.param.name;
      for (char& ch : name) ch = ch == ' ' ? '_' : ch;
      return name;
    });

// A reply that stalls on every try is kept as the last try brought it (the
// line never begun is left out), the run goes on, and the status says so;
// logger.bin keeps every block in its place, the lost record filled.
TEST(BadBlock, StalledOnEveryTryIsKeptAsReceivedAndTheRunGoesOn) {
  constexpr uint32_t block = 0x00400;
  TempDir dir;
  InProcessSim sim(22);
  sim.config.faults.corruption = SimCorruption::Colon;
  sim.config.faults.corruptAddress = block + 0x20;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitSuspectImage);
  EXPECT_EQ(sim.Received(), CommandsAsking("dihex 00400\r\n", BlockTries));
  EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::BadBlocks, 1L, L"00400", ImageFiller)))
      << run.console.substr(run.console.size() - 300);
  std::string image(sim.image.begin(), sim.image.end());
  image.replace(block + 0x20, RecordDataBytes, RecordDataBytes, '\xFF');
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == image);
}

// Two blocks bad on every try, one of them with a surplus line behind its
// reply and every reply sent twice: both are named, and neither the surplus
// nor the copy of the last try opens the next block's reply, which is asked
// for once.
TEST(BadBlock, TwoBlocksBadOnEveryTryAreNamedAndASurplusStaysBehind) {
  TempDir dir;
  InProcessSim sim(24);
  sim.config.faults.corruption = SimCorruption::Checksum;
  sim.config.faults.corruptAddress = 0x12345;
  sim.config.faults.surplusBlock = 0x12300;
  sim.config.faults.twiceBlock = 0x12300;
  sim.config.faults.duplicateAddress = 0x20005;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitSuspectImage);
  std::string commands = CommandsAsking("dihex 12300\r\n", BlockTries);
  const std::string high = "dihex 20000\r\n";
  commands.replace(commands.find(high), high.size(), high + high + high + high);
  EXPECT_TRUE(sim.Received() == commands);
  EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::BadBlocks, 2L, L"12300, 20000", ImageFiller)))
      << run.console.substr(run.console.size() - 300);
}

// Records ended by LF alone are stored with that LF written as CR LF, then
// CR CR LF; such files are read back by --resume as well.
TEST(LineEnds, RecordsEndedByLfAloneAreStoredAndReadBack) {
  TempDir dir;
  for (const bool resume : {false, true}) {
    InProcessSim sim(27);
    sim.config.faults.lfOnly = true;
    const DriverResult run = DumpFrom(&sim, dir, Resuming(resume));
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete);
    const std::string hex = ExpectedHexFile(sim.config);
    EXPECT_EQ(hex.substr(0, 3), ":10");
    EXPECT_TRUE(EndsWith(hex.substr(0, 48), "\r\n\r\r\n"));
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == hex);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory());
    EXPECT_EQ(Count(run.console, Utf8(Msg::AlreadyComplete)), resume ? 1u : 0u);
  }
}

// A logger without memory addresses (every block numbered 0000 to 00F0,
// segment records 0000 from 10000 on), plain, echoing, and with the LF after
// a CR of block 00100's reply late: block 00100 brings the same numbers on
// two tries, the console says once that placement goes unchecked, and the
// whole memory is dumped in arrival order with status 0.
TEST(NoAddresses, LoggerIsToldOnceAndDumpedWhole) {
  for (const int variant : {0, 1, 2}) {
    TempDir dir;
    InProcessSim sim(23);
    sim.config.faults.noAddresses = true;
    sim.config.faults.echo = variant == 1;
    sim.config.faults.splitBlock = variant == 2 ? 0x00100 : SimNone;
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete) << variant << Tail(run.console);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory()) << variant;
    SimConfig clean = {sim.image.data(), 0, nullptr};
    clean.faults.noAddresses = true;
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(clean)) << variant;
    EXPECT_EQ(sim.Received(), CommandsAsking("dihex 00100\r\n", 2)) << variant;
    EXPECT_EQ(Count(run.console, Utf8(Msg::NoAddresses)), 1u) << variant;
  }
}

// The block check on replies the substitute logger builds.
TEST(BlockCheck, NumberingByAddressIsLearnedAtBlock00100AndHeldTo) {
  const std::vector<uint8_t> image = PatternImage(25);
  SimConfig config = {image.data(), 0, nullptr};
  for (const uint32_t a : {0x00000u, 0x00100u}) {
    const LoggerReply reply = ReplyOf(config, a);
    EXPECT_EQ(Verdict(&reply, a, LoggerNumbering::Unknown), LoggerVerdict::Sound);
  }
  EXPECT_EQ(LoggerLearned(0x00000, LoggerNumbering::Unknown), LoggerNumbering::Unknown);
  EXPECT_EQ(LoggerLearned(0x00100, LoggerNumbering::Unknown), LoggerNumbering::ByAddress);
  EXPECT_EQ(LoggerLearned(0x00100, LoggerNumbering::NoAddresses), LoggerNumbering::NoAddresses);
  // Without addresses: block 00000 fits either way, the others look like such
  // a logger's and are sound once it is known, and never by address.
  SimConfig unaddressed = config;
  unaddressed.faults.noAddresses = true;
  for (const uint32_t a : {0x00100u, 0x10000u, 0x3FF00u}) {
    const LoggerReply reply = ReplyOf(unaddressed, a);
    EXPECT_EQ(Verdict(&reply, a, LoggerNumbering::Unknown), LoggerVerdict::Unaddressed) << a;
    EXPECT_EQ(Verdict(&reply, a, LoggerNumbering::ByAddress), LoggerVerdict::Unaddressed) << a;
    EXPECT_EQ(Verdict(&reply, a, LoggerNumbering::NoAddresses), LoggerVerdict::Sound) << a;
  }
  // Records out of step (one sent twice, and the next block's reply with one
  // sent twice) are no sign of a logger without addresses.
  SimConfig twice = config;
  twice.faults.duplicateAddress = 0x00205;
  for (const uint32_t a : {0x00100u, 0x00200u}) {
    const LoggerReply doubled = ReplyOf(twice, 0x00200);
    EXPECT_EQ(Verdict(&doubled, a, LoggerNumbering::Unknown), LoggerVerdict::OtherBlock) << a;
  }
  // Segment records are held to the block's address like the load addresses:
  // memory 64 KiB lower with segment records to match is that memory's block.
  SimConfig low = config;
  low.faults.lowSegments = true;
  const LoggerReply lowBlock = ReplyOf(low, 0x12300);
  EXPECT_EQ(Verdict(&lowBlock, 0x12300, LoggerNumbering::ByAddress), LoggerVerdict::OtherBlock);
  // One address throughout in a bad block 00000: while the numbering is
  // unknown that address places none of its records.
  LoggerReply oneAddress = ReplyOf(config, 0x00000);
  for (int i = 0; i < oneAddress.count; ++i) {
    char* line = oneAddress.line[i];
    std::memcpy(line + 3, "0000", 4);
    unsigned sum = 0;
    for (int at = 1; at < 9 + 2 * RecordDataBytes; at += 2) sum += HexByte(line, at);
    std::snprintf(line + 9 + 2 * RecordDataBytes, 4, "%02X\r", (0x100 - sum % 0x100) % 0x100);
  }
  oneAddress.count = RecordLinesLow - 1;
  LoggerParseReply(&oneAddress);
  uint8_t placed[BlockSize];
  LoggerPlacedImage(&oneAddress, 0x00000, LoggerNumbering::Unknown, placed);
  EXPECT_EQ(std::string(placed, placed + BlockSize), std::string(BlockSize, '\xFF'));
}

TEST(BlockCheck, ShortOrOverfullRepliesAreBad) {
  const std::vector<uint8_t> image = PatternImage(26);
  SimConfig config = {image.data(), 0, nullptr};
  LoggerReply reply = ReplyOf(config, 0x00500);
  reply.count = RecordLinesLow - 1;
  EXPECT_EQ(Verdict(&reply, 0x00500, LoggerNumbering::NoAddresses), LoggerVerdict::BadRecords);
  // A high block whose 32 lines hold 17 data records (one segment record missing).
  LoggerReply high = ReplyOf(config, 0x10000);
  const LoggerReply next = ReplyOf(config, 0x10100);
  std::snprintf(high.line[0], LineBufferSize, "%s", next.line[1]);
  EXPECT_EQ(Verdict(&high, 0x10000, LoggerNumbering::NoAddresses), LoggerVerdict::BadRecords);
  // A high block that stalled one segment record short: its 16 data records
  // are all there, but the reply is not the block's 32 lines.
  LoggerReply stalled = ReplyOf(config, 0x10000);
  for (int i = 1; i < stalled.count; ++i) {
    std::memcpy(stalled.line[i - 1], stalled.line[i], LineBufferSize);
    stalled.length[i - 1] = stalled.length[i];
  }
  --stalled.count;
  EXPECT_EQ(Verdict(&stalled, 0x10000, LoggerNumbering::ByAddress), LoggerVerdict::BadRecords);
  // An end-of-file record in place of a data record, and a well-formed data
  // record of 15 bytes, which does not fill its 16 bytes of the image.
  reply.count = RecordLinesLow;
  for (const char* record : {":00000001FF\r", ":0F053000214601360121470136007EFE09D2190E\r"}) {
    LoggerReply spoiled = reply;
    std::snprintf(spoiled.line[3], LineBufferSize, "%s", record);
    EXPECT_EQ(Verdict(&spoiled, 0x00500, LoggerNumbering::NoAddresses), LoggerVerdict::BadRecords)
        << record;
  }
}

}  // namespace
