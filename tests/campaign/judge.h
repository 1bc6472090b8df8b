// What a campaign run must leave behind, judged from its status, its console
// text, logger.hex and logger.bin against the logger's memory: a complete run
// holds a clean run's files; any other keeps every stored block at its place,
// exact unless the warning names it, and says what stopped it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "schedule.h"

// What a clean run stores for each block: its logger.hex entries.
typedef std::vector<std::vector<std::string>> BlockEntries;
BlockEntries CleanEntries(const SimConfig& clean);

// What happened in a run, as the campaign saw it.
struct RunFacts {
  const Schedule* schedule;
  const std::string* memory;  // the logger's memory
  const BlockEntries* clean;  // a clean run's entries of every block
  int status;
  std::string console;
  std::string hex;  // logger.hex after the run
  std::string bin;  // logger.bin after the run
  bool hungUp;      // the logger closed the port
  bool stopped;     // the stop flag was set
};

struct Judgement {
  bool wrongImage = false;  // status 0, and the files are not a clean run's
  // Blocks lost: stored blocks that differ from the memory without the warning
  // naming them, named ones holding bytes that belong elsewhere, blocks whose
  // stored lines are not their own, the block in flight holding another
  // place's bytes; and after a resume, blocks whole before it that it did not
  // keep or that are not exact after it.
  long lostBlocks = 0;
  bool misnamed = false;  // the status or the messages do not say what happened
  long wholeBefore = 0;   // blocks from 00000 on whose lines and bytes are exact
  std::string notes;      // what was wrong, for the report
};

// Judges a run that started afresh.
Judgement JudgeRun(const RunFacts& facts);

// Judges a run with --resume after a run that left wholeBefore exact blocks;
// addressed: the logger numbers its records by address, so the resume must
// go on after those blocks.
Judgement JudgeResume(const RunFacts& facts, long wholeBefore, bool addressed);
