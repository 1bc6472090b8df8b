// Console, output files, sleeping and stop requests on Linux.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "console.h"
#include "paths.h"
#include "platform.h"

namespace {

// A sample of the messages: the locale must be able to encode these.
constexpr wchar_t JapaneseSample[] = L"接続されているCOMポート一覧";

std::atomic<bool>* stopFlag = nullptr;

void OnStopSignal(int) {
  if (stopFlag != nullptr) stopFlag->store(true);
}

}  // namespace

void SetupConsoleLocale(bool english) {
  if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C");
  // strerror speaks the language of LC_MESSAGES: the C locale's is English.
  if (english) std::setlocale(LC_MESSAGES, "C");
  // The C or POSIX locale (servers, CI) cannot encode Japanese: keep the user's
  // other categories and take UTF-8 for the characters alone.
  char probe[sizeof JapaneseSample * MB_LEN_MAX];
  if (std::wcstombs(probe, JapaneseSample, sizeof probe) == static_cast<size_t>(-1)) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

namespace {

// Writes text to out through converter; false when a write failed or a
// character could not be converted even by transliteration (the text ends
// there).
bool WriteConverted(FILE* out, iconv_t converter, const wchar_t* text) {
  char bytes[512];
  bool written = true;
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text));
  size_t inLeft = std::wcslen(text) * sizeof(wchar_t);
  while (inLeft > 0) {
    char* to = bytes;
    size_t toLeft = sizeof bytes;
    const bool stuck =
        iconv(converter, &in, &inLeft, &to, &toLeft) == static_cast<size_t>(-1) && errno != E2BIG;
    const size_t n = static_cast<size_t>(to - bytes);
    written = std::fwrite(bytes, 1, n, out) == n && written;
    if (stuck) return false;
  }
  return written;
}

// Writes text to out character by character, '?' for what the locale cannot
// encode: where no converter exists for its character set.
bool WriteByCharacter(FILE* out, const wchar_t* text) {
  char bytes[MB_LEN_MAX];
  bool written = true;
  std::mbstate_t state{};
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    size_t n = std::wcrtomb(bytes, *c, &state);
    if (n == static_cast<size_t>(-1)) {
      bytes[0] = '?';
      n = 1;
      state = std::mbstate_t{};
    }
    written = std::fwrite(bytes, 1, n, out) == n && written;
  }
  return written;
}

}  // namespace

bool ConsoleWrite(FILE* out, const wchar_t* text) {
  // Converted here as glibc's wide streams convert (the locale's character set,
  // transliterating what it cannot encode) and written to out as bytes, so that
  // the flush makes one write. A wide stream in glibc 2.36 converts its text for
  // a flush in pieces of 16 bytes and writes each piece by itself: six writes
  // per progress line (glibc bug 31183).
  char target[64];
  std::snprintf(target, sizeof target, "%s//TRANSLIT", nl_langinfo(CODESET));
  const iconv_t converter = iconv_open(target, "WCHAR_T");
  bool written = false;
  if (converter != reinterpret_cast<iconv_t>(-1)) {
    written = WriteConverted(out, converter, text);
    iconv_close(converter);
  } else {
    written = WriteByCharacter(out, text);
  }
  return std::fflush(out) == 0 && written;
}

bool SystemErrorText(unsigned long code, wchar_t* text, size_t textSize) {
  if (textSize == 0) return false;
  text[0] = L'\0';
  if (code == 0) return false;
  // strerror speaks the locale's language in its encoding.
  Widen(std::strerror(static_cast<int>(code)), text, textSize);
  return text[0] != L'\0';
}

bool KeepStandardStreamsOpen() {
  constexpr int standardStreams = 3;
  for (int fd = 0; fd < standardStreams; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, since those below it are open.
    const int null = open("/dev/null", O_RDWR);
    if (null != fd) {
      if (null >= 0) close(null);
      return false;
    }
  }
  return true;
}

namespace {

FILE* Refuse(FileOpenFailure* failure, FileRefusal refusal, int error) {
  *failure = {refusal, static_cast<unsigned long>(error)};
  return nullptr;
}

// What stands at name, for an open that failed with error.
FileRefusal RefusalOf(const char* name, int error) {
  struct stat info;
  if (lstat(name, &info) == 0) {
    if (S_ISLNK(info.st_mode)) return FileRefusal::Link;
    if (S_ISDIR(info.st_mode)) return FileRefusal::Directory;
    if (!S_ISREG(info.st_mode)) return FileRefusal::NotRegular;
  }
  if (error == EWOULDBLOCK) return FileRefusal::InUse;
  return FileRefusal::SystemError;
}

// Checks and takes the file open as fd at name: a regular file with no
// other name, locked for this run, and blocking again. FileRefusal::None when
// it may be written; the system's code in *error otherwise.
FileRefusal TakeFile(const char* name, int fd, int* error) {
  *error = 0;
  // Only a regular file is written: a pipe with a reader or a device opened
  // fine, but is no file to keep. It is locked only once known to be one (a
  // lock on a device node would hold every other program on the machine that
  // locks it).
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = errno;
    return RefusalOf(name, *error);
  }
  // A file with other names (a hard link, e.g. in a copy made with cp -al)
  // would change under those names too: it is left as it is.
  if (info.st_nlink > 1) return FileRefusal::HardLink;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno;
    return *error == EWOULDBLOCK ? FileRefusal::InUse : FileRefusal::SystemError;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = errno;
    return FileRefusal::SystemError;
  }
  return FileRefusal::None;
}

}  // namespace

FILE* OpenExclusive(const char* name, FileOpenFailure* failure) {
  *failure = {FileRefusal::None, 0};
  // Not O_TRUNC: a file that another run holds must stay as it is. O_NOFOLLOW:
  // a link at the name (dangling or not) fails instead of leading elsewhere.
  // O_NONBLOCK: a named pipe without a reader fails instead of waiting.
  const int fd =
      open(name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) {
    const int error = errno;
    return Refuse(failure, RefusalOf(name, error), error);
  }
  int error = 0;
  const FileRefusal refusal = TakeFile(name, fd, &error);
  if (refusal != FileRefusal::None) {
    close(fd);
    return Refuse(failure, refusal, error);
  }
  FILE* file = fdopen(fd, "r+b");
  if (file == nullptr) {
    error = errno;
    close(fd);
    return Refuse(failure, FileRefusal::SystemError, error);
  }
  return file;
}

namespace {

// Names a file written whole may take while it is written, beside it.
constexpr int TemporaryNameTries = 100;

// Writes size bytes to fd; false (errno says why) when they did not all go.
bool WriteAll(int fd, const char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;  // a stop signal; the write goes on
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteWholeFile(const char* path, const char* bytes, size_t size, unsigned long* code) {
  // A name of this process's own beside path: the rename stays in the folder.
  char temporary[PATH_MAX];
  int fd = -1;
  for (int i = 0; fd < 0 && i < TemporaryNameTries; ++i) {
    const int n = std::snprintf(temporary, sizeof temporary, "%s.%ld-%d.tmp", path,
                                static_cast<long>(getpid()), i);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) {
      *code = ENAMETOOLONG;
      return false;
    }
    fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *code = static_cast<unsigned long>(errno);
    return false;
  }
  bool ok = WriteAll(fd, bytes, size) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temporary, path) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temporary);
    *code = static_cast<unsigned long>(error);
  }
  return ok;
}

long long RegularFileSize(const char* path) {
  struct stat info;
  if (lstat(path, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<long long>(info.st_size);
}

bool CutFile(FILE* stream, long long length, unsigned long* code) {
  if (std::fflush(stream) != 0 || ftruncate(fileno(stream), static_cast<off_t>(length)) != 0 ||
      std::fseek(stream, 0, SEEK_END) != 0) {
    *code = static_cast<unsigned long>(errno);
    return false;
  }
  return true;
}

bool SyncFile(FILE* stream, unsigned long* code) {
  if (std::fflush(stream) != 0 || fsync(fileno(stream)) != 0) {
    *code = static_cast<unsigned long>(errno);
    return false;
  }
  return true;
}

bool FileAtName(FILE* stream, const char* name) {
  // The name itself, not what a link put there leads to.
  struct stat open;
  struct stat named;
  return fstat(fileno(stream), &open) == 0 && lstat(name, &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void InstallStopHandlers(std::atomic<bool>* flag) {
  stopFlag = flag;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read or poll returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // A console that went away (a closed pipe) must not kill the run before it
  // has closed its files: writing to it just fails.
  signal(SIGPIPE, SIG_IGN);
}

bool IsFolder(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

const PathStyle NativePathStyle = PathStyle::Posix;
const SystemKind NativeSystem = SystemKind::Linux;

void WidenTypedLine(const char* line, wchar_t* wide, size_t size) {
  constexpr wchar_t Replacement = 0xFFFD;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
  size_t n = 0;
  while (*p != '\0' && n + 1 < size) {
    // The lead byte tells how many continuation bytes (10xxxxxx) follow.
    const unsigned lead = *p++;
    const int more = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    unsigned code = more == 0 ? lead : lead & (0x3Fu >> more);
    int taken = 0;
    while (taken < more && (p[taken] & 0xC0) == 0x80) code = code << 6 | (p[taken++] & 0x3F);
    if (more < 0 || taken < more || lead > 0xF4) {
      wide[n++] = Replacement;  // the bytes taken so far stay behind the lead
      continue;
    }
    p += taken;
    wide[n++] = static_cast<wchar_t>(code);
  }
  if (size > 0) wide[n] = L'\0';
}

void WidenArgument(const char* text, wchar_t* wide, size_t size) {
  Widen(text, wide, size);
}

void MarkFilesInUse() {
  // Nothing waits for it: signals only set the stop flag.
}

bool WindowClosesAtExit(FILE*, FILE*, bool* midLine) {
  // A terminal window on Linux belongs to its shell, not to this program.
  *midLine = false;
  return false;
}

void WaitForEnter(FILE*) {}

void MarkPortOpening(FILE*, const wchar_t*, int) {}

void MarkPortOpened() {}

void TurnQuickEditOff() {}

void RestoreConsoleMode() {}

void MarkRunEnded() {
  // Nothing waits for it: a signal never ends the process behind the run's back.
}

bool WaitForInput(FILE* in, const std::atomic<bool>* stop) {
  // Waits in short slices: a signal that arrives between the check of the flag
  // and the wait only delays the answer by one slice.
  constexpr int sliceMs = 100;
  const int fd = fileno(in);
  if (fd < 0) return stop == nullptr || !stop->load();  // a stream in memory: always ready
  for (;;) {
    if (stop != nullptr && stop->load()) return false;
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, sliceMs);
    if (ready > 0) return true;  // a line, the end of input or an error: fgets tells
    if (ready < 0 && errno != EINTR) return true;
  }
}

bool ReadTypedLine(FILE* in, char* line, size_t size) {
  return std::fgets(line, static_cast<int>(size), in) != nullptr;  // the stream as it is
}

void WaitForPendingStop(FILE*, const std::atomic<bool>*) {
  // A signal's handler has run before the read it interrupted returns.
}
