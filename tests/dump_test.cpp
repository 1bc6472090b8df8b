// The whole run in-process (no countdown wait) against the substitute logger.
#include <fcntl.h>
#include <grp.h>
#include <termios.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"
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
      RunDriverInProcess(dir.path, {std::string(sim.Path()) + "\n", NoPorts(dir)});
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, 0);

  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
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
    const DriverResult run = RunDriverInProcess(dir.path, {input, NoPorts(dir)});
    EXPECT_EQ(run.status, 1) << input;
    const std::string shown = std::string(input) == "12abc\n" ? "COM12" : "COM0";
    EXPECT_NE(run.console.find(Said(Msg::Connecting, Wide(shown).c_str())), std::string::npos)
        << run.console;
    EXPECT_NE(run.console.find(Countdown), std::string::npos);
    EXPECT_TRUE(EndsWith(run.console, std::string(ComOpenError) + NoSuchPortReason)) << run.console;
    ASSERT_TRUE(FileExists(dir.File("logger.hex")));
    ASSERT_TRUE(FileExists(dir.File("logger.bin")));
    EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "");
    EXPECT_EQ(ReadFileBytes(dir.File("logger.bin")), "");
  }
}

// A port that cannot be opened: status 1, the files created empty, "COM Open
// Error", then one line that says why, the system's words in parentheses.
std::string OpenErrorEnd(const wchar_t* what, int error, const wchar_t* advice) {
  return std::string(ComOpenError) +
         Said(Msg::PortReasonWithSystem, what, Wide(std::strerror(error)).c_str(), advice);
}

void ExpectOpenError(const DriverResult& run, const std::string& dir, const std::string& end) {
  EXPECT_EQ(run.status, ExitPortOpen);
  EXPECT_TRUE(EndsWith(run.console, Utf8(Msg::CommunicationStarts) + end)) << run.console;
  EXPECT_EQ(ReadFileBytes(dir + "/logger.hex"), "");
  EXPECT_EQ(ReadFileBytes(dir + "/logger.bin"), "");
}

TEST(DumpRun, PortThatCannotBeOpenedSaysWhy) {
  TempDir dir;
  WriteFileBytes(dir.File("plain"), "not a port");
  SimPty held{};
  ASSERT_TRUE(SimOpenPty(&held));
  // Another program holds the port for itself.
  ASSERT_EQ(ioctl(held.slave, TIOCEXCL), 0);
  struct Case {
    std::string typed;
    std::string end;
  };
  const Case cases[] = {
      {dir.File("no-such-tty"), OpenErrorEnd(Msg::NoSuchPort, ENOENT, Msg::NoSuchPortAdvice)},
      {dir.File("plain"), OpenErrorEnd(Msg::NotSerialPort, ENOTTY, Msg::NotSerialPortAdvice)},
      // A device, no terminal.
      {"/dev/null", OpenErrorEnd(Msg::NotSerialPort, ENOTTY, Msg::NotSerialPortAdvice)},
      {dir.path, OpenErrorEnd(Msg::NotSerialPort, EISDIR, Msg::NotSerialPortAdvice)},
      {held.path, OpenErrorEnd(Msg::PortInUse, EBUSY, Msg::PortInUseAdvice)},
  };
  for (const Case& c : cases) {
    TempDir runDir;
    // A port opened by mistake would wait for replies for ever: the stop
    // ends such a run, and its status tells.
    std::atomic<bool> stop{false};
    std::unique_ptr<StopLater> later;
    if (c.typed == held.path) later = std::make_unique<StopLater>(&stop, 2000);
    const DriverResult run =
        RunDriverInProcess(runDir.path, {c.typed + "\n", NoPorts(runDir), &stop});
    ExpectOpenError(run, runDir.path, c.end);
  }
  SimClosePty(&held);
}

// A run killed outright leaves its exclusive hold on a pseudo-terminal whose
// other side stays open: the next run tells it from a living run's (refused)
// and takes it.
TEST(DumpRun, HoldLeftByAKilledRunIsTakenByTheNextRun) {
  TempDir dir;
  InProcessSim sim(4);
  SerialOpenFailure failure{};
  SerialLink* living = SerialOpen(sim.Path(), &failure);
  ASSERT_NE(living, nullptr);
  EXPECT_EQ(SerialOpen(sim.Path(), &failure), nullptr);
  EXPECT_EQ(failure.fault, SerialOpenFault::InUse);
  SerialClose(living);
  const pid_t killed = fork();
  ASSERT_GE(killed, 0);
  if (killed == 0) _exit(SerialOpen(sim.Path(), &failure) != nullptr ? 0 : 1);  // never closed
  int status = -1;
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  ASSERT_EQ(status, 0);
  int held = 0;
  ASSERT_EQ(ioctl(sim.pty.slave, TIOCGEXCL, &held), 0);
  ASSERT_NE(held, 0) << "the killed run left no hold";
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << Tail(run.console);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
}

// The user's own terminal is no port: the controlling terminal (by its name
// or as /dev/tty) and the terminal the user's line is read from are refused
// before any file is made or the terminal's settings change.
TEST(DumpRun, UsersOwnTerminalIsRefusedBeforeAnythingIsOpened) {
  SimPty own{};
  ASSERT_TRUE(SimOpenPty(&own));
  SimPty input{};  // another terminal: the one the user's line is read from
  ASSERT_TRUE(SimOpenPty(&input));
  const std::string refused =
      ComOpenError + Said(Msg::PortReason, Msg::UsersTerminal, Msg::NotSerialPortAdvice);
  // Checked by a child that runs in a session of its own with own as its terminal.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setsid() < 0 || ioctl(own.slave, TIOCSCTTY, 0) != 0) _exit(100);
    // A terminal taken as port would wait for replies for ever: the stop ends
    // such a run, and its status tells.
    std::atomic<bool> stop{false};
    std::thread([&stop] {
      std::this_thread::sleep_for(std::chrono::seconds(5));
      stop = true;
    }).detach();
    int failed = 0;
    for (const SimPty* port : {&own, &own, &input}) {
      ++failed;
      TempDir dir;
      DriverRun given{"", NoPorts(dir), &stop};
      given.port = failed == 2 ? "/dev/tty" : port->path;
      if (port == &input) given.inFd = input.slave;
      termios before{};
      termios after{};
      tcgetattr(port->slave, &before);
      const DriverResult run = RunDriverInProcess(dir.path, given);
      if (run.status != ExitPortOpen || !EndsWith(run.console, refused) ||
          Contains(run.console, Utf8(Msg::CommunicationStarts)) ||
          FileExists(dir.File("logger.hex")) || tcgetattr(port->slave, &after) != 0 ||
          after.c_lflag != before.c_lflag || cfgetospeed(&after) != cfgetospeed(&before)) {
        _exit(failed);
      }
    }
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "case " << WEXITSTATUS(status) << " was not refused as it should be";
  SimClosePty(&input);
  SimClosePty(&own);
}

// A port the user may not open: the run tells how to get access. Tried as an
// ordinary user: the administrator may open any port.
TEST(DumpRun, PortWithoutPermissionNamesTheGroupToJoin) {
  const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
  if (geteuid() == 0 && nobody == nullptr) GTEST_SKIP() << "no user nobody to run as";
  TempDir dir;
  SimPty pty{};
  ASSERT_TRUE(SimOpenPty(&pty));
  ASSERT_EQ(chmod(pty.path, 0), 0);
  ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);  // the run's files, for the user it runs as
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (nobody != nullptr && (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                              setuid(nobody->pw_uid) != 0)) {
      _exit(126);
    }
    const DriverResult run =
        RunDriverInProcess(dir.path, {std::string(pty.path) + "\n", NoPorts(dir)});
    WriteFileBytes(dir.File("console"), run.console);
    _exit(run.status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  SimClosePty(&pty);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 126) GTEST_SKIP() << "could not run as user nobody";
  SetupConsoleLocale();  // the system's text in the run's language
  DriverResult run = {WEXITSTATUS(status), ReadFileBytes(dir.File("console"))};
  ExpectOpenError(run, dir.path, OpenErrorEnd(Msg::PortAccessDenied, EACCES, SerialAccessAdvice()));
}

// Anything but a regular file at an output name (a link, a dangling link, a
// hard link, a named pipe with or without a reader, a folder) is refused at once with the
// file's status and a line saying why; nothing it leads to is touched.
TEST(DumpRun, OutputNameThatIsNoRegularFileIsRefused) {
  enum Kind { Link, DanglingLink, HardLink, Pipe, ReadPipe, Folder };
  for (const bool bin : {false, true}) {
    for (const Kind kind : {Link, DanglingLink, HardLink, Pipe, ReadPipe, Folder}) {
      SCOPED_TRACE(std::to_string(bin) + " " + std::to_string(kind));
      TempDir dir;
      const std::string name = bin ? "logger.bin" : "logger.hex";
      const std::string at = dir.File(name);
      const std::string target = dir.File("someone-else");
      const std::string data = "somebody else's data";
      if (kind == Link || kind == HardLink) WriteFileBytes(target, data);
      if (kind == Link || kind == DanglingLink) {
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
      }
      if (kind == HardLink) {
        ASSERT_EQ(link(target.c_str(), at.c_str()), 0);
      }
      if (kind == Pipe || kind == ReadPipe) {
        ASSERT_EQ(mkfifo(at.c_str(), 0644), 0);
      }
      if (kind == Folder) {
        ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
      }
      const int reader = kind == ReadPipe ? open(at.c_str(), O_RDONLY | O_NONBLOCK) : -1;

      const long long start = TestNowMs();
      const DriverResult run = RunDriverInProcess(dir.path, {"/dev/null\n", NoPorts(dir)});
      EXPECT_LT(TestNowMs() - start, 5000) << "the open waited";
      EXPECT_EQ(run.status, bin ? ExitBinFile : ExitHexFile);
      const wchar_t* reason = kind == Folder                         ? Msg::RefusedFolder
                              : kind == HardLink                     ? Msg::RefusedHardLink
                              : kind == Link || kind == DanglingLink ? Msg::RefusedLink
                                                                     : Msg::RefusedNotRegular;
      EXPECT_TRUE(EndsWith(run.console, Utf8(Msg::CommunicationStarts) +
                                            Said(Msg::CannotOpen, Wide(name).c_str()) +
                                            Utf8(reason)))
          << run.console;
      if (kind == Link || kind == HardLink) {
        EXPECT_EQ(ReadFileBytes(target), data);
      }
      if (kind == DanglingLink) {
        EXPECT_FALSE(FileExists(target));
      }
      if (reader >= 0) {
        char byte;
        EXPECT_LE(read(reader, &byte, 1), 0) << "something was written into the pipe";
        close(reader);
      }
      // logger.hex is made before logger.bin is tried; logger.bin never before.
      if (bin) {
        EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "");
      }
      if (!bin) {
        EXPECT_FALSE(FileExists(dir.File("logger.bin")));
      }
    }
  }
}

TEST(DumpRun, FileHeldByAnotherRunIsLeftAsItIs) {
  TempDir dir;
  WriteFileBytes(dir.File("logger.hex"), "another run's records");
  const int held = open(dir.File("logger.hex").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const DriverResult run = RunDriverInProcess(dir.path, {"/dev/null\n", NoPorts(dir)});
  close(held);
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(
      EndsWith(run.console, Said(Msg::CannotOpen, HexFileText.text) + Utf8(Msg::RefusedInUse)))
      << run.console;
  EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "another run's records");
}

// A file removed or replaced during the run loses what the run wrote into
// it: the run ends with that file's status and says so, never with 0 or the
// hint to resume. Here the user stops the run after the change.
TEST(DumpRun, OutputRemovedOrReplacedDuringTheRunFailsWithItsStatus) {
  enum Change { RemoveHex, ReplaceBin, RemoveFolder };
  for (const Change change : {RemoveHex, ReplaceBin, RemoveFolder}) {
    SCOPED_TRACE(change);
    TempDir top;
    const std::string dir = top.File("dump");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string hex = dir + "/logger.hex";
    const std::string bin = dir + "/logger.bin";
    InProcessSim sim(9);
    sim.config.faults.replyDelayMs = 20;  // the run is still on when the file changes
    sim.Start();
    std::atomic<bool> stop{false};
    std::thread changer([&] {
      struct stat info {};
      for (int waited = 0; waited < 20000; ++waited) {
        if (stat(bin.c_str(), &info) == 0 && info.st_size >= static_cast<off_t>(BlockSize)) break;
        usleep(1000);
      }
      if (change == ReplaceBin) {
        WriteFileBytes(dir + "/other", "another file");
        rename((dir + "/other").c_str(), bin.c_str());
      } else {
        unlink(hex.c_str());
      }
      if (change == RemoveFolder) {
        unlink(bin.c_str());
        rmdir(dir.c_str());
      }
      stop = true;
    });
    const DriverResult run =
        RunDriverInProcess(dir, {std::string(sim.Path()) + "\n", NoPorts(top), &stop});
    changer.join();
    sim.Finish();
    EXPECT_EQ(run.status, change == ReplaceBin ? ExitBinFile : ExitHexFile);
    EXPECT_EQ(Contains(run.console, Said(Msg::FileLost, HexFileText.text)), change != ReplaceBin);
    EXPECT_EQ(Contains(run.console, Said(Msg::FileLost, BinFileText.text)), change != RemoveHex);
    EXPECT_FALSE(Contains(run.console, ResumeHint)) << run.console;
  }
}

// The flush to the disk at the end fails while every write worked: the
// status of that file (logger.bin is closed first) and its message.
int syncCalls = 0;
int failingSyncCall = 0;
bool SyncFailingOnce(FILE* stream, unsigned long* code) {
  if (++syncCalls != failingSyncCall) return SyncFile(stream, code);
  std::fflush(stream);
  *code = EIO;
  return false;
}

TEST(DumpRun, FlushToTheDiskThatFailsAtTheEndFailsTheRun) {
  const DumpSeam saved = dumpSeam;
  dumpSeam.syncFile = SyncFailingOnce;
  for (const int call : {1, 2}) {
    SCOPED_TRACE(call);
    syncCalls = 0;
    failingSyncCall = call;
    TempDir dir;
    InProcessSim sim(6);
    const DriverResult run = DumpFrom(&sim, dir);
    sim.Finish();
    EXPECT_EQ(run.status, call == 1 ? ExitBinFile : ExitHexFile);
    EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::CannotWrite,
                                                  call == 1 ? BinFileText.text : HexFileText.text)))
        << Tail(run.console);
  }
  dumpSeam = saved;
}

TEST(DumpRun, OldFilesAreReplaced) {
  TempDir dir;
  WriteFileBytes(dir.File("logger.hex"), std::string(2000000, 'x'));
  WriteFileBytes(dir.File("logger.bin"), std::string(300000, 'y'));
  InProcessSim sim(3);
  sim.Start();
  const DriverResult run =
      RunDriverInProcess(dir.path, {std::string(sim.Path()) + "\n", NoPorts(dir)});
  sim.Finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
}

// --port: no list, no question, nothing read; the port line and the countdown stay.
TEST(DumpRun, PortGivenBeforehandSkipsTheListAndTheQuestion) {
  TempDir dir;
  InProcessSim sim(5);
  sim.Start();
  DriverRun given{"", NoPorts(dir)};
  given.port = sim.Path();
  const DriverResult run = RunDriverInProcess(dir.path, given);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, 0);
  const std::string dialogue = Said(Msg::Connecting, Wide(sim.Path()).c_str()) + Countdown;
  EXPECT_EQ(run.console.substr(0, dialogue.size()), dialogue);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));

  // A number names a listed port as at the prompt; here none is listed.
  TempDir other;
  DriverRun numberGiven{"", NoPorts(other)};
  numberGiven.port = "7";
  const DriverResult numbered = RunDriverInProcess(other.path, numberGiven);
  EXPECT_EQ(numbered.status, 1);
  EXPECT_EQ(numbered.console,
            Said(Msg::Connecting, L"COM7") + Countdown + ComOpenError + NoSuchPortReason);
}

}  // namespace
