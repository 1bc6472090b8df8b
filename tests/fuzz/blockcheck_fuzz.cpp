// The block check on any reply, under each numbering: a sound reply is its 16
// data records in order; by address, a sound reply names its block; records
// that name another block by their addresses are never sound for this one.
// The input: the numbering, the block, whether the block before's reply was
// the same, then the reply's lines.
#include <cstring>
#include <memory>

#include "fuzz.h"

namespace {

constexpr int NumberingCount = 5;
constexpr long NoBlock = -1;

// The block the data records name by their addresses, read as Intel HEX
// places them: each record at the base of the last segment (times 16) or
// linear (times 64 KiB) address record before it (0 before any), plus its
// load address. NoBlock when they are not 16 records in a row from a block's
// start inside the memory.
long NamedByAddresses(const LoggerReply* reply) {
  long base = 0;
  long first = NoBlock;
  int data = 0;
  for (int i = 0; i < reply->count; ++i) {
    const Record* r = &reply->record[i];
    const long value = static_cast<long>(r->bytes[0]) << 8 | r->bytes[1];
    if (r->length == 2 && r->type == RecordTypeSegment) base = value << 4;
    if (r->length == 2 && r->type == RecordTypeLinear) base = value << 16;
    if (r->type != RecordTypeData) continue;
    const long at = base + r->load;
    if (data == 0) first = at;
    if (data >= DataRecordsPerBlock || at != first + data * RecordDataBytes) return NoBlock;
    ++data;
  }
  if (data != DataRecordsPerBlock || first % static_cast<long>(BlockSize) != 0 ||
      first >= static_cast<long>(ImageSize)) {
    return NoBlock;
  }
  return first;
}

// The data of the 16 data records, each decoded from its line on its own.
bool DataOfLines(const LoggerReply* reply, uint8_t* image) {
  int data = 0;
  for (int i = 0; i < reply->count; ++i) {
    uint8_t decoded[DecodeBufferSize];
    if (!RecordIsSound(reply->line[i])) return false;
    const int length = DecodeRecord(reply->line[i], decoded);
    if (reply->record[i].type != RecordTypeData) continue;
    if (length != RecordDataBytes || data == DataRecordsPerBlock) return false;
    std::memcpy(image + data++ * RecordDataBytes, decoded, RecordDataBytes);
  }
  return data == DataRecordsPerBlock;
}

// Whether the records are all well formed and as many as the block has lines,
// so that only their addresses can make them bad.
bool WellFormed(const LoggerReply* reply, uint32_t address) {
  if (reply->count != RecordLinesOf(address)) return false;
  int data = 0;
  for (int i = 0; i < reply->count; ++i) {
    if (!LoggerRecordFits(&reply->record[i])) return false;
    data += reply->record[i].type == RecordTypeData;
  }
  return data == DataRecordsPerBlock;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  const auto numbering = static_cast<LoggerNumbering>(TakeByte(&in) % NumberingCount);
  const uint32_t high = TakeByte(&in);
  const uint32_t address = ((high << 8 | TakeByte(&in)) % BlockCount) * BlockSize;
  const bool repeat = TakeByte(&in) & 1;
  // Heap blocks of their own size, so that the sanitizer sees any overrun.
  auto reply = std::make_unique<LoggerReply>();
  ReplyFromBytes(&in, reply.get());
  auto before = std::make_unique<LoggerReply>(*reply);
  const LoggerJudgement judged =
      LoggerJudgeReply(reply.get(), address, numbering, repeat ? before.get() : nullptr);
  const long named = NamedByAddresses(reply.get());
  FUZZ_CHECK(judged.copy == repeat);

  if (judged.verdict == LoggerVerdict::Sound) {
    // Exactly the block's lines, and its 256 bytes are the data records' in order.
    FUZZ_CHECK(reply->count == RecordLinesOf(address));
    uint8_t expected[BlockSize];
    uint8_t image[BlockSize];
    FUZZ_CHECK(DataOfLines(reply.get(), expected));
    LoggerSoundImage(reply.get(), image);
    FUZZ_CHECK(std::memcmp(image, expected, BlockSize) == 0);
    if (numbering == LoggerNumbering::ByAddress) FUZZ_CHECK(named == static_cast<long>(address));
  }
  // Another block's records: never sound, and said so once nothing else is
  // wrong with them. A logger that numbers every block from 0000 names the
  // first block of the 64 KiB asked for in each, so that block is no other.
  const long ownSegmentStart = static_cast<long>(address & ~(HighBlocksStart - 1));
  const bool perBlockPossible =
      numbering == LoggerNumbering::PerBlock || numbering == LoggerNumbering::Unknown;
  if (named != NoBlock && named != static_cast<long>(address) &&
      !(perBlockPossible && named == ownSegmentStart)) {
    FUZZ_CHECK(judged.verdict != LoggerVerdict::Sound);
    if (WellFormed(reply.get(), address)) FUZZ_CHECK(judged.verdict == LoggerVerdict::OtherBlock);
  }
  // Only a sound reply of its own teaches a numbering; a learned one stays.
  if (judged.verdict != LoggerVerdict::Sound || judged.copy ||
      numbering != LoggerNumbering::Unknown) {
    FUZZ_CHECK(judged.learned == numbering);
  }
  FUZZ_CHECK(judged.learned != LoggerNumbering::Off || numbering == LoggerNumbering::Off);
  if (numbering == LoggerNumbering::Unknown && judged.learned == LoggerNumbering::ByAddress) {
    FUZZ_CHECK(named == static_cast<long>(address));
  }
  return 0;
}
