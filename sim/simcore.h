// The substitute logger: answers the dump protocol on the master side of a
// pseudo-terminal. Usable in-process from tests and from the loggersim program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr uint32_t SimImageSize = 0x40000;
constexpr uint32_t SimBlockSize = 0x100;
constexpr uint32_t SimHighStart = 0x10000;
constexpr int SimRecordBytes = 16;
// Largest reply to one command: 16 data records and 16 segment records, with
// room for the noise and overlong lines that faults add.
constexpr size_t SimReplySize = 16384;
constexpr size_t SimPathSize = 256;

// No block or record: the fault is off.
constexpr long SimNone = -1;
// Characters of the overlong line sent before a block's reply.
constexpr size_t SimLongLineLength = 1000;

// How the record at SimFaults::corruptAddress is spoiled.
enum class SimCorruption { None, Checksum, Digit, Short };

// Misbehaviour on purpose. Block faults name the block by its address (a
// multiple of SimBlockSize); every fault can be combined with the others.
struct SimFaults {
  bool noise = false;           // lines not beginning with ':' between records, NULs inside records
  bool lowercase = false;       // hex digits in lowercase
  long surplusBlock = SimNone;  // this block's reply ends with one extra record line
  long longLineBlock = SimNone;  // a line of SimLongLineLength characters precedes this reply
  SimCorruption corruption = SimCorruption::None;
  long corruptAddress = SimNone;    // the data record holding this memory address is spoiled
  long silentAfterBlock = SimNone;  // no command is answered after this block's reply
  long hangUpAfterBlock = SimNone;  // the port is closed after this block's reply
  long hangUpInBlock = SimNone;     // the port is closed halfway through this block's reply
  unsigned replyDelayMs = 0;        // pause before each reply
};

struct SimConfig {
  const uint8_t* image;           // SimImageSize bytes of logger memory
  double bytesPerSecond;          // pace of the line (both directions); 0: unpaced
  const std::atomic<bool>* quit;  // set to end SimServe early; may be null
  // The reply to the block at pauseAddress stops halfway for pauseMs (0: never).
  uint32_t pauseAddress = 0;
  unsigned pauseMs = 0;
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
  long long pauseStartNs;  // the pause in the middle of a reply, or 0
  long long pauseEndNs;
};

struct SimPty {
  int master;
  int slave;  // kept open by the logger so the port never hangs up on its own
  char path[SimPathSize];
};

// Fills image with a pseudo-random pattern that depends only on seed.
void SimFillPattern(uint8_t* image, uint32_t seed);

// The Intel HEX reply to "dihex <address>", as sent on the wire.
size_t SimBuildReply(const SimConfig* config, uint32_t address, char* out, size_t outSize);

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
