#include "paths.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// The bit of a reparse tag that marks a name surrogate.
constexpr unsigned long NameSurrogateBit = 0x20000000UL;

bool IsSeparator(char c, PathStyle style) {
  return c == '/' || (style == PathStyle::Windows && c == '\\');
}

// "D:" alone: the drive's current folder, to which the name is appended as it is.
bool IsBareDrive(const char* dir) {
  const char letter = dir[0];
  const bool isLetter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
  return isLetter && dir[1] == ':' && dir[2] == '\0';
}

}  // namespace

bool JoinPath(const char* dir, const char* name, PathStyle style, char* path, size_t size) {
  if (size == 0) return false;
  path[0] = '\0';
  const char* separator = style == PathStyle::Windows ? "\\" : "/";
  if (dir == nullptr || dir[0] == '\0') {
    separator = "";
    dir = "";
  } else if (IsSeparator(dir[std::strlen(dir) - 1], style) ||
             (style == PathStyle::Windows && IsBareDrive(dir))) {
    separator = "";
  }
  const int n = std::snprintf(path, size, "%s%s%s", dir, separator, name);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    path[0] = '\0';
    return false;
  }
  return true;
}

bool ExtendedLengthPath(const wchar_t* full, wchar_t* out, size_t size) {
  if (size == 0) return false;
  out[0] = L'\0';
  const wchar_t* prefix = L"\\\\?\\";
  const wchar_t* rest = full;
  if (std::wcsncmp(full, L"\\\\?\\", 4) == 0 || std::wcsncmp(full, L"\\\\.\\", 4) == 0) {
    prefix = L"";  // already a device or extended-length path
  } else if (std::wcsncmp(full, L"\\\\", 2) == 0) {
    prefix = L"\\\\?\\UNC\\";  // \\server\share\...
    rest = full + 2;
  }
  const size_t prefixLength = std::wcslen(prefix);
  const size_t restLength = std::wcslen(rest);
  if (prefixLength + restLength + 1 > size) return false;
  std::wmemcpy(out, prefix, prefixLength);
  std::wmemcpy(out + prefixLength, rest, restLength + 1);
  return true;
}

bool SystemPath(const wchar_t* full, wchar_t* out, size_t size) {
  const size_t length = std::wcslen(full);
  if (length >= PlainPathLimit) return ExtendedLengthPath(full, out, size);
  if (length + 1 > size) return false;
  std::wmemcpy(out, full, length + 1);
  return true;
}

bool RefusedReparseTag(unsigned long tag) {
  return (tag & NameSurrogateBit) != 0;
}
