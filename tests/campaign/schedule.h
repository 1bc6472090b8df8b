// The fault schedule of one campaign run: the faults the substitute logger
// (and the user) bring, drawn from the run's seed alone, how they are set on
// the logger, which blocks they touch, and how long they may make a run take.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/simcore.h"

// The kinds of fault a schedule draws from. Noise and Echo are the logger's
// ways throughout the run; the others concern one block, except Interrupt.
enum class Kind {
  Noise,            // lines that are no records, NULs inside records
  Echo,             // every command sent back before its reply
  LostRecord,       // a data record never sent
  DuplicateRecord,  // a data record sent twice
  CorruptRecord,    // a data record spoiled (see SimCorruption)
  SurplusLine,      // an end-of-file record after the block's reply
  LongLine,         // a 1000-character line before the block's reply
  LateReply,        // the block's reply comes late
  DoubledReply,     // the block's reply comes again a little later
  OtherReply,       // the block answered with the next block's reply
  SplitLineEnd,     // the reply's last LF comes a little after the rest
  Stall,            // the block's first reply stops halfway for a while
  HangUpIn,         // the logger goes away halfway through the block's reply
  HangUpAfter,      // the logger goes away after the block's reply
  Silence,          // the logger answers nothing after the block; the user stops the run
  Interrupt,        // the user stops the run after a while, as Ctrl-C does
};
constexpr int KindCount = static_cast<int>(Kind::Interrupt) + 1;

// A short name for reports ("other-reply").
const char* KindName(Kind kind);

// Whether the kind ends the run before its end: a schedule has at most one.
bool EndsTheRun(Kind kind);

struct Fault {
  Kind kind;
  uint32_t block;            // the block concerned (a multiple of BlockSize)
  uint32_t address;          // the memory address in the record concerned (record faults)
  SimCorruption corruption;  // how a CorruptRecord spoils it
  unsigned ms;  // how late (LateReply), how long (Stall), the user's delay (Silence, Interrupt)
};

struct Schedule {
  uint32_t seed;  // also the seed of the logger's memory
  // A block's reply is spoiled the first spoilFirst times it is asked for (0:
  // every time); from BlockTries on the spoiled block ends bad.
  unsigned spoilFirst;
  std::vector<Fault> faults;
};

// The schedule of a seed: 1 to 3 faults of different kinds, drawn by a
// std::mt19937 seeded with it.
Schedule DrawSchedule(uint32_t seed);

// One line: the spoil count and every fault with its block and figures.
std::string Describe(const Schedule& schedule);

bool Has(const Schedule& schedule, Kind kind);
const Fault* Find(const Schedule& schedule, Kind kind);

// Sets the schedule's faults on a logger with or without addresses.
void SetFaults(const Schedule& schedule, bool noAddresses, SimConfig* config);

// The logger after a resume: the same memory and numbering, and its ways
// (noise, echo), but none of the faults of one block or moment.
void SetResumedLogger(const Schedule& schedule, bool noAddresses, SimConfig* config);

// Whether a block of the schedule's faults may be named bad: the block a
// fault concerns and the one after it (a late or doubled reply lands there).
bool Touched(const Schedule& schedule, uint32_t block);

// How much longer than a clean run the faults may make a run take, from the
// tool's time-outs and the logger's delays (an upper estimate, no margin).
long long FaultCostMs(const Schedule& schedule);
