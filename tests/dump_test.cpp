// The whole run in-process (no countdown wait) against the substitute logger.
#include <fcntl.h>
#include <grp.h>
#include <termios.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "serial/seam_linux.h"
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
  // A program held this one and ended; nobody has it open now.
  SimPty left{};
  ASSERT_TRUE(SimOpenPty(&left));
  close(left.slave);
  left.slave = -1;
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) _exit(ioctl(open(left.path, O_RDWR | O_NOCTTY), TIOCEXCL) == 0 ? 0 : 1);
  int held_status = -1;
  ASSERT_EQ(waitpid(holder, &held_status, 0), holder);
  ASSERT_EQ(held_status, 0);
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
      {left.path, OpenErrorEnd(Msg::PortBusy, EBUSY, Msg::PortBusyAdvice)},
  };
  for (const Case& c : cases) {
    TempDir runDir;
    // A port opened by mistake would wait for replies for ever: the stop
    // ends such a run, and its status tells.
    std::atomic<bool> stop{false};
    std::unique_ptr<StopLater> later;
    if (c.typed == held.path || c.typed == left.path) {
      later = std::make_unique<StopLater>(&stop, 2000);
    }
    const DriverResult run =
        RunDriverInProcess(runDir.path, {c.typed + "\n", NoPorts(runDir), &stop});
    ExpectOpenError(run, runDir.path, c.end);
  }
  SimClosePty(&left);
  SimClosePty(&held);
}

// A run killed outright leaves no exclusive hold on a pseudo-terminal (there
// it would outlive the run while the other side stays open and refuse every
// later open but the administrator's); a living run's lock keeps a second
// run out. A hold with this program's mark, as a killed run of an earlier
// version left it, is let go where the next run can open the port at all
// (the administrator's).
TEST(DumpRun, KilledRunLeavesNothingThatBlocksTheNext) {
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
  // Held exclusively (where that can be seen).
  const auto held = [&sim] {
    int on = 0;
    return ExclusiveHoldVisible() && ioctl(sim.pty.slave, TIOCGEXCL, &on) == 0 && on != 0;
  };
  EXPECT_FALSE(held()) << "the killed run left a hold";
  termios marked{};
  ASSERT_EQ(tcgetattr(sim.pty.slave, &marked), 0);
  ASSERT_EQ(marked.c_cc[SerialHoldMarkIndex], SerialHoldMark);
  if (geteuid() == 0) {
    ASSERT_EQ(ioctl(sim.pty.slave, TIOCEXCL), 0);
  }
  const DriverResult run = DumpFrom(&sim, dir);
  EXPECT_EQ(sim.Finish(), 0);
  EXPECT_EQ(run.status, ExitComplete) << Tail(run.console);
  EXPECT_TRUE(HoldsDumpOf(dir.path, sim.Memory()));
  EXPECT_FALSE(held()) << "the earlier hold was not let go";
}

// The user's own terminal is no port: the controlling terminal (by its name
// or as /dev/tty) and the terminal of the user's line are refused before any
// file is made or the terminal's settings change. Checked in a child whose
// session has own as its terminal; a stop ends a run that took the terminal.
TEST(DumpRun, UsersOwnTerminalIsRefusedBeforeAnythingIsOpened) {
  SimPty own{};
  SimPty input{};
  ASSERT_TRUE(SimOpenPty(&own) && SimOpenPty(&input));
  const std::string refused =
      ComOpenError + Said(Msg::PortReason, Msg::UsersTerminal, Msg::NotSerialPortAdvice);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setsid() < 0 || ioctl(own.slave, TIOCSCTTY, 0) != 0) _exit(100);
    std::atomic<bool> stop{false};
    std::thread([&stop] {
      sleep(5);
      stop = true;
    }).detach();
    int failed = 0;
    for (const SimPty* port : {&own, &own, &input}) {
      TempDir dir;
      DriverRun given{"", NoPorts(dir), &stop, ++failed == 2 ? "/dev/tty" : port->path};
      given.inFd = port == &input ? input.slave : -1;
      termios before{};
      termios after{};
      tcgetattr(port->slave, &before);
      const DriverResult run = RunDriverInProcess(dir.path, given);
      tcgetattr(port->slave, &after);
      if (run.status != ExitPortOpen || !EndsWith(run.console, refused) ||
          Contains(run.console, Utf8(Msg::CommunicationStarts)) ||
          FileExists(dir.File("logger.hex")) || cfgetospeed(&after) != cfgetospeed(&before)) {
        _exit(failed);
      }
    }
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "case " << WEXITSTATUS(status) << " was not refused";
  SimClosePty(&input);
  SimClosePty(&own);
}

// A node for device: made in folder, or else the system's own /dev/name
// when it is that device; empty when neither is there.
std::string NodeOf(const TempDir& folder, dev_t device, const std::string& name) {
  const std::string made = folder.File(name);
  if (mknod(made.c_str(), S_IFCHR | 0600, device) == 0) return made;
  struct stat info;
  const std::string system = "/dev/" + name;
  return stat(system.c_str(), &info) == 0 && info.st_rdev == device ? system : "";
}

// The system's consoles are no ports: /dev/console and the virtual consoles
// 0 to 63 (not the serial ports from 4,64 on). One is refused before the
// countdown, as the user's own terminal is, with nothing made.
TEST(DumpRun, ConsolesAreRefusedBeforeAnythingIsOpened) {
  TempDir nodes;
  struct Node {
    dev_t device;
    const char* name;
    bool console;
  };
  std::string console;
  for (const Node& n :
       {Node{makedev(5, 1), "console", true}, Node{makedev(4, 0), "tty0", true},
        Node{makedev(4, 63), "tty63", true}, Node{makedev(4, 64), "ttyS0", false}}) {
    const std::string path = NodeOf(nodes, n.device, n.name);
    if (path.empty()) continue;
    EXPECT_EQ(SerialIsConsole(path.c_str()), n.console) << path;
    if (n.console) console = path;
  }
  if (console.empty()) GTEST_SKIP() << "no console's node can be made or found here";
  EXPECT_FALSE(SerialIsConsole("/dev/null"));
  std::atomic<bool> stop{false};
  StopLater later(&stop, 3000);  // a console taken by mistake would be waited on
  DriverRun given{"", NoPorts(nodes), &stop, nullptr};
  given.port = console.c_str();
  const DriverResult run = RunDriverInProcess(nodes.path, given);
  EXPECT_EQ(run.status, ExitPortOpen);
  EXPECT_EQ(run.console, Said(Msg::Connecting, Wide(console).c_str()) + ComOpenError +
                             Said(Msg::PortReason, Msg::SystemConsole, Msg::NotSerialPortAdvice));
  EXPECT_FALSE(FileExists(nodes.File("logger.hex")));
}

// A file removed or replaced during the run loses what the run wrote into
// it: the run (stopped by the user after the change) ends with that file's
// status and message, never 0 or the hint to resume.
TEST(DumpRun, OutputRemovedOrReplacedDuringTheRunFailsWithItsStatus) {
  for (const bool replaceBin : {false, true}) {
    TempDir dir;
    InProcessSim sim(9);
    sim.config.faults.replyDelayMs = 20;  // the run is still on when the file changes
    sim.Start();
    std::atomic<bool> stop{false};
    std::thread changer([&] {
      for (int i = 0; i < 20000 && ReadFileBytes(dir.File("logger.bin")).size() < BlockSize; ++i) {
        usleep(1000);
      }
      WriteFileBytes(dir.File("other"), "another file");
      if (replaceBin) rename(dir.File("other").c_str(), dir.File("logger.bin").c_str());
      if (!replaceBin) unlink(dir.File("logger.hex").c_str());
      stop = true;
    });
    const DriverResult run =
        RunDriverInProcess(dir.path, {std::string(sim.Path()) + "\n", NoPorts(dir), &stop});
    changer.join();
    EXPECT_EQ(run.status, replaceBin ? ExitBinFile : ExitHexFile);
    EXPECT_TRUE(EndsWith(run.console,
                         Said(Msg::FileLost, replaceBin ? BinFileText.text : HexFileText.text)))
        << run.console;
  }
}

// A file held by another program is tried again for a moment: let go soon
// enough, the run goes on to the port (no serial port here); held on, it is
// left as it is; a stop meanwhile ends the run as a stop. A file with a second
// name (a backup made with ln or cp -al) is refused at once and left as it is.
TEST(DumpRun, FileHeldByAnotherRunOrWithASecondNameIsLeftAsItIs) {
  TempDir dir;
  WriteFileBytes(dir.File("logger.hex"), "another run's records");
  int held = open(dir.File("logger.hex").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::thread letGo([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    close(held);
  });
  const DriverResult soon = RunDriverInProcess(dir.path, {"/dev/null\n", NoPorts(dir)});
  letGo.join();
  EXPECT_EQ(soon.status, ExitPortOpen) << soon.console;
  WriteFileBytes(dir.File("logger.hex"), "another run's records");
  held = open(dir.File("logger.hex").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const DriverResult run = RunDriverInProcess(dir.path, {"/dev/null\n", NoPorts(dir)});
  const std::string cannotOpen = Said(Msg::CannotOpen, HexFileText.text);
  EXPECT_EQ(run.status, ExitHexFile);
  EXPECT_TRUE(EndsWith(run.console, cannotOpen + Utf8(Msg::RefusedInUseLinux))) << run.console;
  std::atomic<bool> stop{false};
  StopLater later(&stop, 300);
  const DriverResult stopped = RunDriverInProcess(dir.path, {"/dev/null\n", NoPorts(dir), &stop});
  close(held);
  EXPECT_EQ(stopped.status, ExitInterrupted);
  EXPECT_TRUE(EndsWith(stopped.console, Utf8(Msg::CommunicationStarts) + Utf8(Msg::Interrupted)))
      << stopped.console;
  EXPECT_EQ(ReadFileBytes(dir.File("logger.hex")), "another run's records");

  ASSERT_EQ(link(dir.File("logger.hex").c_str(), dir.File("backup.hex").c_str()), 0);
  const DriverResult linked = RunDriverInProcess(dir.path, {"/dev/null\n", NoPorts(dir)});
  EXPECT_EQ(linked.status, ExitHexFile);
  EXPECT_TRUE(EndsWith(linked.console, cannotOpen + Utf8(Msg::RefusedHardLink))) << linked.console;
  EXPECT_EQ(ReadFileBytes(dir.File("backup.hex")), "another run's records");
}

// The flush to the disk at the end fails while every write worked: that
// file's status and message (logger.bin is flushed first).
int failingSyncCall = 0;
bool SyncFailingOnce(FILE* stream, unsigned long* code) {
  if (--failingSyncCall != 0) return SyncFile(stream, code);
  std::fflush(stream);
  *code = EIO;
  return false;
}

TEST(DumpRun, FlushToTheDiskThatFailsAtTheEndFailsTheRun) {
  const DumpSeam saved = dumpSeam;
  dumpSeam.syncFile = SyncFailingOnce;
  for (const int call : {1, 2}) {
    failingSyncCall = call;
    TempDir dir;
    InProcessSim sim(6);
    const DriverResult run = DumpFrom(&sim, dir);
    EXPECT_EQ(run.status, call == 1 ? ExitBinFile : ExitHexFile);
    const wchar_t* name = call == 1 ? BinFileText.text : HexFileText.text;
    wchar_t system[SystemTextSize];
    ASSERT_TRUE(SystemErrorText(EIO, system, SystemTextSize));
    EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::CannotWriteWithSystem, name, system)))
        << Tail(run.console);
  }
  dumpSeam = saved;
}

// Cutting a file that holds an earlier dump fails (logger.bin, the second
// cut): the run stops with that file's status, never appending the new dump
// behind the old one.
int cutCalls = 0;
bool CutFailingSecond(FILE* stream, long long length, unsigned long* code) {
  if (++cutCalls != 2) return CutFile(stream, length, code);
  *code = EIO;
  return false;
}

TEST(DumpRun, OutputThatCannotBeCutStopsTheRun) {
  TempDir dir;
  WriteFileBytes(dir.File("logger.bin"), std::string(300000, 'y'));
  const DumpSeam saved = dumpSeam;
  dumpSeam.cutFile = CutFailingSecond;
  InProcessSim sim(8);
  const DriverResult run = DumpFrom(&sim, dir);
  dumpSeam = saved;
  EXPECT_EQ(run.status, ExitBinFile);
  EXPECT_TRUE(EndsWith(run.console, "\n" + Said(Msg::CannotWrite, BinFileText.text)))
      << Tail(run.console);
}

// Settings that cannot be put back at close are told in one line; the
// dump's status stays what the dump earned.
bool closing = false;  // the close drains first; the open sets at once
int RefuseSettingsAtClose(int fd, int when, const termios* tio) {
  closing = closing || when == TCSADRAIN;
  if (!closing) return tcsetattr(fd, when, tio);
  errno = EPERM;
  return -1;
}

TEST(DumpRun, SettingsNotPutBackAreToldAndTheStatusStays) {
  TempDir dir;
  InProcessSim sim(10);
  const SerialDriverSeam saved = serialDriverSeam;
  serialDriverSeam.setSettings = RefuseSettingsAtClose;
  const DriverResult run = DumpFrom(&sim, dir);
  serialDriverSeam = saved;
  EXPECT_EQ(run.status, ExitComplete);
  EXPECT_TRUE(EndsWith(
      run.console, MessageTail(Msg::Progress) + "\n" +
                       Said(Msg::PortNotRestoredWithSystem, Wide(std::strerror(EPERM)).c_str())))
      << Tail(run.console);
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
