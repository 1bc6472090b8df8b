// The substitute logger's faults, one row of SimFaultTable each: the option
// that switches it on and the SimFaults field it sets, what it does in the
// usage's words, and in code what it makes of the logger's manner from the
// start or of each reply. The protocol (serve.cpp) and the reply's text
// (reply.cpp) follow the plans the rows make and name no fault; a new fault is
// a field of SimFaults and a row here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logger/protocol.h"
#include "sim/simcore.h"

// Kinds of line the logger may send on its own, whatever it is asked.
constexpr int SimChatterRoom = 4;

// A line sent on its own, again and again.
struct SimChatter {
  const char* line;
  unsigned everyMs;
};

// How the logger behaves from the start.
struct SimManner {
  bool echo;              // every command line is sent back before it is answered
  bool answers;           // block commands are answered
  const char* endAnswer;  // the line that answers the end command; null: none
  int chatterCount;
  SimChatter chatter[SimChatterRoom];
};

// How one data record of a reply is sent.
struct SimRecordPlan {
  bool left;            // never sent
  SimCorruption spoil;  // how its text is spoiled (SimSpoilRecord); None: as it is
  bool lineEnd;         // ended by its line end
  int copies;           // sent this many times in a row
};

// The text of one reply.
struct SimReplyText {
  uint32_t address;     // the block whose memory it holds
  unsigned asked;       // times the block was asked for before
  uint8_t recordBytes;  // data bytes per record
  uint32_t shift;       // from HighBlocksStart on: the memory this much lower
  // From HighBlocksStart on: records of placelessType where the segment
  // records would be, which place nothing.
  bool placeless;
  uint8_t placelessType;
  bool lowercase;    // hex digits in lowercase
  bool noise;        // lines that are no records between the records, NULs inside them
  bool lfOnly;       // lines ended by LF alone
  bool noAddresses;  // load addresses 0000 to 00F0 in every block, segment records 0000
  bool longLine;     // a line of SimLongLineLength characters comes first
  bool surplus;      // an end-of-file record comes last, one line more than asked for
  SimRecordPlan record[DataRecordsPerBlock];
};

// How one reply is sent.
struct SimSending {
  unsigned delayMs;  // pause before it
  int copies;        // sent this many times, SimRepeatGapMs apart
  bool cutHalfway;   // cut in the middle of a line after half of its lines
  bool lateLineEnd;  // its last LF comes SimSplitLineEndMs after the rest
  bool hangUp;       // the port is closed after it
  bool lastAnswer;   // no command is answered after it
};

// What the logger does with one "dihex" command.
struct SimReplyPlan {
  uint32_t address;  // the block asked for
  unsigned asked;    // times it was asked for before
  SimReplyText text;
  SimSending send;
};

// The logger's manner as the faults that are on make it.
void SimPlanManner(const SimFaults* faults, SimManner* manner);

// The reply to "dihex <address>" when the block was asked for asked times
// before, as the faults that are on make it.
void SimPlanReply(const SimFaults* faults, uint32_t address, unsigned asked, SimReplyPlan* plan);

// Spoils the text of a record (no line end) as kind says, differently at
// each try; returns its new length.
size_t SimSpoilRecord(char* record, size_t length, SimCorruption kind, unsigned asked);

// How an option sets its SimFaults field, and whether the fault is on.
struct SimSwitch {
  bool (*set)(SimFaults* faults, const char* value);  // false: a wrong value
  bool (*on)(const SimFaults* faults);
};

// One fault, or one setting of another row's fault.
struct SimFaultRow {
  const char* option;  // the switch on loggersim's command line
  const char* value;   // what the option takes, as the usage names it; null: nothing
  const char* help;    // what it does, in the usage's words ('\n' breaks the line)
  SimSwitch field;
  // What it does: to the logger's manner from the start, or to each reply;
  // spoils: only to the replies that SimFaults::spoilFirst lets be spoiled.
  // Neither: the option only sets how another row's fault goes.
  void (*manner)(const SimFaults* faults, SimManner* manner);
  void (*reply)(const SimFaults* faults, SimReplyPlan* plan);
  bool spoils;
};

extern const SimFaultRow SimFaultTable[];
extern const int SimFaultCount;
