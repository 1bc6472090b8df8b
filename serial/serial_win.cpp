// The serial link on Windows: a COM port opened with CreateFileW, configured
// through its DCB and COMMTIMEOUTS, read one byte per ReadFile. The calls in
// which drivers differ go through serialWinSeam.
#include "link_win.h"

#include <cstring>

#include "link.h"
#include "platform/timing.h"

SerialWinSeam serialWinSeam = {PurgeComm, SetCommState, SetCommTimeouts, ClearCommError, ReadFile};

namespace {

// Purge both queues and abort whatever is pending on them.
constexpr DWORD PurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// The XON/XOFF limits and characters; they have no effect while XON/XOFF is off.
constexpr WORD FlowLimitBytes = 512;
constexpr char XonCharacter = 0x11;
constexpr char XoffCharacter = 0x13;
constexpr char NoErrorCharacter = 0x00;
constexpr char EndOfDataCharacter = 0x03;
constexpr char EventCharacter = 0x02;
constexpr BYTE DataBits = 8;
// Reads use total time-outs only (no interval time-out, a setting every
// driver documents): a read of one byte completes as soon as it arrives and
// waits at most ReadTotalTimeoutMultiplier + ReadTotalTimeoutConstant = 505 ms.
// A driver that returns early without a byte all the same is waited out by
// the clock above this file.
constexpr DWORD NoIntervalTimeout = 0;
constexpr DWORD ReadPerByteMs = 5;
constexpr DWORD ReadBaseMs = ReadTimeoutMs - ReadPerByteMs;
// The close waits this long at most for what was written to leave the port
// (the end command is three bytes), looking this often.
constexpr long long DrainLimitMs = 1000;
constexpr unsigned DrainPollMs = 10;
// Once the driver's queue is empty the UART's FIFO (16 bytes) still sends:
// 8.3 ms at 19200 baud.
constexpr unsigned FifoDrainMs = 10;
// A restore step that a line error arriving meanwhile made fail is tried
// once more after the error is cleared.
constexpr int RestoreTries = 2;

// The settings found at open, put back at close.
struct EarlierSettings {
  DCB dcb;
  COMMTIMEOUTS timeouts;
};
static_assert(sizeof(EarlierSettings) <= SerialSavedSettingsBytes,
              "the link keeps the earlier settings");

HANDLE Handle(const SerialLink* link) {
  return reinterpret_cast<HANDLE>(link->handle);
}

// 19200 8N1, no flow control, DTR and RTS off, NUL bytes dropped, errors stop
// I/O until cleared. Windows opens a port with whatever the last program left
// in its DCB, so every field that can change what arrives is set here: a
// DSR sensitivity left on, for one, drops every byte while DSR is low, and a
// logger cable has no DSR.
void SetLineSettings(DCB* dcb) {
  dcb->BaudRate = SerialBaudRate;
  dcb->fBinary = TRUE;  // the only mode Windows supports
  dcb->ByteSize = DataBits;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fParity = FALSE;  // no parity check on input
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fTXContinueOnXoff = TRUE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = TRUE;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  dcb->fAbortOnError = TRUE;
  dcb->XonLim = FlowLimitBytes;
  dcb->XoffLim = FlowLimitBytes;
  dcb->XonChar = XonCharacter;
  dcb->XoffChar = XoffCharacter;
  dcb->ErrorChar = NoErrorCharacter;
  dcb->EofChar = EndOfDataCharacter;
  dcb->EvtChar = EventCharacter;
}

// Why CreateFileW failed on a COM port.
SerialOpenFault FaultOfCreate(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return SerialOpenFault::NoSuchPort;
    // A COM port is never shared: while another program has it open, the
    // open is refused with "access denied" (or a sharing violation).
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return SerialOpenFault::InUse;
    default:
      return SerialOpenFault::Other;
  }
}

// Records a failed set-up step: the reason and the error it left.
bool Failed(SerialOpenFailure* failure, SerialOpenFault fault, DWORD error) {
  *failure = {fault, error};
  return false;
}

// Clears the port's error state: with fAbortOnError on, a line error makes
// every other call on the port fail until this is done.
bool ClearError(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status;
  return serialWinSeam.clearCommError(port, &errors, &status) != 0;
}

// A port that reads the settings back otherwise than asked: the setting named.
bool Refused(SerialOpenFailure* failure, SerialSetting setting) {
  *failure = {SerialOpenFault::SettingsRefused, 0};
  failure->refused = setting;
  return false;
}

// Sets the line settings and reads them back. False, with the reason in
// *failure, when the port refuses them. *purged tells whether the port
// emptied its queues.
bool SetLine(HANDLE port, bool* purged, SerialOpenFailure* failure) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  // A device without a communications state is no serial port.
  if (!GetCommState(port, &dcb))
    return Failed(failure, SerialOpenFault::NotSerialPort, GetLastError());
  // The queue sizes are only a recommendation, which some USB and virtual
  // drivers refuse although the port works: a refusal is no reason to give
  // up the port. The settings read back below are the real check.
  SetupComm(port, SerialQueueBytes, SerialQueueBytes);
  // An error left by the last program would make the purge fail while
  // fAbortOnError (also left from before) is on: clear it first.
  if (!ClearError(port)) return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  // Some virtual and Bluetooth drivers refuse to purge although the port
  // works: what is queued is then read off once the port is set up.
  *purged = serialWinSeam.purgeComm(port, PurgeAll) != 0;
  SetLineSettings(&dcb);
  if (!serialWinSeam.setCommState(port, &dcb)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  DCB taken;
  std::memset(&taken, 0, sizeof taken);
  taken.DCBlength = sizeof taken;
  if (!GetCommState(port, &taken)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  const SerialSetting refused = RefusedLineSetting(&taken);
  return refused == SerialSetting::None || Refused(failure, refused);
}

// Sets the read and write time-outs and reads them back.
bool SetTimeouts(HANDLE port, SerialOpenFailure* failure) {
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = NoIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = ReadPerByteMs;
  timeouts.ReadTotalTimeoutConstant = ReadBaseMs;
  timeouts.WriteTotalTimeoutMultiplier = WriteMsPerByte;
  timeouts.WriteTotalTimeoutConstant = WriteTimeoutBaseMs;
  COMMTIMEOUTS timeoutsTaken;
  if (!serialWinSeam.setCommTimeouts(port, &timeouts) || !GetCommTimeouts(port, &timeoutsTaken)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  const SerialSetting refused = RefusedTimeouts(&timeoutsTaken);
  return refused == SerialSetting::None || Refused(failure, refused);
}

// Sets up the open port: queues, line settings, time-outs, each checked and
// the settings read back. False, with the reason in *failure, on the first
// step the port refuses.
bool ConfigurePort(HANDLE port, bool* purged, SerialOpenFailure* failure) {
  if (!SetLine(port, purged, failure) || !SetTimeouts(port, failure)) return false;
  // Clear any error left from before the open; the second call catches one
  // that arrived while the settings changed.
  for (int i = 0; i < 2; ++i) {
    if (!ClearError(port)) return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  return true;
}

// Sets dcb once the port's error state is cleared, and once more when a line
// error that came in between made it fail.
bool SetStateCleared(HANDLE port, DCB* dcb) {
  for (int i = 0; i < RestoreTries; ++i) {
    ClearError(port);  // a port that refuses shows it in the call that follows
    if (serialWinSeam.setCommState(port, dcb)) return true;
  }
  return false;
}

// Puts the earlier settings back, with DTR and RTS off as the run kept them:
// raised again before the close (they are on in Windows' default settings),
// they would pulse, which resets a board that wires DTR to its reset.
// fAbortOnError stays off until the rest is back, so that a line error (a
// logger unplugged, noise at the end) cannot make a step fail; its earlier
// value comes last. False, with the system's code of the first failed step
// in *code, when a setting did not go back.
bool RestoreEarlier(HANDLE port, const EarlierSettings* earlier, DWORD* code) {
  DCB dcb = earlier->dcb;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  COMMTIMEOUTS timeouts = earlier->timeouts;
  *code = 0;
  const bool state = SetStateCleared(port, &dcb);
  if (!state) *code = GetLastError();
  const bool times = serialWinSeam.setCommTimeouts(port, &timeouts) != 0;
  if (!times && *code == 0) *code = GetLastError();
  if (!state || !times) return false;
  if (!earlier->dcb.fAbortOnError) return true;
  dcb.fAbortOnError = TRUE;
  if (SetStateCleared(port, &dcb)) return true;
  *code = GetLastError();
  return false;
}

// Whether a failed call's error says the port is gone (a USB adapter pulled,
// under Wine the other side of a pseudo-terminal closed): its settings went
// with it, and there is nothing left to put back.
bool PortGone(DWORD error) {
  return error == ERROR_NOT_READY || error == ERROR_DEVICE_NOT_CONNECTED ||
         error == ERROR_DEVICE_REMOVED;
}

// Waits until the driver has sent what was written, at most DrainLimitMs: a
// port held by flow control, or a driver that never reports its queue empty,
// must not hold the program after the dump (FlushFileBuffers would wait
// without a bound). A port that cannot tell is waited for no longer.
void DrainOutput(HANDLE port) {
  const long long until = NowMs() + DrainLimitMs;
  DWORD errors = 0;
  COMSTAT status;
  while (serialWinSeam.clearCommError(port, &errors, &status) && status.cbOutQue > 0) {
    if (NowMs() >= until) return;
    SleepMs(DrainPollMs);
  }
  SleepMs(FifoDrainMs);
}

// An empty read that came back before its time-out: a driver that does so
// whenever nothing is queued, or a device that is gone (a USB adapter pulled)
// whose driver fails no call. After a whole read time-out of such reads the
// port is asked for its state: one that cannot tell has failed, and is asked
// again at every read until it can. 0, or -1 for a failed port.
int EarlyEmptyRead(SerialLink* link) {
  const long long now = NowMs();
  if (link->earlyEmptySinceMs < 0) link->earlyEmptySinceMs = now;
  if (now - link->earlyEmptySinceMs < ReadTimeoutMs) return 0;
  if (!ClearError(Handle(link))) return -1;
  link->earlyEmptySinceMs = now;
  return 0;
}

}  // namespace

SerialSetting RefusedLineSetting(const DCB* taken) {
  const unsigned long long rate = taken->BaudRate;
  const unsigned long long off =
      rate > SerialBaudRate ? rate - SerialBaudRate : SerialBaudRate - rate;
  if (off * 100 > SerialBaudRate * RateTolerancePercent) return SerialSetting::BaudRate;
  if (taken->ByteSize != DataBits) return SerialSetting::DataBits;
  if (taken->Parity != NOPARITY) return SerialSetting::Parity;
  if (taken->StopBits != ONESTOPBIT) return SerialSetting::StopBits;
  // DTR and RTS need only not be handshake lines: a port without modem lines
  // may report them as on. DSR sensitivity drops what arrives while DSR is low.
  if (taken->fOutxCtsFlow || taken->fOutxDsrFlow || taken->fDsrSensitivity || taken->fOutX ||
      taken->fInX || taken->fDtrControl == DTR_CONTROL_HANDSHAKE ||
      taken->fRtsControl == RTS_CONTROL_HANDSHAKE || taken->fRtsControl == RTS_CONTROL_TOGGLE) {
    return SerialSetting::FlowControl;
  }
  return SerialSetting::None;
}

SerialSetting RefusedTimeouts(const COMMTIMEOUTS* taken) {
  const long long bound = static_cast<long long>(taken->ReadTotalTimeoutMultiplier) +
                          static_cast<long long>(taken->ReadTotalTimeoutConstant);
  const long long off = bound - static_cast<long long>(ReadTimeoutMs);
  return off > ReadTimeoutStepMs || off < -ReadTimeoutStepMs ? SerialSetting::ReadTimeout
                                                             : SerialSetting::None;
}

const intptr_t SerialClosedHandle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);

bool SerialOpenPort(SerialLink* link, const char* device, SerialOpenFailure* failure) {
  // The device path as the system takes it (UTF-8 in, wide out).
  wchar_t path[DevicePathSize];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, device, -1, path, DevicePathSize) == 0) {
    *failure = {SerialOpenFault::NoSuchPort, GetLastError()};
    return false;
  }
  // No sharing: the port belongs to this run alone.
  const HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *failure = {FaultOfCreate(error), error};
    return false;
  }
  // What the port had before; a device without a communications state is
  // no serial port.
  EarlierSettings earlier;
  std::memset(&earlier, 0, sizeof earlier);
  earlier.dcb.DCBlength = sizeof earlier.dcb;
  if (!GetCommState(port, &earlier.dcb) || !GetCommTimeouts(port, &earlier.timeouts)) {
    *failure = {SerialOpenFault::NotSerialPort, GetLastError()};
    CloseHandle(port);
    return false;
  }
  bool purged = true;
  if (!ConfigurePort(port, &purged, failure)) {
    DWORD code = 0;
    failure->notRestored = !RestoreEarlier(port, &earlier, &code) && !PortGone(code);
    failure->restoreCode = failure->notRestored ? code : 0;
    CloseHandle(port);
    return false;
  }
  std::memcpy(link->savedSettings, &earlier, sizeof earlier);
  link->settingsSaved = true;
  link->handle = reinterpret_cast<intptr_t>(port);
  // What the refused purge left goes as the link drops input before each
  // command. Should that fail, the first command's own drop and reads meet
  // the failure, and the run's handling of a failing port takes over.
  if (!purged) SerialDropInputNow(link);
  return true;
}

bool SerialIsUsersTerminal(const char*, FILE*, FILE*) {
  // A COM port is never the console the program runs in.
  return false;
}

bool SerialIsConsole(const char*) {
  return false;  // a COM port is never a console
}

void SerialClearError(SerialLink* link) {
  ClearError(Handle(link));
}

bool SerialPurgeInput(SerialLink* link) {
  // A pending line error would make the purge fail: clear it first.
  return ClearError(Handle(link)) && serialWinSeam.purgeComm(Handle(link), PURGE_RXCLEAR) != 0;
}

size_t SerialWriteSome(SerialLink* link, const char* data, size_t length) {
  // A write that times out part-way completes with fewer bytes, and the count
  // says what went out. One that fails outright (a line error aborts it)
  // reports 0 whatever reached the wire: the link notes that the count is
  // unknown.
  DWORD written = 0;
  link->writeFailedOutright =
      !WriteFile(Handle(link), data, static_cast<DWORD>(length), &written, nullptr);
  return written;
}

// One byte per call: what stays queued cannot be seen without asking, so the
// queue is known to be empty only after a read that timed out.
int SerialReadSome(SerialLink* link, unsigned char* buffer, size_t max) {
  link->queueEmpty = false;
  if (max == 0) return 0;
  const long long started = NowMs();
  // The time-outs are set for a one-byte read.
  DWORD got = 0;
  if (!serialWinSeam.readFile(Handle(link), buffer, 1, &got, nullptr)) {
    // A line error (framing, overrun, break: line noise, a logger plugged in)
    // aborts reads until the port's error state is cleared. Clear it and read
    // on; a port that cannot be cleared, or fails again, has failed.
    got = 0;
    if (!ClearError(Handle(link)) ||
        !serialWinSeam.readFile(Handle(link), buffer, 1, &got, nullptr)) {
      return -1;
    }
  }
  link->queueEmpty = got == 0;
  const bool early = NowMs() - started < ReadTimeoutMs - EarlyReturnSlackMs;
  if (got > 0 || !early) {
    link->earlyEmptySinceMs = -1;
    return static_cast<int>(got);
  }
  return EarlyEmptyRead(link);
}

int SerialReadQueued(SerialLink* link, unsigned char* buffer, size_t max) {
  // The port's status tells how many bytes are queued; a read of no more than
  // those completes at once.
  DWORD errors = 0;
  COMSTAT status;
  if (!serialWinSeam.clearCommError(Handle(link), &errors, &status)) return -1;
  link->queueEmpty = status.cbInQue == 0;
  if (status.cbInQue == 0 || max == 0) return 0;
  const DWORD wanted = status.cbInQue < max ? status.cbInQue : static_cast<DWORD>(max);
  DWORD got = 0;
  if (!serialWinSeam.readFile(Handle(link), buffer, wanted, &got, nullptr)) return -1;
  link->queueEmpty = got == status.cbInQue;
  return static_cast<int>(got);
}

bool SerialClosePort(SerialLink* link, unsigned long* code) {
  *code = 0;
  bool restored = true;
  const HANDLE port = Handle(link);
  if (port != INVALID_HANDLE_VALUE && port != nullptr) {
    // The settings the port had before, once what was written has gone out.
    if (link->settingsSaved) {
      EarlierSettings earlier;
      std::memcpy(&earlier, link->savedSettings, sizeof earlier);
      DrainOutput(port);
      DWORD error = 0;
      restored = RestoreEarlier(port, &earlier, &error) || PortGone(error);
      *code = restored ? 0 : error;
    }
    CloseHandle(port);
  }
  link->handle = SerialClosedHandle;
  return restored;
}
