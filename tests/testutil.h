// Helpers for the tests: temporary folders, child processes with time limits,
// the substitute logger in-process or as its own program, expected files.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "dump/dump.h"
#include "sim/simcore.h"

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
bool FileExists(const std::string& path);
// How often what occurs in text.
size_t Count(const std::string& text, const std::string& what);

// The substitute logger serving a pseudo-terminal from a thread of this process.
struct InProcessSim {
  SimPty pty{};
  std::vector<uint8_t> image;
  SimConfig config{};
  SimStats stats{};
  std::atomic<bool> quit{false};
  FILE* received = nullptr;
  int result = -2;
  std::thread thread;

  explicit InProcessSim(uint32_t seed = 1, double bytesPerSecond = 0);
  ~InProcessSim();
  const char* Path() const { return pty.path; }
  void Start();  // starts serving (the constructor does not, so config can change first)
  int Finish();  // waits for the end command (or stops the server) and returns SimServe's result
  std::string Received();  // every byte the logger received so far
};

struct DriverResult {
  int status;
  std::string console;  // what the run printed, UTF-8
};

// Listing roots where no port exists (an empty tree inside dir).
PortRoots NoPorts(const TempDir& dir);

// Runs the dump driver in this process, in folder dir, with input as the
// user's typing and no countdown wait.
DriverResult RunDriverInProcess(const std::string& dir, const std::string& input,
                                PortRoots roots = {"/sys", "/dev"},
                                const volatile std::sig_atomic_t* stop = nullptr);

struct ProcessResult {
  int status;       // exit status, or 128 + signal
  std::string out;  // standard output
  bool timedOut;
};

// Runs argv in folder cwd with input on standard input; killed after timeoutSeconds.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::string& input, int timeoutSeconds,
                         const std::vector<std::string>& extraEnv = {});

// loggersim as a child process; Path() is the port it printed.
struct SimProcess {
  pid_t pid = -1;
  std::string path;
  explicit SimProcess(const std::vector<std::string>& args);
  ~SimProcess();
  int Wait(int timeoutSeconds);  // exit status, or -1 when it had to be killed
};

// What a complete run against a logger with this memory must store and send.
std::string ExpectedHexFile(const uint8_t* image);
std::string ExpectedCommands();
std::vector<uint8_t> PatternImage(uint32_t seed);
