// The real program and the ways a user ends it: Ctrl-C in the middle of a
// dump, SIGTERM and SIGHUP, and a console pipe that goes away; run as an
// ordinary account (see TheAccount). Each case waits through (part of) the
// countdown, so each is a test of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "testutil.h"

namespace {

constexpr int RunLimitSeconds = 60;

// Ctrl-C in the middle of the dump: the run stops at once, sends nothing
// after the command it was on but the end command, once, and keeps every
// record it took in both files.
TEST(Signals, CtrlCInTheMiddleOfTheDump) {
  TempDir dir;
  Child sim(SimArgs({"--seed", "21", "--delay", "20", "--received", dir.File("received"),
                     "--write-image", dir.File("memory")}));
  const std::string port = PortOf(sim);
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
  EXPECT_TRUE(EndsWith(received, EndCommandBytes));
  EXPECT_EQ(Count(received, EndCommandBytes), 1u);
  const size_t commands = Count(received, "dihex ");
  ASSERT_GE(commands, 4u);
  EXPECT_TRUE(received == Commands(0, (commands - 1) * BlockSize) + EndCommandBytes);

  // Both files: the first records of a clean run, as many as were taken.
  const std::string memory = ReadFileBytes(dir.File("memory"));
  ASSERT_EQ(memory.size(), static_cast<size_t>(ImageSize));
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string clean = ExpectedHexFile(reinterpret_cast<const uint8_t*>(memory.data()));
  EXPECT_TRUE(clean.compare(0, hex.size(), hex) == 0);
  const size_t entries = HexFileEntries(hex).size();
  // Every block asked for before the last is complete; the last may be partial.
  EXPECT_GE(entries, (commands - 1) * 16);
  EXPECT_LE(entries, commands * 16);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == memory.substr(0, entries * 16));
}

// A run killed outright runs none of its own code, so each block must be in
// the files before the next is asked for: killed a few hundred blocks in,
// both files hold every block but the one in flight. Nothing it left behind
// keeps the same account from the port: --resume on it completes them to a
// clean run's files.
TEST(Signals, KillLosesAtMostTheBlockInFlight) {
  TempDir dir;
  Child sim(SimArgs({"--seed", "24", "--delay", "5", "--received", dir.File("received")}));
  const std::string port = PortOf(sim);
  ASSERT_FALSE(port.empty());
  Child dump(LoggerdumpArgs(dir.path, "", {"--port", port}));
  ASSERT_TRUE(WaitForText(dir.File("received"), "dihex 12c00", 30000));
  dump.Signal(SIGKILL);
  EXPECT_EQ(dump.Wait(10), 128 + SIGKILL);
  const std::vector<uint8_t> memory = PatternImage(24);
  const std::string image(memory.begin(), memory.end());
  EXPECT_TRUE(HoldsAllButTheBlockInFlight(dir.path, image, ReadFileBytes(dir.File("received"))));

  const ProcessResult resumed =
      RunChild(LoggerdumpArgs(dir.path, "", {"--port", port, "--resume"}), RunLimitSeconds);
  EXPECT_EQ(resumed.status, ExitComplete) << Tail(resumed.out);
  EXPECT_EQ(sim.Wait(10), 0) << "loggersim did not see the end command";
  EXPECT_TRUE(HoldsDumpOf(dir.path, image));
}

// The system calls on one output file in a trace of strace -y: their names
// in order.
std::vector<std::string> CallsOn(const std::string& trace, const std::string& file) {
  std::vector<std::string> calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.find('(');
    const size_t name = line.find_first_not_of("0123456789 ");
    if (open == std::string::npos || name >= open) continue;
    const size_t end = line.find_first_of(",)", open);
    if (line.substr(open, end - open).find("/" + file + ">") == std::string::npos) continue;
    calls.push_back(line.substr(name, open - name));
  }
  return calls;
}

// Status 0 means the dump is on the disk: at the end of a complete run, and
// of one that stopped, each file is flushed to the disk once, after its last
// write.
TEST(Signals, FilesReachTheDiskBeforeTheStatus) {
  ChildOptions probe;
  probe.argv = {"/usr/bin/strace", "-o", "/dev/null", "/bin/true"};
  if (RunChild(probe, 10).status != 0) {
    GTEST_SKIP() << "strace cannot trace here";
  }
  struct Case {
    std::vector<std::string> fault;
    int status;
  };
  for (const Case& c : {Case{{}, ExitComplete}, Case{{"--hangup-in", "0x08000"}, ExitLinkLost}}) {
    TempDir dir;
    std::vector<std::string> args = {"--seed", "25"};
    args.insert(args.end(), c.fault.begin(), c.fault.end());
    Child sim(SimArgs(args));
    const std::string port = PortOf(sim);
    ASSERT_FALSE(port.empty());
    ChildOptions run = LoggerdumpArgs(dir.path, "", {"--port", port});
    run.argv.insert(run.argv.begin(), {"/usr/bin/strace", "-f", "-y", "-e",
                                       "trace=write,fsync,fdatasync", "-o", dir.File("trace")});
    run.env.push_back("ASAN_OPTIONS=detect_leaks=0");  // the leak check cannot run traced
    EXPECT_EQ(RunChild(run, RunLimitSeconds).status, c.status);
    const std::string trace = ReadFileBytes(dir.File("trace"));
    for (const char* file : {"logger.hex", "logger.bin"}) {
      const std::vector<std::string> calls = CallsOn(trace, file);
      const size_t syncs =
          Count(std::accumulate(calls.begin(), calls.end(), std::string()), "sync");
      EXPECT_EQ(syncs, 1u) << file << ", status " << c.status;
      EXPECT_TRUE(!calls.empty() && calls.back() != "write")
          << file << " was written after its flush to the disk, status " << c.status;
    }
  }
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
  const std::string prompt = Utf8(Msg::AskForPort);
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
  const DumpOptions options = {in,      out,   0,     &stop, dir.path.c_str(),
                               nullptr, false, false, false, nullptr};
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
  const std::string port = PortOf(sim);
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
    DriverRun stoppable{std::string(sim.Path()) + "\n", {"/nonexistent", "/nonexistent"}};
    stoppable.stop = &stop;
    first = RunDriverInProcess(dir.path, stoppable);
  });
  // The first run has its files long before the second ends its countdown.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // As the first run's account: another would not be allowed to write its files.
  ChildOptions again = LoggerdumpArgs(dir.path, "0\n");
  again.asAccount = false;
  Child second(again);
  EXPECT_EQ(second.Wait(RunLimitSeconds), ExitHexFile);
  EXPECT_TRUE(EndsWith(second.Output(),
                       Said(Msg::CannotOpen, HexFileText.text) + Utf8(Msg::RefusedInUseLinux)))
      << second.Output();
  stop = true;
  firstRun.join();
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(first.status, ExitInterrupted);
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  EXPECT_TRUE(hex == ExpectedHexFile(sim.image.data()).substr(0, hex.size()));
  EXPECT_EQ(HexFileEntries(hex).size(), 16u);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
              std::string(sim.image.begin(), sim.image.begin() + BlockSize));
}

}  // namespace
