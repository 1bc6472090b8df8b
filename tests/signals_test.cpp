// The real program and the ways a user ends it: Ctrl-C in the middle of a
// dump, SIGTERM and SIGHUP, and a console pipe that goes away. Each case waits
// through (part of) the countdown, so each is a test of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "testutil.h"

namespace {

constexpr int RunLimitSeconds = 60;

// Waits until the file holds text (the logger's log of commands), at most limitMs.
bool WaitForText(const std::string& path, const std::string& text, int limitMs) {
  for (const long long until = TestNowMs() + limitMs; TestNowMs() < until;) {
    if (ReadFileBytes(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Ctrl-C in the middle of the dump: the run stops at once, sends nothing
// after the command it was on but the end command, once, and keeps every
// record it took in both files.
TEST(Signals, CtrlCInTheMiddleOfTheDump) {
  TempDir dir;
  Child sim(SimArgs({"--seed", "21", "--delay", "20", "--received", dir.File("received"),
                     "--write-image", dir.File("memory")}));
  const std::string port = sim.FirstLine(10000);
  ASSERT_FALSE(port.empty());
  Child dump(LoggerdumpArgs(dir.path, port + "\n"));
  ASSERT_TRUE(WaitForText(dir.File("received"), "dihex 00300", 30000));
  dump.Signal(SIGINT);
  const long long signalledAt = TestNowMs();
  EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitInterrupted);
  EXPECT_LT(TestNowMs() - signalledAt, 1500) << "the run took too long to stop";
  EXPECT_EQ(sim.Wait(10), 0) << "loggersim did not see the end command";
  const std::string out = dump.Output();
  EXPECT_TRUE(EndsWith(out, std::string(Interrupted) + ResumeHint)) << out.substr(out.size() - 200);

  const std::string received = ReadFileBytes(dir.File("received"));
  EXPECT_TRUE(EndsWith(received, "q\n\r"));
  EXPECT_EQ(Count(received, "q\n\r"), 1u);
  const size_t commands = Count(received, "dihex ");
  ASSERT_GE(commands, 4u);
  EXPECT_TRUE(received == Commands(0, (commands - 1) * BlockSize) + "q\n\r");

  // Both files: the first records of a clean run, as many as were taken.
  const std::string memory = ReadFileBytes(dir.File("memory"));
  ASSERT_EQ(memory.size(), static_cast<size_t>(ImageSize));
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string clean = ExpectedHexFile(reinterpret_cast<const uint8_t*>(memory.data()));
  EXPECT_TRUE(clean.compare(0, hex.size(), hex) == 0);
  const size_t entries = Count(hex, "\r\r\r\n");
  // Every block asked for before the last is complete; the last may be partial.
  EXPECT_GE(entries, (commands - 1) * 16);
  EXPECT_LE(entries, commands * 16);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == memory.substr(0, entries * 16));
}

// SIGTERM and SIGHUP end the run like Ctrl-C; during the countdown no file
// has been made yet.
TEST(Signals, TermAndHangUpDuringTheCountdown) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    TempDir dir;
    Child dump(LoggerdumpArgs(dir.path, "0\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    dump.Signal(signal);
    EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitInterrupted) << signal;
    EXPECT_TRUE(EndsWith(dump.Output(), Interrupted)) << dump.Output();
    EXPECT_FALSE(FileExists(dir.File("logger.hex")));
    EXPECT_FALSE(FileExists(dir.File("logger.bin")));
  }
}

// Ctrl-C while the program waits for the user's line: nothing of the
// connect line or the countdown, no file, status 130.
TEST(Signals, CtrlCAtThePrompt) {
  TempDir dir;
  ChildOptions options = LoggerdumpArgs(dir.path, "");
  options.keepInputOpen = true;
  Child dump(options);
  const std::string prompt = "使用するCOMポートの番号を入力してください。\n";
  ASSERT_TRUE(dump.WaitForOutput(prompt, RunLimitSeconds * 1000));
  // A signal that comes after the prompt but before the read has begun only
  // sets the flag, and the read still waits: pressed again, as a user would,
  // Ctrl-C ends it.
  for (int presses = 0; presses < 20; ++presses) {
    dump.Signal(SIGINT);
    if (dump.WaitForOutput(Interrupted, 500)) break;
  }
  EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitInterrupted);
  EXPECT_TRUE(EndsWith(dump.Output(), prompt + Interrupted)) << dump.Output();
  EXPECT_FALSE(FileExists(dir.File("logger.hex")));
  EXPECT_FALSE(FileExists(dir.File("logger.bin")));
}

// A stop request that arrives before the prompt's read has begun (the window
// the test above can only hit by chance): the run ends at once instead of
// waiting for a line on an input that stays open.
TEST(Signals, StopBeforeThePromptIsRead) {
  TempDir dir;
  int input[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  FILE* in = fdopen(input[0], "r");
  FILE* out = std::tmpfile();
  ASSERT_TRUE(in != nullptr && out != nullptr);
  const PortRoots roots = NoPorts(dir);
  serialSeam.roots = &roots;
  std::atomic<bool> stop{true};
  const DumpOptions options = {in, out, 0, &stop, dir.path.c_str(), nullptr, false, false};
  // Should the run wait for input after all, the input ends after a while
  // and the test fails instead of hanging.
  std::atomic<bool> returned{false};
  std::thread closer([&] {
    for (const long long until = TestNowMs() + 10000; !returned && TestNowMs() < until;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(input[1]);
  });
  const long long startMs = TestNowMs();
  const int status = RunDump(&options);
  const long long tookMs = TestNowMs() - startMs;
  serialSeam.roots = nullptr;
  returned = true;
  closer.join();
  std::fclose(in);
  std::fclose(out);
  EXPECT_EQ(status, ExitInterrupted);
  EXPECT_LT(tookMs, 5000);
  EXPECT_FALSE(FileExists(dir.File("logger.hex")));
}

// A console that goes away (the reading end of its pipe closed) must not kill
// the run: the dump completes and both files are whole.
TEST(Signals, ClosedConsolePipeLosesNothing) {
  TempDir dir;
  Child sim(SimArgs({"--seed", "22", "--write-image", dir.File("memory")}));
  const std::string port = sim.FirstLine(10000);
  ASSERT_FALSE(port.empty());
  Child dump(LoggerdumpArgs(dir.path, port + "\n", {}, false));
  EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitComplete);
  EXPECT_EQ(sim.Wait(10), 0);
  EXPECT_TRUE(HoldsDumpOf(dir.path, ReadFileBytes(dir.File("memory"))));
}

// A second run in the same folder while the first holds the files: it stops
// with status 2 when it comes to create them and leaves them alone.
TEST(Signals, SecondRunInTheSameFolder) {
  TempDir dir;
  InProcessSim sim(23);
  sim.config.faults.silentAfterBlock = 0;
  sim.Start();
  std::atomic<bool> stop{false};
  DriverResult first;
  std::thread firstRun([&] {
    first = RunDriverInProcess(dir.path, std::string(sim.Path()) + "\n",
                               {"/nonexistent", "/nonexistent"}, &stop);
  });
  // The first run has its files long before the second ends its countdown.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Child second(LoggerdumpArgs(dir.path, "0\n"));
  EXPECT_EQ(second.Wait(RunLimitSeconds), ExitHexFile);
  EXPECT_TRUE(
      EndsWith(second.Output(),
               "logger.hex が開けません。\n"
               "ほかのプログラム (同じフォルダで実行中の loggerdump など) が使用中です。\n"))
      << second.Output();
  stop = true;
  firstRun.join();
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(first.status, ExitInterrupted);
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  EXPECT_TRUE(hex == ExpectedHexFile(sim.image.data()).substr(0, hex.size()));
  EXPECT_EQ(Count(hex, "\r\r\r\n"), 16u);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
              std::string(sim.image.begin(), sim.image.begin() + BlockSize));
}

}  // namespace
