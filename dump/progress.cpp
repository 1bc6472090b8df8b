#include "progress.h"

#include <cwchar>

#include "console.h"
#include "protocol/protocol.h"

void FormatProgress(wchar_t* out, size_t outSize, uint32_t firstAddress, uint32_t blockAddress,
                    long long elapsedMs) {
  const double seconds = elapsedMs / 1000.0;
  // No time elapsed yet means no rate yet, not a division by zero.
  const double rate = seconds > 0 ? (blockAddress - firstAddress) / seconds : 0.0;
  if (static_cast<long long>(rate) == 0) {
    std::swprintf(out, outSize,
                  L"\r%5.5x 経過時間 %3.2f秒 平均転送レート=%3.2fbyte/秒 残り ------秒",
                  blockAddress, seconds, rate);
    return;
  }
  const double remaining = (BlockAddressBound - blockAddress) / rate;
  std::swprintf(out, outSize, L"\r%5.5x 経過時間 %3.2f秒 平均転送レート=%3.2fbyte/秒 残り %3.2f秒",
                blockAddress, seconds, rate, remaining);
}

void ProgressReport(FILE* out, uint32_t firstAddress, uint32_t blockAddress, long long startMs,
                    long long nowMs) {
  wchar_t text[ConsoleTextSize];
  FormatProgress(text, ConsoleTextSize, firstAddress, blockAddress, nowMs - startMs);
  Print(out, L"%ls", text);
}
