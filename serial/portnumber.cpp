#include <cctype>

#include "serial.h"

bool ParsePortNumber(const char* line, long* number) {
  const char* p = line;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Accumulate with a ceiling so that no number of digits can overflow.
  const long ceiling = MaxPortNumber + 1;
  long magnitude = 0;
  while (*p >= '0' && *p <= '9') {
    magnitude = magnitude * 10 + (*p++ - '0');
    if (magnitude > ceiling) magnitude = ceiling;
  }
  const long value = negative ? -magnitude : magnitude;
  if (value < MinPortNumber) {
    *number = MinPortNumber;
    return false;
  }
  if (value > MaxPortNumber) {
    *number = MaxPortNumber;
    return false;
  }
  *number = value;
  return true;
}

void ShowTypedNumber(const char* line, const wchar_t* prefix, wchar_t* shown, size_t shownSize) {
  size_t n = 0;
  for (; prefix[n] != L'\0' && n + 1 < shownSize; ++n) shown[n] = prefix[n];
  const char* p = line;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if ((*p == '+' || *p == '-') && n + 1 < shownSize) shown[n++] = static_cast<wchar_t>(*p++);
  while (*p >= '0' && *p <= '9' && n + 1 < shownSize) shown[n++] = static_cast<wchar_t>(*p++);
  shown[n] = L'\0';
}
