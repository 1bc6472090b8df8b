// The block check: a reply's record lines judged against the block asked for
// and the logger's numbering, the numbering learned from sound replies, and
// the block's image built from them. Plain functions on buffers: no link, no
// clock, no file. Each line is parsed once (as it arrives, or by
// LoggerParseReply for lines read back); every step after it reads the
// parsed fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hexrecord/hexrecord.h"
#include "logger/protocol.h"
#include "serial/serial.h"

static_assert(LineBufferSize <= RecordTextLimit + 1, "the decoder must see a whole line");

// What logger.bin holds where a bad block's reply brought no sound data.
constexpr uint8_t ImageFiller = 0xFF;

// The record lines of one reply, each as received (with its CR or LF) and
// NUL-terminated, and each parsed.
struct LoggerReply {
  int count;
  int length[MaxBlockLines];
  char line[MaxBlockLines][LineBufferSize];
  Record record[MaxBlockLines];
};

// Parses every line of reply into its record.
void LoggerParseReply(LoggerReply* reply);

// How the logger numbers the load addresses of its data records.
enum class LoggerNumbering {
  Unknown,    // not yet learned (blocks 0000 and 10000 fit either of the next two)
  ByAddress,  // the low 16 bits of the memory address, segment records to match
  PerBlock,   // 0000, 0010, ... 00F0 in every block
  Constant,   // one address throughout: the addresses tell nothing
  Off,        // a numbering of the logger's own, which names no block: not checked
};

// How a reply to the block at address stands against the block check: its
// record lines sound, 16 data records, the load addresses (and segment or
// linear address records) numbered as learned; while the numbering is being
// learned, as one of the numberings a logger may have. Records that name
// another block by their addresses are that block's, whatever the numbering
// (a per-block numbering names block 0000 of its 64 KiB, and is no other
// block's while that numbering is possible).
enum class LoggerVerdict { Sound, BadRecords, WrongNumbers, OtherBlock };

// A reply judged: its verdict, the load addresses of its 16 data records (all
// 0 unless the records are sound), whether it repeats the block before's
// lines, and the numbering known after it (a sound reply teaches it where it
// tells; a repeat of the block before teaches nothing).
struct LoggerJudgement {
  LoggerVerdict verdict;
  uint16_t loads[DataRecordsPerBlock];
  bool copy;
  LoggerNumbering learned;
};

// Judges the parsed reply to the block at address under the numbering known;
// before is the block before's reply, or null.
LoggerJudgement LoggerJudgeReply(const LoggerReply* reply, uint32_t address,
                                 LoggerNumbering numbering, const LoggerReply* before);

// Whether the first count lines of two replies are the same.
bool LoggerSameLines(const LoggerReply* a, const LoggerReply* b, int count);

// Whether a parsed record is one the logger sends: sound, and a data record
// with RecordDataBytes of data.
bool LoggerRecordFits(const Record* record);

// The BlockSize bytes of a sound reply: its 16 data records in order.
void LoggerSoundImage(const LoggerReply* reply, uint8_t* image);

// The BlockSize bytes of a bad reply to the block at address: every data
// record that fits and whose address places it in the block, ImageFiller
// elsewhere. Only an address places a record: by address, or within the block
// where every block is numbered from 0000; while the numbering is unknown,
// where both agree and no other record with other bytes has the same address
// (a logger that gives every record one address places none).
void LoggerPlacedImage(const LoggerReply* reply, uint32_t address, LoggerNumbering numbering,
                       uint8_t* image);

// The bytes of a block cut short by a stop: 16 for each data record received,
// in order, as far as the block goes, decoded as DecodeRecord leaves them in
// a buffer kept from record to record. Returns their count.
size_t LoggerCutImage(const LoggerReply* reply, uint8_t* image);
