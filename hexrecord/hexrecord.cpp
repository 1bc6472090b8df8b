#include "hexrecord.h"

#include <cstring>

namespace {

// Length of the record text: up to its CR, LF or NUL, never past the buffer.
size_t RecordTextLength(const char* line) {
  size_t n = 0;
  while (n < RecordTextLimit && line[n] != '\0' && line[n] != '\r' && line[n] != '\n') ++n;
  return n;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// HexByte with the record text length already known.
uint8_t HexByteWithin(const char* line, size_t length, size_t pos) {
  const char high = pos < length ? line[pos] : '0';
  const char low = pos + 1 < length ? line[pos + 1] : '0';
  return static_cast<uint8_t>(HexDigitValue(high) * 16 + HexDigitValue(low));
}

}  // namespace

uint8_t HexDigitValue(char c) {
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  const uint8_t code = static_cast<uint8_t>(c);
  return static_cast<uint8_t>(code >= 'A' ? code - 0x37 : code - 0x30);
}

uint8_t HexByte(const char* line, size_t pos) {
  return HexByteWithin(line, RecordTextLength(line), pos);
}

namespace {

// RecordIsSound with the record text length already known.
bool SoundWithin(const char* line, size_t length) {
  if (length < 11 || line[0] != ':' || length % 2 == 0) return false;
  for (size_t i = 1; i < length; ++i) {
    if (!IsHexDigit(line[i])) return false;
  }
  const size_t dataBytes = HexByteWithin(line, length, 1);
  if (length != 11 + 2 * dataBytes) return false;
  // The bytes of length, address, type, data and checksum sum to 0 modulo 256.
  uint8_t sum = 0;
  for (size_t pos = 1; pos < length; pos += 2) {
    sum = static_cast<uint8_t>(sum + HexByteWithin(line, length, pos));
  }
  return sum == 0;
}

}  // namespace

bool RecordIsSound(const char* line) {
  return SoundWithin(line, RecordTextLength(line));
}

void ParseRecord(const char* line, Record* record) {
  const size_t length = RecordTextLength(line);
  record->sound = SoundWithin(line, length);
  record->length = HexByteWithin(line, length, 1);
  record->load =
      static_cast<uint16_t>(HexByteWithin(line, length, 3) << 8 | HexByteWithin(line, length, 5));
  record->type = HexByteWithin(line, length, 7);
  for (size_t i = 0; i <= record->length; ++i) {
    record->bytes[i] = HexByteWithin(line, length, 9 + 2 * i);
  }
}

int DecodeRecord(const char* line, uint8_t* decodeBuffer) {
  Record record;
  ParseRecord(line, &record);
  if (record.type != RecordTypeData) return 0;
  // L data bytes, then the checksum byte at index L.
  std::memcpy(decodeBuffer, record.bytes, static_cast<size_t>(record.length) + 1);
  return record.length;
}
