// The logger layer: asks the logger for one block over the link, reads and
// checks the reply, asks again for a bad one, and hands back the lines to keep
// with the block's image bytes, decoded once. It prints nothing and writes no
// file; what happens on the way is reported to its caller through a callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "logger/blockcheck.h"
#include "serial/serial.h"

static_assert(LineBufferSize >= SerialLineSize,
              "a line buffer takes every line the link hands out");

// Tries per block: the first request and at most three more.
constexpr int BlockTries = 4;
// A reply begins with its first record line; once it has begun, a reply that
// brings no further record line for this long is given up and asked for again
// (at 19200 baud a whole record line takes about 25 ms).
constexpr long long StallMs = 2000;
// A reply that has not begun is waited for as long as it takes; after this
// long the caller is told once per request (nothing came, or only bytes that
// are no records).
constexpr long long WaitNoticeMs = 5000;
// Failed reads and writes are retried after this pause, with the error cleared...
constexpr unsigned FailurePauseMs = 100;
// ...until nothing but failures has come for this long.
constexpr long long LinkLostAfterMs = 3000;
// Before a block is asked for again the line must fall quiet; a line that
// never does is asked all the same after this long.
constexpr long long QuietLimitMs = 10000;
// How long the line must stay free of record lines after the end command to
// show that no reply is still on its way.
constexpr long long QuietCheckMs = ReadTimeoutMs;
// Blocks in a row that stay bad after every try before the run gives up:
// the replies are not this logger's memory.
constexpr int BadBlocksInARowLimit = 8;
// How long replies may go on being bad, counted from the first bad reply
// since the last sound one, quiet waits included, before the run gives up:
// a line that never falls quiet makes every re-read wait QuietLimitMs.
constexpr long long NoSoundReplyLimitMs = 60000;

// One block as LoggerReadBlock leaves it.
struct LoggerBlock {
  LoggerReply reply;         // the lines to keep: the sound reply, else the last try as received
  uint8_t image[BlockSize];  // the block's bytes; ImageFiller where a bad reply had none
  size_t imageBytes;         // BlockSize, or for a block cut short: 16 per data record received
  bool sound;
  int tries;
};

// What record lines came after the end command.
enum class LoggerExtraRecords {
  None,
  Harmless,  // numbered by address: every block kept was proven by its addresses
  Suspect,   // a reply may have been taken for the wrong block
};

// How reading a block ended: None, or why the run must stop before its end.
enum class LoggerStop {
  None,
  UserStopped,         // Ctrl-C or another stop request
  LinkLost,            // nothing but failures for LinkLostAfterMs
  RepliesNeverFit,     // BadBlocksInARowLimit blocks in a row stayed bad
  NoSoundReplyInTime,  // replies stayed bad for NoSoundReplyLimitMs
};

enum class LoggerEvent {
  Reread,       // the block is asked for again; attempt is the number of the new try
  ReadError,    // the first failed read of a streak
  Waiting,      // nothing has come for WaitNoticeMs since the command
  ForeignData,  // bytes came for WaitNoticeMs since the command, but no record line
  NoAddresses,  // the logger's addresses are not the memory's: placement goes unchecked
};

typedef void (*LoggerReport)(void* context, LoggerEvent event, uint32_t address, int attempt);

// The logger layer's state for one run, owned by the caller: only the logger
// layer changes it. The caller reads block after LoggerReadBlock.
struct LoggerSession {
  SerialLink* link;
  const std::atomic<bool>* stopFlag;  // set when the user asks to stop; may be null
  LoggerReport report;                // may be null
  void* context;
  char command[CommandBufferSize];
  char line[LineBufferSize];  // the line being read
  long long failingSinceMs;   // first of the failures since the link last worked, or -1
  bool readFailing;           // the last read failed
  LoggerNumbering numbering;
  int badInARow;         // blocks in a row that stayed bad
  long long badSinceMs;  // the first bad reply since the last sound one, or -1
  LoggerBlock block;     // the block last read, or the try being read
};

// Starts session for a run on the open link (the caller keeps the link),
// with the numbering known beforehand (from the blocks of an interrupted dump
// that the run goes on with), else LoggerNumbering::Unknown.
void LoggerStart(LoggerSession* session, SerialLink* link, const std::atomic<bool>* stopFlag,
                 LoggerReport report, void* context, LoggerNumbering numbering);

// Asks for the block at address until a sound reply has come or BlockTries are
// used up, and leaves session->block what to keep. Anything but None when the
// run must stop; session->block then holds what was received of the block, to
// be kept too.
LoggerStop LoggerReadBlock(LoggerSession* session, uint32_t address);

// How the end command went.
struct LoggerEnding {
  bool sent;
  LoggerExtraRecords extraRecords;
};

// Sends the end command "q\n\r" once. With checkQuiet (a run that read every
// block), then waits until the line has been free of record lines for
// QuietCheckMs: data records mean the logger answered a command that was
// never sent. Records that carry no data, such as an end-of-file record, are
// no sign of that.
LoggerEnding LoggerEnd(LoggerSession* session, bool checkQuiet);
