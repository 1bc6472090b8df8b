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

constexpr char Interrupted[] = "\n中断しました。\n";
constexpr int RunLimitSeconds = 60;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// loggerdump as a child that the test can signal while its console is
// collected. With keepConsole false the console pipe is closed at once.
struct DumpChild {
  pid_t pid = -1;
  int outFd = -1;
  std::string out;
  std::thread reader;

  DumpChild(const std::string& cwd, const std::string& input, bool keepConsole = true) {
    // The C locale, as on a server; made before fork, since other threads of
    // this process may hold the allocator's lock.
    std::vector<std::string> environment = {"LANG=C"};
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("LANG=", 0) != 0 && entry.rfind("LC_", 0) != 0) environment.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(LOGGERDUMP_PATH), nullptr};
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      if (chdir(cwd.c_str()) != 0) _exit(127);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    // The input is short enough for the pipe: write it and close it.
    if (write(toChild[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
      ADD_FAILURE() << "input not written";
    }
    close(toChild[1]);
    if (!keepConsole) {
      close(fromChild[0]);
      return;
    }
    outFd = fromChild[0];
    reader = std::thread([this] {
      char chunk[4096];
      ssize_t n;
      while ((n = read(outFd, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    });
  }

  // Exit status (128 + signal when killed by one), or -1 when it had to be
  // killed at the deadline.
  int Wait(int timeoutSeconds) {
    const long long deadline = NowMs() + timeoutSeconds * 1000LL;
    int status = 0;
    bool killed = false;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (NowMs() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        killed = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
    if (reader.joinable()) reader.join();
    if (outFd >= 0) close(outFd);
    outFd = -1;
    if (killed) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  ~DumpChild() {
    if (pid > 0) Wait(0);
  }
};

// Waits until the file holds text (the logger's log of commands), at most limitMs.
bool WaitForText(const std::string& path, const std::string& text, int limitMs) {
  for (const long long until = NowMs() + limitMs; NowMs() < until;) {
    if (ReadFileBytes(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Ctrl-C in the middle of the dump: the run stops at once, sends the end
// command once and keeps every record it took in both files.
TEST(Signals, CtrlCInTheMiddleOfTheDump) {
  TempDir dir;
  SimProcess sim({"--seed", "21", "--delay", "20", "--received", dir.File("received"),
                  "--write-image", dir.File("memory")});
  ASSERT_FALSE(sim.path.empty());
  DumpChild dump(dir.path, sim.path + "\n");
  ASSERT_TRUE(WaitForText(dir.File("received"), "dihex 00300", 30000));
  kill(dump.pid, SIGINT);
  const long long signalledAt = NowMs();
  EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitInterrupted);
  EXPECT_LT(NowMs() - signalledAt, 1500) << "the run took too long to stop";
  EXPECT_EQ(sim.Wait(10), 0) << "loggersim did not see the end command";
  EXPECT_TRUE(EndsWith(dump.out, Interrupted)) << dump.out.substr(dump.out.size() - 200);

  const std::string received = ReadFileBytes(dir.File("received"));
  EXPECT_TRUE(EndsWith(received, "q\n\r"));
  EXPECT_EQ(Count(received, "q\n\r"), 1u);
  const size_t commands = Count(received, "dihex ");

  // Both files: the first records of a clean run, as many as were taken.
  const std::string memory = ReadFileBytes(dir.File("memory"));
  ASSERT_EQ(memory.size(), static_cast<size_t>(ImageSize));
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  const std::string clean = ExpectedHexFile(reinterpret_cast<const uint8_t*>(memory.data()));
  EXPECT_TRUE(clean.compare(0, hex.size(), hex) == 0);
  const size_t entries = Count(hex, "\r\r\r\n");
  EXPECT_GE(entries, (commands - 1) * 16);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == memory.substr(0, entries * 16));
}

// SIGTERM and SIGHUP end the run like Ctrl-C; during the countdown no file
// has been made yet.
TEST(Signals, TermAndHangUpDuringTheCountdown) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    TempDir dir;
    DumpChild dump(dir.path, "0\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(dump.pid, signal);
    EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitInterrupted) << signal;
    EXPECT_TRUE(EndsWith(dump.out, Interrupted)) << dump.out;
    EXPECT_FALSE(FileExists(dir.File("logger.hex")));
    EXPECT_FALSE(FileExists(dir.File("logger.bin")));
  }
}

// A console that goes away (the reading end of its pipe closed) must not kill
// the run: the dump completes and both files are whole.
TEST(Signals, ClosedConsolePipeLosesNothing) {
  TempDir dir;
  SimProcess sim({"--seed", "22", "--write-image", dir.File("memory")});
  ASSERT_FALSE(sim.path.empty());
  DumpChild dump(dir.path, sim.path + "\n", false);
  EXPECT_EQ(dump.Wait(RunLimitSeconds), ExitComplete);
  EXPECT_EQ(sim.Wait(10), 0);
  const std::string memory = ReadFileBytes(dir.File("memory"));
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) == memory);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.hex")) ==
              ExpectedHexFile(reinterpret_cast<const uint8_t*>(memory.data())));
}

// A second run in the same folder while the first holds the files: it stops
// with status 2 when it comes to create them and leaves them alone.
TEST(Signals, SecondRunInTheSameFolder) {
  TempDir dir;
  InProcessSim sim(23);
  sim.config.faults.silentAfterBlock = 0;
  sim.Start();
  volatile std::sig_atomic_t stop = 0;
  DriverResult first;
  std::thread firstRun([&] {
    first = RunDriverInProcess(dir.path, std::string(sim.Path()) + "\n",
                               {"/nonexistent", "/nonexistent"}, &stop);
  });
  // The first run has its files long before the second ends its countdown.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  DumpChild second(dir.path, "0\n");
  EXPECT_EQ(second.Wait(RunLimitSeconds), ExitHexFile);
  EXPECT_TRUE(EndsWith(second.out, "logger.hex が開けません。\n")) << second.out;
  stop = 1;
  firstRun.join();
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(first.status, ExitInterrupted);
  const std::string hex = ReadFileBytes(dir.File("logger.hex"));
  EXPECT_TRUE(hex == ExpectedHexFile(sim.image.data()).substr(0, hex.size()));
  EXPECT_EQ(Count(hex, "\r\r\r\n"), 16u);
  EXPECT_TRUE(ReadFileBytes(dir.File("logger.bin")) ==
              std::string(sim.image.begin(), sim.image.begin() + SimBlockSize));
}

}  // namespace
