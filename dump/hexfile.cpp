#include "hexfile.h"

#include <cstring>

size_t MakeHexEntry(const char* line, size_t length, char* entry) {
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    if (line[i] == '\n') entry[n++] = '\r';
    entry[n++] = line[i];
  }
  std::memcpy(entry + n, HexEntryEnd, HexEntryEndLength);
  return n + HexEntryEndLength;
}

int ReadHexEntry(FILE* hex, char* line, long long* bytes) {
  char entry[HexEntryRoom];
  size_t n = 0;
  while (n < HexEntryEndLength ||
         std::memcmp(entry + n - HexEntryEndLength, HexEntryEnd, HexEntryEndLength) != 0) {
    const int c = std::fgetc(hex);
    if (c == EOF || n == HexEntryRoom) return 0;
    entry[n++] = static_cast<char>(c);
  }
  *bytes += static_cast<long long>(n);
  n -= HexEntryEndLength;
  // A line ended by LF was written with that LF as CR LF.
  if (n >= 2 && entry[n - 2] == '\r' && entry[n - 1] == '\n') {
    entry[n - 2] = '\n';
    --n;
  } else if (n == 0 || entry[n - 1] != '\r') {
    return 0;
  }
  if (n >= LineBufferSize) return 0;
  std::memcpy(line, entry, n);
  line[n] = '\0';
  return static_cast<int>(n);
}
