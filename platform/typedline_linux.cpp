// The user's line on Linux: the stream as it is.
#include "platform.h"

bool ReadTypedLine(FILE* in, char* line, size_t size) {
  return std::fgets(line, static_cast<int>(size), in) != nullptr;
}
