// What a logger session holds: for the logger layer's own files only.
#pragma once

#include "logger/logger.h"

struct LoggerSession {
  bool taken;  // handed out by LoggerStart and not yet given back
  SerialLink* link;
  const std::atomic<bool>* stopFlag;  // set when the user asks to stop; may be null
  LoggerReport report;                // may be null
  void* context;
  char command[CommandBufferSize];
  char line[LineBufferSize];  // lines that belong to no reply
  long long failingSinceMs;   // first of the failures since the link last worked, or -1
  bool readFailing;           // the last read failed
  LoggerNumbering numbering;
  LoggerStop stop;
  int badInARow;                    // blocks in a row that stayed bad
  long long badSinceMs;             // the first bad reply since the last sound one, or -1
  LoggerExtraRecords extraRecords;  // what came after the end command
  bool haveBlock;                   // blocks[kept] holds the last block handed back
  int kept;
  LoggerBlock blocks[2];  // the try being read, and the last try or block kept
  // Blocks taken from a quiet repeat of the block before while the numbering
  // was unknown: judged again once it is learned.
  bool takenFromCopy[BlockCount];
};
