// loggerdump: reads the whole memory of the data logger over a serial port into
// logger.hex and logger.bin in the current directory.
#include <csignal>
#include <cstdio>

#include "dump.h"
#include "platform.h"

namespace {
volatile std::sig_atomic_t stopRequested = 0;
}

int main() {
  SetupConsoleLocale();
  InstallStopHandlers(&stopRequested);
  const DumpOptions options = {stdin, stdout, CountdownStepMs, {"/sys", "/dev"}, &stopRequested};
  return RunDump(&options);
}
