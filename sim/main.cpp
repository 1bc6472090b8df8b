// loggersim: a substitute data logger on a pseudo-terminal. Prints the path of
// its port on the first line of standard output, then answers the dump
// protocol until the end command arrives.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "faults.h"
#include "simcore.h"
#include "version.h"

namespace {

// Bits on the wire per byte with 8N1: start, 8 data, stop.
constexpr double BitsPerByte = 10.0;

// Where a fault option's words begin in the usage, after two blanks; a
// longer option and its value are followed by two blanks.
constexpr int UsageHelpColumn = 24;
constexpr int UsageOptionWidth = UsageHelpColumn - 2;

// The fault options, from the table of faults: each with its value, then
// what it does, its further lines under the first.
void FaultUsage(FILE* out) {
  for (int i = 0; i < SimFaultCount; ++i) {
    const SimFaultRow* row = &SimFaultTable[i];
    char option[64];
    const int n =
        std::snprintf(option, sizeof option, "%s%s%s", row->option,
                      row->value != nullptr ? " " : "", row->value != nullptr ? row->value : "");
    std::fprintf(out, "  %-*s", n < UsageOptionWidth ? UsageOptionWidth : n + 2, option);
    for (const char* line = row->help; line != nullptr;) {
      const char* end = std::strchr(line, '\n');
      const int length =
          end != nullptr ? static_cast<int>(end - line) : static_cast<int>(std::strlen(line));
      std::fprintf(out, "%.*s\n", length, line);
      line = end != nullptr ? end + 1 : nullptr;
      if (line != nullptr) std::fprintf(out, "%*s", UsageHelpColumn, "");
    }
  }
}

// Standard output for --help, standard error after a wrong command line.
void Usage(FILE* out) {
  std::fprintf(out,
               "usage: loggersim [--image FILE | --seed N] [--baud N] [--link PATH]\n"
               "                 [--received FILE] [--stats FILE] [--write-image FILE]\n"
               "                 [--stall-at ADDRESS --stall-ms MS] [--termios FILE]\n"
               "       loggersim --help | --version\n"
               "  --image FILE     logger memory from a 262144-byte file\n"
               "  --seed N         logger memory from a pseudo-random pattern (default 1)\n"
               "  --baud N         pace replies like an 8N1 line at N baud (default: unpaced)\n"
               "  --link PATH      also make PATH a symbolic link to the port\n"
               "  --received FILE  write every byte received, in order, to FILE\n"
               "  --stats FILE     write timings and counts to FILE at the end\n"
               "  --write-image FILE  save the logger's memory to FILE at start\n"
               "  --stall-at ADDRESS  stop halfway through the first reply to this block...\n"
               "  --stall-ms MS       ...for MS milliseconds\n"
               "  --termios FILE   write the port's termios settings to FILE at the end\n"
               "Faults (any together; ADDRESS is a block's or a record's memory address):\n");
  FaultUsage(out);
}

// Takes the fault option at argv[*i] (and its value) into faults. False when
// argv[*i] is no fault option or its value is missing or wrong.
bool ParseFault(int argc, char** argv, int* i, SimFaults* faults) {
  for (int f = 0; f < SimFaultCount; ++f) {
    const SimFaultRow* row = &SimFaultTable[f];
    if (std::strcmp(argv[*i], row->option) != 0) continue;
    if (row->value == nullptr) return row->field.set(faults, nullptr);
    if (*i + 1 >= argc || !row->field.set(faults, argv[*i + 1])) return false;
    ++*i;
    return true;
  }
  return false;
}

bool LoadImage(const char* name, uint8_t* image) {
  FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return false;
  const size_t n = std::fread(image, 1, ImageSize, file);
  const bool exact = n == ImageSize && std::fgetc(file) == EOF;
  std::fclose(file);
  return exact;
}

// What the command line asks for.
struct Options {
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
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const char** name = nullptr;
    if (std::strcmp(option, "--image") == 0) {
      name = &options->imageName;
    } else if (std::strcmp(option, "--link") == 0) {
      name = &options->linkName;
    } else if (std::strcmp(option, "--received") == 0) {
      name = &options->receivedName;
    } else if (std::strcmp(option, "--write-image") == 0) {
      name = &options->writeImageName;
    } else if (std::strcmp(option, "--termios") == 0) {
      name = &options->termiosName;
    } else if (std::strcmp(option, "--stats") == 0) {
      name = &options->statsName;
    }
    if (name != nullptr || std::strcmp(option, "--seed") == 0 ||
        std::strcmp(option, "--baud") == 0 || std::strcmp(option, "--stall-at") == 0 ||
        std::strcmp(option, "--stall-ms") == 0) {
      if (value == nullptr) return false;
      ++i;
    }
    if (name != nullptr) {
      *name = value;
    } else if (std::strcmp(option, "--seed") == 0) {
      options->seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 0));
    } else if (std::strcmp(option, "--baud") == 0) {
      options->baud = std::strtod(value, nullptr);
    } else if (std::strcmp(option, "--stall-at") == 0) {
      options->stallAt = static_cast<uint32_t>(std::strtoul(value, nullptr, 0));
    } else if (std::strcmp(option, "--stall-ms") == 0) {
      options->stallMs = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
    } else if (!ParseFault(argc, argv, &i, &options->faults)) {
      return false;
    }
  }
  return true;
}

// The logger's memory: from the image file, else the seed's pattern; saved
// when asked for.
bool MakeMemory(const Options* options, uint8_t* image) {
  if (options->imageName != nullptr) {
    if (!LoadImage(options->imageName, image)) {
      std::fprintf(stderr, "loggersim: %s is not a readable %u-byte image\n", options->imageName,
                   static_cast<unsigned>(ImageSize));
      return false;
    }
  } else {
    SimFillPattern(image, options->seed);
  }
  if (options->writeImageName == nullptr) return true;
  FILE* file = std::fopen(options->writeImageName, "wb");
  if (file == nullptr || std::fwrite(image, 1, ImageSize, file) != ImageSize ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "loggersim: cannot write %s\n", options->writeImageName);
    return false;
  }
  return true;
}

void WriteStats(const char* name, const SimStats* stats) {
  FILE* file = std::fopen(name, "w");
  if (file == nullptr) return;
  std::fprintf(file,
               "first_command_ns %lld\nend_command_ns %lld\ncommands %ld\n"
               "bytes_received %lld\nbytes_sent %lld\nsaw_end %d\n"
               "turnaround_total_ns %lld\nturnaround_max_ns %lld\nturnarounds %ld\n"
               "stall_start_ns %lld\nstall_end_ns %lld\n",
               stats->firstCommandNs, stats->endCommandNs, stats->commands, stats->bytesReceived,
               stats->bytesSent, stats->sawEnd ? 1 : 0, stats->turnaroundTotalNs,
               stats->turnaroundMaxNs, stats->turnarounds, stats->stallStartNs, stats->stallEndNs);
  std::fclose(file);
}

// The settings the tool left on the port (speeds as termios speed_t codes).
void WriteTermios(const char* name, int port) {
  termios tio;
  FILE* file = std::fopen(name, "w");
  if (file == nullptr) return;
  if (tcgetattr(port, &tio) == 0) {
    std::fprintf(file, "ispeed %lu\nospeed %lu\niflag %lu\noflag %lu\ncflag %lu\nlflag %lu\n",
                 static_cast<unsigned long>(cfgetispeed(&tio)),
                 static_cast<unsigned long>(cfgetospeed(&tio)),
                 static_cast<unsigned long>(tio.c_iflag), static_cast<unsigned long>(tio.c_oflag),
                 static_cast<unsigned long>(tio.c_cflag), static_cast<unsigned long>(tio.c_lflag));
  }
  std::fclose(file);
}

// Opens the pseudo-terminal (linked at --link) and the file of received
// bytes (--received); false, with the reason printed, on failure.
bool OpenPort(const Options* options, SimPty* pty, FILE** received) {
  if (!SimOpenPty(pty)) {
    std::perror("loggersim: pseudo-terminal");
    return false;
  }
  if (options->linkName != nullptr) {
    unlink(options->linkName);
    if (symlink(pty->path, options->linkName) != 0) {
      std::perror("loggersim: link");
      return false;
    }
  }
  if (options->receivedName != nullptr &&
      (*received = std::fopen(options->receivedName, "wb")) == nullptr) {
    std::perror("loggersim: received");
    return false;
  }
  return true;
}

// The logger's memory. A fixed buffer, like std::string and std::vector
// nowhere in this program: their error paths would link in the C++ runtime's
// random_device, which needs arc4random from a newer C library (2.36) than
// the oldest systems the package installs on.
uint8_t Image[ImageSize];

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("loggersim %s\n", ProgramVersion);
    return 0;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage(stderr);
    return 2;
  }
  if (!MakeMemory(&options, Image)) return 2;

  SimPty pty;
  FILE* received = nullptr;
  if (!OpenPort(&options, &pty, &received)) return 2;
  std::printf("%s\n", pty.path);
  std::fflush(stdout);

  SimConfig config = {Image, options.baud / BitsPerByte, nullptr};
  config.stallAddress = options.stallAt;
  config.stallMs = options.stallMs;
  config.faults = options.faults;
  SimStats stats;
  const int served = SimServe(&pty, &config, received, &stats);
  if (received != nullptr) std::fclose(received);
  if (options.statsName != nullptr) WriteStats(options.statsName, &stats);
  if (options.termiosName != nullptr) WriteTermios(options.termiosName, pty.slave);
  SimClosePty(&pty);
  if (options.linkName != nullptr) unlink(options.linkName);
  return served == 0 || served == SimHungUp ? 0 : 1;
}
