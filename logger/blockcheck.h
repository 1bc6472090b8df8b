// The block check: a reply's record lines judged against the block asked for
// and the logger's numbering, and the block's image built from them. Plain
// functions on buffers: no link, no clock, no file. Each line is parsed once
// (as it arrives, or by LoggerParseReply for lines read back); every step
// after it reads the parsed fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hexrecord/hexrecord.h"
#include "logger/protocol.h"

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

// What the load addresses of the logger's data records are.
enum class LoggerNumbering {
  Unknown,      // not yet learned: block 00000 is numbered alike either way
  ByAddress,    // the low 16 bits of the memory address, segment records to match
  NoAddresses,  // not the memory's: the replies are read in arrival order
};

// How a reply to the block at address stands. Its records fit when it has the
// block's count of record lines, every one sound, and 16 data records of 16
// bytes. By address (and while the numbering is unknown) they must also name
// the block asked for: the data records numbered from the block's low 16
// bits, placed by a segment or linear address record naming its 64 KiB from
// 0x10000 on. Records that fit but name another block are of two sorts: those
// a logger without memory addresses sends (numbered as block 00000, or naming
// no block with most load addresses out of step), and the rest.
enum class LoggerVerdict { Sound, BadRecords, OtherBlock, Unaddressed };

// A reply judged: its verdict, and the load addresses of its 16 data records
// (all 0 unless the records fit).
struct LoggerJudgement {
  LoggerVerdict verdict;
  uint16_t loads[DataRecordsPerBlock];
};

// Judges the parsed reply to the block at address under the numbering known.
LoggerJudgement LoggerJudgeReply(const LoggerReply* reply, uint32_t address,
                                 LoggerNumbering numbering);

// The numbering known after a sound reply to the block at address: a block
// other than 00000 named by its addresses shows numbering by address.
LoggerNumbering LoggerLearned(uint32_t address, LoggerNumbering numbering);

// Whether two tries at one block, both Unaddressed with the same load
// addresses, show a logger without memory addresses: a fault of a logger
// numbered by address (a reply sent twice or late, another block's reply, a
// record twice and one lost) does not bring the same wrong numbers again
// after the line has fallen quiet.
bool LoggerShowsNoAddresses(const LoggerJudgement* before, const LoggerJudgement* now);

// Whether a parsed record is one the logger sends: sound, and a data record
// with RecordDataBytes of data.
bool LoggerRecordFits(const Record* record);

// The BlockSize bytes of a sound reply: its 16 data records in order.
void LoggerSoundImage(const LoggerReply* reply, uint8_t* image);

// The BlockSize bytes of a bad reply to the block at address: every data
// record that fits and whose address places it in the block, ImageFiller
// elsewhere. Only an address places a record, so nothing is placed for a
// logger without addresses; while the numbering is unknown, only a load
// address that no other data record of the reply shares (a logger with one
// address throughout places none).
void LoggerPlacedImage(const LoggerReply* reply, uint32_t address, LoggerNumbering numbering,
                       uint8_t* image);

// The bytes of a block cut short by a stop: 16 for each data record received,
// in order, as far as the block goes, decoded as DecodeRecord leaves them in
// a buffer kept from record to record. Returns their count.
size_t LoggerCutImage(const LoggerReply* reply, uint8_t* image);
