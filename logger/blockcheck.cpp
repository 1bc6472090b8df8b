#include "blockcheck.h"

#include <cstring>

namespace {

// No block: records that name none by their addresses.
constexpr long NoBlock = -1;
// The memory one segment or linear address record places: 64 KiB.
constexpr uint32_t AddressSpan = 0x10000;

bool PlacesData(const Record* r) {
  return r->type == RecordTypeSegment || r->type == RecordTypeLinear;
}

// Where a sound segment or linear address record places the data records
// after it (the segment times 16, the upper 16 bits times 64 KiB), or NoBlock
// when it carries no 2-byte address.
long BaseOf(const Record* r) {
  if (r->length != 2) return NoBlock;
  const long value = static_cast<long>(r->bytes[0]) << 8 | r->bytes[1];
  return r->type == RecordTypeLinear ? value << 16 : value << 4;
}

// True when the 16 data records carry the load addresses first + 0x10 * i.
bool NumberedFrom(const uint16_t* loads, uint16_t first) {
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != static_cast<uint16_t>(first + i * RecordDataBytes)) return false;
  }
  return true;
}

// The block that loads placed at base name, or NoBlock. Load addresses wrap
// within their 64 KiB, so records that run past its end name no block.
long NamedBlock(const uint16_t* loads, long base) {
  constexpr long lastFirstLoad = 0xFFFF - (DataRecordsPerBlock - 1) * RecordDataBytes;
  const long block = base + loads[0];
  if (base == NoBlock || loads[0] > lastFirstLoad || block % BlockSize != 0 ||
      !NumberedFrom(loads, loads[0])) {
    return NoBlock;
  }
  return block < static_cast<long>(ImageSize) ? block : NoBlock;
}

// The addresses that a sound reply gives its records.
struct Addresses {
  uint16_t loads[DataRecordsPerBlock];  // of the data records, in order
  // The block the records name by address: every data record placed by one
  // 64 KiB (named by a segment or linear address record before it, or the
  // first 64 KiB where none is), their load addresses that block's. NoBlock
  // when they name none.
  long named;
};

// Collects the addresses of the records; false when the reply is no sound
// block of 16 data records.
bool ReadAddresses(const LoggerReply* reply, Addresses* a) {
  int data = 0;
  long base = 0;  // where data records go before any address record
  long firstBase = NoBlock;
  long dataBase = NoBlock;
  bool oneBase = true;  // every address record and every data record agree on it
  for (int i = 0; i < reply->count; ++i) {
    const Record* r = &reply->record[i];
    if (!LoggerRecordFits(r)) return false;
    if (PlacesData(r)) {
      base = BaseOf(r);
      if (firstBase == NoBlock) firstBase = base;
      oneBase = oneBase && base == firstBase && base != NoBlock;
      continue;
    }
    if (r->type != RecordTypeData) continue;
    if (data == DataRecordsPerBlock) return false;
    if (data == 0) dataBase = base;
    oneBase = oneBase && base == dataBase;
    a->loads[data++] = r->load;
  }
  if (data != DataRecordsPerBlock) return false;
  const bool placed = oneBase && (firstBase == NoBlock || firstBase == dataBase);
  a->named = placed ? NamedBlock(a->loads, dataBase) : NoBlock;
  return true;
}

bool AllEqual(const uint16_t* loads) {
  for (int i = 1; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != loads[0]) return false;
  }
  return true;
}

bool FitsByAddress(const Addresses* a, uint32_t address) {
  return a->named == static_cast<long>(address);
}

// Numbered from 0000 in every block, and placed in the 64 KiB of the block
// asked for: there they name its first block, as every block of it does.
bool FitsPerBlock(const Addresses* a, uint32_t address) {
  return NumberedFrom(a->loads, 0) && a->named == static_cast<long>(address & ~(AddressSpan - 1));
}

LoggerVerdict VerdictOf(const Addresses* a, uint32_t address, LoggerNumbering numbering) {
  bool fits = true;
  switch (numbering) {
    case LoggerNumbering::Unknown:
      fits = FitsByAddress(a, address) || FitsPerBlock(a, address) || AllEqual(a->loads);
      break;
    case LoggerNumbering::ByAddress:
      fits = FitsByAddress(a, address);
      break;
    case LoggerNumbering::PerBlock:
      fits = FitsPerBlock(a, address);
      break;
    case LoggerNumbering::Constant:
      fits = AllEqual(a->loads);
      break;
    case LoggerNumbering::Off:
      fits = a->named == NoBlock || FitsByAddress(a, address);
      break;
  }
  if (fits) return LoggerVerdict::Sound;
  return a->named == NoBlock ? LoggerVerdict::WrongNumbers : LoggerVerdict::OtherBlock;
}

// A numbering is learned where the replies can tell it: one address
// throughout at once, the other two at a block where they differ.
LoggerNumbering Learned(const Addresses* a, uint32_t address, LoggerNumbering numbering) {
  if (numbering != LoggerNumbering::Unknown) return numbering;
  if (AllEqual(a->loads)) return LoggerNumbering::Constant;
  const bool byAddress = FitsByAddress(a, address);
  const bool perBlock = FitsPerBlock(a, address);
  if (byAddress && !perBlock) return LoggerNumbering::ByAddress;
  if (perBlock && !byAddress) return LoggerNumbering::PerBlock;
  return LoggerNumbering::Unknown;
}

// Where a data record with this load address, placed by base, belongs in the
// block at address; -1 when its address does not place it there.
int OffsetOf(uint16_t load, long base, uint32_t address, LoggerNumbering numbering) {
  const long byAddress = base == NoBlock ? -1 : base + load - static_cast<long>(address);
  long offset = -1;
  switch (numbering) {
    case LoggerNumbering::ByAddress:
      offset = byAddress;
      break;
    case LoggerNumbering::PerBlock:
      offset = base == static_cast<long>(address & ~(AddressSpan - 1)) ? load : -1;
      break;
    case LoggerNumbering::Unknown:
      offset = byAddress == load ? byAddress : -1;
      break;
    case LoggerNumbering::Constant:
    case LoggerNumbering::Off:
      break;
  }
  if (offset < 0 || offset % RecordDataBytes != 0 ||
      offset + RecordDataBytes > static_cast<long>(BlockSize)) {
    return -1;
  }
  return static_cast<int>(offset);
}

// Whether another data record of the reply that fits carries the same load
// address with other bytes: a logger may give every record one address, and
// while the numbering is unknown that address then places none of them.
bool LoadShared(const LoggerReply* reply, int index) {
  const Record* r = &reply->record[index];
  for (int i = 0; i < reply->count; ++i) {
    const Record* other = &reply->record[i];
    if (i == index || other->type != RecordTypeData || !LoggerRecordFits(other)) continue;
    if (other->load == r->load && std::memcmp(other->bytes, r->bytes, RecordDataBytes) != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

void LoggerParseReply(LoggerReply* reply) {
  for (int i = 0; i < reply->count; ++i) ParseRecord(reply->line[i], &reply->record[i]);
}

bool LoggerRecordFits(const Record* record) {
  return record->sound && (record->type != RecordTypeData || record->length == RecordDataBytes);
}

LoggerJudgement LoggerJudgeReply(const LoggerReply* reply, uint32_t address,
                                 LoggerNumbering numbering, const LoggerReply* before) {
  LoggerJudgement judged = {LoggerVerdict::BadRecords, {}, false, numbering};
  judged.copy = before != nullptr && before->count == reply->count &&
                LoggerSameLines(before, reply, reply->count);
  Addresses a;
  if (reply->count != RecordLinesOf(address) || !ReadAddresses(reply, &a)) return judged;
  std::memcpy(judged.loads, a.loads, sizeof judged.loads);
  judged.verdict = VerdictOf(&a, address, numbering);
  if (judged.verdict == LoggerVerdict::Sound && !judged.copy) {
    judged.learned = Learned(&a, address, numbering);
  }
  return judged;
}

bool LoggerSameLines(const LoggerReply* a, const LoggerReply* b, int count) {
  for (int i = 0; i < count; ++i) {
    if (a->length[i] != b->length[i] ||
        std::memcmp(a->line[i], b->line[i], static_cast<size_t>(a->length[i])) != 0) {
      return false;
    }
  }
  return true;
}

void LoggerSoundImage(const LoggerReply* reply, uint8_t* image) {
  int index = 0;
  for (int i = 0; i < reply->count && index < DataRecordsPerBlock; ++i) {
    if (reply->record[i].type != RecordTypeData) continue;
    std::memcpy(image + index++ * RecordDataBytes, reply->record[i].bytes, RecordDataBytes);
  }
}

void LoggerPlacedImage(const LoggerReply* reply, uint32_t address, LoggerNumbering numbering,
                       uint8_t* image) {
  std::memset(image, ImageFiller, BlockSize);
  long base = 0;
  for (int i = 0; i < reply->count; ++i) {
    const Record* r = &reply->record[i];
    const bool fits = LoggerRecordFits(r);
    if (PlacesData(r)) {
      base = fits ? BaseOf(r) : NoBlock;
      continue;
    }
    if (r->type != RecordTypeData || !fits) continue;
    if (numbering == LoggerNumbering::Unknown && LoadShared(reply, i)) continue;
    const int at = OffsetOf(r->load, base, address, numbering);
    if (at >= 0) std::memcpy(image + at, r->bytes, RecordDataBytes);
  }
}

size_t LoggerCutImage(const LoggerReply* reply, uint8_t* image) {
  uint8_t decoded[DecodeBufferSize] = {};
  size_t bytes = 0;
  for (int i = 0; i < reply->count && bytes < BlockSize; ++i) {
    const Record* r = &reply->record[i];
    if (r->type != RecordTypeData) continue;
    // The record's data and checksum over what earlier records left.
    std::memcpy(decoded, r->bytes, static_cast<size_t>(r->length) + 1);
    if (r->length < 1) continue;
    std::memcpy(image + bytes, decoded, RecordDataBytes);
    bytes += RecordDataBytes;
  }
  return bytes;
}
