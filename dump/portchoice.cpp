#include "portchoice.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "logger/protocol.h"
#include "messages.h"
#include "platform/console.h"
#include "platform/platform.h"

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

namespace {

// The full-width forms of '!' to '~', and the ideographic space.
constexpr wchar_t FullWidthFirst = 0xFF01;
constexpr wchar_t FullWidthLast = 0xFF5E;
constexpr wchar_t FullWidthOffset = 0xFF01 - L'!';
constexpr wchar_t IdeographicSpace = 0x3000;
constexpr char PortPrefix[] = "com";

}  // namespace

namespace {

// The user's line in ASCII, into spelled (LineBufferSize bytes): full-width
// characters become the ASCII they stand for, the ideographic space a blank,
// any other character besides ASCII '?'. Returns its length.
size_t SpellInAscii(const char* line, char* spelled) {
  wchar_t wide[LineBufferSize];
  WidenTypedLine(line, wide, LineBufferSize);
  size_t n = 0;
  for (const wchar_t* c = wide; *c != L'\0' && n + 1 < LineBufferSize; ++c) {
    wchar_t ascii = *c;
    if (ascii >= FullWidthFirst && ascii <= FullWidthLast) ascii -= FullWidthOffset;
    if (ascii == IdeographicSpace) ascii = L' ';
    spelled[n++] = ascii < 0x80 ? static_cast<char>(ascii) : '?';
  }
  spelled[n] = '\0';
  return n;
}

// The listed port whose name the line spells (in any case, blanks around it
// and the line end left out), or null: a port listed by a name that is not
// COM and a number (com0com's CNCA0) is chosen so.
const SerialPortEntry* PortNamed(const char* line, const SerialPortList* list) {
  char spelled[LineBufferSize];
  size_t end = SpellInAscii(line, spelled);
  while (end > 0 && std::isspace(static_cast<unsigned char>(spelled[end - 1]))) --end;
  size_t start = 0;
  while (start < end && std::isspace(static_cast<unsigned char>(spelled[start]))) ++start;
  for (int i = 0; i < list->count; ++i) {
    const wchar_t* name = list->ports[i].name;
    size_t n = 0;
    while (start + n < end && name[n] > 0 && name[n] < 0x80 &&
           std::tolower(static_cast<int>(name[n])) ==
               std::tolower(static_cast<unsigned char>(spelled[start + n]))) {
      ++n;
    }
    if (n > 0 && start + n == end && name[n] == L'\0') return &list->ports[i];
  }
  return nullptr;
}

}  // namespace

void SpellPortNumber(const char* line, char* spelled) {
  const size_t n = SpellInAscii(line, spelled);
  // The port list's own name for the port: COM and the number.
  size_t start = 0;
  while (std::isspace(static_cast<unsigned char>(spelled[start]))) ++start;
  size_t prefix = 0;
  while (PortPrefix[prefix] != '\0' &&
         std::tolower(static_cast<unsigned char>(spelled[start + prefix])) == PortPrefix[prefix]) {
    ++prefix;
  }
  if (PortPrefix[prefix] == '\0')
    std::memmove(spelled, spelled + start + prefix, n - start - prefix + 1);
}

namespace {

// The device named by the number in line, from the list or else from the
// system; false when none.
bool DeviceOfNumber(long number, const SerialPortList* list, char* device) {
  for (int i = 0; i < list->count; ++i) {
    if (list->ports[i].number != number) continue;
    std::snprintf(device, DevicePathSize, "%s", list->ports[i].device);
    return true;
  }
  return SerialDeviceOfNumber(number, device, DevicePathSize);
}

}  // namespace

void ChoosePort(const char* line, const SerialPortList* list, PortChoice* choice) {
  choice->byUsb = false;
  choice->matches = 0;
  choice->exists = false;
  choice->device[0] = '\0';
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  const SerialPortEntry* named = PortNamed(line, list);
  if (named != nullptr && named->device[0] != '\0') {
    std::snprintf(choice->device, DevicePathSize, "%s", named->device);
    choice->exists = true;
  } else if (SerialIsDevicePath(p)) {
    // A typed device path: everything up to the line end (CR or LF), without
    // the blanks before it.
    size_t n = std::strcspn(p, "\r\n");
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
    if (n >= DevicePathSize) n = DevicePathSize - 1;
    std::memcpy(choice->device, p, n);
    choice->device[n] = '\0';
    choice->exists = true;
  } else {
    char spelled[LineBufferSize];
    SpellPortNumber(line, spelled);
    long number = 0;
    const bool inRange = ParsePortNumber(spelled, &number);
    choice->exists = inRange && DeviceOfNumber(number, list, choice->device);
    if (!choice->exists) {
      // A number out of range is shown as typed (sign and digits), cut to fit.
      if (inRange) {
        std::swprintf(choice->shown, DevicePathSize, L"%ls%ld", SerialNumberPrefix, number);
      } else {
        ShowTypedNumber(spelled, SerialNumberPrefix, choice->shown, DevicePathSize);
      }
      return;
    }
  }
  Widen(choice->device, choice->shown, DevicePathSize);
}

bool IsUsbName(const char* text) {
  size_t n = 0;
  while (UsbNamePrefix[n] != '\0' &&
         std::tolower(static_cast<unsigned char>(text[n])) == UsbNamePrefix[n]) {
    ++n;
  }
  return UsbNamePrefix[n] == '\0' && text[n] != '\0';
}

namespace {

wchar_t LowerAscii(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameIgnoringCase(const wchar_t* a, const wchar_t* b) {
  for (; *a != L'\0' && LowerAscii(*a) == LowerAscii(*b); ++a, ++b) {
  }
  return *a == L'\0' && *b == L'\0';
}

// Whether the port has wanted as its USB serial number or VID:PID.
bool UsbMatches(const SerialPortDetail* detail, const wchar_t* wanted) {
  for (int i = 0; i < detail->count; ++i) {
    const SerialPortField* field = &detail->fields[i];
    const bool usb = field->kind == PortFieldKind::Serial || field->kind == PortFieldKind::UsbIds;
    if (usb && SameIgnoringCase(field->text, wanted)) return true;
  }
  return false;
}

const wchar_t* FieldLabel(PortFieldKind kind) {
  switch (kind) {
    case PortFieldKind::FriendlyName:
      return Msg::FieldFriendlyName;
    case PortFieldKind::HardwareId:
      return Msg::FieldHardwareId;
    case PortFieldKind::UsbIds:
      return Msg::FieldUsbIds;
    case PortFieldKind::Serial:
      return Msg::FieldSerial;
    case PortFieldKind::Location:
      return Msg::FieldLocation;
    case PortFieldKind::LocationPath:
      return Msg::FieldLocationPath;
    case PortFieldKind::Manufacturer:
      return Msg::FieldManufacturer;
    case PortFieldKind::Product:
      return Msg::FieldProduct;
    case PortFieldKind::Driver:
      return Msg::FieldDriver;
    case PortFieldKind::Service:
      return Msg::FieldService;
    case PortFieldKind::Link:
      return Msg::FieldLink;
  }
  return L"";
}

}  // namespace

void ChooseUsbPort(const char* name, const SerialPortList* list, PortChoice* choice) {
  choice->byUsb = true;
  choice->matches = 0;
  choice->exists = false;
  choice->device[0] = '\0';
  wchar_t wanted[PortFieldSize];
  WidenArgument(name + sizeof UsbNamePrefix - 1, wanted, PortFieldSize);
  SerialPortDetail detail;
  // A port without a device path cannot be opened: no match.
  for (int i = 0; i < list->count; ++i) {
    if (list->ports[i].device[0] == '\0') continue;
    SerialDescribePort(&list->ports[i], &detail);
    if (UsbMatches(&detail, wanted)) choice->matched[choice->matches++] = i;
  }
  if (choice->matches == 1) {
    std::snprintf(choice->device, DevicePathSize, "%s", list->ports[choice->matched[0]].device);
    choice->exists = true;
    Widen(choice->device, choice->shown, DevicePathSize);
  } else {
    WidenArgument(name, choice->shown, DevicePathSize);
  }
}

void PrintUsbMatches(FILE* out, const SerialPortList* list, const PortChoice* choice) {
  const wchar_t* wanted = choice->shown + (sizeof UsbNamePrefix - 1);  // shown as given
  if (choice->matches == 0) {
    Print(out, Msg::NoUsbMatch, wanted);
    return;
  }
  // The ports as the list shows them, as many as fit.
  wchar_t ports[ConsoleTextSize];
  size_t n = 0;
  for (int i = 0; i < choice->matches; ++i) {
    const SerialPortEntry* port = &list->ports[choice->matched[i]];
    const int written =
        std::swprintf(ports + n, ConsoleTextSize - n,
                      i == 0 ? Msg::UsbMatchFirst : Msg::UsbMatchNext, port->name, port->desc);
    if (written < 0) break;
    n += static_cast<size_t>(written);
  }
  ports[n] = L'\0';
  Print(out, Msg::SeveralUsbMatches, wanted, choice->matches, ports);
}

void PrintPortDetails(FILE* out, const SerialPortList* list) {
  SerialPortDetail detail;
  for (int i = 0; i < list->count; ++i) {
    const SerialPortEntry* port = &list->ports[i];
    Print(out, Msg::PortDetailHeading, port->name);
    if (port->device[0] != '\0') {
      wchar_t device[DevicePathSize];
      Widen(port->device, device, DevicePathSize);
      Print(out, Msg::PortField, Msg::FieldDevice, device);
    }
    SerialDescribePort(port, &detail);
    for (int f = 0; f < detail.count; ++f) {
      Print(out, Msg::PortField, FieldLabel(detail.fields[f].kind), detail.fields[f].text);
    }
  }
}
