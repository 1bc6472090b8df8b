#include "testutil.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "dump/platform.h"
#include "gtest/gtest.h"

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "loggerdump-test-XXXXXX").string();
  path = mkdtemp(pattern.data()) ? pattern : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream data;
  data << in.rdbuf();
  return data.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

PortRoots NoPorts(const TempDir& dir) {
  // The strings must outlive the call; one run at a time uses them.
  static std::string root;
  root = dir.File("nosys");
  return {root.c_str(), root.c_str()};
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::vector<uint8_t> PatternImage(uint32_t seed) {
  std::vector<uint8_t> image(SimImageSize);
  SimFillPattern(image.data(), seed);
  return image;
}

InProcessSim::InProcessSim(uint32_t seed, double bytesPerSecond) : image(PatternImage(seed)) {
  if (!SimOpenPty(&pty)) ADD_FAILURE() << "no pseudo-terminal";
  config.image = image.data();
  config.bytesPerSecond = bytesPerSecond;
  config.quit = &quit;
  received = std::tmpfile();
}

void InProcessSim::Start() {
  thread = std::thread([this] { result = SimServe(&pty, &config, received, &stats); });
}

int InProcessSim::Finish() {
  if (thread.joinable()) {
    // Give the server a moment to take the end command before stopping it.
    for (int i = 0; i < 20 && !stats.sawEnd; ++i) usleep(10000);
    quit = true;
    thread.join();
  }
  return result;
}

InProcessSim::~InProcessSim() {
  Finish();
  SimClosePty(&pty);
  if (received != nullptr) std::fclose(received);
}

std::string InProcessSim::Received() {
  std::fflush(received);
  std::rewind(received);
  std::string data;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, received)) > 0) data.append(chunk, n);
  std::fseek(received, 0, SEEK_END);
  return data;
}

DriverResult RunDriverInProcess(const std::string& dir, const std::string& input, PortRoots roots,
                                const volatile std::sig_atomic_t* stop) {
  SetupConsoleLocale();
  char previous[4096];
  if (getcwd(previous, sizeof previous) == nullptr) previous[0] = '\0';
  if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir;
  std::string inputCopy = input;
  FILE* in = inputCopy.empty() ? std::fopen("/dev/null", "r")
                               : fmemopen(inputCopy.data(), inputCopy.size(), "r");
  FILE* out = std::tmpfile();
  const DumpOptions options = {in, out, 0, roots, stop};
  DriverResult result;
  result.status = RunDump(&options);
  std::fflush(out);
  std::rewind(out);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0) result.console.append(chunk, n);
  std::fclose(out);
  std::fclose(in);
  if (previous[0] != '\0' && chdir(previous) != 0) ADD_FAILURE() << "cannot go back";
  return result;
}

namespace {

long long NowMsForTests() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for pid until the deadline; kills it when the deadline passes.
int WaitWithDeadline(pid_t pid, long long deadlineMs, bool* timedOut) {
  *timedOut = false;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (NowMsForTests() >= deadlineMs) {
      *timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(5000);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char*> CStrings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::string& input, int timeoutSeconds,
                         const std::vector<std::string>& extraEnv) {
  ProcessResult result{-1, "", false};
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return result;
  // The child's arguments and environment are built before fork: between fork
  // and exec only async-signal-safe calls are allowed.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced |= extra.rfind(name, 0) == 0;
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp = CStrings(environment);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  // Feed the input and collect the output without letting either pipe fill up.
  size_t written = 0;
  int inFd = toChild[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  const long long deadline = NowMsForTests() + timeoutSeconds * 1000LL;
  for (;;) {
    pollfd fds[2] = {{fromChild[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (poll(fds, inFd >= 0 ? 2 : 1, 100) < 0) break;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char chunk[4096];
      const ssize_t n = read(fromChild[0], chunk, sizeof chunk);
      if (n <= 0) break;
      result.out.append(chunk, static_cast<size_t>(n));
    }
    if (inFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR))) {
      const ssize_t n = write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
    if (NowMsForTests() >= deadline) break;
  }
  if (inFd >= 0) close(inFd);
  close(fromChild[0]);
  result.status = WaitWithDeadline(pid, deadline, &result.timedOut);
  return result;
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {LOGGERSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  int fromChild[2];
  if (pipe2(fromChild, O_CLOEXEC) != 0) return;
  pid = fork();
  if (pid == 0) {
    dup2(fromChild[1], 1);
    std::vector<char*> cargs = CStrings(argv);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(fromChild[1]);
  // The first line of its output is the port's path.
  char c;
  while (read(fromChild[0], &c, 1) == 1 && c != '\n') path += c;
  close(fromChild[0]);
}

SimProcess::~SimProcess() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

int SimProcess::Wait(int timeoutSeconds) {
  bool timedOut = false;
  const int status = WaitWithDeadline(pid, NowMsForTests() + timeoutSeconds * 1000LL, &timedOut);
  pid = -1;
  return timedOut ? -1 : status;
}

std::string ExpectedHexFile(const uint8_t* image) {
  // Each record the logger ends with CR LF is stored as its text, then CR CR CR LF.
  static char reply[SimReplySize];
  SimConfig config = {image, 0, nullptr};
  std::string expected;
  for (uint32_t a = 0; a < SimImageSize; a += SimBlockSize) {
    const size_t n = SimBuildReply(&config, a, reply, sizeof reply);
    std::string text(reply, n);
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find("\r\n", start);
      expected += text.substr(start, end - start) + "\r\r\r\n";
      start = end + 2;
    }
  }
  return expected;
}

std::string ExpectedCommands() {
  std::string expected;
  char command[32];
  for (uint32_t a = 0; a < SimImageSize; a += SimBlockSize) {
    std::snprintf(command, sizeof command, "dihex %5.5x\r\n", a);
    expected += command;
  }
  return expected + "q\n\r";
}
