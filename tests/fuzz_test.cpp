// Seeded random tests: the record decoder and checker on random lines, and
// SerialReadLine on random bytes through a real pseudo-terminal. Buffers are heap
// blocks of their exact size so that the sanitizers catch any overrun.
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "hexrecord/hexrecord.h"
#include "serial/serial.h"
#include "sim/simcore.h"

namespace {

constexpr uint32_t Seed = 20240605;

// A random character, drawn mostly from what records are made of.
char RandomRecordChar(std::mt19937& random) {
  static const char common[] = ":0123456789ABCDEFabcdef\r\n";
  if (random() % 8 == 0) return static_cast<char>(random() % 256);
  return common[random() % (sizeof common - 1)];
}

std::string HexText(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

// A well-formed data record of 16 bytes, as the logger sends it (no line end).
std::string RandomDataRecord(std::mt19937& random) {
  uint8_t bytes[4 + RecordDataBytes + 1] = {RecordDataBytes, static_cast<uint8_t>(random()),
                                            static_cast<uint8_t>(random()), RecordTypeData};
  uint8_t sum = 0;
  for (size_t i = 0; i < 4 + RecordDataBytes; ++i) {
    if (i >= 4) bytes[i] = static_cast<uint8_t>(random());
    sum = static_cast<uint8_t>(sum + bytes[i]);
  }
  bytes[4 + RecordDataBytes] = static_cast<uint8_t>(-sum);
  return ":" + HexText(bytes, sizeof bytes);
}

// Random lines of every length up to the whole buffer, some with no NUL at
// all: neither function reads or writes outside its buffers, the decoder's
// result is a length, and a line the checker passes decodes to exactly the
// record it spells.
TEST(Fuzz, RecordFunctionsOnRandomLines) {
  std::mt19937 random(Seed);
  auto line = std::make_unique<char[]>(LineBufferSize);
  auto decoded = std::make_unique<uint8_t[]>(DecodeBufferSize);
  int sound = 0;
  for (int round = 0; round < 200000; ++round) {
    const size_t length = random() % (LineBufferSize + 1);
    for (size_t i = 0; i < length; ++i) line[i] = RandomRecordChar(random);
    if (length < LineBufferSize) line[length] = '\0';
    if (round % 4 == 0) {  // mostly records with a random flaw or none
      const std::string record = RandomDataRecord(random);
      std::memcpy(line.get(), record.c_str(), record.size() + 1);
      if (random() % 2 == 0) line[random() % record.size()] = RandomRecordChar(random);
    }
    const int n = DecodeRecord(line.get(), decoded.get());
    ASSERT_GE(n, 0);
    ASSERT_LE(n, 255);
    if (!RecordIsSound(line.get())) continue;
    ++sound;
    ASSERT_EQ(line[0], ':');
    // Spelled again from what was decoded, in uppercase, it is the same line.
    std::string text(line.get(), strnlen(line.get(), LineBufferSize));
    text = text.substr(0, text.find_first_of("\r\n"));
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (text.compare(7, 2, "00") == 0) {
      ASSERT_EQ(n, HexByte(line.get(), 1));
      ASSERT_EQ(text.substr(9), HexText(decoded.get(), static_cast<size_t>(n) + 1));
    } else {
      ASSERT_EQ(n, 0);
    }
  }
  EXPECT_GT(sound, 10000) << "too few sound records to mean anything";
}

// Any one character of a record changed to another value, and any record
// cut short, fails the check.
TEST(Fuzz, EverySingleFlawOfARecordIsCaught) {
  std::mt19937 random(Seed + 1);
  auto line = std::make_unique<char[]>(LineBufferSize);
  for (int round = 0; round < 2000; ++round) {
    const std::string record = RandomDataRecord(random) + "\r";
    std::memcpy(line.get(), record.c_str(), record.size() + 1);
    ASSERT_TRUE(RecordIsSound(line.get())) << record;
    for (size_t at = 1; at + 1 < record.size(); ++at) {
      char other;
      do {
        other = static_cast<char>(random() % 256);
      } while (other == '\0' || other == '\r' || other == '\n' ||
               std::tolower(static_cast<unsigned char>(other)) ==
                   std::tolower(static_cast<unsigned char>(record[at])));
      line[at] = other;
      EXPECT_FALSE(RecordIsSound(line.get())) << "changed at " << at << ": " << line.get();
      line[at] = record[at];
      const char kept = line[at];
      line[at] = '\r';  // the line ends here
      EXPECT_FALSE(RecordIsSound(line.get())) << "cut at " << at;
      line[at] = kept;
    }
  }
}

// What SerialReadLine must make of a byte stream: lines up to and including their
// first CR or LF, NUL bytes dropped, at most MaxLineText characters kept.
std::vector<std::string> ExpectedLines(const std::string& stream) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : stream) {
    if (c == '\0') continue;
    if (c == '\r' || c == '\n') {
      lines.push_back(line + c);
      line.clear();
    } else if (line.size() < MaxLineText) {
      line += c;
    }
  }
  return lines;
}

// Random bytes, sent in random pieces through a pseudo-terminal, give exactly
// the lines of the model, and nothing is written past LineBuffer.
TEST(Fuzz, ReadLineOnRandomBytesThroughAPty) {
  std::mt19937 random(Seed + 2);
  std::string stream;
  while (stream.size() < 300000) {
    // Lines of every length around the limit, with NULs and stray bytes.
    const size_t length = random() % 4 == 0 ? random() % 700 : random() % 60;
    for (size_t i = 0; i < length; ++i) {
      const unsigned pick = random() % 64;
      stream += pick == 0 ? '\0' : pick == 1 ? '\r' : static_cast<char>(random() % 256);
    }
    stream += random() % 2 ? "\r\n" : random() % 2 ? "\r" : "\n";
  }
  const std::vector<std::string> expected = ExpectedLines(stream);

  SimPty pty{};
  ASSERT_TRUE(SimOpenPty(&pty));
  SerialOpenFailure failure{};
  SerialLink* link = SerialOpen(pty.path, &failure);
  ASSERT_NE(link, nullptr);

  std::thread writer([&] {
    std::mt19937 pieces(Seed + 3);
    for (size_t sent = 0; sent < stream.size();) {
      const size_t n = std::min<size_t>(1 + pieces() % 3000, stream.size() - sent);
      const ssize_t done = write(pty.master, stream.data() + sent, n);
      if (done > 0) {
        sent += static_cast<size_t>(done);
      } else {
        usleep(1000);  // the port's queue is full until the reader catches up
      }
    }
  });
  auto line = std::make_unique<char[]>(SerialLineSize);
  size_t got = 0;
  int timeouts = 0;
  while (got < expected.size() && timeouts < 4) {
    const int n = SerialReadLine(link, line.get());
    ASSERT_NE(n, SerialLineFailed);
    if (n == SerialLineTimeout) {
      ++timeouts;
      continue;
    }
    timeouts = 0;
    ASSERT_EQ(line[static_cast<size_t>(n)], '\0');
    ASSERT_EQ(std::string(line.get(), static_cast<size_t>(n)), expected[got]) << "line " << got;
    ++got;
  }
  writer.join();
  EXPECT_EQ(got, expected.size());
  SerialClose(link);
  SimClosePty(&pty);
}

}  // namespace
