// loggerdump: reads the whole memory of the data logger over a serial port into
// logger.hex and logger.bin.
#include <atomic>
#include <cstdio>

#include "console.h"
#include "dump.h"
#include "options.h"
#include "platform.h"

namespace {

std::atomic<bool> stopRequested{false};

// The port list alone, as the dialogue shows it.
int ListOnly(const PortRoots* roots) {
  static PortList ports;  // large: kept off the stack
  Print(stdout, L"接続されているCOMポート一覧\n");
  ListPorts(roots, &ports);
  for (int i = 0; i < ports.count; ++i) {
    Print(stdout, L"%ls(%ls)\n", ports.ports[i].name, ports.ports[i].desc);
  }
  return ExitComplete;
}

int Run(int argc, char** argv) {
  const PortRoots roots = {"/sys", "/dev"};
  CommandLine line;
  switch (ParseCommandLine(argc, argv, &line, stderr)) {
    case Action::Usage:
      return ExitUsage;
    case Action::Help:
      PrintUsage(stdout);
      return ExitComplete;
    case Action::Version:
      PrintVersion(stdout);
      return ExitComplete;
    case Action::List:
      return ListOnly(&roots);
    case Action::Dump:
      break;
  }
  if (!DirExists(&line, stderr)) return ExitHexFile;
  const DumpOptions options = {stdin, stdout, CountdownStepMs, roots, &stopRequested, line.dir};
  return RunDump(&options);
}

}  // namespace

int main(int argc, char** argv) {
  SetupConsoleLocale();
  InstallStopHandlers(&stopRequested);
  const int status = Run(argc, argv);
  MarkRunEnded();  // the files are closed: a closing console need wait no longer
  // Started from Explorer, the window would close before its last lines are
  // read; a user who interrupted the run wants it to end.
  if (status != ExitInterrupted) HoldWindowUntilRead(stdin, stdout);
  return status;
}
