// The real programs, end to end: loggerdump against loggersim on a
// pseudo-terminal, run as an ordinary account (see TheAccount). Each run
// waits through the five-second countdown, so each case is its own test and
// CTest runs them side by side.
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>

#include <string>

#include "gtest/gtest.h"
#include "serial/serial.h"
#include "testutil.h"

namespace {

constexpr int RunLimitSeconds = 60;

TEST(Program, CompleteDump) {
  TempDir dir;
  Child sim(SimArgs(
      {"--seed", "99", "--received", dir.File("received"), "--write-image", dir.File("memory")}));
  const std::string port = PortOf(sim);
  ASSERT_FALSE(port.empty());
  const ProcessResult run = RunChild(LoggerdumpArgs(dir.path, port + "\n"), RunLimitSeconds);
  EXPECT_EQ(sim.Wait(10), 0) << "loggersim did not see the end command";
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);

  EXPECT_TRUE(HoldsDumpOf(dir.path, ReadFileBytes(dir.File("memory"))));
  EXPECT_TRUE(ReadFileBytes(dir.File("received")) == ExpectedCommands());

  EXPECT_EQ(run.out.rfind(Utf8(Msg::PortListHeading), 0), 0u) << run.out.substr(0, 200);
  const std::string connecting =
      Said(Msg::Connecting, Wide(port).c_str()) + Said(Msg::Countdown, CountdownSteps);
  EXPECT_NE(run.out.find(Utf8(Msg::AskForPort) + connecting), std::string::npos);
  EXPECT_NE(run.out.find(Utf8(Msg::CommunicationStarts) + "\r00000 "), std::string::npos);
  const size_t last = run.out.rfind('\r');
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(run.out.substr(last, 7), "\r3ff00 ");
}

// Scripted use: port and folder on the command line, standard input closed.
TEST(Program, PortAndDirFromTheCommandLine) {
  TempDir dir;
  Child sim(SimArgs({"--seed", "98", "--write-image", dir.File("memory")}));
  const std::string port = PortOf(sim);
  ASSERT_FALSE(port.empty());
  ASSERT_EQ(mkdir(dir.File("dumps").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.File("dumps").c_str(), 0777), 0);
  const ProcessResult run =
      RunChild(LoggerdumpArgs(dir.path, "", {"--port", port, "--dir", "dumps"}), RunLimitSeconds);
  EXPECT_EQ(sim.Wait(10), 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(
      run.out.rfind(
          Said(Msg::Connecting, Wide(port).c_str()) + Said(Msg::Countdown, CountdownSteps), 0),
      0u)
      << run.out.substr(0, 200);
  EXPECT_TRUE(HoldsDumpOf(dir.File("dumps"), ReadFileBytes(dir.File("memory"))));
  EXPECT_FALSE(FileExists(dir.File("logger.hex")) || FileExists(dir.File("logger.bin")));
}

// Started with its standard output closed, as some schedulers do, the
// program must not write console text into a file that took the console's
// descriptor: the same files as a clean run. With the input closed as well
// no port is given: status 1 and both files empty.
TEST(Program, ClosedStandardStreamsKeepConsoleTextOutOfTheFiles) {
  TempDir dir, noInputDir;
  Child sim(SimArgs({"--seed", "98", "--write-image", dir.File("memory")}));
  const std::string port = PortOf(sim);
  ASSERT_FALSE(port.empty());
  ChildOptions options = LoggerdumpArgs(dir.path, port + "\n");
  options.closedStdout = true;
  Child noOutput(options);
  options.cwd = noInputDir.path;
  options.closedStdin = true;
  Child noInput(options);

  EXPECT_EQ(noOutput.Wait(RunLimitSeconds), 0);
  EXPECT_EQ(sim.Wait(10), 0);
  EXPECT_TRUE(HoldsDumpOf(dir.path, ReadFileBytes(dir.File("memory"))));
  EXPECT_EQ(noInput.Wait(RunLimitSeconds), 1);
  EXPECT_EQ(ReadFileBytes(noInputDir.File("logger.hex")), "");
  EXPECT_EQ(ReadFileBytes(noInputDir.File("logger.bin")), "");
}

// What an ordinary account meets, side by side: a port it may not open (the
// hint to join the port's group), a folder it may not write (the system's
// reason), and a port another program holds for itself: in use where that
// program is seen (the caller's own), busy with no holder seen where it is
// another account's (root's, when the tests run as root).
TEST(Program, RefusalsAnOrdinaryAccountMeets) {
  TempDir dir;
  SimPty closed{}, held{};
  ASSERT_TRUE(SimOpenPty(&closed) && SimOpenPty(&held));
  ASSERT_EQ(chmod(closed.path, 0), 0);
  GiveToAccount(held.path);
  ASSERT_EQ(ioctl(held.slave, TIOCEXCL), 0);
  ASSERT_EQ(mkdir(dir.File("readonly").c_str(), 0555), 0);
  Child noAccess(LoggerdumpArgs(dir.path, "", {"--port", closed.path}));
  Child noWrite(LoggerdumpArgs(dir.path, "", {"--port", held.path, "--dir", "readonly"}));
  Child holdSeen(LoggerdumpArgs(dir.path, "", {"--port", held.path}));
  const std::string denied = Said(Msg::PortReasonWithSystem, Msg::PortAccessDenied,
                                  Wide(std::strerror(EACCES)).c_str(), Msg::JoinDialoutGroup);
  EXPECT_EQ(noAccess.Wait(RunLimitSeconds), ExitPortOpen);
  EXPECT_TRUE(EndsWith(noAccess.Output(), ComOpenError + denied)) << noAccess.Output();
  EXPECT_EQ(noWrite.Wait(RunLimitSeconds), ExitHexFile);
  EXPECT_TRUE(
      EndsWith(noWrite.Output(), Said(Msg::CannotOpen, HexFileText.text) +
                                     Said(Msg::RefusedSystem, Wide(std::strerror(EACCES)).c_str())))
      << noWrite.Output();
  const bool other = TheAccount().other;
  const std::string busy =
      Said(Msg::PortReasonWithSystem, other ? Msg::PortBusy : Msg::PortInUse,
           Wide(std::strerror(EBUSY)).c_str(), other ? Msg::PortBusyAdvice : Msg::PortInUseAdvice);
  EXPECT_EQ(holdSeen.Wait(RunLimitSeconds), ExitPortOpen);
  EXPECT_TRUE(EndsWith(holdSeen.Output(), ComOpenError + busy)) << holdSeen.Output();
  SimClosePty(&held);
  SimClosePty(&closed);
}

}  // namespace
