// loggersim: a substitute data logger on a pseudo-terminal. Prints the path of
// its port on the first line of standard output, then answers the dump
// protocol until the end command arrives.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "simcore.h"
#include "version.h"

namespace {

// Bits on the wire per byte with 8N1: start, 8 data, stop.
constexpr double BitsPerByte = 10.0;

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
               "Faults (any together; ADDRESS is a block's or a record's memory address):\n"
               "  --noise               lines not beginning with ':' between records, NUL\n"
               "                        bytes inside record lines\n"
               "  --lowercase           lowercase hex digits in the records\n"
               "  --lf                  end lines with LF alone\n"
               "  --surplus ADDRESS     answer this block with one record line too many\n"
               "  --corrupt KIND:ADDRESS  spoil the data record holding ADDRESS; KIND is\n"
               "                        checksum, digit (a non-hex digit), short (cut),\n"
               "                        colon (its ':' another character), line-end (lost)\n"
               "                        or lost (the record never sent)\n"
               "  --duplicate ADDRESS   send the data record holding ADDRESS twice\n"
               "  --spoil-first N       spoil a block's reply only the first N times it is\n"
               "                        asked for (default: every time)\n"
               "  --no-addresses        load addresses not the memory's: 0000 to 00F0 in\n"
               "                        every block, segment records 0000 from 10000 on\n"
               "  --long-line ADDRESS   send a 1000-character line before this block's reply\n"
               "  --silent-after ADDRESS  answer nothing after this block (port stays open)\n"
               "  --hangup-after ADDRESS  close the port after this block's reply\n"
               "  --hangup-in ADDRESS   close the port halfway through this block's reply\n"
               "  --delay MS            pause MS milliseconds before each reply\n"
               "  --late ADDRESS        answer this block 3000 ms late\n"
               "  --split-line-end ADDRESS  send the LF that ends this block's reply 30 ms\n"
               "                        after the rest\n"
               "  --echo                send every command line back before answering it\n"
               "  --twice ADDRESS       send this block's reply again 30 ms after the first\n"
               "  --other-reply ADDRESS answer this block with the next block's reply\n"
               "  --late-ms MS          how late --late answers (default 3000)\n"
               "  --lost-base ADDRESS   answer this block (from 0x10000 on) with the data\n"
               "                        records of the block 64 KiB lower, and start address\n"
               "                        records where its segment records would be\n"
               "  --lost-base-eof       ...end-of-file records there instead\n"
               "  --corrupt-stride N    spoil every Nth byte's record from --corrupt's on too\n"
               "  --eof-after-end       answer the end command with an end-of-file record\n"
               "  --record-after-end    answer the end command with a data record\n"
               "  --stray-records MS    send a data record line every MS milliseconds\n"
               "  --foreign             another device: answer nothing, send a line of text\n"
               "                        every 400 ms\n"
               "  --low-segments        from 0x10000 on, answer with the memory 64 KiB lower\n"
               "                        and segment records to match\n"
               "  --wide-records        data records of 32 bytes (replies that never fit)\n");
}

long Address(const char* text) {
  return static_cast<long>(std::strtoul(text, nullptr, 0));
}

// Faults switched on by an option alone.
struct FlagFault {
  const char* option;
  bool SimFaults::*flag;
};
const FlagFault FlagFaults[] = {
    {"--noise", &SimFaults::noise},
    {"--lowercase", &SimFaults::lowercase},
    {"--lf", &SimFaults::lfOnly},
    {"--echo", &SimFaults::echo},
    {"--no-addresses", &SimFaults::noAddresses},
    {"--foreign", &SimFaults::foreignText},
    {"--low-segments", &SimFaults::lowSegments},
    {"--wide-records", &SimFaults::wideRecords},
};

// Faults that name a block or a record by its address.
struct AddressFault {
  const char* option;
  long SimFaults::*address;
};
const AddressFault AddressFaults[] = {
    {"--surplus", &SimFaults::surplusBlock},
    {"--long-line", &SimFaults::longLineBlock},
    {"--silent-after", &SimFaults::silentAfterBlock},
    {"--hangup-after", &SimFaults::hangUpAfterBlock},
    {"--hangup-in", &SimFaults::hangUpInBlock},
    {"--duplicate", &SimFaults::duplicateAddress},
    {"--late", &SimFaults::lateBlock},
    {"--twice", &SimFaults::twiceBlock},
    {"--split-line-end", &SimFaults::splitBlock},
    {"--other-reply", &SimFaults::otherReplyBlock},
    {"--lost-base", &SimFaults::lostBaseBlock},
    {"--corrupt-stride", &SimFaults::corruptStride},
};

// Faults that take a count of milliseconds.
struct MsFault {
  const char* option;
  unsigned SimFaults::*ms;
};
const MsFault MsFaults[] = {
    {"--delay", &SimFaults::replyDelayMs},
    {"--late-ms", &SimFaults::lateMs},
    {"--stray-records", &SimFaults::strayRecordMs},
};

struct NamedCorruption {
  const char* name;
  SimCorruption corruption;
};
const NamedCorruption Corruptions[] = {
    {"checksum", SimCorruption::Checksum}, {"digit", SimCorruption::Digit},
    {"short", SimCorruption::Short},       {"colon", SimCorruption::Colon},
    {"line-end", SimCorruption::LineEnd},  {"lost", SimCorruption::Lost},
};

// --corrupt KIND:ADDRESS
bool ParseCorruption(const char* value, SimFaults* faults) {
  const char* colon = std::strchr(value, ':');
  if (colon == nullptr) return false;
  const size_t kindLength = static_cast<size_t>(colon - value);
  for (const NamedCorruption& c : Corruptions) {
    if (std::strlen(c.name) != kindLength || std::strncmp(value, c.name, kindLength) != 0) continue;
    faults->corruption = c.corruption;
    faults->corruptAddress = Address(colon + 1);
    return true;
  }
  return false;
}

// Takes a fault option that has a value.
bool ParseValueFault(const char* option, const char* value, SimFaults* faults) {
  for (const AddressFault& f : AddressFaults) {
    if (std::strcmp(option, f.option) != 0) continue;
    faults->*f.address = Address(value);
    return true;
  }
  if (std::strcmp(option, "--spoil-first") == 0) {
    faults->spoilFirst = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
    return true;
  }
  for (const MsFault& f : MsFaults) {
    if (std::strcmp(option, f.option) != 0) continue;
    faults->*f.ms = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
    return true;
  }
  if (std::strcmp(option, "--corrupt") == 0) return ParseCorruption(value, faults);
  return false;
}

// Takes the fault option at argv[*i] (and its value) into faults. False when
// argv[*i] is no fault option or its value is wrong.
bool ParseFault(int argc, char** argv, int* i, SimFaults* faults) {
  const char* option = argv[*i];
  if (std::strcmp(option, "--lost-base-eof") == 0) {
    faults->lostBaseType = 0x01;
    return true;
  }
  if (std::strcmp(option, "--eof-after-end") == 0 ||
      std::strcmp(option, "--record-after-end") == 0) {
    faults->afterEnd = option[2] == 'e' ? SimEndOfFileLine : SimStrayRecordLine;
    return true;
  }
  for (const FlagFault& f : FlagFaults) {
    if (std::strcmp(option, f.option) != 0) continue;
    faults->*f.flag = true;
    return true;
  }
  if (*i + 1 >= argc || !ParseValueFault(option, argv[*i + 1], faults)) return false;
  ++*i;
  return true;
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
