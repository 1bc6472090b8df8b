// Decoding and checking of the record lines the logger sends.
#include <cstring>
#include <vector>

#include "gtest/gtest.h"
#include "hexrecord/hexrecord.h"

namespace {

constexpr char DataRecord[] = ":10010000214601360121470136007EFE09D2190140\r";

std::vector<uint8_t> Filled(uint8_t value) {
  return std::vector<uint8_t>(DecodeBufferSize, value);
}

TEST(DecodeRecord, DataRecordGivesItsBytesAndChecksum) {
  auto buffer = Filled(0xEE);
  ASSERT_EQ(DecodeRecord(DataRecord, buffer.data()), 16);
  const uint8_t expected[] = {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01, 0x36,
                              0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01, 0x40};
  EXPECT_EQ(0, std::memcmp(buffer.data(), expected, sizeof expected));
  EXPECT_EQ(buffer[17], 0xEE) << "nothing past the checksum is written";
}

TEST(DecodeRecord, RecordsWithoutDataGiveZeroAndLeaveTheBufferAlone) {
  for (const char* line : {":00000001FF\r", ":020000021000EC\r", ":020000040001F9\n"}) {
    auto buffer = Filled(0x5A);
    EXPECT_EQ(DecodeRecord(line, buffer.data()), 0) << line;
    EXPECT_EQ(buffer, Filled(0x5A)) << line;
  }
}

TEST(DecodeRecord, EmptyDataRecordStoresOnlyItsChecksum) {
  auto buffer = Filled(0x5A);
  EXPECT_EQ(DecodeRecord(":0000000000\r", buffer.data()), 0);
  EXPECT_EQ(buffer[0], 0x00);
  EXPECT_EQ(DecodeRecord(":00000000C3\r", buffer.data()), 0);
  EXPECT_EQ(buffer[0], 0xC3);
  EXPECT_EQ(buffer[1], 0x5A);
}

TEST(DecodeRecord, LowercaseDigitsDecodeLikeUppercase) {
  auto upper = Filled(0), lower = Filled(0);
  const char* lowerLine = ":10010000214601360121470136007efe09d2190140\r";
  EXPECT_EQ(DecodeRecord(DataRecord, upper.data()), DecodeRecord(lowerLine, lower.data()));
  EXPECT_EQ(upper, lower);
  EXPECT_EQ(HexByte(":ff", 1), 0xFF);
  EXPECT_EQ(HexByte(":0a", 1), 0x0A);
  EXPECT_EQ(HexByte(":a0", 1), 0xA0);
}

TEST(DecodeRecord, OtherCharactersKeepTheirPlainArithmetic) {
  EXPECT_EQ(HexDigitValue('G'), 0x10);
  EXPECT_EQ(HexDigitValue(':'), 0x0A);
  EXPECT_EQ(HexDigitValue(' '), static_cast<uint8_t>(' ' - 0x30));
}

TEST(DecodeRecord, WrongChecksumDecodesLikeARightOne) {
  auto right = Filled(0), wrong = Filled(0);
  EXPECT_EQ(DecodeRecord(":10010000214601360121470136007EFE09D2190140\r", right.data()), 16);
  EXPECT_EQ(DecodeRecord(":10010000214601360121470136007EFE09D2190141\r", wrong.data()), 16);
  EXPECT_EQ(0, std::memcmp(right.data(), wrong.data(), 16));
}

TEST(DecodeRecord, ShortLineCountsMissingDigitsAsZero) {
  auto buffer = Filled(0xEE);
  EXPECT_EQ(DecodeRecord(":10000000AB\r", buffer.data()), 16);
  EXPECT_EQ(buffer[0], 0xAB);
  for (int i = 1; i <= 16; ++i) EXPECT_EQ(buffer[i], 0) << i;
  // A lone ':' still yields a data record of length 0.
  EXPECT_EQ(DecodeRecord(":", buffer.data()), 0);
}

TEST(DecodeRecord, NeverReadsPastTheLineBuffer) {
  // A full buffer with no terminator at all: the decoder must stop at its end.
  // (The sanitizer build turns a read past it into a failure.)
  std::vector<char> line(RecordTextLimit, 'F');
  line[0] = ':';
  line[7] = '0';
  line[8] = '0';
  auto buffer = Filled(0);
  EXPECT_EQ(DecodeRecord(line.data(), buffer.data()), 0xFF);
  EXPECT_FALSE(RecordIsSound(line.data()));
}

TEST(RecordIsSound, AcceptsWellFormedRecordsOfEitherCase) {
  EXPECT_TRUE(RecordIsSound(DataRecord));
  EXPECT_TRUE(RecordIsSound(":10010000214601360121470136007efe09d2190140\r"));
  EXPECT_TRUE(RecordIsSound(":020000021000EC\r"));
  EXPECT_TRUE(RecordIsSound(":00000001FF\n"));
  EXPECT_TRUE(RecordIsSound(":0F010000214601360121470136007EFE09D21942\r"));  // 15 data bytes
}

TEST(RecordIsSound, RejectsWhatTheWireCanSpoil) {
  // Wrong checksum, a non-hex digit, a cut line, a surplus digit.
  EXPECT_FALSE(RecordIsSound(":10010000214601360121470136007EFE09D2190141\r"));
  EXPECT_FALSE(RecordIsSound(":10010000214601360121470136007EFE09D21901G0\r"));
  EXPECT_FALSE(RecordIsSound(":10010000214601360121470136007EFE09D219\r"));
  EXPECT_FALSE(RecordIsSound(":10010000214601360121470136007EFE09D21901400\r"));
  EXPECT_FALSE(RecordIsSound(":\r"));
  EXPECT_FALSE(RecordIsSound(""));
}

}  // namespace
