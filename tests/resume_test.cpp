// --resume: a dump cut short goes on from where it stopped, and ends with the
// files of a clean run, once the logger has shown, block by block for up to
// WitnessLimit blocks, that it still holds what the files keep; changed
// memory, complete files, files with too much and a witness that cannot be
// read are told apart; an earlier dump survives a port that cannot be opened.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "logger/logger.h"
#include "dump/hexfile.h"
#include "dump/resume.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

constexpr uint32_t Seed = 41;
constexpr const char* ResumeTail = EndCommandBytes;

// A memory whose blocks from erasedFrom on are erased.
std::vector<uint8_t> ErasedFrom(uint32_t seed, uint32_t erasedFrom) {
  std::vector<uint8_t> image = PatternImage(seed);
  std::fill(image.begin() + erasedFrom, image.end(), ImageFiller);
  return image;
}

// A first run with the logger's memory image, cut short by a hang-up in the
// block at cut (ImageSize: not cut), or stopped by the user at once.
void FirstRun(const TempDir& dir, const std::vector<uint8_t>& image, long cut = SimNone) {
  InProcessSim sim(Seed);
  sim.image = image;
  sim.config.image = sim.image.data();
  sim.config.faults.hangUpInBlock = cut;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(run.status, cut == SimNone ? ExitComplete : ExitLinkLost);
  sim.Finish();
}

// A resumed run against a clean logger with this memory.
DriverResult Resumed(const TempDir& dir, InProcessSim* sim, const std::vector<uint8_t>& image) {
  sim->image = image;
  sim->config.image = sim->image.data();
  return DumpFrom(sim, dir, Resuming());
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

// The second run reads its witnesses (block 00000 and the last stored among
// them, at most WitnessLimit), then only the blocks not yet stored, and
// leaves the files of a clean run.
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
    const DriverResult first = DumpFrom(&sim, dir, StoppedBy(&stop));
    EXPECT_EQ(first.status, c.status);
    EXPECT_TRUE(EndsWith(first.console, ResumeHint)) << first.console;
    sim.Finish();
  }
  const uint32_t from = c.kept * BlockSize;
  const std::vector<uint32_t> witnesses = WitnessesOf(dir.path);
  ASSERT_LE(witnesses.size(), static_cast<size_t>(WitnessLimit));
  EXPECT_EQ(witnesses.front(), 0u);
  EXPECT_EQ(witnesses.back(), from - BlockSize);
  InProcessSim sim(Seed);
  sim.config.faults.replyDelayMs = 2;  // time passes in every block
  const DriverResult second = DumpFrom(&sim, dir, Resuming());
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(second.status, ExitComplete) << second.console;
  EXPECT_NE(second.console.find(Said(Msg::Resuming, from)), std::string::npos) << second.console;
  // The rate counts this run's blocks only: after its first block, none yet.
  char firstLine[8];
  std::snprintf(firstLine, sizeof firstLine, "\r%5.5x ", from);
  const size_t at = second.console.find(firstLine);
  ASSERT_NE(at, std::string::npos);
  const std::string progress = second.console.substr(at, second.console.find('\r', at + 1) - at);
  EXPECT_TRUE(EndsWith(progress, MessageTail(Msg::ProgressNoRate))) << progress;
  EXPECT_TRUE(sim.Received() == WitnessCommands(witnesses) + Commands(from, 0x3FF00) + ResumeTail)
      << sim.Received().substr(0, 200);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Resume,
    ::testing::Values(Cut{"ctrl_c_low", 0x00400, SimNone, 5, ExitInterrupted},
                      Cut{"link_lost_high", SimNone, 0x2A300, 0x2A3, ExitLinkLost}),
    [](const ::testing::TestParamInfo<Cut>& info) { return std::string(info.param.name); });

// The witnesses: block 00000, the last kept block, the last that holds data
// and the erased one after it, then one block in each eighth of the range,
// the one nearest its middle that holds data; never more than WitnessLimit
// blocks or WitnessRecordLines record lines.
TEST(Witnesses, CoverTheEndsTheEdgeOfTheDataAndTheRangeBetween) {
  static StoredDump dump;
  uint32_t chosen[WitnessLimit];
  dump.blocks = 0x80;
  std::fill(dump.erased, dump.erased + BlockCount, true);
  dump.erased[0x07] = dump.erased[0x1B] = false;
  int count = ChooseWitnesses(&dump, chosen);
  EXPECT_EQ(
      std::vector<uint32_t>(chosen, chosen + count),
      (std::vector<uint32_t>{0x0000, 0x0700, 0x1B00, 0x1C00, 0x2800, 0x3800, 0x4800, 0x7F00}));
  // A whole dump, nothing erased: the high blocks' 32 lines leave room for seven.
  dump.blocks = BlockCount;
  std::fill(dump.erased, dump.erased + BlockCount, false);
  count = ChooseWitnesses(&dump, chosen);
  EXPECT_EQ(std::vector<uint32_t>(chosen, chosen + count),
            (std::vector<uint32_t>{0x00000, 0x04000, 0x0C000, 0x14000, 0x1C000, 0x24000, 0x3FF00}));
  int lines = 0;
  for (int i = 0; i < count; ++i) lines += RecordLinesOf(chosen[i]);
  EXPECT_LE(lines, WitnessRecordLines);
  // Four low blocks and four high ones fill WitnessRecordLines exactly: all are taken.
  dump.blocks = 586;
  ASSERT_EQ(ChooseWitnesses(&dump, chosen), WitnessLimit);
  lines = 0;
  for (int i = 0; i < WitnessLimit; ++i) lines += RecordLinesOf(chosen[i]);
  EXPECT_EQ(lines, WitnessRecordLines);
  dump.blocks = 1;
  EXPECT_EQ(ChooseWitnesses(&dump, chosen), 1);
  EXPECT_EQ(chosen[0], 0u);
}

// An entry of logger.hex holds a line of at most LineBufferSize - 1
// characters with its line end; a longer one is no entry of this program's.
TEST(StoredEntries, LineThatFillsTheBufferIsRefused) {
  for (const size_t length : {LineBufferSize - 1, LineBufferSize}) {
    const std::string line = ":" + std::string(length - 2, 'A') + "\r";
    char entry[HexEntryRoom];
    FILE* hex = std::tmpfile();
    std::fwrite(entry, 1, MakeHexEntry(line.c_str(), length, entry), hex);
    std::rewind(hex);
    char read[LineBufferSize + 1];
    long long bytes = 0;
    EXPECT_EQ(ReadHexEntry(hex, read, &bytes), length < LineBufferSize ? 255 : 0);
    std::fclose(hex);
  }
}

// Where stored blocks belong can be shown by addresses that number records by
// address, and for block 00000 alone by its place; two blocks or more whose
// numbering is not yet known could be any blocks.
TEST(Witnesses, StoredPlacesAreProvableByAddressesOrForTheFirstBlockAlone) {
  static StoredDump dump;
  dump.numbering = LoggerNumbering::Unknown;
  dump.blocks = 1;
  EXPECT_TRUE(StoredPlacesProvable(&dump));
  dump.blocks = 2;
  EXPECT_FALSE(StoredPlacesProvable(&dump));
  dump.numbering = LoggerNumbering::ByAddress;
  EXPECT_TRUE(StoredPlacesProvable(&dump));
}

// The logger's memory changed since the files were written, where a witness
// falls: one line says so, the witnesses are read up to the first that
// differs, and the dump starts again from block 00000 with a fresh session
// (here the new memory comes from a logger without addresses). Cases: another memory
// altogether; a logger that logged on into blocks the cut-short files hold as
// erased; the same, with complete files; another logger's dump with the same
// block 00000 and an erased end.
TEST(ResumeElse, ChangedMemoryIsDumpedAfresh) {
  struct Case {
    const char* name;
    std::vector<uint8_t> stored;  // the memory the files were made from
    long cut;                     // where the first run was cut short
    std::vector<uint8_t> now;     // the memory at the resume
    bool noAddresses;             // the logger at the resume
  };
  const std::vector<uint8_t> early = ErasedFrom(Seed, 0x20000);
  std::vector<uint8_t> later = early;
  std::fill(later.begin() + 0x20000, later.begin() + 0x20040, 0x42);
  std::vector<uint8_t> other = ErasedFrom(Seed + 2, 0x30000);
  std::copy(early.begin(), early.begin() + BlockSize, other.begin());
  const std::vector<uint8_t> otherStored = ErasedFrom(Seed, 0x30000);
  for (const Case& c :
       {Case{"other memory", PatternImage(Seed), 0x00800, PatternImage(Seed + 1), true},
        Case{"logged on", early, 0x30000, later, false},
        Case{"logged on, complete", early, SimNone, later, false},
        Case{"other logger", otherStored, SimNone, other, false}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FirstRun(dir, c.stored, c.cut);
    const std::vector<uint32_t> witnesses = WitnessesOf(dir.path);
    uint32_t differing = ImageSize;
    for (const uint32_t w : witnesses) {
      if (differing == ImageSize &&
          !std::equal(c.now.begin() + w, c.now.begin() + w + BlockSize, c.stored.begin() + w)) {
        differing = w;
      }
    }
    ASSERT_NE(differing, ImageSize) << "no witness falls where the memory changed";
    InProcessSim sim(Seed);
    sim.config.faults.noAddresses = c.noAddresses;
    const DriverResult run = Resumed(dir, &sim, c.now);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete) << run.console.substr(0, 400);
    EXPECT_EQ(Count(run.console, Utf8(Msg::MemoryChanged)), 1u);
    const std::string commands = ExpectedCommands();
    EXPECT_TRUE(sim.Received() == WitnessCommands(witnesses, differing) +
                                      (c.noAddresses ? UnaddressedCommands(commands) : commands));
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory());
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(sim.config));
  }
}

// Files that already hold the whole dump are checked like any others and,
// when the logger agrees, left untouched; files with more than the whole dump
// (a longer logger.bin, lines after the last block in logger.hex) are cut to
// it and the console says so; a port that cannot be opened leaves them
// untouched, --resume or not.
TEST(ResumeElse, CompleteFilesAreLeftAloneOrCutToExactlyTheDump) {
  TempDir dir;
  FirstRun(dir, PatternImage(Seed));
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string bin = ReadFileBytes(dir.File("logger.bin"));
  const std::vector<uint32_t> witnesses = WitnessesOf(dir.path);
  struct Case {
    std::string hexAfter;
    std::string binAfter;
  };
  const std::string lastEntry = HexFileEntries(hex).back();
  for (const Case& c : {Case{"", ""}, Case{"", std::string(100, '\0')}, Case{lastEntry, ""},
                        Case{":00000001FF\r\r\r\n", "x"}}) {
    WriteFileBytes(dir.File("logger.hex"), hex + c.hexAfter);
    WriteFileBytes(dir.File("logger.bin"), bin + c.binAfter);
    struct stat before;
    ASSERT_EQ(stat(dir.File("logger.hex").c_str(), &before), 0);
    InProcessSim sim(Seed);
    const DriverResult run = DumpFrom(&sim, dir, Resuming());
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete);
    const bool surplus = !c.hexAfter.empty() || !c.binAfter.empty();
    EXPECT_EQ(Count(run.console, Utf8(surplus ? Msg::SurplusCut : Msg::AlreadyComplete)), 1u)
        << run.console;
    EXPECT_TRUE(sim.Received() == WitnessCommands(witnesses) + ResumeTail);
    EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
    if (surplus) continue;
    struct stat after;
    ASSERT_EQ(stat(dir.File("logger.hex").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  }
  for (const bool resume : {false, true}) {
    const std::string noPort = dir.File("no-such-port");
    DriverRun given{"", NoPorts(dir)};
    given.port = noPort.c_str();
    given.resume = resume;
    const DriverResult refused = RunDriverInProcess(dir.path, given);
    EXPECT_EQ(refused.status, ExitPortOpen);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == hex);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == bin);
  }
}

// A witness that stays bad on every try is no changed memory: nothing is cut
// or rewritten, the run ends with status 5 naming the block, and the console
// says the earlier files are kept. A link lost while the witnesses are read
// leaves them too, and the next --resume is still offered.
TEST(ResumeElse, AWitnessNotReadSoundlyLeavesTheFilesAlone) {
  TempDir dir;
  FirstRun(dir, PatternImage(Seed), 0x00800);
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string bin = ReadFileBytes(dir.File("logger.bin"));
  {
    InProcessSim sim(Seed);
    sim.config.faults.corruption = SimCorruption::Checksum;
    sim.config.faults.corruptAddress = 0x00005;
    const DriverResult run = DumpFrom(&sim, dir, Resuming());
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitSuspectImage);
    EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::WitnessBad, 0u, BlockTries))) << run.console;
    EXPECT_TRUE(sim.Received() == Asked(0, BlockTries) + ResumeTail);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == hex);
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == bin);
  }
  InProcessSim sim(Seed);
  sim.config.faults.hangUpInBlock = 0x00000;
  const DriverResult run = DumpFrom(&sim, dir, Resuming());
  sim.Finish();
  EXPECT_EQ(run.status, ExitLinkLost);
  EXPECT_TRUE(EndsWith(run.console, LinkLost + ResumeHint)) << run.console;
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == hex);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == bin);
}

// What the files keep: a block whose logger.bin bytes differ from its lines,
// or whose lines are another block's (here block 00000's, which do not fit
// the numbering by address the blocks before showed), ends the stored blocks;
// the resume goes on from there.
TEST(ResumeElse, StoredBlocksEndWhereTheFilesStopProvingThem) {
  struct Case {
    const char* name;
    bool lines;  // block 00500's lines replaced (else a byte of logger.bin changed)
  };
  for (const Case& c : {Case{"logger.bin differs", false}, Case{"another block's lines", true}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FirstRun(dir, PatternImage(Seed), 0x00800);
    std::string hex = ReadFileBytes(dir.File("logger.hex"));
    std::string bin = ReadFileBytes(dir.File("logger.bin"));
    if (c.lines) {
      // Block 00500's sixteen entries replaced by block 00000's.
      std::vector<std::string> entries = HexFileEntries(hex);
      std::copy(entries.begin(), entries.begin() + RecordLinesLow,
                entries.begin() + 5 * RecordLinesLow);
      hex = std::accumulate(entries.begin(), entries.end(), std::string());
      bin.replace(0x500, BlockSize, bin.substr(0, BlockSize));
    } else {
      bin[0x505] = static_cast<char>(bin[0x505] ^ 1);
    }
    WriteFileBytes(dir.File("logger.hex"), hex);
    WriteFileBytes(dir.File("logger.bin"), bin);
    const std::vector<uint32_t> witnesses = WitnessesOf(dir.path);
    EXPECT_EQ(witnesses.back(), 0x00400u);
    InProcessSim sim(Seed);
    const DriverResult run = DumpFrom(&sim, dir, Resuming());
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete);
    EXPECT_NE(run.console.find(Said(Msg::Resuming, 0x00500u)), std::string::npos) << run.console;
    EXPECT_TRUE(sim.Received() ==
                WitnessCommands(witnesses) + Commands(0x500, 0x3FF00) + ResumeTail);
    EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
  }
}

// A logger whose addresses cannot show where a block belongs: the stored
// lines prove nothing, so --resume starts from block 00000 and says why, also
// after a run whose status 5 came from a block stored short (a record line
// lost on every try) and from records after the end command.
TEST(ResumeElse, WithoutUsableAddressesTheDumpStartsAfresh) {
  TempDir dir;
  {
    InProcessSim sim(Seed);
    sim.config.faults.noAddresses = true;
    sim.config.faults.corruption = SimCorruption::Colon;
    sim.config.faults.corruptAddress = 0x00340;
    sim.config.faults.afterEnd = SimStrayRecordLine;
    const DriverResult first = DumpFrom(&sim, dir);
    EXPECT_EQ(first.status, ExitSuspectImage);
    sim.Finish();
  }
  InProcessSim sim(Seed);
  sim.config.faults.noAddresses = true;
  const DriverResult run = DumpFrom(&sim, dir, Resuming());
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete);
  EXPECT_EQ(Count(run.console, Utf8(Msg::ResumeUnprovable)), 1u);
  EXPECT_TRUE(sim.Received() == UnaddressedCommands(ExpectedCommands()));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory());
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(sim.config));
}

}  // namespace
