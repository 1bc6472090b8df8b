// Shared by the fuzz targets: the check that stops a run on a broken
// property, and turning fuzzer bytes into the inputs the program reads.
// Each target is built twice: with libFuzzer (scripts/fuzz.sh) and with g++
// beside replay.cpp, which runs the stored corpus as an ordinary test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "logger/blockcheck.h"
#include "serial/serial.h"

// A property that must hold for every input: when it does not, the input is a
// finding, and the run ends at once so that the fuzzer keeps it.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

// Bytes taken from the front of the fuzzer's input, 0 once it is used up.
struct FuzzInput {
  const uint8_t* data;
  size_t size;
};

inline uint8_t TakeByte(FuzzInput* in) {
  if (in->size == 0) return 0;
  --in->size;
  return *in->data++;
}

// Fills reply with the record lines of in, each ended by its first LF (kept,
// as the link keeps a line's end) and cut to what the link hands over, then
// parses them. The rest of in is used up.
inline void ReplyFromBytes(FuzzInput* in, LoggerReply* reply) {
  reply->count = 0;
  while (in->size > 0 && reply->count < MaxBlockLines) {
    char* line = reply->line[reply->count];
    int length = 0;
    while (in->size > 0 && length < static_cast<int>(MaxLineText) + 1) {
      const char c = static_cast<char>(TakeByte(in));
      line[length++] = c;
      if (c == '\n' || c == '\r') break;
    }
    line[length] = '\0';
    reply->length[reply->count++] = length;
  }
  LoggerParseReply(reply);
}
