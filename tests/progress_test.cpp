// The progress line's exact text.
#include <clocale>
#include <cwchar>
#include <string>

#include "dump/messages.h"
#include "dump/progress.h"
#include "gtest/gtest.h"
#include "platform/console.h"

namespace {

std::wstring Progress(uint32_t address, long long elapsedMs, uint32_t first = 0) {
  wchar_t text[256];
  FormatProgress(text, 256, first, address, elapsedMs);
  return text;
}

class ProgressLine : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::setlocale(LC_NUMERIC, GetParam()) == nullptr)
      GTEST_SKIP() << "no locale " << GetParam();
  }
  void TearDown() override { std::setlocale(LC_NUMERIC, "C"); }
};

// The progress line the table's format makes of these figures; without the
// time left, the line for a rate under one byte per second.
std::wstring Line(unsigned block, double seconds, double rate, double left = -1) {
  wchar_t line[ConsoleTextSize];
  if (left < 0) {
    std::swprintf(line, ConsoleTextSize, Msg::ProgressNoRate, block, seconds, rate);
  } else {
    std::swprintf(line, ConsoleTextSize, Msg::Progress, block, seconds, rate, left);
  }
  return line;
}

TEST_P(ProgressLine, RateAndRemainingTime) {
  EXPECT_EQ(Progress(0x00100, 2500), Line(0x00100, 2.50, 102.40, 2557.49));
  // The last block: the time left is for 255 bytes, not zero.
  EXPECT_EQ(Progress(0x3FF00, 400000), Line(0x3ff00, 400.00, 654.72, 0.39));
}

TEST_P(ProgressLine, HyphensWhileTheRateIsUnderOneBytePerSecond) {
  EXPECT_EQ(Progress(0x00000, 1234), Line(0x00000, 1.23, 0.00));
  EXPECT_EQ(Progress(0x00100, 300000), Line(0x00100, 300.00, 0.85));
}

// A resumed run counts only the blocks it read itself.
TEST_P(ProgressLine, ResumedRunRatesOnlyItsOwnBlocks) {
  EXPECT_EQ(Progress(0x20100, 2500, 0x20000), Line(0x20100, 2.50, 102.40, 1277.49));
  EXPECT_EQ(Progress(0x20000, 1000, 0x20000), Line(0x20000, 1.00, 0.00));
}

TEST_P(ProgressLine, NoTimeElapsedIsNoDivisionByZero) {
  EXPECT_EQ(Progress(0x00200, 0), Line(0x00200, 0.00, 0.00));
}

INSTANTIATE_TEST_SUITE_P(Locales, ProgressLine, ::testing::Values("C", "C.UTF-8"));

}  // namespace
