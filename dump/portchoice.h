// The port the user chose: the typed line (or --port) read against the list
// of ports that the serial layer gives.
#pragma once

#include <cstddef>

#include "serial/serial.h"

// The choice: the device to open and how the console names it.
struct PortChoice {
  char device[DevicePathSize];    // the path SerialOpen takes; empty when none
  wchar_t shown[DevicePathSize];  // the path, or a number that names no port
  bool exists;                    // false: the number names no port
};

// Reads the user's line: the leading decimal integer as atoi reads it (white
// space, optional sign, digits; none gives 0). Returns false when the number
// lies outside MinPortNumber..MaxPortNumber; *number is then clamped into
// range and no port has it. Never overflows.
constexpr long MinPortNumber = -9999999;
constexpr long MaxPortNumber = 99999999;
bool ParsePortNumber(const char* line, long* number);

// Writes prefix and the number as typed in line (sign and digits after any
// white space), cut to fit shownSize: how a number that names no port is shown.
void ShowTypedNumber(const char* line, const wchar_t* prefix, wchar_t* shown, size_t shownSize);

// The user's line (bytes as typed, see WidenTypedLine) as the number part
// that ParsePortNumber reads, into spelled (LineBufferSize bytes): full-width
// characters (an input method left on) become the ASCII they stand for, the
// ideographic space a blank, and a "COM" in any case after the leading white
// space goes, as the port list shows it (COM3); any other character besides
// ASCII becomes '?', which ends a number.
void SpellPortNumber(const char* line, char* spelled);

// Turns the user's line (or the port given with --port) into the device to
// open: the listed port of that name (in any case), a device path as typed
// (where the system allows one), the listed port with that number, or the
// port the system knows by that number.
void ChoosePort(const char* line, const SerialPortList* list, PortChoice* choice);
