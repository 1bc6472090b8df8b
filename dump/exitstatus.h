// The process's exit statuses, shared by the program's entries, the run and
// the message table (their meanings: StatusMeanings in messages.h).
#pragma once

enum ExitStatus {
  ExitComplete = 0,
  ExitPortOpen = 1,
  ExitHexFile = 2,
  ExitNoFolder = 2,   // the --dir folder: logger.hex cannot be made there
  ExitNoStreams = 2,  // no standard streams, not even the null device: no file can be made safely
  ExitBinFile = 3,
  ExitLinkLost = 4,
  ExitSuspectImage = 5,
  ExitUsage = 64,  // a command line the program does not understand (BSD's EX_USAGE)
  ExitInterrupted = 130,
};
