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
// What _get_osfhandle gives for a standard stream the process started without.
constexpr intptr_t NoConsoleHandle = -2;

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

bool SystemErrorText(unsigned long code, wchar_t* text, size_t textSize) {
  if (textSize == 0) return false;
  text[0] = L'\0';
  if (code == 0) return false;
  // The message in the user's language; without one, the number.
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, static_cast<DWORD>(textSize), nullptr);
  if (n == 0) {
    std::swprintf(text, textSize, L"error %lu", code);
    return true;
  }
  // The message is a sentence with a line end; it is shown inside a sentence.
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
  if (n > 0 && (text[n - 1] == L'.' || text[n - 1] == L'\u3002')) --n;
  text[n] = L'\0';
  return n > 0;
}

bool KeepStandardStreamsOpen() {
  // A standard stream without a handle (a program started with one closed)
  // gets the null device, so that no file opened later can take its place.
  constexpr int standardStreams = 3;
  for (int fd = 0; fd < standardStreams; ++fd) {
    const intptr_t handle = _get_osfhandle(fd);
    if (handle != -1 && handle != NoConsoleHandle) continue;
    const int null = _open("NUL", _O_RDWR | _O_BINARY);
    if (null < 0) return false;
    const bool placed = null == fd || _dup2(null, fd) == 0;
    if (null != fd) _close(null);
    if (!placed) return false;
  }
  return true;
}

namespace {

FILE* Refuse(FileOpenFailure* failure, FileRefusal refusal, DWORD error) {
  *failure = {refusal, error};
  return nullptr;
}

// What stands at name, for a CreateFile that failed with error.
FileRefusal RefusalOf(const char* name, DWORD error) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return FileRefusal::InUse;
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileRefusal::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileRefusal::Directory;
  }
  return FileRefusal::SystemError;
}

}  // namespace

FILE* OpenExclusive(const char* name, FileOpenFailure* failure) {
  *failure = {FileRefusal::None, 0};
  // No sharing: while this run holds the file no other process can open it.
  // OPEN_ALWAYS, not CREATE_ALWAYS: an existing file is cut only by CutFile.
  // FILE_FLAG_OPEN_REPARSE_POINT: a link at the name is opened itself, not
  // followed, and then refused below.
  const HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return Refuse(failure, RefusalOf(name, error), error);
  }
  // Only a file on disk that is no reparse point is written to.
  BY_HANDLE_FILE_INFORMATION info;
  FileRefusal refusal = FileRefusal::None;
  DWORD error = ERROR_SUCCESS;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    refusal = FileRefusal::NotRegular;
  } else if (!GetFileInformationByHandle(file, &info)) {
    error = GetLastError();
    refusal = FileRefusal::SystemError;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    refusal = FileRefusal::Link;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    refusal = FileRefusal::Directory;
  }
  if (refusal != FileRefusal::None) {
    CloseHandle(file);
    return Refuse(failure, refusal, error);
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return Refuse(failure, FileRefusal::SystemError, ERROR_TOO_MANY_OPEN_FILES);
  }
  FILE* stream = _fdopen(fd, "r+b");
  if (stream == nullptr) {
    _close(fd);  // closes the handle too
    return Refuse(failure, FileRefusal::SystemError, ERROR_NOT_ENOUGH_MEMORY);
  }
  return stream;
}

bool CutFile(FILE* stream, long long length, unsigned long* code) {
  if (std::fflush(stream) != 0) {
    *code = GetLastError();
    return false;
  }
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  LARGE_INTEGER at;
  at.QuadPart = length;
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
    *code = GetLastError();
    return false;
  }
  // The stream's own position follows the handle's.
  if (std::fseek(stream, 0, SEEK_END) != 0) {
    *code = ERROR_SEEK;
    return false;
  }
  return true;
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

bool WaitForInput(FILE*, const std::atomic<bool>* stop) {
  // Ctrl-C ends a console read by itself; WaitForPendingStop covers the rest.
  return stop == nullptr || !stop->load();
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
