// The serial link to the logger and the listing of the ports: the only code
// that talks to the system's serial and device interfaces. One header; the
// platform's files (serial_linux.cpp or serial_win.cpp, ports_linux.cpp or
// ports_win.cpp) are chosen by the build. What the link holds, and the test
// seam, are in link.h, for this folder and the tests only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Line settings the logger needs: 19200 baud, 8N1, no flow control.
constexpr unsigned SerialBaudRate = 19200;
// Driver queue sizes asked for at open.
constexpr unsigned SerialQueueBytes = 4096;
// A one-byte read waits at most this long before it counts as "no byte".
constexpr unsigned ReadTimeoutMs = 505;
// A write of n bytes must complete within WriteMsPerByte * n + WriteTimeoutBaseMs.
constexpr unsigned WriteMsPerByte = 5;
constexpr unsigned WriteTimeoutBaseMs = 100;

// The longest line the link hands out: up to 255 characters (the last is its
// CR or LF) and a NUL.
constexpr size_t SerialLineSize = 256;
// A line keeps at most this many characters before its terminator.
constexpr size_t MaxLineText = SerialLineSize - 2;

// Longest device path the program handles (a Windows path holds at most 15
// characters; a Linux path is at most one input line).
constexpr size_t DevicePathSize = SerialLineSize;

// Ports that are present, numbered as the user types them.
constexpr int MaxPorts = 64;
constexpr size_t PortNameSize = 64;
constexpr size_t PortDescSize = 256;
struct SerialPortEntry {
  wchar_t name[PortNameSize];   // e.g. COM3
  wchar_t desc[PortDescSize];   // human-readable description
  char device[DevicePathSize];  // the path that SerialOpen takes
  long number;                  // the number the user types for it
};
struct SerialPortList {
  int count;
  SerialPortEntry ports[MaxPorts];
};

// Fills list with the serial ports that are present. Never fails: whatever
// cannot be read is left out.
void SerialListPorts(SerialPortList* list);

// What the system tells of a port besides its list line: what sets apart two
// adapters of one make, and the names that stay the port's after a replug.
enum class PortFieldKind {
  FriendlyName,  // Windows: the name Device Manager shows
  HardwareId,    // Windows: the most specific hardware id (USB\VID_0403&PID_6001...)
  UsbIds,        // the USB vendor and product ids, "0403:6001" (lowercase hex)
  Serial,        // the USB serial number
  Location,      // where it is plugged in (Linux: the USB interface, 1-1.2:1.0)
  LocationPath,  // Windows: the device's first location path
  Manufacturer,  // the maker (Linux: the USB string; Windows: the driver's maker)
  Product,       // Linux: the USB product string
  Driver,        // Linux: the kernel driver
  Service,       // Windows: the driver's service
  Link,          // Linux: a /dev/serial/by-id/... or by-path/... name of the node
};
constexpr size_t PortFieldSize = 256;
constexpr int MaxPortFields = 16;
struct SerialPortField {
  PortFieldKind kind;
  wchar_t text[PortFieldSize];
};
// Only the fields the port has, in the order above.
struct SerialPortDetail {
  int count;
  SerialPortField fields[MaxPortFields];
};

// Fills detail with what the system tells of a port of the list. Opens no
// port and never fails: what cannot be read is left out.
void SerialDescribePort(const SerialPortEntry* port, SerialPortDetail* detail);

// Whether the user may name a port by its device path, as text does (Linux:
// it begins with '/'; a Windows port is always given by its number).
bool SerialIsDevicePath(const char* text);

// The device of the port with this number where the listing has none
// (Windows: \\.\COMn, for any port may be opened by its number). False where
// only listed ports have numbers (Linux).
bool SerialDeviceOfNumber(long number, char* device, size_t deviceSize);

// What a number that names no port is shown after ("COM" on Linux, the device
// path's "\\.\COM" on Windows).
extern const wchar_t SerialNumberPrefix[];

// Whether a user who may not open a port gets access by joining the ports'
// group (Linux: dialout), the advice a refusal then gives; false where the
// system has no such advice (Windows).
extern const bool SerialAccessByGroup;

// Whether device is the user's own terminal: the controlling terminal (also
// as /dev/tty), or a terminal that the stream in or out (the program's
// standard input and output) reads or writes. Such a port would take
// the user's typing and screen, so it is refused before anything is opened.
// Never on Windows, where a COM port is no console.
bool SerialIsUsersTerminal(const char* device, FILE* in, FILE* out);

// Whether device is one of the system's consoles (Linux: /dev/console and the
// virtual consoles /dev/tty0 to /dev/tty63), which are no serial ports and
// whose settings belong to the system: refused before anything is opened.
// Never on Windows.
bool SerialIsConsole(const char* device);

// The open port. Only the serial layer knows what it holds.
struct SerialLink;
// Links open at once: the program needs one; tests a few.
constexpr int SerialLinksAtOnce = 4;

// Why a port could not be opened.
enum class SerialOpenFault {
  None,
  NoSuchPort,       // nothing by that name or number
  AccessDenied,     // the user may not open it (Linux: the port's group)
  InUse,            // another program holds the port
  Busy,             // the system refuses the port as busy, and no program is seen to hold it
  NotSerialPort,    // a file or device that is not a serial port
  SettingsRefused,  // the port did not take the line settings
  Other,            // any other failure; see code
};

// The setting a port did not take, where the link can tell which: the
// settings read back differ from those asked for in a way that changes what
// goes over the wire.
enum class SerialSetting {
  None,  // not known, or none
  BaudRate,
  DataBits,
  Parity,
  StopBits,
  FlowControl,  // flow control or a handshake line that holds or drops bytes
  ReadTimeout,
};

// What SerialOpen reports when it fails: the reason and the system's own
// error code (errno on Linux, GetLastError on Windows), 0 when the system
// reported none (a number without a port, settings read back different).
// After a refused set-up the port's earlier settings are put back; notRestored
// tells when that failed, with the system's code in restoreCode (0 for none).
struct SerialOpenFailure {
  SerialOpenFault fault;
  unsigned long code;
  SerialSetting refused = SerialSetting::None;  // with SettingsRefused
  bool notRestored = false;
  unsigned long restoreCode = 0;
};

// Opens the port at device (the path the system names it by), configures it
// and reads the settings back. Null on failure, with *failure saying why.
SerialLink* SerialOpen(const char* device, SerialOpenFailure* failure);

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

// Result of SerialReadLine when the read timed out before a line was complete.
constexpr int SerialLineTimeout = 0;
// Result of SerialReadLine after a failed read (port error or hang-up).
constexpr int SerialLineFailed = -1;

// Reads one line into lineBuffer (SerialLineSize bytes): its characters up to
// and including the first CR or LF, then a NUL. Returns the count stored with
// the terminator, SerialLineTimeout when no complete line arrived within the read
// time-out, or SerialLineFailed after a failed read. In both of the latter cases
// the part of the line received so far is kept for the next call, so that a
// read that fails in the middle of a line loses no byte that did arrive.
// NUL bytes are dropped; a line longer than MaxLineText keeps its first
// MaxLineText characters and its terminator.
int SerialReadLine(SerialLink* link, char* lineBuffer);

// Bytes taken from the port so far.
unsigned long long SerialBytesReceived(const SerialLink* link);

// Drops every byte received and not yet handed out (the line being assembled
// too), then waits up to a read time-out for more and drops those. Returns the
// count of bytes that came meanwhile: 0 means the line stayed quiet for a whole
// read time-out. SerialLineFailed after a failed read.
int SerialDropInputAndWait(SerialLink* link);

// Drops every byte received and not yet handed out (the line being assembled
// too) and empties the port's input queue, without waiting for more. The
// system is asked only when the link cannot tell that its queue is empty: a
// read that takes all that is queued and brought nothing beyond the last line
// (at most the LF of its CR LF) tells; a read of one byte at a time never
// does. False when the port refused.
bool SerialDropInputNow(SerialLink* link);

// Whether a line beginning with first has arrived, whole or in part, and not
// yet been handed out: among the bytes the link holds, or queued at the port.
// Never waits; what is taken from the port's queue to look stays for the next
// read (or drop). Asks the system only when the link cannot tell that its
// queue is empty.
bool SerialLineWaiting(SerialLink* link, char first);

// Puts the settings the port had before SerialOpen back, then closes the
// port; the link is gone. Nothing for null. False when the earlier settings
// could not all be put back: the port is closed all the same, and *code (when
// given) holds the system's error code, 0 for none.
bool SerialClose(SerialLink* link, unsigned long* code = nullptr);
