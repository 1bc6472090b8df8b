// The logger layer: asks the logger for one block over the link, reads and
// checks the reply, asks again for a bad one, and hands back the reply to keep.
// It prints nothing and writes no file; what happens on the way is reported to
// its caller through a callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "dump/protocol.h"
#include "serial/serial.h"

// Tries per block: the first request and at most three more.
constexpr int BlockTries = 4;
// A reply that has begun and then brings no byte for this long is given up
// and asked for again (at 19200 baud a whole record line takes about 25 ms).
constexpr long long StallMs = 2000;
// A logger that has sent nothing since the command is waited for as long as
// it takes; after this long the caller is told once per request.
constexpr long long WaitNoticeMs = 5000;
// Failed reads and writes are retried after this pause, with the error cleared...
constexpr unsigned FailurePauseMs = 100;
// ...until nothing but failures has come for this long.
constexpr long long LinkLostAfterMs = 3000;
constexpr size_t CommandBufferSize = 32;

// The record lines of one reply, each as received (with its CR or LF) and NUL-terminated.
struct BlockReply {
  int count;
  int length[MaxBlockLines];
  char line[MaxBlockLines][LineBufferSize];
};

// How the logger numbers the load addresses of its data records, learned from
// the first two blocks.
enum class Numbering {
  Unknown,     // block 0 not yet read
  FirstBlock,  // block 0 carried 0000, 0010, ... 00F0: either numbering may follow
  ByAddress,   // the low 16 bits of each record's memory address
  PerBlock,    // 0000, 0010, ... 00F0 in every block
  None,        // neither: addresses are not checked
};

enum class LoggerStop { None, Interrupted, LinkLost };

enum class LoggerEvent {
  Reread,     // the block is asked for again; try is the number of the new try
  ReadError,  // the first failed read of a streak
  Waiting,    // nothing has come for WaitNoticeMs since the command
};

typedef void (*LoggerReport)(void* context, LoggerEvent event, uint32_t address, int attempt);

// The logger layer's state for one run; the caller owns it and the link.
struct LoggerSession {
  SerialLink* link;
  const std::atomic<bool>* stopFlag;  // set when the user asks to stop; may be null
  LoggerReport report;                // may be null
  void* context;
  char command[CommandBufferSize];
  char line[LineBufferSize];
  long long failingSinceMs;  // first of the failures since the link last worked, or -1
  bool readFailing;          // the last read failed
  Numbering numbering;
  LoggerStop stop;
  BlockReply replies[2];  // the try being read and the one before it
};

// What LoggerReadBlock hands back.
struct BlockResult {
  const BlockReply* reply;  // the lines to keep: the sound reply, else the last try as received
  bool sound;
  int tries;
};

// Prepares session for a run on the open link.
void LoggerStart(LoggerSession* session, SerialLink* link, const std::atomic<bool>* stopFlag,
                 LoggerReport report, void* context);

// Asks for the block at address until a sound reply has come or BlockTries are
// used up. False when the run must stop (session->stop says why); result then
// holds the lines of that block received so far.
bool LoggerReadBlock(LoggerSession* session, uint32_t address, BlockResult* result);

// Sends the end command "q\n\r" once. False when it could not be written.
bool LoggerEnd(LoggerSession* session);

// How a reply to the block at address stands against the block check: its
// record lines sound, 16 data records, the load addresses numbered as learned
// (while the numbering is being learned: in steps of 0x10, or all the same).
enum class BlockVerdict { Sound, BadRecords, WrongNumbers };
BlockVerdict CheckBlock(const BlockReply* reply, uint32_t address, Numbering numbering);

// The numbering known after a sound reply to the block at address.
Numbering LearnNumbering(const BlockReply* reply, uint32_t address, Numbering numbering);
