// Inside the serial layer on Windows: the system calls in which real drivers
// differ from one another (and from Wine's), reached through a seam, and the
// decisions about the settings a port reads back. Only serial_win.cpp and the
// Windows tests include this header.
#pragma once

#include <windows.h>

#include "serial.h"

// What the Windows link goes through for these calls (the system's own in
// the program). A test points them elsewhere, to refuse a purge, fail a
// restore, hold the output queue or return reads at once without a byte,
// and puts them back afterwards.
struct SerialWinSeam {
  BOOL(WINAPI* purgeComm)(HANDLE port, DWORD flags);
  BOOL(WINAPI* setCommState)(HANDLE port, LPDCB dcb);
  BOOL(WINAPI* setCommTimeouts)(HANDLE port, LPCOMMTIMEOUTS timeouts);
  BOOL(WINAPI* clearCommError)(HANDLE port, LPDWORD errors, LPCOMSTAT status);
  BOOL(WINAPI* readFile)(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED);
};
extern SerialWinSeam serialWinSeam;

// A rate the port reports within this many per cent of the one asked for
// works on the wire: a UART's clock takes a few per cent, and drivers keep
// the nearest rate their divisor makes (19231 for 19200 on many adapters).
constexpr unsigned long RateTolerancePercent = 2;
// A read time-out the port reports within one step of the one asked for is
// taken: drivers round time-outs to their timer's tick (15.6 ms by default).
constexpr long long ReadTimeoutStepMs = 16;

// The line setting of taken (the DCB the port reports after the line settings
// were set) that changes what goes over the wire: the rate beyond
// RateTolerancePercent, the data bits, parity, stop bits, flow control. None
// when the port may be used; fields that leave the wire as it is (fNull,
// fAbortOnError, DTR and RTS that are no handshake lines, ...) may differ.
SerialSetting RefusedLineSetting(const DCB* taken);
// ReadTimeout when the time-outs taken (as the port reports them) bound a
// one-byte read more than ReadTimeoutStepMs away from ReadTimeoutMs, else
// None; the write time-outs and the interval time-out decide nothing here.
SerialSetting RefusedTimeouts(const COMMTIMEOUTS* taken);
