#include "console.h"

#include <cstdarg>
#include <cwchar>

#include "platform.h"

namespace {

// The stream the last text went to, and whether that text left its line open.
FILE* lastStream = nullptr;
bool lastLineOpen = false;

}  // namespace

void Print(FILE* out, const wchar_t* format, ...) {
  wchar_t text[ConsoleTextSize];
  va_list args;
  va_start(args, format);
  const int n = std::vswprintf(text, ConsoleTextSize, format, args);
  va_end(args);
  if (n < 0) text[ConsoleTextSize - 1] = L'\0';  // cut to the buffer
  const size_t length = std::wcslen(text);
  if (length > 0) {
    lastStream = out;
    lastLineOpen = text[length - 1] != L'\n';
  }
  ConsoleWrite(out, text);
}

bool LineLeftOpen(FILE* out) {
  return lastStream == out && lastLineOpen;
}

bool WindowClosesWithProgram(unsigned long consoleProcesses, bool inputIsConsole,
                             bool outputIsConsole) {
  // A command prompt or a script shares the console (two processes or more);
  // redirected input or output means nobody reads the window.
  return consoleProcesses == 1 && inputIsConsole && outputIsConsole;
}

void Widen(const char* text, wchar_t* wide, size_t size) {
  std::mbstate_t state{};
  const char* from = text;
  const size_t n = std::mbsrtowcs(wide, &from, size - 1, &state);
  if (n == static_cast<size_t>(-1)) {
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < size; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    wide[i] = L'\0';
    return;
  }
  wide[n < size ? n : size - 1] = L'\0';
}

unsigned RedirectCodePage(unsigned consoleCodePage, unsigned ansiCodePage,
                          bool (*encodes)(unsigned codePage)) {
  const unsigned codePage = consoleCodePage != 0 ? consoleCodePage : ansiCodePage;
  if (codePage == Utf8CodePage || (codePage != 0 && encodes(codePage))) return codePage;
  return Utf8CodePage;
}

unsigned long CloseWaitMs(bool filesOpen, unsigned long hungAppTimeoutMs) {
  if (!filesOpen) return 0;
  const unsigned long limit = hungAppTimeoutMs == 0 ? ConsoleCloseLimitMs : hungAppTimeoutMs;
  return limit < ConsoleCloseLimitMs ? limit : ConsoleCloseLimitMs;
}
