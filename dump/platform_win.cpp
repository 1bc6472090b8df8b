// Console, output files, sleeping and stop requests on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "console.h"
#include "platform.h"

namespace {

// Shown in place of a character the console's code page cannot encode.
constexpr char Unencodable = '?';
// How long a closing console waits at most for the run to close its files:
// Windows ends the process 5 s after the close event in any case.
constexpr DWORD CloseWaitMs = 4500;
// How long the end of console input waits for a Ctrl-C handler still on its way.
constexpr DWORD PendingStopWaitMs = 500;
constexpr DWORD PendingStopStepMs = 10;

std::atomic<bool>* stopFlag = nullptr;
// Set (manual reset) once the run has ended and closed its files.
HANDLE runEnded = nullptr;

// Runs on a thread the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (stopFlag != nullptr) stopFlag->store(true);
  // The process ends when this returns from a close, log-off or shut-down
  // event: wait until the run has closed its files, within the system's bound.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    if (runEnded == nullptr || WaitForSingleObject(runEnded, CloseWaitMs) == WAIT_FAILED) {
      Sleep(CloseWaitMs);
    }
  }
  return TRUE;
}

// The console behind out, or null when out is redirected to a file or pipe.
HANDLE ConsoleOf(FILE* out) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
  return handle;
}

// Writes text in the selected locale's encoding, character by character so
// that one character it cannot encode does not lose the rest.
bool WriteNarrow(FILE* out, const wchar_t* text) {
  bool ok = true;
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    size_t n = std::wcrtomb(bytes, *p, &state);
    if (n == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      bytes[0] = Unencodable;
      n = 1;
    }
    ok = std::fwrite(bytes, 1, n, out) == n && ok;
  }
  return ok;
}

}  // namespace

void SetupConsoleLocale() {
  // The user's locale (e.g. Japanese_Japan.932). Text written to a console
  // does not depend on it (WriteConsoleW); redirected text is encoded in it.
  if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C");
}

bool ConsoleWrite(FILE* out, const wchar_t* text) {
  const HANDLE console = ConsoleOf(out);
  if (console != nullptr) {
    // UTF-16 straight to the console: shown whatever the console's code page.
    std::fflush(out);
    const DWORD length = static_cast<DWORD>(std::wcslen(text));
    DWORD written = 0;
    return WriteConsoleW(console, text, length, &written, nullptr) && written == length;
  }
  const bool written = WriteNarrow(out, text);
  return std::fflush(out) == 0 && written;
}

FILE* OpenExclusive(const char* name) {
  // No sharing: while this run holds the file no other process can open it.
  // OPEN_ALWAYS, not CREATE_ALWAYS: the file is truncated only once it is held.
  const HANDLE file =
      CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (!SetEndOfFile(file)) {
    CloseHandle(file);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) _close(fd);  // closes the handle too
  return stream;
}

void SleepMs(unsigned ms) {
  Sleep(ms);
}

void InstallStopHandlers(std::atomic<bool>* flag) {
  stopFlag = flag;
  runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void MarkRunEnded() {
  if (runEnded != nullptr) SetEvent(runEnded);
}

void WaitForPendingStop(FILE* in, const std::atomic<bool>* stop) {
  // Ctrl-C at the prompt ends the console read at once, while the handler
  // that sets the flag runs on a thread the system has yet to start.
  if (stop == nullptr || ConsoleOf(in) == nullptr) return;
  for (DWORD waited = 0; waited < PendingStopWaitMs && !stop->load(); waited += PendingStopStepMs) {
    Sleep(PendingStopStepMs);
  }
}

bool IsFolder(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void HoldWindowUntilRead(FILE* in, FILE* out) {
  // Two entries are enough to tell "alone" from "shared"; the result is the
  // whole count (0 on failure, which counts as shared).
  DWORD processes[2];
  const DWORD count = GetConsoleProcessList(processes, 2);
  const HANDLE input = ConsoleOf(in);
  const HANDLE output = ConsoleOf(out);
  if (!WindowClosesWithProgram(count, input != nullptr, output != nullptr)) return;
  // On a line of its own: the last progress line has no line end.
  CONSOLE_SCREEN_BUFFER_INFO screen;
  if (GetConsoleScreenBufferInfo(output, &screen) && screen.dwCursorPosition.X != 0) {
    Print(out, L"\n");
  }
  Print(out, L"Enter キーを押すと終了します。");
  // Keys pressed during the run must not end the wait at once.
  FlushConsoleInputBuffer(input);
  std::clearerr(in);
  for (int c = std::fgetc(in); c != EOF && c != '\n';) c = std::fgetc(in);
}
