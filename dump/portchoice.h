// The port the user chose: the typed line (or --port) read against the list
// of ports that the serial layer gives; and what the list shows of each port
// with --verbose.
#pragma once

#include <cstddef>
#include <cstdio>

#include "serial/serial.h"

// The choice: the device to open and how the console names it.
struct PortChoice {
  char device[DevicePathSize];    // the path SerialOpen takes; empty when none
  wchar_t shown[DevicePathSize];  // the path, or a number that names no port
  bool exists;                    // false: the number names no port
  // Named by USB (usb:...): the ports whose serial number or ids matched, by
  // their places in the list; exists only when there is exactly one.
  bool byUsb;
  int matches;
  int matched[MaxPorts];
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

// A port named by what stays the adapter's, as --port takes it: "usb:" (in
// any case) and the USB serial number or VID:PID that --list --verbose shows.
constexpr char UsbNamePrefix[] = "usb:";
bool IsUsbName(const char* text);

// Chooses the port of the list whose USB serial number or VID:PID is the one
// in name (IsUsbName), ASCII case ignored: the one match is opened, none or
// several name no port (PrintUsbMatches then says which).
void ChooseUsbPort(const char* name, const SerialPortList* list, PortChoice* choice);

// The line after "COM Open Error" for a USB name that matched none or
// several ports: which ones, and what to do.
void PrintUsbMatches(FILE* out, const SerialPortList* list, const PortChoice* choice);

// Each port's details after the port list (--verbose): its device path, then
// every field the serial layer found for it, one a line.
void PrintPortDetails(FILE* out, const SerialPortList* list);
