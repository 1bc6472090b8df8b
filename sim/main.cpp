// loggersim: a substitute data logger on a pseudo-terminal. Prints the path of
// its port on the first line of standard output, then answers the dump
// protocol until the end command arrives.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "simcore.h"

namespace {

// Bits on the wire per byte with 8N1: start, 8 data, stop.
constexpr double BitsPerByte = 10.0;

void Usage() {
  std::fprintf(stderr,
               "usage: loggersim [--image FILE | --seed N] [--baud N] [--link PATH]\n"
               "                 [--received FILE] [--stats FILE] [--write-image FILE]\n"
               "                 [--stall-at ADDRESS --stall-ms MS] [--termios FILE]\n"
               "  --image FILE     logger memory from a 262144-byte file\n"
               "  --seed N         logger memory from a pseudo-random pattern (default 1)\n"
               "  --baud N         pace replies like an 8N1 line at N baud (default: unpaced)\n"
               "  --link PATH      also make PATH a symbolic link to the port\n"
               "  --received FILE  write every byte received, in order, to FILE\n"
               "  --stats FILE     write timings and counts to FILE at the end\n"
               "  --write-image FILE  save the logger's memory to FILE at start\n"
               "  --stall-at ADDRESS  stop halfway through the reply to this block...\n"
               "  --stall-ms MS       ...for MS milliseconds\n"
               "  --termios FILE   write the port's termios settings to FILE at the end\n"
               "Faults (any together; ADDRESS is a block's or a record's memory address):\n"
               "  --noise               lines not beginning with ':' between records, NUL\n"
               "                        bytes inside record lines\n"
               "  --lowercase           lowercase hex digits in the records\n"
               "  --surplus ADDRESS     answer this block with one record line too many\n"
               "  --corrupt KIND:ADDRESS  spoil the data record holding ADDRESS; KIND is\n"
               "                        checksum, digit (a non-hex digit) or short (cut)\n"
               "  --long-line ADDRESS   send a 1000-character line before this block's reply\n"
               "  --silent-after ADDRESS  answer nothing after this block (port stays open)\n"
               "  --hangup-after ADDRESS  close the port after this block's reply\n"
               "  --hangup-in ADDRESS   close the port halfway through this block's reply\n"
               "  --delay MS            pause MS milliseconds before each reply\n");
}

long Address(const char* text) {
  return static_cast<long>(std::strtoul(text, nullptr, 0));
}

// Takes the fault option at argv[*i] (and its value) into faults. False when
// argv[*i] is no fault option or its value is wrong.
bool ParseFault(int argc, char** argv, int* i, SimFaults* faults) {
  const char* option = argv[*i];
  if (std::strcmp(option, "--noise") == 0) {
    faults->noise = true;
    return true;
  }
  if (std::strcmp(option, "--lowercase") == 0) {
    faults->lowercase = true;
    return true;
  }
  if (*i + 1 >= argc) return false;
  const char* value = argv[*i + 1];
  if (std::strcmp(option, "--surplus") == 0) {
    faults->surplusBlock = Address(value);
  } else if (std::strcmp(option, "--long-line") == 0) {
    faults->longLineBlock = Address(value);
  } else if (std::strcmp(option, "--silent-after") == 0) {
    faults->silentAfterBlock = Address(value);
  } else if (std::strcmp(option, "--hangup-after") == 0) {
    faults->hangUpAfterBlock = Address(value);
  } else if (std::strcmp(option, "--hangup-in") == 0) {
    faults->hangUpInBlock = Address(value);
  } else if (std::strcmp(option, "--delay") == 0) {
    faults->replyDelayMs = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
  } else if (std::strcmp(option, "--corrupt") == 0) {
    const char* colon = std::strchr(value, ':');
    if (colon == nullptr) return false;
    const size_t kindLength = static_cast<size_t>(colon - value);
    if (kindLength == 8 && std::strncmp(value, "checksum", kindLength) == 0) {
      faults->corruption = SimCorruption::Checksum;
    } else if (kindLength == 5 && std::strncmp(value, "digit", kindLength) == 0) {
      faults->corruption = SimCorruption::Digit;
    } else if (kindLength == 5 && std::strncmp(value, "short", kindLength) == 0) {
      faults->corruption = SimCorruption::Short;
    } else {
      return false;
    }
    faults->corruptAddress = Address(colon + 1);
  } else {
    return false;
  }
  ++*i;
  return true;
}

bool LoadImage(const char* name, uint8_t* image) {
  FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return false;
  const size_t n = std::fread(image, 1, SimImageSize, file);
  const bool exact = n == SimImageSize && std::fgetc(file) == EOF;
  std::fclose(file);
  return exact;
}

}  // namespace

int main(int argc, char** argv) {
  const char* imageName = nullptr;
  const char* linkName = nullptr;
  const char* receivedName = nullptr;
  const char* statsName = nullptr;
  const char* writeImageName = nullptr;
  const char* termiosName = nullptr;
  uint32_t seed = 1;
  double baud = 0;
  uint32_t stallAt = 0;
  unsigned stallMs = 0;
  SimFaults faults;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--image") == 0 && hasValue) {
      imageName = argv[++i];
    } else if (std::strcmp(argv[i], "--seed") == 0 && hasValue) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (std::strcmp(argv[i], "--baud") == 0 && hasValue) {
      baud = std::strtod(argv[++i], nullptr);
    } else if (std::strcmp(argv[i], "--link") == 0 && hasValue) {
      linkName = argv[++i];
    } else if (std::strcmp(argv[i], "--received") == 0 && hasValue) {
      receivedName = argv[++i];
    } else if (std::strcmp(argv[i], "--write-image") == 0 && hasValue) {
      writeImageName = argv[++i];
    } else if (std::strcmp(argv[i], "--termios") == 0 && hasValue) {
      termiosName = argv[++i];
    } else if (std::strcmp(argv[i], "--stats") == 0 && hasValue) {
      statsName = argv[++i];
    } else if (std::strcmp(argv[i], "--stall-at") == 0 && hasValue) {
      stallAt = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (std::strcmp(argv[i], "--stall-ms") == 0 && hasValue) {
      stallMs = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
    } else if (ParseFault(argc, argv, &i, &faults)) {
      continue;
    } else {
      Usage();
      return 2;
    }
  }

  std::vector<uint8_t> image(SimImageSize);
  if (imageName != nullptr) {
    if (!LoadImage(imageName, image.data())) {
      std::fprintf(stderr, "loggersim: %s is not a readable %u-byte image\n", imageName,
                   static_cast<unsigned>(SimImageSize));
      return 2;
    }
  } else {
    SimFillPattern(image.data(), seed);
  }

  if (writeImageName != nullptr) {
    FILE* file = std::fopen(writeImageName, "wb");
    if (file == nullptr || std::fwrite(image.data(), 1, SimImageSize, file) != SimImageSize ||
        std::fclose(file) != 0) {
      std::fprintf(stderr, "loggersim: cannot write %s\n", writeImageName);
      return 2;
    }
  }

  SimPty pty;
  if (!SimOpenPty(&pty)) {
    std::perror("loggersim: pseudo-terminal");
    return 2;
  }
  if (linkName != nullptr) {
    unlink(linkName);
    if (symlink(pty.path, linkName) != 0) {
      std::perror("loggersim: link");
      return 2;
    }
  }
  FILE* received = nullptr;
  if (receivedName != nullptr && (received = std::fopen(receivedName, "wb")) == nullptr) {
    std::perror("loggersim: received");
    return 2;
  }
  std::printf("%s\n", pty.path);
  std::fflush(stdout);

  SimConfig config = {image.data(), baud / BitsPerByte, nullptr};
  config.pauseAddress = stallAt;
  config.pauseMs = stallMs;
  config.faults = faults;
  SimStats stats;
  const int served = SimServe(&pty, &config, received, &stats);
  if (received != nullptr) std::fclose(received);
  if (statsName != nullptr) {
    if (FILE* file = std::fopen(statsName, "w")) {
      std::fprintf(file,
                   "first_command_ns %lld\nend_command_ns %lld\ncommands %ld\n"
                   "bytes_received %lld\nbytes_sent %lld\nsaw_end %d\n"
                   "turnaround_total_ns %lld\nturnaround_max_ns %lld\nturnarounds %ld\n"
                   "stall_start_ns %lld\nstall_end_ns %lld\n",
                   stats.firstCommandNs, stats.endCommandNs, stats.commands, stats.bytesReceived,
                   stats.bytesSent, stats.sawEnd ? 1 : 0, stats.turnaroundTotalNs,
                   stats.turnaroundMaxNs, stats.turnarounds, stats.pauseStartNs, stats.pauseEndNs);
      std::fclose(file);
    }
  }
  if (termiosName != nullptr) {
    // The settings the tool left on the port (speeds as termios speed_t codes).
    termios tio;
    FILE* file = std::fopen(termiosName, "w");
    if (file != nullptr && tcgetattr(pty.slave, &tio) == 0) {
      std::fprintf(file, "ispeed %lu\nospeed %lu\niflag %lu\noflag %lu\ncflag %lu\nlflag %lu\n",
                   static_cast<unsigned long>(cfgetispeed(&tio)),
                   static_cast<unsigned long>(cfgetospeed(&tio)),
                   static_cast<unsigned long>(tio.c_iflag), static_cast<unsigned long>(tio.c_oflag),
                   static_cast<unsigned long>(tio.c_cflag),
                   static_cast<unsigned long>(tio.c_lflag));
    }
    if (file != nullptr) std::fclose(file);
  }
  SimClosePty(&pty);
  if (linkName != nullptr) unlink(linkName);
  return served == 0 || served == SimHungUp ? 0 : 1;
}
