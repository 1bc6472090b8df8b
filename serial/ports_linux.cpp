// Port choice and listing on Linux.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "serial.h"

namespace {

// Shows a file system path as wide text under the current locale; bytes that
// do not convert are shown one by one.
void WidenPath(const char* node, wchar_t* out, size_t outSize) {
  std::mbstate_t state{};
  const char* src = node;
  const size_t n = std::mbsrtowcs(out, &src, outSize - 1, &state);
  if (n != static_cast<size_t>(-1)) {
    out[n] = L'\0';
    return;
  }
  size_t i = 0;
  for (; node[i] != '\0' && i + 1 < outSize; ++i) out[i] = static_cast<unsigned char>(node[i]);
  out[i] = L'\0';
}

// "COM" and the number for a number that names no port. A number out of range
// is shown as typed (sign and digits), cut to fit.
void ShowNumberWithoutPort(const char* line, bool inRange, long number, wchar_t* shown) {
  if (inRange) {
    std::swprintf(shown, DevicePathSize, L"COM%ld", number);
    return;
  }
  const char* p = line;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  size_t n = std::wcslen(std::wcscpy(shown, L"COM"));
  if (*p == '+' || *p == '-') shown[n++] = static_cast<wchar_t>(*p++);
  while (*p >= '0' && *p <= '9' && n + 1 < DevicePathSize) shown[n++] = static_cast<wchar_t>(*p++);
  shown[n] = L'\0';
}

}  // namespace

void ListPorts(const PortRoots*, PortList* list) {
  list->count = 0;
}

void ChoosePort(const char* line, const PortList* list, DevicePath* path) {
  path->exists = false;
  path->node[0] = '\0';
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '/') {
    // A typed device path: everything up to the line end.
    const size_t n = std::strcspn(p, "\r\n");
    std::memcpy(path->node, p, n);
    path->node[n] = '\0';
    path->exists = true;
  } else {
    long number = 0;
    const bool inRange = ParsePortNumber(line, &number);
    if (inRange) {
      for (int i = 0; i < list->count; ++i) {
        if (list->ports[i].number == number) {
          std::snprintf(path->node, sizeof path->node, "%s", list->ports[i].node);
          path->exists = true;
          break;
        }
      }
    }
    if (!path->exists) {
      ShowNumberWithoutPort(line, inRange, number, path->shown);
      return;
    }
  }
  WidenPath(path->node, path->shown, DevicePathSize);
}
