// The serial link on Linux: termios in raw mode, poll for time-outs.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "serial.h"

namespace {

int Fd(const SerialLink* link) {
  return static_cast<int>(link->handle);
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
  cfsetispeed(tio, B19200);
  cfsetospeed(tio, B19200);
}

}  // namespace

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool SerialOpen(SerialLink* link, const DevicePath* path) {
  link->handle = -1;
  link->receiveStart = link->receiveEnd = 0;
  link->partialLength = 0;
  if (!path->exists) return false;
  // O_NONBLOCK: the open must not wait for carrier, and writes keep to their time-out.
  const int fd = open(path->node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  termios tio;
  if (tcgetattr(fd, &tio) != 0) {  // not a terminal device: no serial port
    close(fd);
    return false;
  }
  ioctl(fd, TIOCEXCL);  // no other process may open the port while the run holds it
  tcflush(fd, TCIOFLUSH);
  MakeRaw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  // DTR and RTS off; a pseudo-terminal has no modem lines and refuses, which is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
  link->handle = fd;
  return true;
}

void SerialClearError(SerialLink*) {
  // termios keeps no sticky error state: a line error only spoils the bytes
  // concerned, and reads and writes go on by themselves.
}

size_t SerialWriteSome(SerialLink* link, const char* data, size_t length) {
  const long long deadline = NowMs() + WriteMsPerByte * length + WriteTimeoutBaseMs;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(Fd(link), data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd pfd = {Fd(link), POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
  }
  return done;
}

int SerialReadSome(SerialLink* link, unsigned char* buffer, size_t max) {
  pollfd pfd = {Fd(link), POLLIN, 0};
  const int ready = poll(&pfd, 1, static_cast<int>(ReadTimeoutMs));
  if (ready < 0) return errno == EINTR ? 0 : -1;  // a signal counts as a time-out
  if (ready == 0) return 0;
  if (!(pfd.revents & POLLIN)) return -1;  // hang-up or error with nothing to read
  const ssize_t n = read(Fd(link), buffer, max);
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  // read 0 although poll said ready: the other side hung up.
  return -1;
}

void SerialClose(SerialLink* link) {
  if (link->handle >= 0) close(Fd(link));
  link->handle = -1;
}
