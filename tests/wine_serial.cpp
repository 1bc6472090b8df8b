// A Windows helper for the Wine tests: the link, through its seam of system
// calls, against what real drivers do and Wine's never does, and the decisions
// about settings a port reads back. Prints each failed check, exits 1 on any.
//   wine_serial NUMBER FOLDER  (a COM port holding a few bytes, silent after)
#include "serial/link_win.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "dump/dump.h"
#include "dump/messages.h"
#include "platform/timing.h"
#include "serial/link.h"

namespace {

int failures = 0;
void Check(bool ok, int line, const char* what) {
  if (!ok && ++failures > 0) std::printf("line %d: %s\n", line, what);
}
#define CHECK(condition) Check((condition), __LINE__, #condition)

std::atomic<bool> stop{false};
// What the fakes do: SetCommState calls that pass before the rest fail, a
// stop at the next, the output queue reported, a port that cannot tell its state.
int statesToPass = 1 << 30;
bool stopOnState = false;
DCB lastState;
DWORD outputQueued = 0;
bool portGone = false;

BOOL WINAPI RefusePurge(HANDLE, DWORD) {
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}
BOOL WINAPI SetState(HANDLE port, LPDCB dcb) {
  stop = stop || stopOnState;
  lastState = *dcb;
  if (statesToPass-- > 0) return SetCommState(port, dcb);
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}
BOOL WINAPI Status(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
  if (portGone) SetLastError(ERROR_BAD_COMMAND);
  const BOOL ok = !portGone && ClearCommError(port, errors, status);
  if (ok) status->cbOutQue = outputQueued;
  return ok;
}
BOOL WINAPI NothingAtOnce(HANDLE, LPVOID, DWORD, LPDWORD got, LPOVERLAPPED) {
  *got = 0;
  return TRUE;
}

// From the settings asked for, one change at a time: what the port refused.
void CheckDecisions() {
  using S = SerialSetting;
  using T = COMMTIMEOUTS;
  const std::pair<void (*)(DCB*, T*), S> cases[] = {
      {[](DCB* d, T*) { d->BaudRate = 19231; }, S::None},      // an adapter's nearest rate
      {[](DCB* d, T*) { d->BaudRate = 19585; }, S::BaudRate},  // just over 2 % off
      {[](DCB* d, T*) { d->fNull = d->fAbortOnError = FALSE; }, S::None},
      {[](DCB* d, T*) { d->fDtrControl = d->fRtsControl = 1; }, S::None},  // on, no handshake
      {[](DCB* d, T*) { d->ByteSize = 7; }, S::DataBits},
      {[](DCB* d, T*) { d->Parity = EVENPARITY; }, S::Parity},
      {[](DCB* d, T*) { d->StopBits = TWOSTOPBITS; }, S::StopBits},
      {[](DCB* d, T*) { d->fOutxCtsFlow = TRUE; }, S::FlowControl},
      {[](DCB* d, T*) { d->fDtrControl = DTR_CONTROL_HANDSHAKE; }, S::FlowControl},
      {[](DCB*, T* t) { t->ReadTotalTimeoutConstant = 516; }, S::None},  // one step more
      {[](DCB*, T* t) { t->ReadTotalTimeoutConstant = 517; }, S::ReadTimeout},
      {[](DCB*, T* t) { t->ReadTotalTimeoutMultiplier = t->ReadTotalTimeoutConstant = 0; },
       S::ReadTimeout},
      {[](DCB*, T* t) { t->ReadIntervalTimeout = 10, t->WriteTotalTimeoutConstant = 0; }, S::None}};
  for (const auto& c : cases) {
    DCB dcb{};
    dcb.BaudRate = SerialBaudRate;
    dcb.ByteSize = 8;
    COMMTIMEOUTS timeouts = {0, 5, 500, 5, 100};
    c.first(&dcb, &timeouts);
    SerialSetting refused = RefusedLineSetting(&dcb);
    if (refused == SerialSetting::None) refused = RefusedTimeouts(&timeouts);
    Check(refused == c.second, static_cast<int>(&c - cases), "decision case (its index)");
  }
}

// Whether the console text of the runs shows message (its first chars characters).
bool Shows(const std::string& console, const wchar_t* message, int chars) {
  char text[256];
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, message, chars, text, sizeof text, nullptr, nullptr);
  return n > 0 && console.find(std::string(text, static_cast<size_t>(n))) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string device = std::string("\\\\.\\COM") + argv[1];
  CheckDecisions();
  // The port as it was before (a pseudo-terminal's 38400 baud; DTR and RTS
  // on, as Wine reports them) is what each close puts back.
  const DWORD earlierRate = 38400;
  // A refused purge: the port is used all the same, what was queued is read off.
  serialWinSeam.purgeComm = RefusePurge;
  serialWinSeam.setCommState = SetState;
  SerialOpenFailure failure;
  SerialLink* link = SerialOpen(device.c_str(), &failure);
  if (link == nullptr) return std::printf("%s not opened\n", device.c_str()) > 0;
  CHECK(!SerialLineWaiting(link, 's'));
  serialWinSeam.purgeComm = PurgeComm;
  unsigned long code = 1;
  CHECK(SerialClose(link, &code) && code == 0);
  CHECK(lastState.BaudRate == earlierRate && lastState.fDtrControl == DTR_CONTROL_DISABLE &&
        lastState.fRtsControl == RTS_CONTROL_DISABLE);

  // A stop while the port is set up: nothing sent, the earlier settings back.
  FILE* console = std::fopen((std::string(argv[2]) + "\\console.txt").c_str(), "w+b");
  DumpOptions run = {stdin, console, 0, &stop, argv[2], argv[1], false, false, false, nullptr};
  stopOnState = true;
  CHECK(RunDump(&run) == ExitInterrupted && lastState.BaudRate == earlierRate);
  stopOnState = stop = false;

  // Reads that come back at once and empty: a quiet line while the port
  // answers, a failed one once it cannot tell its state, at once from then on.
  link = SerialOpen(device.c_str(), &failure);
  serialWinSeam.readFile = NothingAtOnce;
  serialWinSeam.clearCommError = Status;
  char line[SerialLineSize];
  CHECK(SerialReadLine(link, line) == SerialLineTimeout);
  CHECK(SerialReadLine(link, line) == SerialLineTimeout);
  portGone = true;
  CHECK(SerialReadLine(link, line) == SerialLineFailed);
  const long long failedMs = NowMs();
  CHECK(SerialReadLine(link, line) == SerialLineFailed && NowMs() - failedMs < ReadTimeoutMs / 2);
  portGone = false;
  serialWinSeam.readFile = ReadFile;
  // Output that never leaves the queue holds the close for a while only.
  outputQueued = 3;
  CHECK(SerialClose(link, &code));
  outputQueued = 0;

  // Settings that cannot be put back: at the close, and after a refused set-up.
  link = SerialOpen(device.c_str(), &failure);
  statesToPass = 0;
  CHECK(link != nullptr && !SerialClose(link, &code) && code == ERROR_GEN_FAILURE);
  CHECK(RunDump(&run) == ExitPortOpen);
  std::string shown(4096, '\0');
  std::rewind(console);
  shown.resize(std::fread(&shown[0], 1, shown.size(), console));
  CHECK(Shows(shown, Msg::Interrupted, 5) && Shows(shown, Msg::PortNotRestoredWithSystem, 20));
  return failures == 0 ? 0 : 1;
}
