// The program's entry on Windows: the command line is taken wide, so that a
// folder name in any script reaches the program whole whatever the system's
// code page, and handed on as UTF-8. A lone surrogate, which UTF-8 cannot
// hold, becomes U+FFFD (such a folder is then not found).
#include <windows.h>

#include "dump/exitstatus.h"
#include "program.h"

namespace {

// A command line holds at most 32767 UTF-16 units; one unit becomes at most
// three bytes of UTF-8, and every argument takes at least two units (itself
// and a blank) besides its terminator.
constexpr size_t CommandLineUnits = 32768;
constexpr size_t ArgumentBytes = CommandLineUnits * 3 + CommandLineUnits;
constexpr int MaxArguments = static_cast<int>(CommandLineUnits / 2 + 1);

char argumentBytes[ArgumentBytes];
char* arguments[MaxArguments + 1];

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 0 || argc > MaxArguments) return ExitUsage;
  size_t used = 0;
  for (int i = 0; i < argc; ++i) {
    const int room = static_cast<int>(ArgumentBytes - used);
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, argumentBytes + used, room, nullptr, nullptr);
    if (n <= 0) return ExitUsage;  // cannot happen within the bounds above
    arguments[i] = argumentBytes + used;
    used += static_cast<size_t>(n);
  }
  arguments[argc] = nullptr;
  return LoggerDumpMain(argc, arguments);
}
