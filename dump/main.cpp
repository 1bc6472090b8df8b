// loggerdump: reads the whole memory of the data logger over a serial port into
// logger.hex and logger.bin.
#include <atomic>
#include <cstdio>

#include "platform/console.h"
#include "dump.h"
#include "messages.h"
#include "options.h"
#include "platform/platform.h"
#include "program.h"
#include "summary.h"

namespace {

std::atomic<bool> stopRequested{false};

// Started from Explorer, the console window would close before its last lines
// are read: the user is asked to press Enter first.
void HoldWindowUntilRead(FILE* in, FILE* out) {
  bool midLine = false;
  if (!WindowClosesAtExit(in, out, &midLine)) return;
  // On a line of its own: the last progress line has no line end.
  if (midLine) Print(out, L"\n");
  Print(out, Msg::PressEnter);
  WaitForEnter(in);
}

// The dump, or the port list alone; with --summary, its summary at the end.
int DumpOrList(const CommandLine* line, Action action) {
  static SummaryFacts facts;
  int status = ExitNoFolder;
  // A folder that is not there is told before anything is listed or made.
  if (action == Action::List || DirExists(line, stderr)) {
    const DumpOptions options = {stdin,         stdout,     CountdownStepMs,        &stopRequested,
                                 line->dir,     line->port, action == Action::List, line->resume,
                                 line->verbose, &facts};
    status = RunDump(&options);
  }
  if (line->summary != nullptr) {
    WriteSummary(line->summary, &facts, status, line->dir, stdout, stderr);
  }
  return status;
}

int Run(int argc, char** argv) {
  CommandLine line;
  const Action action = ParseCommandLine(argc, argv, &line, stderr);
  switch (action) {
    case Action::Usage:
      return ExitUsage;
    case Action::Help:
      PrintUsage(stdout);
      return ExitComplete;
    case Action::Version:
      PrintVersion(stdout);
      return ExitComplete;
    case Action::List:
    case Action::Dump:
      break;
  }
  return DumpOrList(&line, action);
}

}  // namespace

int LoggerDumpMain(int argc, char** argv) {
  // Before anything is opened: a file must never take the place of a closed
  // standard stream and receive console text. Without even the null device
  // the output files cannot be made safely.
  if (!KeepStandardStreamsOpen()) return ExitNoStreams;
  // The language, chosen once: every message from here on speaks it.
  const Language language = CommandLineLanguage(argc, argv);
  SelectLanguage(language);
  SetupConsoleLocale(language == Language::English);
  InstallStopHandlers(&stopRequested);
  TurnQuickEditOff();
  const int status = Run(argc, argv);
  MarkRunEnded();  // the files are closed: a closing console need wait no longer
  // Before the window is held: the user may want to select its last lines.
  RestoreConsoleMode();
  // Started from Explorer, the window would close before its last lines are
  // read; a user who interrupted the run wants it to end.
  if (status != ExitInterrupted) HoldWindowUntilRead(stdin, stdout);
  return status;
}
