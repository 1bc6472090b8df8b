// Console, output files, sleeping and stop requests on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "console.h"
#include "paths.h"
#include "platform.h"

namespace {

// Shown in place of a character the console's code page cannot encode.
constexpr char Unencodable = '?';
// How long the end of console input waits for a Ctrl-C handler still on its way.
constexpr DWORD PendingStopWaitMs = 500;
constexpr DWORD PendingStopStepMs = 10;
// What _get_osfhandle gives for a standard stream the process started without.
constexpr intptr_t NoConsoleHandle = -2;
// How long a stop waits for an open it cancelled to return, and how often it
// tries to cancel it (the open may not have begun when the stop comes).
constexpr DWORD OpenStopWaitMs = 2000;
constexpr DWORD OpenStopStepMs = 10;

std::atomic<bool>* stopFlag = nullptr;
// Set (manual reset) once the run has ended and closed its files.
HANDLE runEnded = nullptr;
// Set once the run is about to create its files.
std::atomic<bool> filesInUse{false};
// The system's hung-application time-out, read when the handlers are
// installed (0: unknown).
unsigned long hungAppTimeoutMs = 0;
// The code page of console text written to a file or pipe (see RedirectCodePage).
UINT redirectCodePage = Utf8CodePage;
// The characters besides ASCII of the messages the run speaks: Japanese
// (MessageCharacters) or English (none).
const wchar_t* messageCharacters = MessageCharacters;
// The language of the system's own texts: the user's (0), or English.
DWORD systemTextLanguage = 0;

// Where the opening of the port stands, for a stop that comes meanwhile.
enum class PortOpening { NotYet, Opening, Opened, Stopping };
std::atomic<PortOpening> portOpening{PortOpening::NotYet};
// What a stop during an open that cannot be cancelled says, where, and the
// status it ends with.
FILE* openStopOut = nullptr;
const wchar_t* openStopMessage = L"";
int openStopStatus = 0;
// The thread that opens the port, for CancelSynchronousIo; null when it
// could not be opened so.
HANDLE openingThread = nullptr;

// The console's input (CONIN$, whatever standard input is) while Quick Edit
// is off, and its mode before; INVALID_HANDLE_VALUE while untouched.
HANDLE quickEditInput = INVALID_HANDLE_VALUE;
DWORD inputModeBefore = 0;

// A stop while the port opens: an open that blocks (a Bluetooth port, for
// tens of seconds) is cancelled, and the run, which sees the stop once the
// open has returned, ends without sending anything, with the port's earlier
// settings back where the open changed them. Only one cancel: a second could
// cut short the restore after a set-up step the first one cancelled. An open
// that does not return within OpenStopWaitMs ends the process, as nothing
// has been sent or written yet. Returns how long it waited.
DWORD StopPortOpening() {
  DWORD waited = 0;
  bool cancelled = false;
  for (; portOpening.load() == PortOpening::Opening && waited < OpenStopWaitMs;
       waited += OpenStopStepMs) {
    if (!cancelled && openingThread != nullptr) cancelled = CancelSynchronousIo(openingThread) != 0;
    Sleep(OpenStopStepMs);
  }
  PortOpening opening = PortOpening::Opening;
  if (portOpening.compare_exchange_strong(opening, PortOpening::Stopping)) {
    RestoreConsoleMode();
    Print(openStopOut, L"\n");
    Print(openStopOut, openStopMessage);
    ExitProcess(static_cast<UINT>(openStopStatus));
  }
  return waited;
}

// Runs on a thread the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (stopFlag != nullptr) stopFlag->store(true);
  const DWORD waited = StopPortOpening();
  // The process ends the moment this returns from a closing console: while
  // files are open, wait until the run has closed them, within the system's
  // bound. Before that the process may end at once. (A console program is
  // sent no log-off or shut-down event: those end it outright, and each block
  // already in the files stays there.)
  if (event == CTRL_CLOSE_EVENT) {
    const DWORD bound = CloseWaitMs(filesInUse.load(), hungAppTimeoutMs);
    const DWORD wait = bound > waited ? bound - waited : 0;
    if (wait > 0 && (runEnded == nullptr || WaitForSingleObject(runEnded, wait) == WAIT_FAILED)) {
      Sleep(wait);
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

// Whether codePage encodes every character of the messages exactly (no
// best-fit substitutes, no default character).
bool EncodesMessages(unsigned codePage) {
  char bytes[sizeof MessageCharacters * 2];
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, messageCharacters, -1, bytes,
                                    sizeof bytes, nullptr, &usedDefault);
  return n > 0 && !usedDefault;
}

// UTF-16 units converted at a time; a pair of surrogates is never split.
constexpr int RedirectChunkUnits = 256;
// Bytes one UTF-16 unit may become in any code page (UTF-8: three).
constexpr int MaxBytesPerUnit = 4;

// Writes text in redirectCodePage through the text stream out (which makes
// each LF CR LF). A character that code page cannot encode becomes '?'.
bool WriteRedirected(FILE* out, const wchar_t* text) {
  bool ok = true;
  const bool utf8 = redirectCodePage == Utf8CodePage;
  const char unencodable[] = {Unencodable, '\0'};
  size_t left = std::wcslen(text);
  while (left > 0) {
    int units = left < RedirectChunkUnits ? static_cast<int>(left) : RedirectChunkUnits;
    if (static_cast<size_t>(units) < left && IS_HIGH_SURROGATE(text[units - 1])) --units;
    char bytes[RedirectChunkUnits * MaxBytesPerUnit];
    const int n = WideCharToMultiByte(redirectCodePage, 0, text, units, bytes, sizeof bytes,
                                      utf8 ? nullptr : unencodable, nullptr);
    if (n <= 0) return false;
    ok = std::fwrite(bytes, 1, static_cast<size_t>(n), out) == static_cast<size_t>(n) && ok;
    text += units;
    left -= static_cast<size_t>(units);
  }
  return ok;
}

}  // namespace

void SetupConsoleLocale(bool english) {
  // The user's locale (e.g. Japanese_Japan.932), for the decimal separator.
  // Text written to a console does not depend on it (WriteConsoleW); text
  // written to a file or pipe is in the console's code page where that can
  // encode the messages, else UTF-8.
  if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C");
  if (english) {
    messageCharacters = L"";
    systemTextLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  }
  redirectCodePage = RedirectCodePage(GetConsoleOutputCP(), GetACP(), EncodesMessages);
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
  const bool written = WriteRedirected(out, text);
  return std::fflush(out) == 0 && written;
}

bool SystemErrorText(unsigned long code, wchar_t* text, size_t textSize) {
  if (textSize == 0) return false;
  text[0] = L'\0';
  if (code == 0) return false;
  // The message in the language asked for, else in the user's (a Windows
  // without the English texts); without one, the number.
  constexpr DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD n = FormatMessageW(flags, nullptr, code, systemTextLanguage, text,
                           static_cast<DWORD>(textSize), nullptr);
  if (n == 0 && systemTextLanguage != 0) {
    n = FormatMessageW(flags, nullptr, code, 0, text, static_cast<DWORD>(textSize), nullptr);
  }
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

const PathStyle NativePathStyle = PathStyle::Windows;
const SystemKind NativeSystem = SystemKind::Windows;

namespace {

// Longest path the system takes in the extended-length form, with its terminator.
constexpr size_t WidePathSize = 32768;

// Working buffers of WidePath (the program has one thread that opens files).
wchar_t widePath[WidePathSize];
wchar_t fullPath[WidePathSize];

// path (UTF-8) as the wide path to give the W functions: its full form, in
// the extended-length form when that is PlainPathLimit characters or longer.
// Null when it is no valid UTF-8 or too long for any form; *error says which.
const wchar_t* WidePath(const char* path, DWORD* error) {
  static wchar_t systemPath[WidePathSize];
  *error = ERROR_SUCCESS;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath,
                                    static_cast<int>(WidePathSize));
  if (n <= 0) {
    *error = GetLastError();
    return nullptr;
  }
  // The length that counts is the full path's: a short relative path in a
  // deep folder is long too. The extended-length form is taken as it stands
  // (no "." or "..", no '/'), so it is made from the full path.
  const DWORD full =
      GetFullPathNameW(widePath, static_cast<DWORD>(WidePathSize), fullPath, nullptr);
  if (full == 0 || full >= WidePathSize) {
    *error = full == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  if (!SystemPath(fullPath, systemPath, WidePathSize)) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  return systemPath;
}

FILE* Refuse(FileOpenFailure* failure, FileRefusal refusal, DWORD error) {
  *failure = {refusal, error};
  return nullptr;
}

// What stands at path, for a CreateFileW that failed with error.
FileRefusal RefusalOf(const wchar_t* path, DWORD error) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return FileRefusal::InUse;
  if (error == ERROR_FILENAME_EXCED_RANGE) return FileRefusal::NameTooLong;
  // The directory entry tells the attributes and, for a reparse point, its tag.
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW(path, &entry);
  if (find != INVALID_HANDLE_VALUE) {
    FindClose(find);
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        RefusedReparseTag(entry.dwReserved0)) {
      return FileRefusal::Link;
    }
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileRefusal::Directory;
  }
  return FileRefusal::SystemError;
}

// Opens path for writing, held by this process alone. OPEN_ALWAYS, not
// CREATE_ALWAYS: an existing file is truncated only once it is held and known
// to be one to write.
HANDLE CreateForWriting(const wchar_t* path, DWORD disposition, DWORD flags) {
  // Read too: a resumed run reads back what an earlier run wrote.
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION* a, const BY_HANDLE_FILE_INFORMATION* b) {
  return a->dwVolumeSerialNumber == b->dwVolumeSerialNumber &&
         a->nFileIndexHigh == b->nFileIndexHigh && a->nFileIndexLow == b->nFileIndexLow;
}

// Checks what the open handle *file (opened with FILE_FLAG_OPEN_REPARSE_POINT
// at path) is. A reparse point that is no name surrogate is opened again
// through its filter (so that a deduplicated or compressed file is written as
// the file it is), and must still be the same file. None when it may be
// written to; *error holds the system's code of a failure.
FileRefusal CheckOutputFile(const wchar_t* path, HANDLE* file, DWORD* error) {
  *error = ERROR_SUCCESS;
  if (GetFileType(*file) != FILE_TYPE_DISK) return FileRefusal::NotRegular;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(*file, &info)) {
    *error = GetLastError();
    return FileRefusal::SystemError;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(*file, FileAttributeTagInfo, &tag, sizeof tag)) {
      *error = GetLastError();
      return FileRefusal::SystemError;
    }
    if (RefusedReparseTag(tag.ReparseTag)) return FileRefusal::Link;
    CloseHandle(*file);
    *file = CreateForWriting(path, OPEN_EXISTING, 0);
    if (*file == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return RefusalOf(path, *error);
    }
    BY_HANDLE_FILE_INFORMATION again;
    if (!GetFileInformationByHandle(*file, &again)) {
      *error = GetLastError();
      return FileRefusal::SystemError;
    }
    // Replaced by a link in the meantime.
    if (!SameFile(&info, &again)) return FileRefusal::Link;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileRefusal::Directory;
  // A file with other names (mklink /H) would change under those names too.
  if (info.nNumberOfLinks > 1) return FileRefusal::HardLink;
  return FileRefusal::None;
}

}  // namespace

FILE* OpenExclusive(const char* name, FileOpenFailure* failure) {
  *failure = {FileRefusal::None, 0};
  DWORD error = ERROR_SUCCESS;
  const wchar_t* path = WidePath(name, &error);
  if (path == nullptr) {
    return Refuse(
        failure,
        error == ERROR_FILENAME_EXCED_RANGE ? FileRefusal::NameTooLong : FileRefusal::SystemError,
        error);
  }
  // No sharing: while this run holds the file no other process can open it.
  // FILE_FLAG_OPEN_REPARSE_POINT: a link at the name is opened itself, not
  // followed, and then refused.
  HANDLE file = CreateForWriting(path, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return Refuse(failure, RefusalOf(path, error), error);
  }
  // An existing file is left as it is: it is cut only by CutFile.
  const FileRefusal refusal = CheckOutputFile(path, &file, &error);
  if (refusal != FileRefusal::None) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
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

namespace {

// Names a file written whole may take while it is written, beside it.
constexpr int TemporaryNameTries = 100;
// The wide path of that file, kept while WidePath makes the other one.
wchar_t temporaryPath[WidePathSize];
// Its name: the path, a dot, the process id, a count and ".tmp".
constexpr size_t TemporarySuffixSize = 40;
char temporaryName[WidePathSize * 3 + TemporarySuffixSize];

// Creates a new file beside path, written by this process alone: its handle,
// with its wide path in temporaryPath; INVALID_HANDLE_VALUE (*error says
// why) on failure.
HANDLE CreateBeside(const char* path, DWORD* error) {
  for (int i = 0; i < TemporaryNameTries; ++i) {
    const int n = std::snprintf(temporaryName, sizeof temporaryName, "%s.%lu-%d.tmp", path,
                                static_cast<unsigned long>(GetCurrentProcessId()), i);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temporaryName) {
      *error = ERROR_FILENAME_EXCED_RANGE;
      return INVALID_HANDLE_VALUE;
    }
    const wchar_t* wide = WidePath(temporaryName, error);
    if (wide == nullptr) return INVALID_HANDLE_VALUE;
    std::wcscpy(temporaryPath, wide);
    const HANDLE file = CreateFileW(temporaryPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    *error = GetLastError();
    if (*error != ERROR_FILE_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool WriteWholeFile(const char* path, const char* bytes, size_t size, unsigned long* code) {
  DWORD error = ERROR_SUCCESS;
  const HANDLE file = CreateBeside(path, &error);
  if (file == INVALID_HANDLE_VALUE) {
    *code = error;
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < size;) {
    const DWORD chunk = size - done < MAXDWORD ? static_cast<DWORD>(size - done) : MAXDWORD;
    DWORD written = 0;
    ok = WriteFile(file, bytes + done, chunk, &written, nullptr) && written > 0;
    done += written;
  }
  ok = ok && FlushFileBuffers(file);
  if (!ok) error = GetLastError();
  if (!CloseHandle(file) && ok) {
    ok = false;
    error = GetLastError();
  }
  // The rename replaces a file already at path in one step.
  const wchar_t* target = ok ? WidePath(path, &error) : nullptr;
  if (ok &&
      (target == nullptr ||
       !MoveFileExW(temporaryPath, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))) {
    ok = false;
    if (target != nullptr) error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(temporaryPath);
    *code = error;
  }
  return ok;
}

long long RegularFileSize(const char* path) {
  DWORD error = ERROR_SUCCESS;
  const wchar_t* wide = WidePath(path, &error);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (wide == nullptr || !GetFileAttributesExW(wide, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  return static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
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

bool SyncFile(FILE* stream, unsigned long* code) {
  if (std::fflush(stream) != 0) {
    *code = GetLastError();
    return false;
  }
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (!FlushFileBuffers(file)) {
    *code = GetLastError();
    return false;
  }
  return true;
}

bool FileAtName(FILE*, const char*) {
  // Opened without sharing (OpenExclusive): removing or renaming the file
  // needs an open for deletion, which the system refuses while this run
  // holds it, and a folder with an open file in it cannot be removed or
  // renamed either. The name leads to the file until it is closed.
  return true;
}

void InstallStopHandlers(std::atomic<bool>* flag) {
  stopFlag = flag;
  runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Unknown (0) where the system does not tell it: the default is assumed.
  UINT timeout = 0;
  if (SystemParametersInfoW(SPI_GETHUNGAPPTIMEOUT, 0, &timeout, 0)) hungAppTimeoutMs = timeout;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void MarkFilesInUse() {
  filesInUse.store(true);
}

void MarkRunEnded() {
  if (runEnded != nullptr) SetEvent(runEnded);
}

void MarkPortOpening(FILE* out, const wchar_t* stopMessage, int stopStatus) {
  openStopOut = out;
  openStopMessage = stopMessage;
  openStopStatus = stopStatus;
  // THREAD_TERMINATE is the right CancelSynchronousIo needs.
  if (openingThread == nullptr) {
    openingThread = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
  }
  portOpening.store(PortOpening::Opening);
}

void MarkPortOpened() {
  PortOpening opening = PortOpening::Opening;
  if (portOpening.compare_exchange_strong(opening, PortOpening::Opened)) return;
  // A stop is ending the process on its own thread: nothing more may happen here.
  if (opening == PortOpening::Stopping) Sleep(INFINITE);
}

void TurnQuickEditOff() {
  const HANDLE input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (input == INVALID_HANDLE_VALUE) return;  // no console: nothing to freeze
  // ENABLE_EXTENDED_FLAGS makes the console take the Quick Edit bit. A console
  // that refuses keeps its mode: the run works, only a click can pause it.
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode) ||
      !SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE)) {
    CloseHandle(input);
    return;
  }
  inputModeBefore = mode;
  quickEditInput = input;
}

void RestoreConsoleMode() {
  const HANDLE input = quickEditInput;
  if (input == INVALID_HANDLE_VALUE) return;
  quickEditInput = INVALID_HANDLE_VALUE;
  // A mode read without ENABLE_EXTENDED_FLAGS says nothing of Quick Edit and
  // insert mode, and set so it would leave them as they are now (off): they
  // get the console's defaults (on) back.
  DWORD mode = inputModeBefore;
  if ((mode & ENABLE_EXTENDED_FLAGS) == 0) {
    mode |= ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE;
  }
  // A console that refuses keeps Quick Edit off: harmless, and nothing else can be done.
  SetConsoleMode(input, mode);
  CloseHandle(input);
}

namespace {

// UTF-16 units of a typed line read at a time.
constexpr DWORD TypedUnits = 256;

// Reads a line from the console as UTF-16 (ReadConsoleW): ReadFile on a
// console in code page 65001 returns nothing on Windows 10 before 1903. The
// line is handed on in the console's input code page, as WidenTypedLine
// takes it; what does not fit is read and dropped, as a stream would have
// read it. False when the read ended without a line (Ctrl-C, an error).
bool ReadConsoleLine(HANDLE console, char* line, size_t size) {
  // Kept: as many units as line holds in any code page (MaxBytesPerUnit bytes each).
  const size_t fits = (size - 1) / MaxBytesPerUnit;
  const DWORD kept = fits < TypedUnits ? static_cast<DWORD>(fits) : TypedUnits;
  wchar_t wide[TypedUnits + 1];
  DWORD got = 0;
  if (kept == 0 || !ReadConsoleW(console, wide, kept, &got, nullptr) || got == 0) return false;
  wide[got] = L'\0';
  for (bool ended = wide[got - 1] == L'\n'; !ended;) {
    wchar_t rest[TypedUnits];
    DWORD more = 0;
    if (!ReadConsoleW(console, rest, TypedUnits, &more, nullptr) || more == 0) break;
    ended = rest[more - 1] == L'\n';
  }
  UINT codePage = GetConsoleCP();
  if (codePage == 0) codePage = GetACP();
  // A line that does not fit (never one of kept units) is taken as empty.
  if (WideCharToMultiByte(codePage, 0, wide, -1, line, static_cast<int>(size), nullptr, nullptr) ==
      0) {
    line[0] = '\0';
  }
  return true;
}

}  // namespace

bool ReadTypedLine(FILE* in, char* line, size_t size) {
  const HANDLE console = ConsoleOf(in);
  if (console != nullptr) return ReadConsoleLine(console, line, size);
  return std::fgets(line, static_cast<int>(size), in) != nullptr;
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
  DWORD error = ERROR_SUCCESS;
  const wchar_t* wide = WidePath(path, &error);
  if (wide == nullptr) return false;
  const DWORD attributes = GetFileAttributesW(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void WidenTypedLine(const char* line, wchar_t* wide, size_t size) {
  if (size == 0) return;
  // What the console read was encoded in its input code page.
  UINT codePage = GetConsoleCP();
  if (codePage == 0) codePage = GetACP();
  // A line too long for size (never one of LineBufferSize bytes into as many
  // characters) is taken as empty.
  if (MultiByteToWideChar(codePage, 0, line, -1, wide, static_cast<int>(size)) == 0) {
    wide[0] = L'\0';
  }
}

void WidenArgument(const char* text, wchar_t* wide, size_t size) {
  if (size == 0) return;
  // Cut to size: a text that does not fit is converted in part, whole characters only.
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, static_cast<int>(size));
  if (n > 0) return;
  wide[0] = L'\0';
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
  for (size_t length = std::strlen(text); length > 0; --length) {
    const int part = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide,
                                         static_cast<int>(size - 1));
    if (part > 0) {
      wide[part] = L'\0';
      return;
    }
  }
}

bool WindowClosesAtExit(FILE* in, FILE* out, bool* midLine) {
  *midLine = false;
  // Two entries are enough to tell "alone" from "shared"; the result is the
  // whole count (0 on failure, which counts as shared).
  DWORD processes[2];
  const DWORD count = GetConsoleProcessList(processes, 2);
  const HANDLE input = ConsoleOf(in);
  const HANDLE output = ConsoleOf(out);
  if (!WindowClosesWithProgram(count, input != nullptr, output != nullptr)) return false;
  CONSOLE_SCREEN_BUFFER_INFO screen;
  *midLine = GetConsoleScreenBufferInfo(output, &screen) && screen.dwCursorPosition.X != 0;
  return true;
}

void WaitForEnter(FILE* in) {
  // Keys pressed during the run must not end the wait at once.
  const HANDLE input = ConsoleOf(in);
  if (input != nullptr) {
    FlushConsoleInputBuffer(input);
    char line[TypedUnits];
    ReadConsoleLine(input, line, sizeof line);  // a read that ends without a line ends the wait too
    return;
  }
  std::clearerr(in);
  for (int c = std::fgetc(in); c != EOF && c != '\n';) c = std::fgetc(in);
}
