#include "oracle.h"

#include <cstdio>
#include <cstring>

#include "dump/resume.h"
#include "testutil.h"

namespace {

LoggerJudgement Judge(const LoggerReply* reply, uint32_t address, LoggerNumbering numbering) {
  static LoggerReply parsed;
  parsed = *reply;
  LoggerParseReply(&parsed);
  return LoggerJudgeReply(&parsed, address, numbering);
}

}  // namespace

std::vector<uint8_t> PatternImage(uint32_t seed) {
  std::vector<uint8_t> image(ImageSize);
  SimFillPattern(image.data(), seed);
  return image;
}

::testing::AssertionResult HoldsDumpOf(const std::string& dir, const std::string& image) {
  if (image.size() != ImageSize) {
    return ::testing::AssertionFailure() << "the image has " << image.size() << " bytes";
  }
  const std::string bin = ReadFileBytes(dir + "/logger.bin");
  if (bin != image) {
    return ::testing::AssertionFailure()
           << dir << "/logger.bin (" << bin.size() << " bytes) differs from the image";
  }
  const std::string hex = ReadFileBytes(dir + "/logger.hex");
  if (hex != ExpectedHexFile(reinterpret_cast<const uint8_t*>(image.data()))) {
    return ::testing::AssertionFailure()
           << dir << "/logger.hex (" << hex.size() << " bytes) differs from the records sent";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HoldsAllButTheBlockInFlight(const std::string& dir,
                                                       const std::string& image,
                                                       const std::string& received) {
  const size_t asked = Count(received, BlockCommandWord);
  const std::string bin = ReadFileBytes(dir + "/logger.bin");
  const size_t blocks = bin.size() / BlockSize;
  if (asked == 0 || bin.size() % BlockSize != 0 || blocks + 1 < asked || blocks > asked) {
    return ::testing::AssertionFailure() << dir << "/logger.bin holds " << bin.size()
                                         << " bytes after " << asked << " blocks were asked for";
  }
  if (bin != image.substr(0, bin.size())) {
    return ::testing::AssertionFailure() << dir << "/logger.bin differs from the image";
  }
  std::string expected;
  const SimConfig clean = {reinterpret_cast<const uint8_t*>(image.data()), 0, nullptr};
  for (uint32_t a = 0; a < blocks * BlockSize; a += BlockSize) {
    for (const std::string& entry : HexEntriesOf(clean, a)) expected += entry;
  }
  if (ReadFileBytes(dir + "/logger.hex") != expected) {
    return ::testing::AssertionFailure()
           << dir << "/logger.hex is not the records of the " << blocks << " blocks in logger.bin";
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> HexFileEntries(const std::string& hex) {
  std::vector<std::string> entries;
  for (size_t start = 0; start < hex.size();) {
    const size_t end = hex.find(HexEntryEnd, start);
    const size_t next = end == std::string::npos ? hex.size() : end + HexEntryEndLength;
    entries.push_back(hex.substr(start, next - start));
    start = next;
  }
  return entries;
}

std::vector<std::string> HexEntriesOf(const SimConfig& config, uint32_t address, unsigned asked) {
  static char reply[SimReplySize];
  const size_t n = SimBuildReply(&config, address, reply, sizeof reply, asked);
  std::vector<std::string> entries;
  std::string line;
  for (size_t i = 0; i < n; ++i) {
    const char c = reply[i];
    if (c == '\0') continue;  // NUL bytes never reach a line
    line += c;
    if (c != '\r' && c != '\n') continue;
    if (line[0] == ':') {
      char entry[HexEntryRoom];
      entries.emplace_back(entry, MakeHexEntry(line.data(), line.size(), entry));
    }
    line.clear();
  }
  return entries;
}

LoggerReply ReplyOf(const SimConfig& config, uint32_t address) {
  static char text[SimReplySize];
  const size_t n = SimBuildReply(&config, address, text, sizeof text);
  LoggerReply reply{};
  size_t start = 0;
  for (size_t i = 0; i < n && reply.count < RecordLinesOf(address); ++i) {
    if (text[i] != '\r') continue;
    reply.length[reply.count] = static_cast<int>(i + 1 - start);
    std::snprintf(reply.line[reply.count++], LineBufferSize, "%.*s",
                  static_cast<int>(i + 1 - start), text + start);
    start = i + 2;  // past the LF
  }
  LoggerParseReply(&reply);
  return reply;
}

LoggerVerdict Verdict(const LoggerReply* reply, uint32_t address, LoggerNumbering numbering) {
  return Judge(reply, address, numbering).verdict;
}

std::string ExpectedHexFile(const SimConfig& config) {
  std::string expected;
  for (uint32_t a = 0; a < ImageSize; a += BlockSize) {
    for (const std::string& entry : HexEntriesOf(config, a)) expected += entry;
  }
  return expected;
}

std::string ExpectedHexFile(const uint8_t* image) {
  return ExpectedHexFile(SimConfig{image, 0, nullptr});
}

std::string Commands(uint32_t first, uint32_t last) {
  // Built digit by digit: a wrong format in the program must show as a difference.
  constexpr char digits[] = "0123456789abcdef";
  std::string commands;
  for (uint32_t a = first; a <= last; a += BlockSize) {
    commands += "dihex ";
    for (int shift = 16; shift >= 0; shift -= 4) commands += digits[(a >> shift) & 0xf];
    commands += "\r\n";
  }
  return commands;
}

std::string Asked(uint32_t block, int times) {
  std::string commands;
  for (int i = 0; i < times; ++i) commands += Commands(block, block);
  return commands;
}

std::string ExpectedCommands() {
  return Commands(0, ImageSize - BlockSize) + EndCommandBytes;
}

std::string CommandsAsking(const std::string& command, int times) {
  std::string expected = ExpectedCommands();
  const size_t at = expected.find(command);
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += command;
  return at == std::string::npos ? "no " + command : expected.replace(at, command.size(), repeated);
}

std::string UnaddressedCommands(std::string commands) {
  const std::string learned = Commands(0x00100, 0x00100);
  return commands.replace(commands.find(learned), learned.size(), learned + learned);
}

std::vector<uint32_t> WitnessesOf(const std::string& dir) {
  FILE* hex = std::fopen((dir + "/logger.hex").c_str(), "rb");
  FILE* bin = std::fopen((dir + "/logger.bin").c_str(), "rb");
  std::vector<uint32_t> witnesses;
  if (hex != nullptr && bin != nullptr) {
    static LoggerReply replies[2];
    static StoredDump stored;
    ReadStoredDump(hex, bin, replies, &stored);
    uint32_t chosen[WitnessLimit];
    if (stored.blocks > 0) witnesses.assign(chosen, chosen + ChooseWitnesses(&stored, chosen));
  }
  if (hex != nullptr) std::fclose(hex);
  if (bin != nullptr) std::fclose(bin);
  return witnesses;
}

std::string WitnessCommands(const std::vector<uint32_t>& witnesses, uint32_t last) {
  std::string commands;
  for (const uint32_t a : witnesses) {
    if (a <= last) commands += Commands(a, a);
  }
  return commands;
}
