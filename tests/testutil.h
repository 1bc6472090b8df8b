// Helpers for the tests: temporary folders and files, child processes with
// time limits, the substitute logger in-process or as its own program, the
// driver run in-process, and the message table's texts. What the logger and
// the files must hold is the oracle's (oracle.h).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dump/dump.h"
#include "dump/hexfile.h"
#include "logger/logger.h"
#include "dump/messages.h"
#include "serial/link.h"
#include "gtest/gtest.h"
#include "sim/simcore.h"
#include "oracle.h"

// A new empty folder under the system's temporary folder, removed with its contents.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  std::string File(const std::string& name) const { return path + "/" + name; }
};

std::string ReadFileBytes(const std::string& path);
inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
void WriteFileBytes(const std::string& path, const std::string& data);
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
bool FileExists(const std::string& path);
// How often what occurs in text.
size_t Count(const std::string& text, const std::string& what);

// The substitute logger serving a pseudo-terminal from a thread of this process.
struct InProcessSim {
  SimPty pty{};
  std::vector<uint8_t> image;
  SimConfig config{};
  SimStats stats{};  // read it after Finish
  std::atomic<bool> quit{false};
  std::atomic<bool> served{false};  // SimServe has returned
  FILE* received = nullptr;
  int result = -2;
  std::thread thread;

  explicit InProcessSim(uint32_t seed = 1, double bytesPerSecond = 0);
  ~InProcessSim();
  const char* Path() const { return pty.path; }
  void Start();  // starts serving (the constructor does not, so config can change first)
  int Finish();  // waits for the end command (or stops the server) and returns SimServe's result
  std::string Received();  // every byte the logger received so far
  // The first bytes of the logger's memory (all of it by default).
  std::string Memory(size_t bytes = ImageSize) const {
    return std::string(image.begin(), image.begin() + static_cast<long>(bytes));
  }
};

struct DriverResult {
  int status;
  std::string console;  // what the run printed, UTF-8
};

// Wide text (a message of the program's table) as UTF-8, as the console
// of a run shows it.
std::string Utf8(const wchar_t* text);

// ASCII or UTF-8 text as wide text, to fill a message of the table.
std::wstring Wide(const std::string& text);

// The fixed text of a message format after its last conversion (all of it
// when it has none), as UTF-8: to find the message however it was filled in.
std::string MessageTail(const wchar_t* format);

// A message of the program's table filled in like Print does, as UTF-8.
std::string Said(const wchar_t* format, ...);

// What the run prints when the port cannot be opened: the first line, then
// the reason; for a number with no port behind it the system was not asked,
// so the reason has no system text.
inline const std::string ComOpenError = Utf8(Msg::ComOpenError);
inline const std::string NoSuchPortReason =
    Utf8(Msg::NoSuchPort) + "。" + Utf8(Msg::NoSuchPortAdvice) + "\n";

// How a run cut short ends: the message on a line of its own, and once a
// whole block is in the files the line after it.
inline const std::string Interrupted = "\n" + Utf8(Msg::Interrupted);
inline const std::string LinkLost = "\n" + Utf8(Msg::LinkLost);
inline const std::string ResumeHint = Utf8(Msg::ResumeHint);

// Listing roots where no port exists (an empty tree inside dir).
PortRoots NoPorts(const TempDir& dir);

// How the dump driver is run in this process.
struct DriverRun {
  std::string input;                        // the user's typing
  PortRoots roots = {"/sys", "/dev"};       // where the ports are listed
  const std::atomic<bool>* stop = nullptr;  // the stop flag
  const char* port = nullptr;               // given as with --port
  bool resume = false;                      // as with --resume
  bool listOnly = false;                    // as with --list
  bool verbose = false;                     // as with --verbose
  int inFd = -1;                            // the user's input read from here instead
  SummaryFacts* facts = nullptr;            // filled in with what the run did
};

// Runs the dump driver in this process, in folder dir, as run says, with no
// countdown wait.
DriverResult RunDriverInProcess(const std::string& dir, const DriverRun& run);

// Starts sim and runs the dump driver against it in folder dir, with the
// sim's port typed, no port listed and no countdown wait; run may add the
// stop flag and --resume.
DriverResult DumpFrom(InProcessSim* sim, const TempDir& dir, DriverRun run = {});
// A run stopped by flag; a run with --resume (or without).
DriverRun StoppedBy(const std::atomic<bool>* flag);
DriverRun Resuming(bool resume = true);

// A read through the link's platform seam that takes one byte per call, as
// the Windows link does.
int ReadOneByte(SerialLink* link, unsigned char* buffer, size_t max);

// Whether this test program runs every link that way (the environment
// variable LOGGERDUMP_TEST_BYTE_READS is set): CTest runs the logger layer's
// tests a second time so, because a rule that holds only for whole reads
// fails there.
bool ByteReads();

// What an emulated machine (a cross build under qemu-user) may lack, found
// out once at run time; tests that need it skip with the reason.
// The built programs start as children: qemu-user runs the test program
// alone, and the kernel cannot start another machine's program.
bool BuiltProgramsRun();
// TIOCGEXCL tells whether a terminal is held exclusively (qemu-user 7.2 does
// not pass it on).
bool ExclusiveHoldVisible();

// Makes the links read one byte per call while it lives (when on).
struct OneByteReads {
  SerialSeam saved = serialSeam;
  explicit OneByteReads(bool on = true) {
    if (on) serialSeam.readSome = ReadOneByte;
  }
  ~OneByteReads() { serialSeam = saved; }
};

// Monotonic milliseconds: the tests' own deadlines and measured times.
long long TestNowMs();

// Sets *flag from another thread after ms, as a signal handler would, and
// notes when.
struct StopLater {
  std::atomic<long long> stoppedAtMs{0};
  std::thread thread;
  StopLater(std::atomic<bool>* flag, int ms) {
    thread = std::thread([this, flag, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      stoppedAtMs = TestNowMs();
      *flag = true;
    });
  }
  ~StopLater() {
    if (thread.joinable()) thread.join();
  }
};

// The environment of a child in the C locale, as on a server (NAME=value
// entries that replace this process's).
extern const std::vector<std::string> CLocale;

// How a child is started. Standard input receives input and is then closed,
// unless keepInputOpen; standard output is collected.
struct ChildOptions {
  std::vector<std::string> argv;  // argv[0]: the program's path
  std::string cwd = ".";
  std::string input;
  std::vector<std::string> env;  // NAME=value: replaces or adds to this process's
  bool keepInputOpen = false;    // standard input stays open until CloseInput
  bool closedStdin = false;      // the child starts with descriptor 0 closed
  bool closedStdout = false;     // ... with descriptor 1 closed
  bool unreadOutput = false;     // standard output is a pipe whose reading end is closed
  bool asAccount = false;        // runs as TheAccount()
};

// The account that the end-to-end cases run the program as, as its users run
// it. When the tests run as root: an ordinary one (nobody) in the group that
// owns serial ports (dialout), so that no case passes only because it is
// root. Otherwise the caller.
struct Account {
  bool other;  // not the caller (the tests run as root)
  uid_t uid;
  gid_t gid;
  gid_t portGroup;
};
const Account& TheAccount();

// Gives the port at path to the account as a USB adapter's node is given:
// owner root, group dialout, mode 660 (when the account is another; the
// caller's own pseudo-terminal is the caller's already).
void GiveToAccount(const std::string& path);

// A child process: its output is collected as it comes, the test may signal
// it, waits are bounded, and one still running at the end is killed.
struct Child {
  pid_t pid = -1;
  bool timedOut = false;  // the last Wait had to kill it

  explicit Child(const ChildOptions& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Signal(int signal);
  // Writes more input (the child must have been started with keepInputOpen).
  bool Send(const std::string& text);
  void CloseInput();
  std::string Output();  // everything collected so far
  // Waits until the output holds text; false after limitMs.
  bool WaitForOutput(const std::string& text, int limitMs);
  // The first line of output without its LF; empty when none came in limitMs.
  std::string FirstLine(int limitMs);
  // Waits for the end and for the rest of the output: the exit status, or
  // 128 + signal; -1 when it had to be killed after limitSeconds.
  int Wait(int limitSeconds);

 private:
  int inFd_ = -1;
  int outFd_ = -1;
  std::string input_;
  std::thread writer_;
  std::thread reader_;
  std::atomic<long long> readUntilMs_{-1};  // the reader gives up then (-1: never)
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string out_;
  bool outEnded_ = false;
};

// The port loggersim printed on its first line, given to the account; empty
// when none came within limitMs.
std::string PortOf(Child& sim, int limitMs = 10000);

// loggerdump in the C locale, in folder cwd, with the user's line as input
// and args after the program's name, as the account (a copy of the program
// that every account may run, where the account is another). With
// readConsole false nobody reads its console pipe.
ChildOptions LoggerdumpArgs(const std::string& cwd, const std::string& input,
                            std::vector<std::string> args = {}, bool readConsole = true);

// loggersim with args; its first line of output is the port's path.
ChildOptions SimArgs(const std::vector<std::string>& args);

struct ProcessResult {
  int status;       // as Child::Wait
  std::string out;  // standard output
  bool timedOut;
};

// Runs a child to its end, killed after limitSeconds.
ProcessResult RunChild(const ChildOptions& options, int limitSeconds);

// Waits until the file at path holds text, at most limitMs.
bool WaitForText(const std::string& path, const std::string& text, int limitMs);
// The end of a console text, for a failure message.
inline std::string Tail(const std::string& console) {
  return console.substr(console.size() > 400 ? console.size() - 400 : 0);
}
