#include "reply.h"

#include <cstring>

#include "hexrecord/hexrecord.h"

namespace {

// Room for one record's text: ':', 255 bytes of data as digits and the fields around them.
constexpr size_t RecordTextSize = 1 + 2 * (4 + 255 + 1) + 1;
// Most that one record line of a reply can take, noise included.
constexpr size_t RecordRoom = 128;
// Lines that are no records: none begins with ':'.
const char* const NoiseLines[] = {"\n", "?\r\n", "dihex echo\r\n", " :1000000000\r\n"};
constexpr size_t NoiseLineCount = sizeof NoiseLines / sizeof NoiseLines[0];

// Writes the text of one record (no line end) and returns its length.
size_t FormatRecord(char* out, uint8_t length, uint16_t address, uint8_t type, const uint8_t* data,
                    bool lowercase) {
  const char* digits = lowercase ? "0123456789abcdef" : "0123456789ABCDEF";
  uint8_t sum = static_cast<uint8_t>(length + (address >> 8) + (address & 0xFF) + type);
  size_t n = 0;
  out[n++] = ':';
  auto put = [&](uint8_t byte) {
    out[n++] = digits[byte >> 4];
    out[n++] = digits[byte & 0x0F];
  };
  put(length);
  put(static_cast<uint8_t>(address >> 8));
  put(static_cast<uint8_t>(address & 0xFF));
  put(type);
  for (uint8_t i = 0; i < length; ++i) {
    put(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  put(static_cast<uint8_t>(-sum));
  return n;
}

// A reply being written: its plan, where it goes and how far it has come.
struct Reply {
  const SimReplyText* text;
  const uint8_t* image;
  char* out;
  size_t n;      // bytes so far
  size_t lines;  // lines so far
};

// Appends a record's text as a line ended by CR LF (LF alone with lfOnly;
// none when lineEnd is false); with noise, a line that is no record goes
// before it and NUL bytes go inside it.
void AppendLine(Reply* r, const char* record, size_t length, bool lineEnd = true) {
  const SimReplyText* text = r->text;
  char* out = r->out + r->n;
  size_t n = 0;
  if (text->noise) {
    const char* noise = NoiseLines[r->lines % NoiseLineCount];
    const size_t noiseLength = std::strlen(noise);
    std::memcpy(out, noise, noiseLength);
    n += noiseLength;
  }
  for (size_t i = 0; i < length; ++i) {
    if (text->noise && (i == 1 || i == length / 2)) out[n++] = '\0';
    out[n++] = record[i];
  }
  if (text->noise) out[n++] = '\0';
  if (lineEnd) {
    if (!text->lfOnly) out[n++] = '\r';
    out[n++] = '\n';
  }
  r->n += n;
  ++r->lines;
}

// The record before the data record of memory address from, in a block from
// HighBlocksStart on: an extended segment address record that places it, or
// one of placelessType that places nothing.
void AppendPlacing(Reply* r, uint32_t from) {
  const SimReplyText* text = r->text;
  char record[RecordTextSize];
  size_t length = 0;
  if (text->placeless) {
    const uint8_t start[4] = {};
    const bool endOfFile = text->placelessType == 0x01;
    length = FormatRecord(record, endOfFile ? 0 : sizeof start, 0, text->placelessType, start,
                          text->lowercase);
  } else {
    const uint16_t segment = text->noAddresses ? 0 : SegmentOf(from);
    const uint8_t segmentBytes[2] = {static_cast<uint8_t>(segment >> 8),
                                     static_cast<uint8_t>(segment & 0xFF)};
    length = FormatRecord(record, 2, 0, RecordTypeSegment, segmentBytes, text->lowercase);
  }
  AppendLine(r, record, length);
}

// The data record for the block's bytes at, holding recordBytes of memory
// from address from, as its plan says.
void AppendData(Reply* r, const SimRecordPlan* plan, uint32_t at, uint32_t from) {
  const SimReplyText* text = r->text;
  char record[RecordTextSize];
  uint8_t data[SimWideRecordBytes];
  for (uint8_t i = 0; i < text->recordBytes; ++i) data[i] = r->image[(from + i) % ImageSize];
  // The load address: the memory address's low 16 bits, or the record's
  // place in its block.
  const uint16_t load = static_cast<uint16_t>(text->noAddresses ? at % BlockSize : at & 0xFFFF);
  size_t length =
      FormatRecord(record, text->recordBytes, load, RecordTypeData, data, text->lowercase);
  if (plan->left) return;
  if (plan->spoil != SimCorruption::None) {
    length = SimSpoilRecord(record, length, plan->spoil, text->asked);
  }
  for (int copy = 0; copy < plan->copies; ++copy) AppendLine(r, record, length, plan->lineEnd);
}

}  // namespace

size_t SimWriteReply(const uint8_t* image, const SimReplyText* text, char* out, size_t outSize) {
  const uint32_t address = text->address;
  Reply r = {text, image, out, 0, 0};
  if (text->longLine && SimLongLineLength + 2 <= outSize) {
    std::memset(out, 'x', SimLongLineLength);
    r.n = SimLongLineLength;
    out[r.n++] = '\r';
    out[r.n++] = '\n';
  }
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (r.n + 3 * RecordRoom > outSize) break;
    const uint32_t at = address + static_cast<uint32_t>(i * RecordDataBytes);
    const uint32_t from = address >= HighBlocksStart ? at - text->shift : at;
    if (address >= HighBlocksStart) AppendPlacing(&r, from);
    AppendData(&r, &text->record[i], at, from);
  }
  if (text->surplus && r.n + RecordRoom <= outSize) {
    // One line more than asked for: an end-of-file record.
    char record[RecordTextSize];
    const size_t length = FormatRecord(record, 0, 0, 0x01, nullptr, text->lowercase);
    AppendLine(&r, record, length);
  }
  return r.n;
}

size_t SimBuildReply(const SimConfig* config, uint32_t address, char* out, size_t outSize,
                     unsigned asked) {
  SimReplyPlan plan;
  SimPlanReply(&config->faults, address, asked, &plan);
  return SimWriteReply(config->image, &plan.text, out, outSize);
}
