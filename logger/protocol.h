// What the logger and this program agree on: the commands, the memory, its
// blocks and the record lines of a block's reply. Shared by loggerdump and
// loggersim.
#pragma once

#include <cstddef>
#include <cstdint>

// Asks for the BlockSize bytes from an address: the word, one blank, the
// address as five lowercase hex digits, CR LF.
constexpr char BlockCommandWord[] = "dihex ";
constexpr char BlockCommandFormat[] = "dihex %5.5x\r\n";
// A line end alone: it ends whatever part of a command went out before it,
// and the logger ignores the line that makes.
constexpr char CommandLineEnd[] = "\r\n";
// Ends the exchange: 'q', LF, CR.
constexpr char EndCommand[] = "q\n\r";
// Room for one command and its NUL.
constexpr size_t CommandBufferSize = 32;
// Room for one line from the logger as received (its CR or LF included) and
// its NUL, and for the user's line at the prompt.
constexpr size_t LineBufferSize = 256;

// Bytes asked for by one "dihex" command; the block address advances by this much.
constexpr uint32_t BlockSize = 0x100;
// The logger's whole memory: what a complete run yields in logger.bin.
constexpr uint32_t ImageSize = 0x40000;
constexpr uint32_t BlockCount = ImageSize / BlockSize;
// The block loop runs while the address is below this bound: last block 0x3FF00.
constexpr uint32_t BlockAddressBound = 0x3FFFF;
// Record lines the logger sends per block below and from HighBlocksStart on:
// from there each data record comes after an extended segment address record.
constexpr uint32_t HighBlocksStart = 0x10000;
constexpr int RecordLinesLow = 16;
constexpr int RecordLinesHigh = 32;
constexpr int MaxBlockLines = RecordLinesHigh;
// Data bytes the logger puts in each data record.
constexpr int RecordDataBytes = 16;
// Data records of a sound block, RecordDataBytes each.
constexpr int DataRecordsPerBlock = static_cast<int>(BlockSize) / RecordDataBytes;

// Record lines the logger sends for the block at address.
inline int RecordLinesOf(uint32_t address) {
  return address < HighBlocksStart ? RecordLinesLow : RecordLinesHigh;
}

// The segment and the upper 16 bits that place the memory address in records.
inline uint16_t SegmentOf(uint32_t address) {
  return static_cast<uint16_t>((address >> 4) & 0xF000);
}
inline uint16_t UpperOf(uint32_t address) {
  return static_cast<uint16_t>(address >> 16);
}
