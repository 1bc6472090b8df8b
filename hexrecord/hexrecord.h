// Intel HEX record lines: decoding and checking.
// No platform calls; every function works on a NUL-terminated line.
#pragma once

#include <cstddef>
#include <cstdint>

// The decoder never reads further into a line than this many characters,
// whether or not a terminator or NUL came before.
constexpr size_t RecordTextLimit = 256;
// Data bytes plus checksum of one record: room for a length field of 255.
constexpr size_t DecodeBufferSize = 260;

// Record types: data, and the extended segment address (data: the segment,
// address = segment * 16 + load address) and extended linear address (data:
// the upper 16 bits) that place the data records after them.
constexpr uint8_t RecordTypeData = 0x00;
constexpr uint8_t RecordTypeSegment = 0x02;
constexpr uint8_t RecordTypeLinear = 0x04;

// One record line with every field read from its text once.
struct Record {
  bool sound;      // as RecordIsSound judges the line
  uint8_t length;  // the length field
  uint16_t load;   // the load address
  uint8_t type;
  // The length field's bytes of data, then the checksum, as DecodeRecord
  // decodes them (for every record type); past them, nothing is set.
  uint8_t bytes[DecodeBufferSize];
};

// Value of one hex digit: '0'-'9', 'A'-'F' and 'a'-'f' give 0-15. Any other
// character gives code - 0x30 (or code - 0x37 from 'A' on), kept to 8 bits.
uint8_t HexDigitValue(char c);

// The byte written by the two characters at pos and pos + 1 of line. Characters
// past the end of the line (its terminator, NUL or RecordTextLimit) count as '0'.
uint8_t HexByte(const char* line, size_t pos);

// Decodes a record line that begins with ':'. For a data record it stores the
// L data bytes and the checksum byte in decodeBuffer[0..L] and returns L; for
// any other record type it returns 0 and leaves decodeBuffer unchanged.
// Nothing is validated here (see RecordIsSound).
int DecodeRecord(const char* line, uint8_t* decodeBuffer);

// Reads every field of a line that begins with ':' into *record, measuring
// the line once. Nothing past the line (its terminator, NUL or
// RecordTextLimit) is read.
void ParseRecord(const char* line, Record* record);

// True when the line is a well-formed record: ':' then only hex digits up to
// the CR/LF, exactly as many as its length field says, and a matching checksum.
bool RecordIsSound(const char* line);
