#include "progress.h"

#include <cwchar>

#include "platform/console.h"
#include "messages.h"
#include "logger/protocol.h"

void FormatProgress(wchar_t* out, size_t outSize, uint32_t firstAddress, uint32_t blockAddress,
                    long long elapsedMs) {
  const double seconds = elapsedMs / 1000.0;
  // No time elapsed yet means no rate yet, not a division by zero.
  const double rate = seconds > 0 ? (blockAddress - firstAddress) / seconds : 0.0;
  if (static_cast<long long>(rate) == 0) {
    std::swprintf(out, outSize, Msg::ProgressNoRate, blockAddress, seconds, rate);
    return;
  }
  const double remaining = (BlockAddressBound - blockAddress) / rate;
  std::swprintf(out, outSize, Msg::Progress, blockAddress, seconds, rate, remaining);
}

void ProgressReport(FILE* out, uint32_t firstAddress, uint32_t blockAddress, long long startMs,
                    long long nowMs) {
  wchar_t text[ConsoleTextSize];
  FormatProgress(text, ConsoleTextSize, firstAddress, blockAddress, nowMs - startMs);
  Print(out, L"%ls", text);
}
