// What a run is given (DumpOptions), and the countdown it shows before it
// opens the port.
#pragma once

#include <atomic>
#include <cstdio>

#include "dump/summary.h"

// The countdown before the port is opened: this many steps of CountdownStepMs.
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
