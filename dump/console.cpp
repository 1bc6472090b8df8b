#include "console.h"

#include <cstdarg>
#include <cwchar>

#include "platform.h"

void Print(FILE* out, const wchar_t* format, ...) {
  wchar_t text[ConsoleTextSize];
  va_list args;
  va_start(args, format);
  const int n = std::vswprintf(text, ConsoleTextSize, format, args);
  va_end(args);
  if (n < 0) text[ConsoleTextSize - 1] = L'\0';  // cut to the buffer
  ConsoleWrite(out, text);
}

bool WindowClosesWithProgram(unsigned long consoleProcesses, bool inputIsConsole,
                             bool outputIsConsole) {
  // A command prompt or a script shares the console (two processes or more);
  // redirected input or output means nobody reads the window.
  return consoleProcesses == 1 && inputIsConsole && outputIsConsole;
}
