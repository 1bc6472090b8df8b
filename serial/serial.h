// The serial link to the logger and the choice of its port. One header; the
// platform's file (serial_linux.cpp or serial_win.cpp, ports_linux.cpp or
// ports_win.cpp) is chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hexrecord/hexrecord.h"

// Line settings the logger needs: 19200 baud, 8N1, no flow control.
constexpr unsigned SerialBaudRate = 19200;
// Driver queue sizes asked for at open.
constexpr unsigned SerialQueueBytes = 4096;
// A one-byte read waits at most this long before it counts as "no byte".
constexpr unsigned ReadTimeoutMs = 505;
// A write of n bytes must complete within WriteMsPerByte * n + WriteTimeoutBaseMs.
constexpr unsigned WriteMsPerByte = 5;
constexpr unsigned WriteTimeoutBaseMs = 100;

// Bytes taken from the port in one read call and not yet handed out as lines.
constexpr size_t SerialReceiveBytes = 4096;
// A line keeps at most this many characters before its terminator.
constexpr size_t MaxLineText = LineBufferSize - 2;

// Longest device path the program handles (a Windows path holds at most 15
// characters; a Linux path is at most one input line).
constexpr size_t DevicePathSize = LineBufferSize;

// Where the port listing looks on Linux: sysfs and /dev, or other folders
// laid out like them (tests). Only Linux reads it; a null pointer stands for
// the system's own folders, and Windows callers pass null.
struct PortRoots {
  const char* sys;
  const char* dev;
};

// The device the user chose.
struct DevicePath {
  wchar_t shown[DevicePathSize];  // the path as shown to the user
  char node[DevicePathSize];      // Linux: the file to open
  bool exists;                    // false: the number names no port
};

// Ports that are present, numbered as the user types them.
constexpr int MaxPorts = 64;
constexpr size_t PortNameSize = 64;
constexpr size_t PortDescSize = 256;
struct PortEntry {
  wchar_t name[PortNameSize];  // e.g. COM3
  wchar_t desc[PortDescSize];  // human-readable description
  char node[DevicePathSize];   // Linux: /dev node of the port
  long number;                 // the number the user types for it
};
struct PortList {
  int count;
  PortEntry ports[MaxPorts];
};

// Fills list with the serial ports that are present (roots: see PortRoots).
// Never fails: whatever cannot be read is left out.
void ListPorts(const PortRoots* roots, PortList* list);

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

// Whether text names a device by its path (Linux: it begins with '/'; a
// Windows port is always given by its number).
bool IsDevicePath(const char* text);

// Turns the user's line into the device to open, using the listing.
void ChoosePort(const char* line, const PortList* list, DevicePath* path);

// The link, owned by the serial layer: only its functions use the fields.
// handle is the platform's descriptor; the receive buffer holds bytes read
// from the port and not yet returned, and the line being assembled when a
// read timed out in its middle.
struct SerialLink {
  intptr_t handle;
  unsigned char receive[SerialReceiveBytes];
  size_t receiveStart;
  size_t receiveEnd;
  char partial[LineBufferSize];
  size_t partialLength;              // characters kept of the line being assembled
  unsigned long long bytesReceived;  // taken from the port since the link was made
  long long lastByteMs;              // NowMs() when bytes last came, 0 before any
  bool writeFailedOutright;          // see SerialWriteFailedOutright
};

// Why a port could not be opened.
enum class OpenFault {
  None,
  NoSuchPort,       // nothing by that name or number
  AccessDenied,     // the user may not open it (Linux: the port's group)
  InUse,            // another program holds the port
  NotSerialPort,    // a file or device that is not a serial port
  SettingsRefused,  // the port did not take the line settings
  Other,            // any other failure; see code
};

// What SerialOpen reports when it fails: the reason and the system's own
// error code (errno on Linux, GetLastError on Windows), 0 when the system
// reported none (a number without a port, settings read back different).
struct SerialOpenFailure {
  OpenFault fault;
  unsigned long code;
};

// Makes link a link that is not open: SerialClose does nothing on it, and
// SerialOpen may follow.
void SerialInit(SerialLink* link);
// The handle of a link that is not open: the platform's own "no handle".
extern const intptr_t SerialClosedHandle;

// Opens the port, configures it and reads the settings back. On failure the
// link is left not open, *failure says why, and the result is false.
bool SerialOpen(SerialLink* link, const DevicePath* path, SerialOpenFailure* failure);

// Clears the port's error state so that reads and writes work again after a
// line error. Cheap; called before each command.
void SerialClearError(SerialLink* link);

// Writes text within the write time-out and returns how many of its bytes went
// out: all of them (strlen(text)) on success, fewer when the time-out passed or
// the port failed part-way. A caller that must deliver the whole text sends only
// the rest again, so that the logger never receives part of it twice.
size_t SerialWrite(SerialLink* link, const char* text);

// Whether the last SerialWrite (or SerialWriteSome) failed outright: the
// system reported an error instead of a count, so that the count returned (0)
// says nothing about how many bytes reached the wire. Windows: an aborted
// WriteFile, which may have sent part of the text. Linux: never, since a
// failed write() sends nothing. A caller that must not send a part twice
// then ends the line before sending the whole text again.
bool SerialWriteFailedOutright(const SerialLink* link);

// Result of ReadLine when the read timed out before a line was complete.
constexpr int ReadLineTimeout = 0;
// Result of ReadLine after a failed read (port error or hang-up).
constexpr int ReadLineFailed = -1;

// Reads one line into lineBuffer (LineBufferSize bytes): its characters up to
// and including the first CR or LF, then a NUL. Returns the count stored with
// the terminator, ReadLineTimeout when no complete line arrived within the read
// time-out, or ReadLineFailed after a failed read. In both of the latter cases
// the part of the line received so far is kept for the next call, so that a
// read that fails in the middle of a line loses no byte that did arrive.
// NUL bytes are dropped; a line longer than MaxLineText keeps its first
// MaxLineText characters and its terminator.
int ReadLine(SerialLink* link, char* lineBuffer);

// Bytes taken from the port so far, and when the last of them came (NowMs()).
unsigned long long SerialBytesReceived(const SerialLink* link);
long long SerialLastByteMs(const SerialLink* link);

// Drops every byte received and not yet handed out (the line being assembled
// too), then waits up to a read time-out for more and drops those. Returns the
// count of bytes that came meanwhile: 0 means the line stayed quiet for a whole
// read time-out. ReadLineFailed after a failed read.
int SerialDiscardInput(SerialLink* link);

// Drops every byte received and not yet handed out (the line being assembled
// too) and empties the port's input queue, without waiting for more: one
// system call. False when the port refused.
bool SerialDropInput(SerialLink* link);

// Closes the port when it is open; the link is then not open.
void SerialClose(SerialLink* link);

// Platform part of ReadLine: waits up to ReadTimeoutMs for bytes and reads what
// is there (at most max). Returns the count, 0 on time-out, -1 on failure.
int SerialReadSome(SerialLink* link, unsigned char* buffer, size_t max);
// Platform part of SerialDropInput: empties the port's input queue.
bool SerialPurgeInput(SerialLink* link);
// Platform part of SerialWrite: writes length bytes within the write time-out
// and returns how many went out.
size_t SerialWriteSome(SerialLink* link, const char* data, size_t length);

// The platform calls that ReadLine and SerialWrite go through: SerialReadSome
// and SerialWriteSome in the program. A test points them at functions of its
// own (which call the real ones) to fail a read or cut a write short at a
// chosen byte, and puts them back afterwards.
struct SerialPlatformCalls {
  int (*readSome)(SerialLink* link, unsigned char* buffer, size_t max);
  size_t (*writeSome)(SerialLink* link, const char* data, size_t length);
};
extern SerialPlatformCalls serialCalls;
