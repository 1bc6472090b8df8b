// Faults, interruptions and bad input, end to end: the substitute logger
// misbehaves on purpose and the run must keep everything received, tell the
// truth about it and never hang. Most cases run the driver in-process (no
// countdown); the few that need the real program's signals run it as a child.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger.h"
#include "gtest/gtest.h"
#include "testutil.h"

namespace {

std::string Join(const std::vector<std::string>& entries, size_t from, size_t to) {
  std::string joined;
  for (size_t i = from; i < to && i < entries.size(); ++i) joined += entries[i];
  return joined;
}

// Index of the first record line of the block at address in a clean run.
size_t FirstEntryOf(uint32_t address) {
  if (address < HighBlocksStart) return address / BlockSize * RecordLinesLow;
  return HighBlocksStart / BlockSize * RecordLinesLow +
         (address - HighBlocksStart) / BlockSize * RecordLinesHigh;
}

// What a run left behind in dir, checked against a clean run of the same
// logger: logger.hex must be a whole number of its first entries and
// logger.bin the image up to the data those entries carry (low blocks only).
// Returns the number of entries.
size_t ExpectCleanPrefix(const TempDir& dir, const InProcessSim& sim) {
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string clean = ExpectedHexFile(sim.image.data());
  EXPECT_TRUE(clean.compare(0, hex.size(), hex) == 0) << "logger.hex is no prefix of a clean run";
  EXPECT_TRUE(EndsWith(hex, HexEntryEnd) || hex.empty()) << "logger.hex ends inside an entry";
  const size_t entries = HexFileEntries(hex).size();
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory(entries * RecordDataBytes))
      << "logger.bin does not hold the image of the " << entries << " records in logger.hex";
  return entries;
}

// Lines from the logger that are no records, NUL bytes inside records,
// lowercase digits and a 1000-character line change nothing.
TEST(LoggerFaults, NoiseLowercaseAndLongLinesLeaveTheImageWhole) {
  for (const uint32_t longLineBlock : {0x00300u, 0x10000u}) {
    TempDir dir;
    InProcessSim sim(11);
    sim.config.faults.noise = true;
    sim.config.faults.lowercase = true;
    sim.config.faults.longLineBlock = longLineBlock;
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitComplete) << run.console.substr(run.console.size() - 200);
    EXPECT_FALSE(Contains(run.console, MessageTail(Msg::BadBlocks)));
    std::string hex = ExpectedHexFile(sim.image.data());
    std::transform(hex.begin(), hex.end(), hex.begin(), [](char c) { return std::tolower(c); });
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == hex) << "records differ from those sent";
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory(ImageSize));
    EXPECT_TRUE(sim.Received() == ExpectedCommands());
  }
}

// A record spoiled on every try: the block is asked for BlockTries times, the
// last reply is stored as it came, the other blocks are intact, and the run
// ends with status 5 and a warning naming the block. In the first block too,
// where the earlier files are emptied only once the next block is sound.
class CorruptRecord : public ::testing::TestWithParam<SimCorruption> {};

TEST_P(CorruptRecord, IsKeptAsReceivedAfterEveryTryAndTheRunEndsWithStatus5) {
  for (const uint32_t recordAddress : {0x12340u, 0x00040u}) {
    const uint32_t blockAddress = recordAddress & ~(BlockSize - 1);
    SCOPED_TRACE(blockAddress);
    TempDir dir;
    WriteFileBytes(dir.File("logger.bin"), std::string(ImageSize + 5, 'y'));
    InProcessSim sim(5);
    sim.config.faults.corruption = GetParam();
    sim.config.faults.corruptAddress = recordAddress + 7;  // any address inside the record
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(sim.Finish(), 0);
    EXPECT_EQ(run.status, ExitSuspectImage);
    wchar_t named[8];
    std::swprintf(named, 8, L"%5.5x", blockAddress);
    EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::BadBlocks, 1L, named, ImageFiller)))
        << Tail(run.console);
    char command[24];  // room for any 32-bit address
    std::snprintf(command, sizeof command, "dihex %5.5x\r\n", blockAddress);
    EXPECT_EQ(sim.Received(), CommandsAsking(command, BlockTries));
    for (int attempt = 2; attempt <= BlockTries; ++attempt) {
      EXPECT_EQ(Count(run.console, Said(Msg::Reread, blockAddress, attempt)), 1u);
    }

    // logger.hex: the clean entries with the block's lines as the last try
    // brought them (a wrong checksum differs from try to try).
    std::vector<std::string> expected = HexFileEntries(ExpectedHexFile(sim.image.data()));
    const std::vector<std::string> sent = HexEntriesOf(sim.config, blockAddress, BlockTries - 1);
    ASSERT_EQ(sent.size(), static_cast<size_t>(RecordLinesOf(blockAddress)));
    std::copy(sent.begin(), sent.end(), expected.begin() + FirstEntryOf(blockAddress));
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == Join(expected, 0, expected.size()));

    // logger.bin: the image, with the spoiled record's 16 bytes filled.
    std::string image = sim.Memory(ImageSize);
    image.replace(recordAddress, RecordDataBytes, RecordDataBytes, '\xFF');
    EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == image);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CorruptRecord,
                         ::testing::Values(SimCorruption::Checksum, SimCorruption::Digit,
                                           SimCorruption::Short));

// The logger goes away after a block: reads fail, the run gives up after
// about 3 seconds with status 4 and keeps everything received.
TEST(LoggerFaults, HangUpAfterABlockEndsWithStatus4AndKeepsTheBlocks) {
  constexpr uint32_t lastBlock = 0x00300;
  TempDir dir;
  InProcessSim sim(2);
  sim.config.faults.hangUpAfterBlock = lastBlock;
  const long long start = TestNowMs();
  const DriverResult run = DumpFrom(&sim, dir);
  const long long took = TestNowMs() - start;
  EXPECT_EQ(sim.Finish(), SimHungUp);
  EXPECT_EQ(run.status, ExitLinkLost);
  EXPECT_TRUE(EndsWith(run.console, std::string(LinkLost) + ResumeHint))
      << run.console.substr(run.console.size() - 200);
  EXPECT_EQ(Count(run.console, "read error"), 1u) << "one line for the one streak of failures";
  EXPECT_TRUE(Contains(run.console, MessageTail(Msg::Progress) + "\n" + Utf8(Msg::ReadError)))
      << "read error after the progress line";
  EXPECT_FALSE(Contains(run.console, "write error"));
  EXPECT_GE(took, 2500);
  EXPECT_LT(took, 6000);

  const std::vector<std::string> clean = HexFileEntries(ExpectedHexFile(sim.image.data()));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) ==
              Join(clean, 0, FirstEntryOf(lastBlock + BlockSize)));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == sim.Memory(lastBlock + BlockSize));
}

// The logger goes away in the middle of a reply (of a block that also has
// segment records): the lines that arrived whole are kept, the cut one is not.
TEST(LoggerFaults, HangUpHalfwayThroughABlockKeepsTheWholeLines) {
  constexpr uint32_t cutBlock = 0x10200;
  TempDir dir;
  InProcessSim sim(4);
  sim.config.faults.hangUpInBlock = cutBlock;
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), SimHungUp);
  EXPECT_EQ(run.status, ExitLinkLost);
  EXPECT_TRUE(EndsWith(run.console, std::string(LinkLost) + ResumeHint));

  // Half of the block's 32 lines: 8 segment records and 8 data records.
  const std::vector<std::string> clean = HexFileEntries(ExpectedHexFile(sim.image.data()));
  const size_t wholeLines = RecordLinesHigh / 2;
  EXPECT_EQ(HexFileEntries(ReadFileBytes(dir.File("logger.hex"))).size(),
            FirstEntryOf(cutBlock) + wholeLines);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) ==
              Join(clean, 0, FirstEntryOf(cutBlock) + wholeLines));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
              sim.Memory(cutBlock + wholeLines / 2 * RecordDataBytes));
}

// A slow logger (each reply later than a read time-out) that then falls
// silent is waited for, without "read error" and without asking again, until
// the user stops the run; after a few seconds the console says it is waiting.
TEST(LoggerFaults, SlowThenSilentLoggerIsWaitedForUntilTheUserStops) {
  constexpr uint32_t lastBlock = 0x00100;
  TempDir dir;
  InProcessSim sim(6);
  sim.config.faults.replyDelayMs = 600;
  sim.config.faults.silentAfterBlock = lastBlock;
  std::atomic<bool> stop{false};
  DriverResult run;
  long long returnedAtMs = 0;
  {
    StopLater later(&stop, 7000);
    run = DumpFrom(&sim, dir, StoppedBy(&stop));
    returnedAtMs = TestNowMs();
    later.thread.join();
    EXPECT_LT(returnedAtMs - later.stoppedAtMs, 1500) << "the stop took too long to be seen";
  }
  EXPECT_EQ(sim.Finish(), 0) << "the logger did not get the end command";
  EXPECT_EQ(run.status, ExitInterrupted);
  EXPECT_TRUE(EndsWith(run.console, std::string(Interrupted) + ResumeHint)) << run.console;
  EXPECT_FALSE(Contains(run.console, "read error"));
  EXPECT_EQ(Count(run.console, MessageTail(Msg::Progress) + "\n" + Utf8(Msg::WaitingForLogger)), 1u)
      << run.console;
  EXPECT_TRUE(sim.Received() == Commands(0, lastBlock + BlockSize) + EndCommandBytes);
  EXPECT_EQ(ExpectCleanPrefix(dir, sim), FirstEntryOf(lastBlock + BlockSize));
}

// Ctrl-C while a block waits to be asked again: its last try (a record sent
// twice, so that the data records after it came one place late) is kept as
// a bad block is, each record where its address places it, FF where none
// came, not in the order the records arrived. (Fault campaign seed 450.)
TEST(LoggerFaults, StopBeforeATryAgainKeepsTheBytesOnlyWhereTheyBelong) {
  constexpr uint32_t block = 0x00300;
  TempDir dir;
  InProcessSim sim(8);
  sim.config.faults.duplicateAddress = block + 0x45;  // record 4, on every try
  std::atomic<bool> stop{false};
  std::thread user([&] {
    // Stopped halfway through the quiet wait after the second try.
    const std::string twice = Asked(block, 2);
    while (!Contains(sim.Received(), twice)) usleep(5000);
    usleep(ReadTimeoutMs * 1000 / 2);
    stop = true;
  });
  const DriverResult run = DumpFrom(&sim, dir, StoppedBy(&stop));
  user.join();
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitInterrupted);
  EXPECT_TRUE(EndsWith(run.console, std::string(Interrupted) + ResumeHint)) << Tail(run.console);
  std::string image = sim.Memory(block + BlockSize);
  image.replace(block + BlockSize - RecordDataBytes, RecordDataBytes, RecordDataBytes, '\xFF');
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == image);
}

// Another device on the port (a line of text now and then, no records): the
// console says so within a few seconds, and Ctrl-C ends the run with the end
// command sent.
TEST(LoggerFaults, AnotherDevicesTextIsToldAndCtrlCEndsTheRun) {
  TempDir dir;
  // A complete dump from before: a run that got no block leaves it as it is.
  const std::string earlierHex = ExpectedHexFile(PatternImage(3).data());
  const std::string earlierBin(ImageSize, 'y');
  WriteFileBytes(dir.File("logger.hex"), earlierHex);
  WriteFileBytes(dir.File("logger.bin"), earlierBin);
  InProcessSim sim(7);
  sim.config.faults.foreignText = true;
  std::atomic<bool> stop{false};
  DriverResult run;
  {
    StopLater later(&stop, static_cast<int>(WaitNoticeMs) + 1500);
    run = DumpFrom(&sim, dir, StoppedBy(&stop));
  }
  EXPECT_EQ(sim.Finish(), 0) << "the logger did not get the end command";
  EXPECT_EQ(run.status, ExitInterrupted);
  EXPECT_TRUE(
      EndsWith(run.console, Utf8(Msg::CommunicationStarts) + Utf8(Msg::ForeignData) + Interrupted))
      << run.console;
  EXPECT_TRUE(sim.Received() == "dihex 00000\r\nq\n\r");
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == earlierHex);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == earlierBin);
}

// A logger that streams bytes without ever ending a line holds neither the
// run nor the user's stop.
TEST(LoggerFaults, EndlessLineDoesNotHoldTheStop) {
  TempDir dir;
  SimPty pty{};
  ASSERT_TRUE(SimOpenPty(&pty));
  std::atomic<bool> done{false};
  std::thread logger([&] {
    const std::string chunk(512, 'x');
    while (!done) {
      if (write(pty.master, chunk.data(), chunk.size()) <= 0) usleep(1000);
      char discard[256];
      while (read(pty.master, discard, sizeof discard) > 0) {
      }
    }
  });
  std::atomic<bool> stop{false};
  DriverResult run;
  long long returnedAtMs = 0;
  {
    StopLater later(&stop, 500);
    DriverRun stoppable{std::string(pty.path) + "\n", NoPorts(dir)};
    stoppable.stop = &stop;
    run = RunDriverInProcess(dir.path, stoppable);
    returnedAtMs = TestNowMs();
    later.thread.join();
    EXPECT_LT(returnedAtMs - later.stoppedAtMs, 1500) << "the stop took too long to be seen";
  }
  done = true;
  logger.join();
  SimClosePty(&pty);
  EXPECT_EQ(run.status, ExitInterrupted);
  EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "");
}

// Output files on a full disk: a one-page tmpfs, filled up, with one of its
// files mounted over each name given. The mounts belong to a mount namespace
// of this thread's own (CTest runs each test in a process of its own) and are
// undone with the helper. ready is false where this process may not mount.
struct FullDisk {
  std::vector<std::string> mounts;
  bool ready = false;

  FullDisk(const TempDir& dir, const std::vector<std::string>& names) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return;
    }
    const std::string disk = dir.File("disk");
    if (mkdir(disk.c_str(), 0755) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4k") != 0) {
      return;
    }
    mounts.push_back(disk);
    for (const std::string& name : names) {
      WriteFileBytes(disk + "/" + name, "");
      WriteFileBytes(dir.File(name), "");
      if (mount((disk + "/" + name).c_str(), dir.File(name).c_str(), nullptr, MS_BIND, nullptr) !=
          0) {
        return;
      }
      mounts.push_back(dir.File(name));
    }
    WriteFileBytes(disk + "/filler", std::string(2 * 4096, 'f'));  // more than fits
    ready = ReadFileBytes(disk + "/filler").size() < 2 * 4096;
  }
  ~FullDisk() {
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m) umount2(m->c_str(), MNT_DETACH);
  }
};

constexpr char NoMount[] = "cannot mount a small file system here (needs root or CAP_SYS_ADMIN)";

// A file that cannot take the data (disk full) stops the run with its message
// and status; the end command goes out and the other file keeps what it took.
// When both fail, the first failure (logger.hex, whose buffer fills first)
// decides the status and the later one is still reported.
TEST(FileFaults, DiskFullStopsTheRunWithTheStatusOfTheFirstFileThatFailed) {
  const std::string hexFails = "\n" + Said(Msg::CannotWrite, HexFileText.text);
  const std::string binFails = "\n" + Said(Msg::CannotWrite, BinFileText.text);
  struct Case {
    std::vector<std::string> full;
    int status;
    std::string ending;
  };
  const Case cases[] = {{{"logger.bin"}, ExitBinFile, binFails},
                        {{"logger.hex"}, ExitHexFile, hexFails},
                        {{"logger.hex", "logger.bin"}, ExitHexFile, hexFails + binFails}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ending);
    TempDir dir;
    FullDisk disk(dir, c.full);
    if (!disk.ready) GTEST_SKIP() << NoMount;
    InProcessSim sim(3);
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(sim.Finish(), 0) << "the logger did not get the end command";
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(EndsWith(run.console, c.ending)) << run.console.substr(run.console.size() - 300);
    EXPECT_TRUE(EndsWith(sim.Received(), EndCommandBytes));
    EXPECT_LT(Count(sim.Received(), "dihex "), 1024u) << "the run went on after the failure";
    if (c.full.size() == 1 && c.status == ExitBinFile) {
      const std::string hex = ReadFileBytes(dir.File("logger.hex"));
      EXPECT_TRUE(ExpectedHexFile(sim.image.data()).compare(0, hex.size(), hex) == 0);
      EXPECT_GT(hex.size(), 0u);
    } else if (c.full.size() == 1) {
      const std::string bin = ReadFileBytes(dir.File("logger.bin"));
      EXPECT_TRUE(bin == sim.Memory(bin.size()));
      EXPECT_GT(bin.size(), 0u);
    }
  }
}

// Each block is handed to the system before the next command, so a full
// disk is told at the block that met it, while the logger is silent, not only
// when the files are closed at the end.
TEST(FileFaults, FullDiskIsToldAtTheBlockThatMetIt) {
  struct Case {
    std::vector<std::string> full;
    int status;
    std::string ending;
  };
  const std::string binFails = "\n" + Said(Msg::CannotWrite, BinFileText.text);
  const std::string hexFails = "\n" + Said(Msg::CannotWrite, HexFileText.text);
  for (const Case& c : {Case{{"logger.bin"}, ExitBinFile, binFails},
                        Case{{"logger.hex", "logger.bin"}, ExitHexFile, hexFails + binFails}}) {
    TempDir dir;
    FullDisk disk(dir, c.full);
    if (!disk.ready) GTEST_SKIP() << NoMount;
    InProcessSim sim(3);
    sim.config.faults.silentAfterBlock = 0;  // block 00000, then nothing
    std::atomic<bool> stop{false};
    DriverResult run;
    long long tookMs = 0;
    {
      StopLater later(&stop, 3000);  // ends the run should the failure go unseen
      const long long startMs = TestNowMs();
      run = DumpFrom(&sim, dir, StoppedBy(&stop));
      tookMs = TestNowMs() - startMs;
    }
    sim.Finish();
    EXPECT_EQ(run.status, c.status);
    EXPECT_LT(tookMs, 2000) << "the failure waited for the stop";
    EXPECT_TRUE(EndsWith(run.console, c.ending)) << run.console;
    if (c.full.size() == 1) {
      EXPECT_EQ(HexFileEntries(ReadFileBytes(dir.File("logger.hex"))).size(),
                static_cast<size_t>(RecordLinesLow));
    }
  }
}

// Whatever the user types, the run ends with a defined status: with no port
// present, every line leads to "COM Open Error", a reason, and status 1.
TEST(BadInput, EveryLineAtThePromptEndsWithADefinedStatus) {
  const std::vector<std::string> inputs = {
      "",  // standard input already closed
      "\n",
      "letters\n",
      "-\n",
      "+\n",
      "   \t \n",
      " +-3\n",
      "99999999999999999999999999999999\n",
      "-99999999999999999999999999999999\n",
      std::string(10000, '7') + "\n",
      std::string(10000, 'x') + "\n",
      "/" + std::string(9999, 'a') + "\n",
      "/dev/null\n",  // a path that is no serial port
      std::string("\x01\xff\x80\r\n", 5),
      std::string(300, ' ') + "5\n",
  };
  for (const std::string& input : inputs) {
    TempDir dir;
    const DriverResult run = RunDriverInProcess(dir.path, {input, NoPorts(dir)});
    const std::string shown = input.substr(0, 40);
    EXPECT_EQ(run.status, ExitPortOpen) << shown;
    // "COM Open Error", then one line that says why.
    const std::string opening = Utf8(Msg::CommunicationStarts) + ComOpenError;
    const size_t at = run.console.rfind(opening);
    ASSERT_NE(at, std::string::npos) << shown;
    const std::string reason = run.console.substr(at + opening.size());
    EXPECT_TRUE(reason.size() > 1 && reason.find('\n') == reason.size() - 1) << shown << reason;
    EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "") << shown;
    EXPECT_EQ(ReadFileBytes(dir.File("logger.bin")), "") << shown;
  }
}

// A stop request while the user is still being asked ends the run before
// any file is made.
TEST(BadInput, StopAtThePromptCreatesNoFiles) {
  TempDir dir;
  std::atomic<bool> stop{true};
  DriverRun stoppable{"", NoPorts(dir)};
  stoppable.stop = &stop;
  const DriverResult run = RunDriverInProcess(dir.path, stoppable);
  EXPECT_EQ(run.status, ExitInterrupted);
  EXPECT_TRUE(EndsWith(run.console, Interrupted));
  EXPECT_FALSE(FileExists(dir.File("logger.hex")));
  EXPECT_FALSE(FileExists(dir.File("logger.bin")));
}

}  // namespace
