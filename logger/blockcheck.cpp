#include "blockcheck.h"

#include <cstring>

namespace {

// No block: records that name none by their addresses.
constexpr long NoBlock = -1;

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

// The block that loads placed at base name, or NoBlock. Load addresses wrap
// within their 64 KiB, so records that run past its end name no block.
long NamedBlock(const uint16_t* loads, long base) {
  constexpr long lastFirstLoad = 0xFFFF - (DataRecordsPerBlock - 1) * RecordDataBytes;
  const long block = base + loads[0];
  if (base == NoBlock || loads[0] > lastFirstLoad || block % BlockSize != 0) return NoBlock;
  for (int i = 0; i < DataRecordsPerBlock; ++i) {
    if (loads[i] != static_cast<uint16_t>(loads[0] + i * RecordDataBytes)) return NoBlock;
  }
  return block < static_cast<long>(ImageSize) ? block : NoBlock;
}

// Collects the load addresses of the data records, and the block they name:
// every data record placed by one 64 KiB (named by the segment or linear
// address records before it, or the first 64 KiB where none is). False when
// the records do not fit.
bool ReadAddresses(const LoggerReply* reply, uint16_t* loads, long* named) {
  int data = 0;
  long base = 0;  // where data records go before any address record
  long dataBase = NoBlock;
  bool oneBase = true;  // every data record placed by the same 64 KiB
  for (int i = 0; i < reply->count; ++i) {
    const Record* r = &reply->record[i];
    if (!LoggerRecordFits(r)) return false;
    if (PlacesData(r)) base = BaseOf(r);
    if (r->type != RecordTypeData) continue;
    if (data == DataRecordsPerBlock) return false;
    if (data == 0) dataBase = base;
    oneBase = oneBase && base == dataBase;
    loads[data++] = r->load;
  }
  if (data != DataRecordsPerBlock) return false;
  *named = oneBase ? NamedBlock(loads, dataBase) : NoBlock;
  return true;
}

// Whether records that fit but do not name the block at address are what a
// logger without memory addresses sends: numbered as block 00000 (numbered
// from 0000 in every block), or naming no block with most load addresses out
// of step with the one before (one address throughout, or a numbering of the
// logger's own). A record sent twice or lost puts one or two out of step.
bool LooksUnaddressed(const uint16_t* loads, long named) {
  if (named == 0) return true;
  if (named != NoBlock) return false;
  int outOfStep = 0;
  for (int i = 1; i < DataRecordsPerBlock; ++i) {
    outOfStep += loads[i] != static_cast<uint16_t>(loads[i - 1] + RecordDataBytes);
  }
  return outOfStep > DataRecordsPerBlock / 2;
}

// Whether another data record of the reply carries the same load address.
bool LoadShared(const LoggerReply* reply, int index) {
  for (int i = 0; i < reply->count; ++i) {
    const Record* other = &reply->record[i];
    if (i != index && other->type == RecordTypeData && other->load == reply->record[index].load) {
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
                                 LoggerNumbering numbering) {
  LoggerJudgement judged = {LoggerVerdict::BadRecords, {}};
  long named = NoBlock;
  if (reply->count != RecordLinesOf(address) || !ReadAddresses(reply, judged.loads, &named)) {
    std::memset(judged.loads, 0, sizeof judged.loads);
    return judged;
  }
  if (numbering == LoggerNumbering::NoAddresses || named == static_cast<long>(address)) {
    judged.verdict = LoggerVerdict::Sound;
  } else if (LooksUnaddressed(judged.loads, named)) {
    judged.verdict = LoggerVerdict::Unaddressed;
  } else {
    judged.verdict = LoggerVerdict::OtherBlock;
  }
  return judged;
}

LoggerNumbering LoggerLearned(uint32_t address, LoggerNumbering numbering) {
  return numbering == LoggerNumbering::Unknown && address != 0 ? LoggerNumbering::ByAddress
                                                               : numbering;
}

bool LoggerShowsNoAddresses(const LoggerJudgement* before, const LoggerJudgement* now) {
  return before->verdict == LoggerVerdict::Unaddressed &&
         now->verdict == LoggerVerdict::Unaddressed &&
         std::memcmp(before->loads, now->loads, sizeof now->loads) == 0;
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
  if (numbering == LoggerNumbering::NoAddresses) return;
  long base = 0;
  for (int i = 0; i < reply->count; ++i) {
    const Record* r = &reply->record[i];
    const bool fits = LoggerRecordFits(r);
    if (PlacesData(r)) base = fits ? BaseOf(r) : NoBlock;
    if (r->type != RecordTypeData || !fits || base == NoBlock) continue;
    if (numbering == LoggerNumbering::Unknown && LoadShared(reply, i)) continue;
    const long offset = base + r->load - static_cast<long>(address);
    if (offset >= 0 && offset % RecordDataBytes == 0 &&
        offset + RecordDataBytes <= static_cast<long>(BlockSize)) {
      std::memcpy(image + offset, r->bytes, RecordDataBytes);
    }
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
