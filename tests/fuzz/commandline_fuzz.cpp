// The command line and the typed port line on any input. The first byte
// chooses which. A command line is either refused cleanly (a message, status
// 64) or a valid set of options; a typed line's port number is the number
// atoi reads from it, where it is in range.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump/options.h"
#include "dump/portchoice.h"
#include "fuzz.h"

namespace {

constexpr int MaxArguments = 8;

// The arguments of a command line: the input cut at its NULs, each in a heap
// block of its own size.
std::vector<std::unique_ptr<char[]>> ArgumentsOf(FuzzInput* in) {
  std::vector<std::unique_ptr<char[]>> args;
  args.emplace_back(new char[sizeof "loggerdump"]);
  std::memcpy(args.back().get(), "loggerdump", sizeof "loggerdump");
  while (in->size > 0 && args.size() < MaxArguments) {
    const size_t n = strnlen(reinterpret_cast<const char*>(in->data), in->size);
    args.emplace_back(new char[n + 1]);
    std::memcpy(args.back().get(), in->data, n);
    args.back()[n] = '\0';
    const size_t used = n < in->size ? n + 1 : n;
    in->data += used;
    in->size -= used;
  }
  return args;
}

// Whether text is one of the arguments or lies inside one.
bool WithinArguments(const char* text, const std::vector<std::unique_ptr<char[]>>& args) {
  for (const auto& a : args) {
    if (text >= a.get() && text <= a.get() + std::strlen(a.get())) return true;
  }
  return false;
}

void CheckCommandLine(FuzzInput* in) {
  auto args = ArgumentsOf(in);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.get());
  argv.push_back(nullptr);
  char* said = nullptr;
  size_t saidSize = 0;
  FILE* err = open_memstream(&said, &saidSize);
  FUZZ_CHECK(err != nullptr);
  CommandLine line;
  const Action action = ParseCommandLine(static_cast<int>(args.size()), argv.data(), &line, err);
  std::fclose(err);
  if (action == Action::Usage) {
    // Refused (the program then ends with the usage status), after saying why.
    FUZZ_CHECK(saidSize > 0);
  } else {
    // Accepted: nothing said, and every value is a piece of the command line
    // the program can use.
    FUZZ_CHECK(saidSize == 0);
    if (line.dir != nullptr) FUZZ_CHECK(line.dir[0] != '\0' && WithinArguments(line.dir, args));
    if (line.summary != nullptr) {
      FUZZ_CHECK(line.summary[0] != '\0' && WithinArguments(line.summary, args));
    }
    if (line.port != nullptr) {
      FUZZ_CHECK(WithinArguments(line.port, args));
      FUZZ_CHECK(std::strlen(line.port) < LineBufferSize);
      const bool digits =
          line.port[0] != '\0' && line.port[std::strspn(line.port, "0123456789")] == '\0';
      FUZZ_CHECK(digits || SerialIsDevicePath(line.port) || IsUsbName(line.port));
    }
  }
  std::free(said);
}

void CheckPortLine(FuzzInput* in) {
  // A typed line as the prompt reads it: at most a line's text, NUL-terminated.
  const size_t n = in->size < MaxLineText ? in->size : MaxLineText;
  std::unique_ptr<char[]> line(new char[n + 1]);
  std::memcpy(line.get(), in->data, n);
  line[n] = '\0';
  long number = 0;
  const bool inRange = ParsePortNumber(line.get(), &number);
  const long read = std::strtol(line.get(), nullptr, 10);  // what atoi reads, without overflow
  FUZZ_CHECK(inRange == (read >= MinPortNumber && read <= MaxPortNumber));
  FUZZ_CHECK(number == (inRange ? read : read < 0 ? MinPortNumber : MaxPortNumber));
  if (inRange) FUZZ_CHECK(number == std::atoi(line.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  if (TakeByte(&in) % 2 == 0) {
    CheckCommandLine(&in);
  } else {
    CheckPortLine(&in);
  }
  return 0;
}
