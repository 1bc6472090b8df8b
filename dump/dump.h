// The dump run: dialogue, output files, the block loop and the end command.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "serial/serial.h"

constexpr uint32_t BlockSize = 0x100;
// The block loop runs while the address is below this bound: last block 0x3FF00.
constexpr uint32_t BlockAddressBound = 0x3FFFF;
constexpr long ImageSize = 0x40000;
// Record lines the logger sends per block below and from HighBlocksStart on.
constexpr uint32_t HighBlocksStart = 0x10000;
constexpr int RecordLinesLow = 16;
constexpr int RecordLinesHigh = 32;
constexpr int CountdownSteps = 5;
constexpr unsigned CountdownStepMs = 1000;
// Failed reads and writes are retried after this pause, with the error cleared...
constexpr unsigned FailurePauseMs = 100;
// ...until nothing but failures has come for this long.
constexpr long long LinkLostAfterMs = 3000;
constexpr size_t CommandBufferSize = 32;

constexpr char HexFileName[] = "logger.hex";
constexpr char BinFileName[] = "logger.bin";

enum ExitStatus {
  ExitComplete = 0,
  ExitPortOpen = 1,
  ExitHexFile = 2,
  ExitBinFile = 3,
  ExitLinkLost = 4,
  ExitSuspectImage = 5,
  ExitInterrupted = 130,
};

struct DumpOptions {
  FILE* in;                                // where the user's line is read
  FILE* out;                               // the console
  unsigned countdownStepMs;                // CountdownStepMs in the program
  PortRoots roots;                         // where the port listing looks
  const volatile std::sig_atomic_t* stop;  // set when the user asks to stop; may be null
};

// Runs the whole dump in the current directory and returns the exit status.
int RunDump(const DumpOptions* options);
