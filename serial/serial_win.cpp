// The serial link on Windows: a COM port opened with CreateFileW, configured
// through its DCB and COMMTIMEOUTS, read one byte per ReadFile.
#include <windows.h>

#include <cstring>

#include "link.h"

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
// Reads use total time-outs only (no interval time-out, a setting every
// driver documents): a read of one byte completes as soon as it arrives and
// waits at most ReadTotalTimeoutMultiplier + ReadTotalTimeoutConstant = 505 ms.
// A driver that returns early without a byte all the same is waited out by
// the clock above this file.
constexpr DWORD NoIntervalTimeout = 0;
constexpr DWORD ReadPerByteMs = 5;
constexpr DWORD ReadBaseMs = ReadTimeoutMs - ReadPerByteMs;

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
  dcb->ByteSize = 8;
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

// True when the port reports the settings that decide what goes on the wire
// and what is received as they were asked for: speed, 8N1, no flow control,
// no DSR sensitivity. DTR and RTS need only not be handshake lines: a port
// without modem lines may report them as on.
bool SettingsTaken(const DCB* wanted, const DCB* taken) {
  return taken->BaudRate == wanted->BaudRate && taken->ByteSize == wanted->ByteSize &&
         taken->Parity == wanted->Parity && taken->StopBits == wanted->StopBits &&
         taken->fOutxCtsFlow == wanted->fOutxCtsFlow &&
         taken->fOutxDsrFlow == wanted->fOutxDsrFlow &&
         taken->fDsrSensitivity == wanted->fDsrSensitivity && taken->fOutX == wanted->fOutX &&
         taken->fInX == wanted->fInX && taken->fDtrControl != DTR_CONTROL_HANDSHAKE &&
         taken->fRtsControl != RTS_CONTROL_HANDSHAKE && taken->fRtsControl != RTS_CONTROL_TOGGLE;
}

bool TimeoutsTaken(const COMMTIMEOUTS* wanted, const COMMTIMEOUTS* taken) {
  return taken->ReadIntervalTimeout == wanted->ReadIntervalTimeout &&
         taken->ReadTotalTimeoutMultiplier == wanted->ReadTotalTimeoutMultiplier &&
         taken->ReadTotalTimeoutConstant == wanted->ReadTotalTimeoutConstant &&
         taken->WriteTotalTimeoutMultiplier == wanted->WriteTotalTimeoutMultiplier &&
         taken->WriteTotalTimeoutConstant == wanted->WriteTotalTimeoutConstant;
}

// Clears the port's error state: with fAbortOnError on, a line error makes
// every other call on the port fail until this is done.
bool ClearError(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status;
  return ClearCommError(port, &errors, &status) != 0;
}

// Sets the line settings and reads them back. False, with the reason in
// *failure, when the port refuses them.
bool SetLine(HANDLE port, SerialOpenFailure* failure) {
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
  if (!PurgeComm(port, PurgeAll)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  SetLineSettings(&dcb);
  if (!SetCommState(port, &dcb)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  DCB taken;
  std::memset(&taken, 0, sizeof taken);
  taken.DCBlength = sizeof taken;
  if (!GetCommState(port, &taken)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  if (!SettingsTaken(&dcb, &taken)) return Failed(failure, SerialOpenFault::SettingsRefused, 0);
  return true;
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
  if (!SetCommTimeouts(port, &timeouts) || !GetCommTimeouts(port, &timeoutsTaken)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  if (!TimeoutsTaken(&timeouts, &timeoutsTaken)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, 0);
  }
  return true;
}

// Sets up the open port: queues, line settings, time-outs, each checked and
// the settings read back. False, with the reason in *failure, on the first
// step the port refuses.
bool ConfigurePort(HANDLE port, SerialOpenFailure* failure) {
  if (!SetLine(port, failure) || !SetTimeouts(port, failure)) return false;
  // Clear any error left from before the open; the second call catches one
  // that arrived while the settings changed.
  for (int i = 0; i < 2; ++i) {
    if (!ClearError(port)) return Failed(failure, SerialOpenFault::SettingsRefused, GetLastError());
  }
  return true;
}

}  // namespace

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
  if (!ConfigurePort(port, failure)) {
    SetCommState(port, &earlier.dcb);
    SetCommTimeouts(port, &earlier.timeouts);
    CloseHandle(port);
    return false;
  }
  std::memcpy(link->savedSettings, &earlier, sizeof earlier);
  link->settingsSaved = true;
  link->handle = reinterpret_cast<intptr_t>(port);
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
  return ClearError(Handle(link)) && PurgeComm(Handle(link), PURGE_RXCLEAR) != 0;
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
  // The time-outs are set for a one-byte read.
  DWORD got = 0;
  if (ReadFile(Handle(link), buffer, 1, &got, nullptr)) {
    link->queueEmpty = got == 0;
    return static_cast<int>(got);
  }
  // A line error (framing, overrun, break: line noise, a logger plugged in)
  // aborts reads until the port's error state is cleared. Clear it and read
  // on; a port that cannot be cleared, or fails again, has failed.
  DWORD errors = 0;
  COMSTAT status;
  if (!ClearCommError(Handle(link), &errors, &status)) return -1;
  got = 0;
  if (ReadFile(Handle(link), buffer, 1, &got, nullptr)) {
    link->queueEmpty = got == 0;
    return static_cast<int>(got);
  }
  return -1;
}

int SerialReadQueued(SerialLink* link, unsigned char* buffer, size_t max) {
  // The port's status tells how many bytes are queued; a read of no more than
  // those completes at once.
  DWORD errors = 0;
  COMSTAT status;
  if (!ClearCommError(Handle(link), &errors, &status)) return -1;
  link->queueEmpty = status.cbInQue == 0;
  if (status.cbInQue == 0 || max == 0) return 0;
  const DWORD wanted = status.cbInQue < max ? status.cbInQue : static_cast<DWORD>(max);
  DWORD got = 0;
  if (!ReadFile(Handle(link), buffer, wanted, &got, nullptr)) return -1;
  link->queueEmpty = got == status.cbInQue;
  return static_cast<int>(got);
}

bool SerialClosePort(SerialLink* link, unsigned long* code) {
  *code = 0;
  const HANDLE port = Handle(link);
  if (port != INVALID_HANDLE_VALUE && port != nullptr) {
    // The settings the port had before, once what was written has gone out.
    if (link->settingsSaved) {
      EarlierSettings earlier;
      std::memcpy(&earlier, link->savedSettings, sizeof earlier);
      FlushFileBuffers(port);
      SetCommState(port, &earlier.dcb);
      SetCommTimeouts(port, &earlier.timeouts);
    }
    CloseHandle(port);
  }
  link->handle = SerialClosedHandle;
  return true;
}
