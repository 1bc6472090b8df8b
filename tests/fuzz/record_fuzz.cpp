// The record parser on any line: a line judged sound is exactly the record
// its fields re-encode to, and nothing past the line is read (the line sits
// at the end of a heap block of its own size, where the sanitizer sees any
// read past it).
#include <cctype>
#include <cstring>
#include <vector>

#include "fuzz.h"
#include "hexrecord/hexrecord.h"

namespace {

void AppendHex(std::vector<char>* text, uint8_t byte) {
  static const char digits[] = "0123456789ABCDEF";
  text->push_back(digits[byte >> 4]);
  text->push_back(digits[byte & 0x0F]);
}

// The text of a record from its fields, in uppercase.
std::vector<char> Encode(const Record* r) {
  std::vector<char> text = {':'};
  AppendHex(&text, r->length);
  AppendHex(&text, static_cast<uint8_t>(r->load >> 8));
  AppendHex(&text, static_cast<uint8_t>(r->load & 0xFF));
  AppendHex(&text, r->type);
  for (size_t i = 0; i <= r->length; ++i) AppendHex(&text, r->bytes[i]);
  return text;
}

// The line as the parser may see it: up to and with its first CR or LF, else
// at most RecordTextLimit characters, NUL-terminated only when shorter.
std::vector<char> LineOf(const uint8_t* data, size_t size) {
  size_t n = 0;
  while (n < size && n < RecordTextLimit && data[n] != '\r' && data[n] != '\n') ++n;
  const bool ended = n < size && n < RecordTextLimit;  // by its CR or LF
  std::vector<char> line(data, data + n + (ended ? 1 : 0));
  if (!ended && n < RecordTextLimit) line.push_back('\0');
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> copy = LineOf(data, size);
  // A heap block of exactly the line's size.
  char* line = new char[copy.size()];
  std::memcpy(line, copy.data(), copy.size());
  Record record;
  ParseRecord(line, &record);
  FUZZ_CHECK(record.sound == RecordIsSound(line));
  uint8_t decoded[DecodeBufferSize];
  const int decodedLength = DecodeRecord(line, decoded);
  FUZZ_CHECK(decodedLength == (record.type == RecordTypeData ? record.length : 0));
  FUZZ_CHECK(std::memcmp(decoded, record.bytes, static_cast<size_t>(decodedLength)) == 0);
  if (record.sound) {
    // The text up to the line end is the re-encoded record, digit for digit
    // whatever their case, and its bytes sum to 0 modulo 256.
    const std::vector<char> text = Encode(&record);
    size_t textLength = 0;
    while (textLength < copy.size() && copy[textLength] != '\r' && copy[textLength] != '\n' &&
           copy[textLength] != '\0') {
      ++textLength;
    }
    FUZZ_CHECK(textLength == text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      FUZZ_CHECK(std::toupper(static_cast<unsigned char>(line[i])) == text[i]);
    }
    unsigned sum = record.length + (record.load >> 8) + (record.load & 0xFF) + record.type;
    for (size_t i = 0; i <= record.length; ++i) sum += record.bytes[i];
    FUZZ_CHECK(sum % 256 == 0);
  }
  delete[] line;
  return 0;
}
