// Reading back what an earlier run stored, so that an interrupted dump can go
// on from its first block that is missing or bad.
#pragma once

#include <cstdint>
#include <cstdio>

#include "dump/logger.h"

// The blocks of an earlier dump that can be kept.
struct StoredDump {
  uint32_t blocks;           // sound blocks from 00000 on, alike in both files
  long long hexBytes;        // the length of logger.hex up to the end of those blocks
  Numbering numbering;       // learned from them, as the run that read them did
  uint8_t first[BlockSize];  // block 00000 as stored
  uint8_t last[BlockSize];   // the last of the blocks, as stored
};

// Reads logger.hex (the entries as this program stores them) and logger.bin
// from their starts, block by block, with the live run's block check: a block
// is kept while its lines are sound, numbered as the blocks before, and
// logger.bin holds its bytes. reply is room for one block's lines.
void ReadStoredDump(FILE* hex, FILE* bin, BlockReply* reply, StoredDump* dump);
