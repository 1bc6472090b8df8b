// Inside the serial layer: what a link holds, the platform halves behind the
// shared line assembly, and the seam through which tests reach them. Only
// serial/ and the tests include this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial.h"

// Bytes taken from the port in one read call and not yet handed out as lines.
constexpr size_t SerialReceiveBytes = 4096;
// Room for the port's settings as the link found them (termios on Linux; DCB
// and COMMTIMEOUTS on Windows), which the platform file puts back at close.
constexpr size_t SerialSavedSettingsBytes = 128;

// handle is the platform's descriptor; the receive buffer holds bytes read
// from the port and not yet returned, and the line being assembled when a read
// timed out in its middle.
struct SerialLink {
  bool taken;  // in use from the pool
  intptr_t handle;
  unsigned char receive[SerialReceiveBytes];
  size_t receiveStart;
  size_t receiveEnd;
  char partial[SerialLineSize];
  size_t partialLength;              // characters kept of the line being assembled
  unsigned long long bytesReceived;  // taken from the port since the link was made
  bool writeFailedOutright;          // see SerialWriteFailedOutright
  // The last read from the port is known to have left its input queue empty
  // (it took less than it could, or it timed out): set by the platform's reads.
  bool queueEmpty;
  // The last read from the port ended early because a signal came (Linux):
  // the caller should look at its stop request now, not wait the time-out out.
  bool readInterrupted;
  // Windows: since when reads have come back early and empty, one after
  // another (-1: the last read brought a byte or waited its time-out out).
  long long earlyEmptySinceMs;
  // The settings found at open, once the link has changed them.
  alignas(8) unsigned char savedSettings[SerialSavedSettingsBytes];
  bool settingsSaved;
};

// An empty read that came back more than this before its time-out was due
// did not wait it out (a driver that returns at once whenever nothing is
// queued): it counts as no time-out.
constexpr long long EarlyReturnSlackMs = 20;
// Pause between reads while the time-out of such a read runs out, so that the
// driver is asked a few dozen times a second, not in a tight loop.
constexpr unsigned EmptyReadPauseMs = 10;

// Makes link one that is not open, with nothing received.
void SerialInit(SerialLink* link);
// The handle of a link that is not open: the platform's own "no handle".
extern const intptr_t SerialClosedHandle;

// Platform part of SerialOpen: opens and configures the port at device into
// link (made by SerialInit). False, with *failure, when it cannot.
bool SerialOpenPort(SerialLink* link, const char* device, SerialOpenFailure* failure);
// Platform part of SerialClose: puts the earlier settings back and closes the
// port when it is open. False, with the system's error code in *code (0 for
// none), when a setting could not be put back.
bool SerialClosePort(SerialLink* link, unsigned long* code);
// Platform part of SerialReadLine: waits up to ReadTimeoutMs for bytes and reads what
// is there (at most max). Returns the count, 0 on time-out, -1 on failure, and
// sets link->queueEmpty (a read that takes one byte at a time never knows) and
// link->readInterrupted. An empty read that returns early counts as no
// time-out: SerialReadLine reads again until the time-out has passed.
int SerialReadSome(SerialLink* link, unsigned char* buffer, size_t max);
// Platform part of SerialLineWaiting: reads what the port has queued (at most
// max) without waiting. Returns the count, 0 when nothing is queued, -1 on
// failure, and sets link->queueEmpty.
int SerialReadQueued(SerialLink* link, unsigned char* buffer, size_t max);
// Platform part of SerialDropInputNow: empties the port's input queue.
bool SerialPurgeInput(SerialLink* link);
// Platform part of SerialWrite: writes length bytes within the write time-out
// and returns how many went out.
size_t SerialWriteSome(SerialLink* link, const char* data, size_t length);

// Where the port listing looks on Linux: sysfs and /dev, or other folders laid
// out like them.
struct PortRoots {
  const char* sys;
  const char* dev;
};

// What the layer goes through: the platform calls of SerialReadLine, SerialWrite
// and SerialDropInputNow (SerialReadSome, SerialWriteSome and SerialPurgeInput in
// the program) and the listing's roots
// (null: the system's). A test points them elsewhere, to fail a read or cut a
// write short at a chosen byte, or to list ports of its own, and puts them
// back afterwards.
struct SerialSeam {
  int (*readSome)(SerialLink* link, unsigned char* buffer, size_t max);
  size_t (*writeSome)(SerialLink* link, const char* data, size_t length);
  const PortRoots* roots;
  bool (*purgeInput)(SerialLink* link);  // SerialPurgeInput in the program
};
extern SerialSeam serialSeam;
