// The dump's run from the port list to the exit status: the dialogue, the
// blocks read and stored, the end. The logger layer (logger.h) does the
// talking to the logger; the output files are outputfiles.h's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dump/exitstatus.h"
#include "dump/outputfiles.h"
#include "dump/summary.h"

constexpr int CountdownSteps = 5;
constexpr unsigned CountdownStepMs = 1000;

struct DumpOptions {
  FILE* in;                       // where the user's line is read
  FILE* out;                      // the console
  unsigned countdownStepMs;       // CountdownStepMs in the program
  const std::atomic<bool>* stop;  // set when the user asks to stop; may be null
  const char* dir;                // folder of the output files; null or "": current
  const char* port;               // the port as given (--port); null: ask at the prompt
  bool listOnly;                  // print the port list and end (--list)
  bool resume;                    // go on with the dump in the files (--resume)
  bool verbose;                   // the port list with each port's details (--verbose)
  SummaryFacts* facts;            // filled in with what the run did (summary.h); may be null
};

// Runs the whole dump and returns the exit status.
int RunDump(const DumpOptions* options);
