// The block check on any reply, under each numbering: a sound reply is its 16
// data records in order; by address (and while the numbering is unknown) a
// sound reply names its block, and records that name another block are never
// sound for this one; without addresses every reply whose records fit is
// sound. The input: the numbering, the block, whether the try before brought
// the same reply, then the reply's lines.
#include <cstring>
#include <memory>

#include "fuzz.h"

namespace {

constexpr int NumberingCount = 3;
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
  const bool twice = TakeByte(&in) & 1;
  // Heap blocks of their own size, so that the sanitizer sees any overrun.
  auto reply = std::make_unique<LoggerReply>();
  ReplyFromBytes(&in, reply.get());
  const LoggerJudgement judged = LoggerJudgeReply(reply.get(), address, numbering);
  const long named = NamedByAddresses(reply.get());
  const bool wellFormed = WellFormed(reply.get(), address);
  const bool addressed = numbering != LoggerNumbering::NoAddresses;

  if (judged.verdict == LoggerVerdict::Sound) {
    // Exactly the block's lines, and its 256 bytes are the data records' in order.
    FUZZ_CHECK(reply->count == RecordLinesOf(address));
    uint8_t expected[BlockSize];
    uint8_t image[BlockSize];
    FUZZ_CHECK(DataOfLines(reply.get(), expected));
    LoggerSoundImage(reply.get(), image);
    FUZZ_CHECK(std::memcmp(image, expected, BlockSize) == 0);
    if (addressed) FUZZ_CHECK(named == static_cast<long>(address));
  }
  // Records that fit are bad only for their addresses, and only where
  // addresses count; another block's are never sound there, and look like a
  // logger's without addresses only when they name block 00000 or none.
  FUZZ_CHECK((judged.verdict != LoggerVerdict::BadRecords) == wellFormed);
  if (!addressed && wellFormed) FUZZ_CHECK(judged.verdict == LoggerVerdict::Sound);
  if (addressed && named != NoBlock && named != static_cast<long>(address)) {
    FUZZ_CHECK(judged.verdict != LoggerVerdict::Sound);
    if (judged.verdict == LoggerVerdict::Unaddressed) FUZZ_CHECK(named == 0);
  }
  // Two tries alike show a logger without addresses only when they look like one.
  const LoggerJudgement before = twice ? judged : LoggerJudgement{LoggerVerdict::Sound, {}};
  FUZZ_CHECK(LoggerShowsNoAddresses(&before, &judged) ==
             (twice && judged.verdict == LoggerVerdict::Unaddressed));
  return 0;
}
