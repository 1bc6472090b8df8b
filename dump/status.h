// How a run that opened its files ends: which stop gives which status, what
// the console says at the end, and the verdict of a run that read every
// block. (The statuses' numbers: exitstatus.h.)
#pragma once

#include <cstdint>
#include <cstdio>

#include "dump/outputfiles.h"
#include "logger/logger.h"
#include "platform/console.h"

// Blocks that stayed bad named in the warning; the rest are counted.
constexpr int BadBlocksNamed = 8;

// Why a run stopped before its end: the logger layer's reason (in
// RunOutcome::loggerStop), or the files' and the resume's.
enum class RunStop {
  None,
  ByLogger,
  HexFileFailed,  // logger.hex could not be written
  BinFileFailed,  // logger.bin could not be written
  WitnessBad,     // a block that a resume reads to compare stayed bad
};

// The blocks that stayed bad after every try.
struct BadBlocks {
  long count;
  uint32_t named[BadBlocksNamed];  // the first of them
};

// What a run's status is judged by, filled in as the run goes.
struct RunOutcome {
  RunStop stop;
  LoggerStop loggerStop;            // why the logger layer stopped the run, with ByLogger
  uint32_t witnessBad;              // the block a resume could not read to compare
  LoggerExtraRecords extraRecords;  // what came after the end command
  BadBlocks bad;
  long wholeBlocks;  // blocks in the files from 00000 on, each read to its end
};

// Counts a block that stayed bad, naming the first BadBlocksNamed.
void NoteBadBlock(BadBlocks* bad, uint32_t address);

// The stop of a run whose file refused a write or a cut.
RunStop StopOfFile(OutputFailure failure);

// Whether the logger layer stopped the run for this reason.
bool StoppedBy(const RunOutcome* outcome, LoggerStop stop);

// Says how the run ended, once its files are closed (files): why it stopped,
// a file that is lost or not on the disk, the blocks that stayed bad, how to
// go on with it, the warnings of a run that read every block; and returns
// the status. The first failure decides it; an interruption is no failure.
int StatusOfRun(FILE* out, const RunOutcome* outcome, const OutputsEnding* files);

// Prints a message of the end of a run after a line break of its own.
template <typename... Args>
void PrintOnNewLine(FILE* out, const wchar_t* format, Args... args) {
  Print(out, L"\n");
  Print(out, format, args...);
}
