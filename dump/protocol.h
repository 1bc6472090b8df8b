// What the logger and this program agree on: the memory, its blocks and the
// record lines of a block's reply. Shared by loggerdump and loggersim.
#pragma once

#include <cstdint>

#include "hexrecord/hexrecord.h"

// Bytes asked for by one "dihex" command; the block address advances by this much.
constexpr uint32_t BlockSize = 0x100;
// The logger's whole memory: what a complete run yields in logger.bin.
constexpr uint32_t ImageSize = 0x40000;
// The block loop runs while the address is below this bound: last block 0x3FF00.
constexpr uint32_t BlockAddressBound = 0x3FFFF;
// Record lines the logger sends per block below and from HighBlocksStart on:
// from there each data record comes after an extended segment address record.
constexpr uint32_t HighBlocksStart = 0x10000;
constexpr int RecordLinesLow = 16;
constexpr int RecordLinesHigh = 32;
constexpr int MaxBlockLines = RecordLinesHigh;
// Data records of a sound block, RecordDataBytes each.
constexpr int DataRecordsPerBlock = static_cast<int>(BlockSize) / RecordDataBytes;
constexpr uint8_t RecordTypeSegment = 0x02;

// Record lines the logger sends for the block at address.
inline int RecordLinesOf(uint32_t address) {
  return address < HighBlocksStart ? RecordLinesLow : RecordLinesHigh;
}
