// The summary of a run (--summary): what it did, as one JSON object on one
// line that a script can read, written whole into a file or, after
// everything else, to the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "logger/blockcheck.h"
#include "serial/serial.h"

// What a run did, as RunDump fills it in; all zero for a run that never
// began (a folder that is not there).
struct SummaryFacts {
  char port[DevicePathSize];  // the device the run chose; empty: none
  bool resumed;               // blocks of an earlier dump were kept
  uint32_t firstBlock;        // where this run began to read
  long blocksRead;            // blocks read to their end from firstBlock on, bad ones too
  uint8_t tries[BlockCount];  // of each block read: its tries
  bool bad[BlockCount];       // of each block read: still bad after them
  LoggerNumbering numbering;  // as the logger's replies showed it
  unsigned long long bytesReceived;
  long long elapsedMs;  // from the first block's command to the end of the last
};

// Where --summary - writes the summary.
constexpr char SummaryToConsole[] = "-";

// The summary of a run that ended with status, whose files are in dir (null:
// the current folder), as one line of JSON with its line end into text
// (size bytes). Every string is ASCII: a byte that begins no UTF-8 character
// is U+FFFD, the rest is escaped. Returns its length, 0 when it does not fit.
size_t FormatSummary(const SummaryFacts* facts, int status, const char* dir, char* text,
                     size_t size);

// Writes the summary to path: a file replaced whole (never half written), or
// with SummaryToConsole to out on a line of its own. A summary that cannot be
// written is said on err; the run's status stays as it is.
void WriteSummary(const char* path, const SummaryFacts* facts, int status, const char* dir,
                  FILE* out, FILE* err);
