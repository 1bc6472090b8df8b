// The progress line's exact text.
#include <clocale>
#include <string>

#include "dump/progress.h"
#include "gtest/gtest.h"

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

TEST_P(ProgressLine, RateAndRemainingTime) {
  EXPECT_EQ(Progress(0x00100, 2500),
            L"\r00100 経過時間 2.50秒 平均転送レート=102.40byte/秒 残り 2557.49秒");
  // The last block: the time left is for 255 bytes, not zero.
  EXPECT_EQ(Progress(0x3FF00, 400000),
            L"\r3ff00 経過時間 400.00秒 平均転送レート=654.72byte/秒 残り 0.39秒");
}

TEST_P(ProgressLine, HyphensWhileTheRateIsUnderOneBytePerSecond) {
  EXPECT_EQ(Progress(0x00000, 1234),
            L"\r00000 経過時間 1.23秒 平均転送レート=0.00byte/秒 残り ------秒");
  EXPECT_EQ(Progress(0x00100, 300000),
            L"\r00100 経過時間 300.00秒 平均転送レート=0.85byte/秒 残り ------秒");
}

// A resumed run counts only the blocks it read itself.
TEST_P(ProgressLine, ResumedRunRatesOnlyItsOwnBlocks) {
  EXPECT_EQ(Progress(0x20100, 2500, 0x20000),
            L"\r20100 経過時間 2.50秒 平均転送レート=102.40byte/秒 残り 1277.49秒");
  EXPECT_EQ(Progress(0x20000, 1000, 0x20000),
            L"\r20000 経過時間 1.00秒 平均転送レート=0.00byte/秒 残り ------秒");
}

TEST_P(ProgressLine, NoTimeElapsedIsNoDivisionByZero) {
  EXPECT_EQ(Progress(0x00200, 0),
            L"\r00200 経過時間 0.00秒 平均転送レート=0.00byte/秒 残り ------秒");
}

INSTANTIATE_TEST_SUITE_P(Locales, ProgressLine, ::testing::Values("C", "C.UTF-8"));

}  // namespace
