// Console, output files, sleeping and stop requests on Linux.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cwchar>

#include "platform.h"

namespace {

// A sample of the messages: the locale must be able to encode these.
constexpr wchar_t JapaneseSample[] = L"接続されているCOMポート一覧";

std::atomic<bool>* stopFlag = nullptr;

void OnStopSignal(int) {
  if (stopFlag != nullptr) stopFlag->store(true);
}

}  // namespace

void SetupConsoleLocale() {
  if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C");
  // The C or POSIX locale (servers, CI) cannot encode Japanese: keep the user's
  // other categories and take UTF-8 for the characters alone.
  char probe[sizeof JapaneseSample * MB_LEN_MAX];
  if (std::wcstombs(probe, JapaneseSample, sizeof probe) == static_cast<size_t>(-1)) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

bool ConsoleWrite(FILE* out, const wchar_t* text) {
  // Converted here as glibc's wide streams convert (the locale's character set,
  // transliterating what it cannot encode) and written to out as bytes, so that
  // the flush makes one write. A wide stream in glibc 2.36 converts its text for
  // a flush in pieces of 16 bytes and writes each piece by itself: six writes
  // per progress line (glibc bug 31183).
  char target[64];
  std::snprintf(target, sizeof target, "%s//TRANSLIT", nl_langinfo(CODESET));
  const iconv_t converter = iconv_open(target, "WCHAR_T");
  char bytes[512];
  bool written = true;
  if (converter != reinterpret_cast<iconv_t>(-1)) {
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text));
    size_t inLeft = std::wcslen(text) * sizeof(wchar_t);
    while (inLeft > 0) {
      char* to = bytes;
      size_t toLeft = sizeof bytes;
      const bool stuck =
          iconv(converter, &in, &inLeft, &to, &toLeft) == static_cast<size_t>(-1) && errno != E2BIG;
      const size_t n = static_cast<size_t>(to - bytes);
      written = std::fwrite(bytes, 1, n, out) == n && written;
      if (stuck) {  // a character even transliteration cannot give: the text ends there
        written = false;
        break;
      }
    }
    iconv_close(converter);
  } else {
    // No converter for the locale's character set: character by character.
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
  }
  return std::fflush(out) == 0 && written;
}

FILE* OpenExclusive(const char* name) {
  // Not O_TRUNC: a file that another run holds must stay as it is.
  const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // Only a regular file is locked and truncated: a lock on a device node (a
  // name linked to /dev/null, say) would hold every other program on the
  // machine that locks it, and a device has no old contents to drop.
  struct stat info;
  if (fstat(fd, &info) != 0 ||
      (S_ISREG(info.st_mode) && (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0))) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

void SleepMs(unsigned ms) {
  // A stop signal ends the sleep early; the caller checks the flag.
  timespec delay = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&delay, nullptr);
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

void HoldWindowUntilRead(FILE*, FILE*) {
  // A terminal window on Linux belongs to its shell, not to this program.
}

void MarkRunEnded() {
  // Nothing waits for it: a signal never ends the process behind the run's back.
}

void WaitForPendingStop(FILE*, const std::atomic<bool>*) {
  // A signal's handler has run before the read it interrupted returns.
}
