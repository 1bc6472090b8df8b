#include "testutil.h"

#include <cstdarg>
#include <cwchar>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "dump/resume.h"
#include "gtest/gtest.h"

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "loggerdump-test-XXXXXX").string();
  path = mkdtemp(pattern.data()) ? pattern : "";
  // The account that runs the program works in it too.
  if (!path.empty() && TheAccount().other) chmod(path.c_str(), 0777);
}

const Account& TheAccount() {
  static const Account account = [] {
    Account a{geteuid() == 0, getuid(), getgid(), getgid()};
    if (!a.other) return a;
    const passwd* nobody = getpwnam("nobody");
    const group* dialout = getgrnam("dialout");
    if (nobody == nullptr || dialout == nullptr) {
      ADD_FAILURE()
          << "the tests run as root, and the account nobody or the group dialout is missing";
      return a;
    }
    a.uid = nobody->pw_uid;
    a.gid = nobody->pw_gid;
    a.portGroup = dialout->gr_gid;
    return a;
  }();
  return account;
}

void GiveToAccount(const std::string& path) {
  const Account& account = TheAccount();
  if (!account.other) return;
  if (chown(path.c_str(), 0, account.portGroup) != 0 || chmod(path.c_str(), 0660) != 0) {
    ADD_FAILURE() << "cannot give " << path << " to the dialout group: " << std::strerror(errno);
  }
}

std::string PortOf(Child& sim, int limitMs) {
  const std::string port = sim.FirstLine(limitMs);
  if (!port.empty()) GiveToAccount(port);
  return port;
}

namespace {

// A copy of loggerdump that the account may run: the build folder may lie
// where only root can reach (a checkout under /root).
std::string ProgramForAccount() {
  if (!TheAccount().other) return LOGGERDUMP_PATH;
  static TempDir folder;
  static const std::string copy = [] {
    const std::string path = folder.File("loggerdump");
    std::filesystem::copy_file(LOGGERDUMP_PATH, path);
    chmod(folder.path.c_str(), 0755);
    chmod(path.c_str(), 0755);
    return path;
  }();
  return copy;
}

}  // namespace

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

InProcessSim::InProcessSim(uint32_t seed, double bytesPerSecond) : image(PatternImage(seed)) {
  if (!SimOpenPty(&pty)) ADD_FAILURE() << "no pseudo-terminal";
  config.image = image.data();
  config.bytesPerSecond = bytesPerSecond;
  config.quit = &quit;
  received = std::tmpfile();
}

void InProcessSim::Start() {
  thread = std::thread([this] {
    result = SimServe(&pty, &config, received, &stats);
    served = true;
  });
}

int InProcessSim::Finish() {
  if (thread.joinable()) {
    // The server returns by itself once the end command is in; give it that
    // chance (the end command may still be on its way) before stopping it.
    constexpr int endCommandWaitMs = 2000;
    for (const long long until = TestNowMs() + endCommandWaitMs; !served && TestNowMs() < until;) {
      usleep(5000);
    }
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
  // Read by position: the server's thread may still be appending.
  std::string data;
  char chunk[4096];
  ssize_t n;
  while ((n = pread(fileno(received), chunk, sizeof chunk, static_cast<off_t>(data.size()))) > 0) {
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

DriverResult RunDriverInProcess(const std::string& dir, const DriverRun& run) {
  SetupConsoleLocale(false);
  std::string inputCopy = run.input;
  FILE* in = run.inFd >= 0       ? fdopen(dup(run.inFd), "r")
             : inputCopy.empty() ? std::fopen("/dev/null", "r")
                                 : fmemopen(inputCopy.data(), inputCopy.size(), "r");
  FILE* out = std::tmpfile();
  const DumpOptions options = {in,       out,          0,          run.stop,    dir.c_str(),
                               run.port, run.listOnly, run.resume, run.verbose, run.facts};
  // The ports listed are those under roots.
  const PortRoots* savedRoots = serialSeam.roots;
  PortRoots roots = run.roots;
  serialSeam.roots = &roots;
  DriverResult result;
  result.status = RunDump(&options);
  serialSeam.roots = savedRoots;
  std::fflush(out);
  std::rewind(out);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0) result.console.append(chunk, n);
  std::fclose(out);
  std::fclose(in);
  return result;
}

int ReadOneByte(SerialLink* link, unsigned char* buffer, size_t max) {
  return SerialReadSome(link, buffer, max < 1 ? max : 1);
}

namespace {
const bool byteReads = [] {
  const bool on = std::getenv("LOGGERDUMP_TEST_BYTE_READS") != nullptr;
  if (on) serialSeam.readSome = ReadOneByte;
  return on;
}();
}  // namespace

bool ByteReads() {
  return byteReads;
}

bool BuiltProgramsRun() {
  // Only an exec refused for the program's format counts (the shell's
  // "cannot execute" status): a program that starts and fails is the test's
  // to report.
  constexpr int CannotExecute = 126;
  static const bool runs = [] {
    const pid_t pid = fork();
    if (pid < 0) return true;
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execl(LOGGERDUMP_PATH, LOGGERDUMP_PATH, "--version", static_cast<char*>(nullptr));
      _exit(errno == ENOEXEC ? CannotExecute : 127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return true;
    return !(WIFEXITED(status) && WEXITSTATUS(status) == CannotExecute);
  }();
  return runs;
}

bool ExclusiveHoldVisible() {
  static const bool visible = [] {
    SimPty pty{};
    if (!SimOpenPty(&pty)) return false;
    int held = 0;
    const bool answered = ioctl(pty.slave, TIOCGEXCL, &held) == 0;
    SimClosePty(&pty);
    return answered;
  }();
  return visible;
}

long long TestNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const std::vector<std::string> CLocale = {"LANG=C", "LC_ALL="};

namespace {

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// This process's environment with the entries of extra replacing or added.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& x : extra) replaced |= x.rfind(name, 0) == 0;
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

}  // namespace

Child::Child(const ChildOptions& options) : input_(options.input) {
  // Writing to a child that is gone must fail, not end the test program.
  signal(SIGPIPE, SIG_IGN);
  // Arguments and environment are built before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<std::string> argv = options.argv;
  std::vector<std::string> environment = Environment(options.env);
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp = CStrings(environment);
  const Account& account = TheAccount();
  const bool become = options.asAccount && account.other;
  int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
  if ((!options.closedStdin && pipe2(toChild, O_CLOEXEC) != 0) ||
      (!options.closedStdout && pipe2(fromChild, O_CLOEXEC) != 0)) {
    ADD_FAILURE() << "no pipe for the child";
    return;
  }
  pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);  // ignored signals would stay ignored across exec
    if (options.closedStdin) close(0);
    if (!options.closedStdin && dup2(toChild[0], 0) < 0) _exit(127);
    if (options.closedStdout) close(1);
    if (!options.closedStdout && dup2(fromChild[1], 1) < 0) _exit(127);
    // The account's groups, then group and user: once the user is changed,
    // nothing else may be.
    if (become && (setgroups(1, &account.portGroup) != 0 || setgid(account.gid) != 0 ||
                   setuid(account.uid) != 0)) {
      _exit(126);
    }
    if (chdir(options.cwd.c_str()) != 0) _exit(127);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (toChild[0] >= 0) close(toChild[0]);
  if (fromChild[1] >= 0) close(fromChild[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    if (toChild[1] >= 0) close(toChild[1]);
    if (fromChild[0] >= 0) close(fromChild[0]);
    return;
  }
  inFd_ = toChild[1];
  if (inFd_ >= 0) {
    const bool keepOpen = options.keepInputOpen;
    writer_ = std::thread([this, keepOpen] {
      for (size_t written = 0; written < input_.size();) {
        const ssize_t n = write(inFd_, input_.data() + written, input_.size() - written);
        if (n <= 0) break;  // the child is gone or closed its input
        written += static_cast<size_t>(n);
      }
      if (!keepOpen) {
        close(inFd_);
        inFd_ = -1;
      }
    });
  }
  outFd_ = fromChild[0];
  if (options.unreadOutput && outFd_ >= 0) {
    close(outFd_);
    outFd_ = -1;
  }
  if (outFd_ < 0) {
    outEnded_ = true;
    return;
  }
  reader_ = std::thread([this] {
    for (;;) {
      pollfd fd = {outFd_, POLLIN, 0};
      const int ready = poll(&fd, 1, 50);
      const long long until = readUntilMs_;
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) {
        if (until >= 0 && TestNowMs() >= until) break;
        continue;
      }
      char chunk[4096];
      const ssize_t n = read(outFd_, chunk, sizeof chunk);
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      out_.append(chunk, static_cast<size_t>(n));
      arrived_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    outEnded_ = true;
    arrived_.notify_all();
  });
}

void Child::Signal(int signal) {
  if (pid > 0) kill(pid, signal);
}

bool Child::Send(const std::string& text) {
  if (writer_.joinable()) writer_.join();
  for (size_t written = 0; written < text.size();) {
    const ssize_t n = inFd_ < 0 ? -1 : write(inFd_, text.data() + written, text.size() - written);
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

void Child::CloseInput() {
  if (writer_.joinable()) writer_.join();
  if (inFd_ >= 0) close(inFd_);
  inFd_ = -1;
}

std::string Child::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

bool Child::WaitForOutput(const std::string& text, int limitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] {
    return out_.find(text) != std::string::npos || outEnded_;
  }) && out_.find(text) != std::string::npos;
}

std::string Child::FirstLine(int limitMs) {
  if (!WaitForOutput("\n", limitMs)) return "";
  const std::string out = Output();
  return out.substr(0, out.find('\n'));
}

int Child::Wait(int limitSeconds) {
  const long long deadline = TestNowMs() + limitSeconds * 1000LL;
  int status = 0;
  timedOut = false;
  if (pid > 0) {
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (TestNowMs() >= deadline) {
        timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(5000);
    }
  }
  pid = -1;
  // The rest of the output, unless something the child started keeps the pipe.
  readUntilMs_ = timedOut ? 0 : deadline;
  if (reader_.joinable()) reader_.join();
  if (outFd_ >= 0) close(outFd_);
  outFd_ = -1;
  CloseInput();
  if (timedOut) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

Child::~Child() {
  if (pid > 0) kill(pid, SIGKILL);
  Wait(0);
}

ChildOptions SimArgs(const std::vector<std::string>& args) {
  ChildOptions options;
  options.argv = {LOGGERSIM_PATH};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  return options;
}

ProcessResult RunChild(const ChildOptions& options, int limitSeconds) {
  Child child(options);
  const int status = child.Wait(limitSeconds);
  return {status, child.Output(), child.timedOut};
}

bool WaitForText(const std::string& path, const std::string& text, int limitMs) {
  for (const long long until = TestNowMs() + limitMs; TestNowMs() < until;) {
    if (ReadFileBytes(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

DriverResult DumpFrom(InProcessSim* sim, const TempDir& dir, DriverRun run) {
  sim->Start();
  run.input = std::string(sim->Path()) + "\n";
  run.roots = NoPorts(dir);
  return RunDriverInProcess(dir.path, run);
}

DriverRun StoppedBy(const std::atomic<bool>* flag) {
  DriverRun run;
  run.stop = flag;
  return run;
}

DriverRun Resuming(bool resume) {
  DriverRun run;
  run.resume = resume;
  return run;
}

ChildOptions LoggerdumpArgs(const std::string& cwd, const std::string& input,
                            std::vector<std::string> args, bool readConsole) {
  args.insert(args.begin(), ProgramForAccount());
  ChildOptions options{args, cwd, input, CLocale};
  options.unreadOutput = !readConsole;
  options.asAccount = true;
  return options;
}

std::string MessageTail(const wchar_t* format) {
  const wchar_t* tail = format;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    if (*p != L'%') continue;
    // The conversion ends at its letter.
    ++p;
    while (*p != L'\0' && std::wcschr(L"diouxXfFeEgGcsp%", *p) == nullptr) ++p;
    if (*p == L'\0') break;
    tail = p + 1;
  }
  return Utf8(tail);
}

std::wstring Wide(const std::string& text) {
  std::wstring wide;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // A lead byte's sequence length from the ones before its first zero.
    const int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    unsigned long code = more == 0 ? c : c & (0x3Fu >> more);
    for (int k = 1; k <= more && i + 1 < text.size(); ++k) code = code << 6 | (text[++i] & 0x3F);
    wide += static_cast<wchar_t>(code);
  }
  return wide;
}

std::string Utf8(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    const uint32_t c = static_cast<uint32_t>(*p);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Said(const wchar_t* format, ...) {
  wchar_t text[4096];
  va_list args;
  va_start(args, format);
  std::vswprintf(text, sizeof text / sizeof text[0], format, args);
  va_end(args);
  return Utf8(text);
}
