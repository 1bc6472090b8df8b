#include "resume.h"

#include <algorithm>
#include <cstring>

#include "hexfile.h"

namespace {

// Reads the lines of the block at address; false when the file ends first.
bool ReadBlockLines(FILE* hex, uint32_t address, LoggerReply* reply, long long* bytes) {
  reply->count = 0;
  while (reply->count < RecordLinesOf(address)) {
    const int n = ReadHexEntry(hex, reply->line[reply->count], bytes);
    if (n == 0) return false;
    reply->length[reply->count++] = n;
  }
  return true;
}

// Whether every byte of a block is what erased memory holds.
bool Erased(const uint8_t* image) {
  for (uint32_t i = 0; i < BlockSize; ++i) {
    if (image[i] != ImageFiller) return false;
  }
  return true;
}

// The witnesses chosen so far, in the order of their priority.
struct Choice {
  const StoredDump* dump;
  uint32_t* blocks;  // block indexes
  int count;
  int lines;
};

void Choose(Choice* c, long index) {
  if (index < 0 || index >= static_cast<long>(c->dump->blocks) || c->count == WitnessLimit) return;
  const uint32_t block = static_cast<uint32_t>(index);
  for (int i = 0; i < c->count; ++i) {
    if (c->blocks[i] == block) return;
  }
  const int lines = RecordLinesOf(block * BlockSize);
  if (c->lines + lines > WitnessRecordLines) return;
  c->blocks[c->count++] = block;
  c->lines += lines;
}

// The block of [from, to) nearest its middle that holds data, else the middle.
long SpreadPick(const StoredDump* dump, long from, long to) {
  const long middle = from + (to - from) / 2;
  for (long step = 0; middle - step >= from || middle + step < to; ++step) {
    if (middle + step < to && !dump->erased[middle + step]) return middle + step;
    if (middle - step >= from && !dump->erased[middle - step]) return middle - step;
  }
  return middle;
}

}  // namespace

void ReadStoredDump(FILE* hex, FILE* bin, LoggerReply* reply, StoredDump* dump) {
  dump->blocks = 0;
  dump->hexBytes = 0;
  dump->numbering = LoggerNumbering::Unknown;
  dump->moreAfter = true;
  long long bytes = 0;
  uint8_t image[BlockSize];
  uint8_t stored[BlockSize];
  for (uint32_t address = 0; address < BlockAddressBound; address += BlockSize) {
    const uint32_t index = address / BlockSize;
    if (!ReadBlockLines(hex, address, reply, &bytes)) return;
    LoggerParseReply(reply);
    const LoggerVerdict verdict = LoggerJudgeReply(reply, address, dump->numbering).verdict;
    // A block that a logger without addresses sent, stored as such, shows
    // that the places of the blocks cannot be proven: nothing more to read.
    const bool unaddressed =
        verdict == LoggerVerdict::Unaddressed && dump->numbering == LoggerNumbering::Unknown;
    if (verdict != LoggerVerdict::Sound && !unaddressed) return;
    LoggerSoundImage(reply, image);
    if (std::fread(stored, 1, BlockSize, bin) != BlockSize) return;
    if (std::memcmp(stored, image, BlockSize) != 0) return;
    if (unaddressed) {
      dump->numbering = LoggerNumbering::NoAddresses;
      return;
    }
    dump->numbering = LoggerLearned(address, dump->numbering);
    dump->erased[index] = Erased(image);
    ++dump->blocks;
    dump->hexBytes = bytes;
  }
  dump->moreAfter = std::fgetc(hex) != EOF || std::fgetc(bin) != EOF;
}

bool ReadStoredBlock(FILE* bin, uint32_t address, uint8_t* image) {
  return std::fseek(bin, static_cast<long>(address), SEEK_SET) == 0 &&
         std::fread(image, 1, BlockSize, bin) == BlockSize;
}

bool StoredPlacesProvable(const StoredDump* dump) {
  return dump->numbering == LoggerNumbering::ByAddress ||
         (dump->numbering == LoggerNumbering::Unknown && dump->blocks == 1);
}

int ChooseWitnesses(const StoredDump* dump, uint32_t* witnesses) {
  Choice c = {dump, witnesses, 0, 0};
  const long blocks = static_cast<long>(dump->blocks);
  long lastData = blocks - 1;
  while (lastData >= 0 && dump->erased[lastData]) --lastData;
  Choose(&c, 0);
  Choose(&c, blocks - 1);
  if (lastData >= 0) {
    Choose(&c, lastData);
    Choose(&c, lastData + 1);
  }
  for (long k = 0; k < WitnessLimit; ++k) {
    Choose(&c, SpreadPick(dump, blocks * k / WitnessLimit, blocks * (k + 1) / WitnessLimit));
  }
  std::sort(witnesses, witnesses + c.count);
  for (int i = 0; i < c.count; ++i) witnesses[i] *= BlockSize;
  return c.count;
}
