// The serial link on Linux: termios in raw mode, poll for time-outs.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/timing.h"
#include "link.h"
#include "seam_linux.h"

namespace {

// SerialBaudRate as termios names it.
constexpr speed_t PortSpeed = B19200;
static_assert(SerialBaudRate == 19200, "PortSpeed must name SerialBaudRate");

// What the run changed on the port besides its settings, to be put back at
// close with them.
struct EarlierSettings {
  termios tio;
  bool exclusive;   // the run holds the port with TIOCEXCL
  bool lowLatency;  // the run turned the driver's low latency on
};
static_assert(sizeof(EarlierSettings) <= SerialSavedSettingsBytes,
              "the link keeps the earlier settings");

// The controlling terminal's other name, /dev/tty, is device 5,0; the system
// console is 5,1; the virtual consoles /dev/tty0 to /dev/tty63 are 4,0 to
// 4,63 (4,64 and on are the on-board serial ports ttyS*).
constexpr unsigned TtyAliasMajor = 5;
constexpr unsigned TtyAliasMinor = 0;
constexpr unsigned SystemConsoleMinor = 1;
constexpr unsigned VirtualConsoleMajor = 4;
constexpr unsigned VirtualConsolesMinorEnd = 64;
// Pseudo-terminals' other sides: the majors of the Unix 98 kind (136 to 143)
// and the old BSD kind (3).
constexpr unsigned PtySlaveMajorFirst = 136;
constexpr unsigned PtySlaveMajorLast = 143;
constexpr unsigned BsdPtySlaveMajor = 3;

int Control(int fd, unsigned long request, void* arg) {
  return ioctl(fd, request, arg);
}

bool HoldOutlivesProcess(dev_t device) {
  const unsigned kind = major(device);
  return (kind >= PtySlaveMajorFirst && kind <= PtySlaveMajorLast) || kind == BsdPtySlaveMajor;
}

}  // namespace

SerialDriverSeam serialDriverSeam = {Control, tcsetattr, write, HoldOutlivesProcess};

namespace {

int Fd(const SerialLink* link) {
  return static_cast<int>(link->handle);
}

// Whether a descriptor other than ownFd of this process has the terminal
// device open, in any process this account may look into (an ordinary
// account sees only its own processes in /proc).
bool OpenElsewhere(dev_t device, int ownFd) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  const long self = static_cast<long>(getpid());
  bool found = false;
  for (dirent* process; !found && (process = readdir(processes)) != nullptr;) {
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
    DIR* descriptors = opendir(folder);
    if (descriptors == nullptr) continue;  // gone meanwhile, or another account's
    for (dirent* entry; !found && (entry = readdir(descriptors)) != nullptr;) {
      const long fd = std::strtol(entry->d_name, &end, 10);
      if (*end != '\0' || end == entry->d_name || (pid == self && fd == ownFd)) continue;
      char path[96];
      std::snprintf(path, sizeof path, "%s/%ld", folder, fd);
      struct stat info;
      found = stat(path, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
    }
    closedir(descriptors);
  }
  closedir(processes);
  return found;
}

// A port refused as busy: in use when a living program is seen to have it
// open, else busy for a reason the system does not name.
SerialOpenFault FaultOfBusy(dev_t device, int ownFd) {
  return OpenElsewhere(device, ownFd) ? SerialOpenFault::InUse : SerialOpenFault::Busy;
}

// Raw 19200 8N1: no flow control, no translation, no echo, no signals.
void MakeRaw(termios* tio) {
  tio->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                    IXANY | INPCK | IUCLC | IMAXBEL);
  tio->c_oflag &= ~OPOST;
  tio->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio->c_cflag |= CS8 | CLOCAL | CREAD;
  // Reads never block in the driver; poll supplies the time-out.
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  tio->c_cc[SerialHoldMarkIndex] = SerialHoldMark;
  cfsetispeed(tio, PortSpeed);
  cfsetospeed(tio, PortSpeed);
}

// Why open() failed on node. A file or folder that exists but is no device
// is "not a serial port", whatever open() said about it.
SerialOpenFault FaultOfOpen(const char* node, int error) {
  struct stat info;
  const bool exists = stat(node, &info) == 0;
  if (exists && !S_ISCHR(info.st_mode)) return SerialOpenFault::NotSerialPort;
  if (!exists) info.st_rdev = 0;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      return SerialOpenFault::NoSuchPort;
    case EACCES:
    case EPERM:
      return SerialOpenFault::AccessDenied;
    case EBUSY:
      return FaultOfBusy(info.st_rdev, -1);
    case EISDIR:
      return SerialOpenFault::NotSerialPort;
    default:
      return SerialOpenFault::Other;
  }
}

// True when tio holds what the logger needs: 19200 baud both ways, 8N1, no
// flow control, raw input and output, reads that never wait in the driver.
bool SettingsTaken(const termios* tio) {
  return cfgetispeed(tio) == PortSpeed && cfgetospeed(tio) == PortSpeed &&
         (tio->c_cflag & CSIZE) == CS8 && (tio->c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 &&
         (tio->c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) &&
         (tio->c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK)) == 0 &&
         (tio->c_oflag & OPOST) == 0 &&
         (tio->c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) == 0 && tio->c_cc[VMIN] == 0 &&
         tio->c_cc[VTIME] == 0;
}

// Records a failed set-up step: the reason and the errno it left.
bool Failed(SerialOpenFailure* failure, SerialOpenFault fault, int error) {
  *failure = {fault, static_cast<unsigned long>(error)};
  return false;
}

// Checks that fd is a serial port that no other program holds, and takes it
// for the run alone; *earlier receives what it had.
bool TakePort(int fd, EarlierSettings* earlier, SerialOpenFailure* failure) {
  struct stat info;
  if (fstat(fd, &info) != 0) return Failed(failure, SerialOpenFault::Other, errno);
  // Only a device can be a serial port; a regular file has no terminal settings.
  if (!S_ISCHR(info.st_mode)) return Failed(failure, SerialOpenFault::NotSerialPort, ENOTTY);
  if (tcgetattr(fd, &earlier->tio) != 0) {
    return Failed(failure, SerialOpenFault::NotSerialPort, errno);
  }
  // A living run (or another program that locks the port) holds this lock;
  // it ends with the process that took it, however that process ends.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return Failed(failure, errno == EWOULDBLOCK ? SerialOpenFault::InUse : SerialOpenFault::Other,
                  errno);
  }
  // A port held exclusively by another program refuses every open but the
  // administrator's: honour the hold all the same. A hold with this
  // program's mark and no lock is what a killed run left: it is taken.
  cc_t* mark = &earlier->tio.c_cc[SerialHoldMarkIndex];
  int held = 0;
  if (serialDriverSeam.control(fd, TIOCGEXCL, &held) == 0 && held != 0 && *mark != SerialHoldMark) {
    return Failed(failure, FaultOfBusy(info.st_rdev, fd), EBUSY);
  }
  // Settings a killed run left are put back at close without its mark.
  if (*mark == SerialHoldMark) *mark = _POSIX_VDISABLE;
  if (serialDriverSeam.holdOutlivesProcess(info.st_rdev)) {
    // A hold here would outlive a run that is killed and refuse every later
    // open but the administrator's: the lock alone keeps other runs out, and
    // a hold an earlier run left is let go.
    if (held != 0 && serialDriverSeam.control(fd, TIOCNXCL, nullptr) != 0) {
      return Failed(failure, SerialOpenFault::SettingsRefused, errno);
    }
    return true;
  }
  // No other program may open the port while the run holds it; the hold ends
  // with the port's last descriptor.
  if (serialDriverSeam.control(fd, TIOCEXCL, nullptr) != 0) {
    return Failed(failure, SerialOpenFault::SettingsRefused, errno);
  }
  earlier->exclusive = true;
  return true;
}

// Asks the driver to hand on received bytes at once: a USB adapter with a
// latency timer (FTDI: 16 ms) otherwise holds the tail of every reply until
// the timer runs out. A port without such settings (a pseudo-terminal) or a
// driver that refuses works as it is: nothing is said. True when the run
// turned it on.
bool AskForLowLatency(int fd) {
  serial_struct info;
  if (serialDriverSeam.control(fd, TIOCGSERIAL, &info) != 0 ||
      (info.flags & ASYNC_LOW_LATENCY) != 0) {
    return false;
  }
  info.flags |= ASYNC_LOW_LATENCY;
  return serialDriverSeam.control(fd, TIOCSSERIAL, &info) == 0;
}

// Whether a failed request for the modem lines means the port has none: a
// pseudo-terminal knows no such request, and some CDC-ACM and USB gadget
// drivers refuse it.
bool NoModemLines(int error) {
  return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP || error == EIO;
}

// Empties the queues and sets the line; the settings are read back.
bool ConfigurePort(int fd, EarlierSettings* earlier, SerialOpenFailure* failure) {
  if (tcflush(fd, TCIOFLUSH) != 0) return Failed(failure, SerialOpenFault::SettingsRefused, errno);
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return Failed(failure, SerialOpenFault::SettingsRefused, errno);
  MakeRaw(&tio);
  if (serialDriverSeam.setSettings(fd, TCSANOW, &tio) != 0) {
    return Failed(failure, SerialOpenFault::SettingsRefused, errno);
  }
  // tcsetattr succeeds when the driver took any part of the settings: read
  // them back and check the parts that matter.
  termios taken;
  if (tcgetattr(fd, &taken) != 0) return Failed(failure, SerialOpenFault::SettingsRefused, errno);
  if (!SettingsTaken(&taken)) return Failed(failure, SerialOpenFault::SettingsRefused, 0);
  // DTR and RTS off, where the port has them.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (serialDriverSeam.control(fd, TIOCMBIC, &lines) != 0 && !NoModemLines(errno)) {
    return Failed(failure, SerialOpenFault::SettingsRefused, errno);
  }
  earlier->lowLatency = AskForLowLatency(fd);
  return true;
}

// Turns the driver's low latency off again; false, errno set, when it refused.
bool LowLatencyOff(int fd) {
  serial_struct info;
  if (serialDriverSeam.control(fd, TIOCGSERIAL, &info) != 0) return false;
  info.flags &= ~ASYNC_LOW_LATENCY;
  return serialDriverSeam.control(fd, TIOCSSERIAL, &info) == 0;
}

// Puts back what the run changed on the port. False, with the system's error
// code in *code, when a part could not be put back. A port that has hung up
// (EIO: a USB adapter pulled, the other side of a pseudo-terminal closed) is
// gone with its settings: nothing is left to put back.
bool PutBack(int fd, const EarlierSettings* earlier, unsigned long* code) {
  bool restored = true;
  // Once what was written has gone out; a signal cuts the wait short: then at once.
  if (serialDriverSeam.setSettings(fd, TCSADRAIN, &earlier->tio) != 0 &&
      serialDriverSeam.setSettings(fd, TCSANOW, &earlier->tio) != 0 && errno != EIO) {
    *code = static_cast<unsigned long>(errno);
    restored = false;
  }
  if (earlier->lowLatency && !LowLatencyOff(fd) && errno != EIO) {
    if (restored) *code = static_cast<unsigned long>(errno);
    restored = false;
  }
  // The exclusive mode belongs to the terminal, not to this descriptor.
  if (earlier->exclusive && serialDriverSeam.control(fd, TIOCNXCL, nullptr) != 0 && errno != EIO) {
    if (restored) *code = static_cast<unsigned long>(errno);
    restored = false;
  }
  return restored;
}

}  // namespace

const intptr_t SerialClosedHandle = -1;

bool SerialOpenPort(SerialLink* link, const char* device, SerialOpenFailure* failure) {
  // O_NONBLOCK: the open must not wait for carrier, and writes keep to their time-out.
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    *failure = {FaultOfOpen(device, error), static_cast<unsigned long>(error)};
    return false;
  }
  EarlierSettings earlier = {};
  if (!TakePort(fd, &earlier, failure)) {
    close(fd);
    return false;
  }
  if (!ConfigurePort(fd, &earlier, failure)) {
    // Told after the open's own failure.
    failure->notRestored = !PutBack(fd, &earlier, &failure->restoreCode);
    close(fd);
    return false;
  }
  std::memcpy(link->savedSettings, &earlier, sizeof earlier);
  link->settingsSaved = true;
  link->handle = fd;
  return true;
}

namespace {

// The device of the process's controlling terminal; false when it has none.
bool ControllingTerminal(dev_t* device) {
  const int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // /dev/tty's own node is the alias; the terminal behind it tells its number.
  unsigned int number = 0;
  const bool known = ioctl(fd, TIOCGDEV, &number) == 0;
  close(fd);
  // The kernel's encoding: major in bits 8-19, minor in bits 0-7 and 20-31.
  *device = makedev((number >> 8) & 0xfff, (number & 0xff) | ((number >> 12) & 0xfff00));
  return known;
}

// Whether fd is a terminal on the device rdev.
bool TerminalOn(int fd, dev_t rdev) {
  struct stat info;
  return fd >= 0 && isatty(fd) && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
         info.st_rdev == rdev;
}

}  // namespace

bool SerialIsUsersTerminal(const char* device, FILE* in, FILE* out) {
  struct stat port;
  if (stat(device, &port) != 0 || !S_ISCHR(port.st_mode)) return false;
  if (port.st_rdev == makedev(TtyAliasMajor, TtyAliasMinor)) return true;
  dev_t controlling = 0;
  if (ControllingTerminal(&controlling) && port.st_rdev == controlling) return true;
  // A stream in memory has no descriptor (-1).
  return TerminalOn(fileno(in), port.st_rdev) || TerminalOn(fileno(out), port.st_rdev);
}

bool SerialIsConsole(const char* device) {
  struct stat port;
  if (stat(device, &port) != 0 || !S_ISCHR(port.st_mode)) return false;
  const unsigned kind = major(port.st_rdev);
  const unsigned number = minor(port.st_rdev);
  return (kind == TtyAliasMajor && number == SystemConsoleMinor) ||
         (kind == VirtualConsoleMajor && number < VirtualConsolesMinorEnd);
}

void SerialClearError(SerialLink*) {
  // termios keeps no sticky error state: a line error only spoils the bytes
  // concerned, and reads and writes go on by themselves.
}

bool SerialPurgeInput(SerialLink* link) {
  return tcflush(Fd(link), TCIFLUSH) == 0;
}

size_t SerialWriteSome(SerialLink* link, const char* data, size_t length) {
  const long long deadline = NowMs() + WriteMsPerByte * length + WriteTimeoutBaseMs;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = serialDriverSeam.write(Fd(link), data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    // A signal (Ctrl-C) before any byte went out: the caller looks at its stop
    // request before the text is sent again. Once a part has gone, the rest
    // follows, so that the logger never receives a cut text.
    if (n < 0 && errno == EINTR && done == 0) break;
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd pfd = {Fd(link), POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) < 0 && (errno != EINTR || done == 0)) break;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
  }
  return done;
}

// One read takes up to max bytes of what the port has queued: one that took
// fewer left the queue empty.
int SerialReadSome(SerialLink* link, unsigned char* buffer, size_t max) {
  link->queueEmpty = false;
  pollfd pfd = {Fd(link), POLLIN, 0};
  const int ready = poll(&pfd, 1, static_cast<int>(ReadTimeoutMs));
  if (ready < 0) {
    // A signal (Ctrl-C) ends the wait: the caller looks at its stop request.
    link->readInterrupted = errno == EINTR;
    return link->readInterrupted ? 0 : -1;
  }
  if (ready == 0) {
    link->queueEmpty = true;
    return 0;
  }
  if (!(pfd.revents & POLLIN)) return -1;  // hang-up or error with nothing to read
  const ssize_t n = read(Fd(link), buffer, max);
  if (n > 0) {
    link->queueEmpty = static_cast<size_t>(n) < max;
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    link->readInterrupted = errno == EINTR;
    return 0;
  }
  // read 0 although poll said ready: the other side hung up.
  return -1;
}

int SerialReadQueued(SerialLink* link, unsigned char* buffer, size_t max) {
  // The port is non-blocking: a read takes what is queued and never waits.
  // With VMIN and VTIME 0 a terminal reads 0 bytes when nothing is queued
  // (what comes next may arrive at once: the queue is not known to stay empty).
  const ssize_t n = read(Fd(link), buffer, max);
  if (n == 0) return 0;
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    link->queueEmpty = true;
    return 0;
  }
  if (n <= 0) return -1;
  link->queueEmpty = static_cast<size_t>(n) < max;
  return static_cast<int>(n);
}

bool SerialClosePort(SerialLink* link, unsigned long* code) {
  *code = 0;
  bool restored = true;
  if (link->handle >= 0) {
    if (link->settingsSaved) {
      EarlierSettings earlier;
      std::memcpy(&earlier, link->savedSettings, sizeof earlier);
      restored = PutBack(Fd(link), &earlier, code);
    }
    close(Fd(link));
  }
  link->handle = SerialClosedHandle;
  return restored;
}
