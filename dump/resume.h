// Reading back what an earlier run stored, so that an interrupted dump can go
// on from its first block that is missing or bad, and choosing the blocks that
// are read again from the logger to show that it still holds them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "logger/blockcheck.h"

// Blocks read again from the logger before a resume: at most this many, with
// at most this many record lines in all (at 19200 baud, under 4 s of replies).
constexpr int WitnessLimit = 8;
constexpr int WitnessRecordLines = 192;

// The blocks of an earlier dump that can be kept.
struct StoredDump {
  uint32_t blocks;            // sound blocks from 00000 on, alike in both files
  long long hexBytes;         // the length of logger.hex up to the end of those blocks
  LoggerNumbering numbering;  // learned from them, as the run that read them did
  bool moreAfter;             // either file holds more than those blocks
  bool erased[BlockCount];    // of those blocks: every byte ImageFiller (erased memory)
};

// Reads logger.hex (the entries as this program stores them) and logger.bin
// from their starts, block by block, with the live run's block check: a block
// is kept while its lines are sound, numbered as the blocks before, and
// logger.bin holds its bytes. Lines a logger without addresses sent end the
// reading with that numbering. reply is room for one block's lines.
void ReadStoredDump(FILE* hex, FILE* bin, LoggerReply* reply, StoredDump* dump);

// Reads the block at address from logger.bin into image; false when it cannot.
bool ReadStoredBlock(FILE* bin, uint32_t address, uint8_t* image);

// Whether the stored lines can show where their blocks belong: only the
// addresses of a logger that numbers its records by address (or block 00000
// alone) can.
bool StoredPlacesProvable(const StoredDump* dump);

// The blocks of dump to read again from the logger, ascending, into
// witnesses (WitnessLimit places); returns their count. Block 00000, the last
// kept block, the last kept block that holds data and the erased one after it
// come first, then blocks spread over the kept range, those holding data
// preferred, as far as WitnessLimit and WitnessRecordLines allow.
int ChooseWitnesses(const StoredDump* dump, uint32_t* witnesses);
