// The substitute logger: answers the dump protocol on the master side of a
// pseudo-terminal. Usable in-process from tests and from the loggersim program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "hexrecord/hexrecord.h"
#include "logger/protocol.h"

// Largest reply to one command: 16 data records and 16 segment records, with
// room for the noise and overlong lines that faults add.
constexpr size_t SimReplySize = 16384;
constexpr size_t SimPathSize = 256;

// No block or record: the fault is off.
constexpr long SimNone = -1;
// Characters of the overlong line sent before a block's reply.
constexpr size_t SimLongLineLength = 1000;
// How late a late reply comes: longer than the tool waits for a reply that
// has begun to go on.
constexpr unsigned SimLateReplyMs = 3000;
// How long after the rest of a reply its last LF comes when its line end is
// split, and how long after a reply its copy comes when it is sent twice: long
// enough for the tool to have sent its next command.
constexpr unsigned SimSplitLineEndMs = 30;
constexpr unsigned SimRepeatGapMs = 30;
// How often another device on the port sends a line of text, and the line.
constexpr unsigned SimForeignLineMs = 400;
constexpr char SimForeignLine[] = "+STATUS 12.5V OK\r\n";
// Data bytes per record of a logger whose replies never fit.
constexpr uint8_t SimWideRecordBytes = 32;
// What a logger that speaks Intel HEX may send after the end command.
constexpr char SimEndOfFileLine[] = ":00000001FF\r\n";
// A record line that no command asked for: 16 zero bytes at 0xFFF0.
constexpr char SimStrayRecordLine[] = ":10FFF0000000000000000000000000000000000001\r\n";

// How the record at SimFaults::corruptAddress is spoiled: a wrong checksum (a
// different one at each try), a
// digit that is no hex digit, cut in half, its ':' turned into another
// character, its line end lost (it runs into the next line), or the whole
// record never sent.
enum class SimCorruption { None, Checksum, Digit, Short, Colon, LineEnd, Lost };

// Misbehaviour on purpose. Block faults name the block by its address (a
// multiple of BlockSize); every fault can be combined with the others.
struct SimFaults {
  bool noise = false;      // lines not beginning with ':' between records, NULs inside records
  bool lowercase = false;  // hex digits in lowercase
  bool lfOnly = false;     // lines ended by LF alone
  // Load addresses that are not the memory's: 0000 to 00F0 in every block,
  // with segment records 0000 from 0x10000 on (else the low 16 bits of the
  // memory address, with segment records to match).
  bool noAddresses = false;
  // Spoils of a reply (surplus, duplicate, corruption, long line) are made the
  // first spoilFirst times the block is asked for, then no more (0: every time).
  unsigned spoilFirst = 0;
  long surplusBlock = SimNone;       // this block's reply ends with one extra record line
  long longLineBlock = SimNone;      // a line of SimLongLineLength characters precedes this reply
  long lateBlock = SimNone;          // this block's reply comes SimLateReplyMs late
  long twiceBlock = SimNone;         // this block's reply is sent again SimRepeatGapMs later
  long splitBlock = SimNone;         // this reply's last LF comes SimSplitLineEndMs after the rest
  long otherReplyBlock = SimNone;    // this block is answered with the next block's reply
  unsigned lateMs = SimLateReplyMs;  // how late the late block's reply comes
  // This block (from 0x10000 on) is answered with the data records of the
  // block 64 KiB lower, with records of lostBaseType in the places of its
  // segment records: 0x03 (start segment address) or 0x01 (end of file).
  long lostBaseBlock = SimNone;
  uint8_t lostBaseType = 0x03;
  const char* afterEnd = nullptr;  // the end command is answered with this line (null: none)
  unsigned strayRecordMs = 0;  // SimStrayRecordLine every this often, whatever happens (0: never)
  bool lowSegments = false;    // from 0x10000 on: the memory 64 KiB lower, segment records to match
  bool wideRecords = false;    // data records of SimWideRecordBytes: replies that never fit
  long duplicateAddress = SimNone;  // the data record holding this address is sent twice
  SimCorruption corruption = SimCorruption::None;
  long corruptAddress = SimNone;    // the data record holding this memory address is spoiled
  long corruptStride = 0;           // ...and every this many bytes after it (0: that one only)
  long silentAfterBlock = SimNone;  // no command is answered after this block's reply
  long hangUpAfterBlock = SimNone;  // the port is closed after this block's reply
  long hangUpInBlock = SimNone;     // the port is closed halfway through this block's reply
  unsigned replyDelayMs = 0;        // pause before each reply
  bool echo = false;                // every command line is sent back before it is answered
  bool foreignText = false;  // another device: no command answered, SimForeignLine now and then
};

struct SimConfig {
  const uint8_t* image;           // ImageSize bytes of logger memory
  double bytesPerSecond;          // pace of the line (both directions); 0: unpaced
  const std::atomic<bool>* quit;  // set to end SimServe early; may be null
  // The first reply to the block at stallAddress stops halfway for stallMs (0: never).
  uint32_t stallAddress = 0;
  unsigned stallMs = 0;
  SimFaults faults = SimFaults();
};

struct SimStats {
  long long firstCommandNs;  // monotonic time the first command byte arrived, or 0
  long long endCommandNs;    // monotonic time the end command arrived, or 0
  long commands;             // "dihex" commands answered
  long long bytesReceived;
  long long bytesSent;
  bool sawEnd;
  // Turnaround of the other side: from the last byte of a reply to the first
  // byte of the next command.
  long long turnaroundTotalNs;
  long long turnaroundMaxNs;
  long turnarounds;
  long long stallStartNs;  // the stall in the middle of a reply, or 0
  long long stallEndNs;
};

struct SimPty {
  int master;
  int slave;  // kept open by the logger so the port never hangs up on its own
  char path[SimPathSize];
};

// Fills image with a pseudo-random pattern that depends only on seed.
void SimFillPattern(uint8_t* image, uint32_t seed);

// The Intel HEX reply to "dihex <address>", as sent on the wire when the block
// has been asked for asked times before (spoils end after SimFaults::spoilFirst).
size_t SimBuildReply(const SimConfig* config, uint32_t address, char* out, size_t outSize,
                     unsigned asked = 0);

// Opens a raw pseudo-terminal. False (and errno) on failure.
bool SimOpenPty(SimPty* pty);
void SimClosePty(SimPty* pty);

// SimServe's result when it closed the port on purpose (a hang-up fault).
constexpr int SimHungUp = 2;

// Serves commands on the pseudo-terminal's master until the end command
// "q\n\r" has arrived (returns 0), quit is set (returns 1), the port fails
// (returns -1) or a hang-up fault closed both sides of it (returns SimHungUp;
// pty's descriptors are then -1). Every byte received is appended to
// received, if given, as it arrives.
int SimServe(SimPty* pty, const SimConfig* config, FILE* received, SimStats* stats);
