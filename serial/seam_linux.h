// The Linux link's calls on the port's driver, through which a test acts as a
// driver that refuses, fails, or has what a pseudo-terminal lacks (a latency
// setting, a hold that ends with its last descriptor). Only serial_linux.cpp
// and the tests include this header.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>

// Put by the run into a control character that raw mode never looks at, so
// that an exclusive hold left by a run that was killed can be told from
// another program's: only a run of this program leaves this mark (and its
// lock dies with it).
constexpr unsigned char SerialHoldMark = 0x1D;
constexpr int SerialHoldMarkIndex = VEOL2;

struct SerialDriverSeam {
  int (*control)(int fd, unsigned long request, void* arg);   // ioctl
  int (*setSettings)(int fd, int when, const termios* tio);   // tcsetattr
  ssize_t (*write)(int fd, const void* data, size_t length);  // write
  // Whether an exclusive hold on the terminal device outlives the process
  // that took it: on a pseudo-terminal it stays while the other side is open.
  bool (*holdOutlivesProcess)(dev_t device);
};
extern SerialDriverSeam serialDriverSeam;
