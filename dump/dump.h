// The front end of the dump: dialogue, output files, messages and exit status.
// The logger layer (logger.h) does the talking to the logger.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dump/exitstatus.h"
#include "dump/summary.h"

constexpr int CountdownSteps = 5;
constexpr unsigned CountdownStepMs = 1000;
// Room for the folder of the output files and a file name.
constexpr size_t OutputPathSize = 4096;

constexpr char HexFileName[] = "logger.hex";
constexpr char BinFileName[] = "logger.bin";

// An ASCII name as wide text, made from the same characters at compile time.
template <size_t N>
struct WideName {
  wchar_t text[N];
};
template <size_t N>
constexpr WideName<N> WideOf(const char (&name)[N]) {
  WideName<N> wide{};
  for (size_t i = 0; i < N; ++i) wide.text[i] = static_cast<wchar_t>(name[i]);
  return wide;
}
// The output files' names as the console shows them.
constexpr WideName<sizeof HexFileName> HexFileText = WideOf(HexFileName);
constexpr WideName<sizeof BinFileName> BinFileText = WideOf(BinFileName);

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

// What the run goes through to have its files written to the disk at the end
// (SyncFile in the program) and cut to length (CutFile): a test points them
// elsewhere, to fail that step while every write succeeds, and puts them back
// afterwards.
struct DumpSeam {
  bool (*syncFile)(FILE* stream, unsigned long* code);
  bool (*cutFile)(FILE* stream, long long length, unsigned long* code);  // CutFile
};
extern DumpSeam dumpSeam;
