// The serial link on Windows: a COM port opened with CreateFileW, configured
// through its DCB and COMMTIMEOUTS, read one byte per ReadFile.
#include <windows.h>

#include <cstring>

#include "serial.h"

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
// A read returns what has arrived at once; one byte waits at most
// ReadTotalTimeoutMultiplier + ReadTotalTimeoutConstant = 505 ms.
constexpr DWORD ReadPerByteMs = 5;
constexpr DWORD ReadBaseMs = ReadTimeoutMs - ReadPerByteMs;

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

}  // namespace

long long NowMs() {
  // The performance counter is monotonic; split the division so that the
  // product cannot overflow however long the machine has been running.
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  constexpr long long MsPerSecond = 1000;
  return count.QuadPart / frequency.QuadPart * MsPerSecond +
         count.QuadPart % frequency.QuadPart * MsPerSecond / frequency.QuadPart;
}

bool SerialOpen(SerialLink* link, const DevicePath* path) {
  link->handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  link->receiveStart = link->receiveEnd = 0;
  link->partialLength = 0;
  if (!path->exists) return false;
  // No sharing: the port belongs to this run alone.
  const HANDLE port = CreateFileW(path->shown, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) return false;
  link->handle = reinterpret_cast<intptr_t>(port);

  // Once the port is open it counts as configured; a setting the driver
  // refuses shows later as failed or silent I/O, which the run handles.
  SetupComm(port, SerialQueueBytes, SerialQueueBytes);
  PurgeComm(port, PurgeAll);
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.fBinary = TRUE;  // the only mode Windows supports, should the port not report its state
  GetCommState(port, &dcb);
  SetLineSettings(&dcb);
  SetCommState(port, &dcb);
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = ReadPerByteMs;
  timeouts.ReadTotalTimeoutConstant = ReadBaseMs;
  timeouts.WriteTotalTimeoutMultiplier = WriteMsPerByte;
  timeouts.WriteTotalTimeoutConstant = WriteTimeoutBaseMs;
  SetCommTimeouts(port, &timeouts);
  // Clear any error left from before the open; the second call catches one
  // that arrived while the settings changed.
  SerialClearError(link);
  SerialClearError(link);
  return true;
}

void SerialClearError(SerialLink* link) {
  DWORD errors = 0;
  COMSTAT status;
  ClearCommError(Handle(link), &errors, &status);
}

size_t SerialWriteSome(SerialLink* link, const char* data, size_t length) {
  // A write that times out part-way completes with fewer bytes; a failed one
  // may have sent some too. Either way the count says what went out.
  DWORD written = 0;
  WriteFile(Handle(link), data, static_cast<DWORD>(length), &written, nullptr);
  return written;
}

int SerialReadSome(SerialLink* link, unsigned char* buffer, size_t max) {
  if (max == 0) return 0;
  // One byte per call: the time-outs are set for a one-byte read.
  DWORD got = 0;
  if (ReadFile(Handle(link), buffer, 1, &got, nullptr)) return static_cast<int>(got);
  // A line error (framing, overrun, break: line noise, a logger plugged in)
  // aborts reads until the port's error state is cleared. Clear it and read
  // on; a port that cannot be cleared, or fails again, has failed.
  DWORD errors = 0;
  COMSTAT status;
  if (!ClearCommError(Handle(link), &errors, &status)) return -1;
  got = 0;
  if (ReadFile(Handle(link), buffer, 1, &got, nullptr)) return static_cast<int>(got);
  return -1;
}

void SerialClose(SerialLink* link) {
  const HANDLE port = Handle(link);
  if (port != INVALID_HANDLE_VALUE && port != nullptr) CloseHandle(port);
  link->handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
}
