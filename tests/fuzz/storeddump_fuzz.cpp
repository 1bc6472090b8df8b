// The stored-dump reader that --resume trusts, on any logger.hex and
// logger.bin: every block it keeps checks and equals its bytes in logger.bin,
// and the first block it does not keep could not have been kept. The input:
// the length of logger.hex (two bytes, low first), logger.hex, logger.bin.
#include <cstring>
#include <memory>
#include <vector>

#include "dump/hexfile.h"
#include "dump/resume.h"
#include "fuzz.h"

namespace {

// A file in memory over a heap block of its own size (tmpfile when empty,
// which a memory stream cannot be).
FILE* FileOf(const std::vector<uint8_t>& bytes, std::unique_ptr<uint8_t[]>* storage) {
  if (bytes.empty()) return std::tmpfile();
  storage->reset(new uint8_t[bytes.size()]);
  std::memcpy(storage->get(), bytes.data(), bytes.size());
  return fmemopen(storage->get(), bytes.size(), "rb");
}

// Reads the lines of the block at address from hex on its own; false when
// the file ends first.
bool ReadLines(FILE* hex, uint32_t address, LoggerReply* reply, long long* bytes) {
  for (reply->count = 0; reply->count < RecordLinesOf(address); ++reply->count) {
    reply->length[reply->count] = ReadHexEntry(hex, reply->line[reply->count], bytes);
    if (reply->length[reply->count] == 0) return false;
  }
  LoggerParseReply(reply);
  return true;
}

// Whether the block's bytes in logger.bin are those of its records.
bool BinHolds(const std::vector<uint8_t>& bin, uint32_t address, const LoggerReply* reply) {
  uint8_t image[BlockSize];
  LoggerSoundImage(reply, image);
  return bin.size() >= address + BlockSize && std::memcmp(&bin[address], image, BlockSize) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  size_t hexSize = TakeByte(&in);
  hexSize |= static_cast<size_t>(TakeByte(&in)) << 8;
  if (hexSize > in.size) hexSize = in.size;
  const std::vector<uint8_t> hexBytes(in.data, in.data + hexSize);
  const std::vector<uint8_t> binBytes(in.data + hexSize, in.data + in.size);

  std::unique_ptr<uint8_t[]> hexStorage, binStorage;
  FILE* hex = FileOf(hexBytes, &hexStorage);
  FILE* bin = FileOf(binBytes, &binStorage);
  FUZZ_CHECK(hex != nullptr && bin != nullptr);
  auto lines = std::make_unique<LoggerReply>();
  auto dump = std::make_unique<StoredDump>();
  ReadStoredDump(hex, bin, lines.get(), dump.get());
  std::fclose(hex);
  std::fclose(bin);
  FUZZ_CHECK(dump->blocks <= BlockCount);

  // Every kept block, read again on its own: sound under the numbering the
  // reader learned, its bytes those in logger.bin, erased where all FF.
  FILE* again = FileOf(hexBytes, &hexStorage);
  auto reply = std::make_unique<LoggerReply>();
  long long bytes = 0;
  for (uint32_t k = 0; k < dump->blocks; ++k) {
    const uint32_t address = k * BlockSize;
    FUZZ_CHECK(ReadLines(again, address, reply.get(), &bytes));
    const LoggerJudgement judged = LoggerJudgeReply(reply.get(), address, dump->numbering);
    FUZZ_CHECK(judged.verdict == LoggerVerdict::Sound);
    FUZZ_CHECK(BinHolds(binBytes, address, reply.get()));
    bool erased = true;
    for (uint32_t i = 0; i < BlockSize; ++i)
      erased = erased && binBytes[address + i] == ImageFiller;
    FUZZ_CHECK(dump->erased[k] == erased);
  }
  FUZZ_CHECK(bytes == dump->hexBytes);

  // The first block not kept: its lines end early, or they are no sound
  // block under that numbering, or logger.bin lacks their bytes, or they are
  // a logger's without addresses, stored as such (which ends the reading).
  const uint32_t next = dump->blocks * BlockSize;
  const bool readNext = dump->blocks < BlockCount && ReadLines(again, next, reply.get(), &bytes);
  if (dump->numbering == LoggerNumbering::NoAddresses) {
    FUZZ_CHECK(readNext && BinHolds(binBytes, next, reply.get()));
    FUZZ_CHECK(LoggerJudgeReply(reply.get(), next, LoggerNumbering::Unknown).verdict ==
               LoggerVerdict::Unaddressed);
  } else if (readNext) {
    const LoggerJudgement judged = LoggerJudgeReply(reply.get(), next, dump->numbering);
    FUZZ_CHECK(judged.verdict != LoggerVerdict::Sound || !BinHolds(binBytes, next, reply.get()));
  }
  std::fclose(again);
  // A whole dump is "more" exactly when either file goes on after it.
  if (dump->blocks == BlockCount) {
    FUZZ_CHECK(dump->moreAfter == (dump->hexBytes < static_cast<long long>(hexBytes.size()) ||
                                   binBytes.size() > ImageSize));
  }
  return 0;
}
