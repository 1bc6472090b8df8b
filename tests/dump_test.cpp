// The whole run in-process (no countdown wait) against the substitute logger.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "testutil.h"

namespace {

constexpr char Heading[] = "接続されているCOMポート一覧\n";
constexpr char Prompt[] = "使用するCOMポートの番号を入力してください。\n";
constexpr char Countdown[] =
    "5秒以内にPICを接続してください。\r4秒以内にPICを接続してください。\r"
    "3秒以内にPICを接続してください。\r2秒以内にPICを接続してください。\r"
    "1秒以内にPICを接続してください。\r\n通信開始\n";

TEST(DumpRun, CompleteDumpStoresEveryRecordAndTheImage) {
  TempDir dir;
  InProcessSim sim(7);
  sim.Start();
  const DriverResult run =
      RunDriverInProcess(dir.path, std::string(sim.Path()) + "\n", NoPorts(dir));
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, 0);

  const std::string image(sim.image.begin(), sim.image.end());
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == image) << "logger.bin differs from memory";
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(sim.image.data()));
  const std::string received = sim.Received();
  EXPECT_TRUE(received == ExpectedCommands()) << "commands sent differ";
  // The bytes on the wire at both ends and where the address reaches 0x10000.
  EXPECT_EQ(received.substr(0, 26), "dihex 00000\r\ndihex 00100\r\n");
  EXPECT_NE(received.find("dihex 0ff00\r\ndihex 10000\r\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(received, "dihex 3ff00\r\nq\n\r"));

  const std::string dialogue =
      std::string(Heading) + Prompt + sim.Path() + "に接続します。\n" + Countdown;
  EXPECT_EQ(run.console.substr(0, dialogue.size()), dialogue);
  EXPECT_EQ(Count(run.console, "経過時間"), 1024u);
  const size_t last = run.console.rfind('\r');
  EXPECT_EQ(run.console.substr(last, 7), "\r3ff00 ");
  EXPECT_EQ(run.console.back(), "秒"[2]) << "the last progress line has no line end";
}

TEST(DumpRun, NumberWithoutPortCreatesEmptyFilesAndFailsTheOpen) {
  for (const char* input : {"\n", "abc\n", "12abc\n", ""}) {
    TempDir dir;
    const DriverResult run = RunDriverInProcess(dir.path, input, NoPorts(dir));
    EXPECT_EQ(run.status, 1) << input;
    const std::string shown = std::string(input) == "12abc\n" ? "COM12" : "COM0";
    EXPECT_NE(run.console.find(shown + "に接続します。\n"), std::string::npos) << run.console;
    EXPECT_NE(run.console.find(Countdown), std::string::npos);
    EXPECT_TRUE(EndsWith(run.console, "COM Open Error\n")) << run.console;
    ASSERT_TRUE(FileExists(dir.File("logger.hex")));
    ASSERT_TRUE(FileExists(dir.File("logger.bin")));
    EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "");
    EXPECT_EQ(ReadFileBytes(dir.File("logger.bin")), "");
  }
}

TEST(DumpRun, FilesThatCannotBeCreated) {
  {
    TempDir dir;
    mkdir(dir.File("logger.hex").c_str(), 0755);
    const DriverResult run = RunDriverInProcess(dir.path, "/dev/null\n", NoPorts(dir));
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(EndsWith(run.console, "logger.hex が開けません。\n")) << run.console;
    EXPECT_FALSE(FileExists(dir.File("logger.bin")));
  }
  {
    TempDir dir;
    mkdir(dir.File("logger.bin").c_str(), 0755);
    const DriverResult run = RunDriverInProcess(dir.path, "/dev/null\n", NoPorts(dir));
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(EndsWith(run.console, "logger.bin が開けません。\n")) << run.console;
    EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "");
  }
}

TEST(DumpRun, FileHeldByAnotherRunIsLeftAsItIs) {
  TempDir dir;
  WriteFileBytes(dir.File("logger.hex"), "another run's records");
  const int held = open(dir.File("logger.hex").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const DriverResult run = RunDriverInProcess(dir.path, "/dev/null\n", NoPorts(dir));
  close(held);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "another run's records");
}

TEST(DumpRun, OldFilesAreReplaced) {
  TempDir dir;
  WriteFileBytes(dir.File("logger.hex"), std::string(2000000, 'x'));
  WriteFileBytes(dir.File("logger.bin"), std::string(300000, 'y'));
  InProcessSim sim(3);
  sim.Start();
  const DriverResult run =
      RunDriverInProcess(dir.path, std::string(sim.Path()) + "\n", NoPorts(dir));
  sim.Finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(sim.image.data()));
  EXPECT_EQ(ReadFileBytes(dir.File("logger.bin")).size(), static_cast<size_t>(ImageSize));
}

// --port: no list, no question, nothing read; the port line and the countdown stay.
TEST(DumpRun, PortGivenBeforehandSkipsTheListAndTheQuestion) {
  TempDir dir;
  InProcessSim sim(5);
  sim.Start();
  const DriverResult run = RunDriverInProcess(dir.path, "", NoPorts(dir), nullptr, sim.Path());
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, 0);
  const std::string dialogue = std::string(sim.Path()) + "に接続します。\n" + Countdown;
  EXPECT_EQ(run.console.substr(0, dialogue.size()), dialogue);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
              std::string(sim.image.begin(), sim.image.end()));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) == ExpectedHexFile(sim.image.data()));

  // A number names a listed port as at the prompt; here none is listed.
  TempDir other;
  const DriverResult numbered = RunDriverInProcess(other.path, "", NoPorts(other), nullptr, "7");
  EXPECT_EQ(numbered.status, 1);
  EXPECT_EQ(numbered.console, std::string("COM7に接続します。\n") + Countdown + "COM Open Error\n");
}

}  // namespace
