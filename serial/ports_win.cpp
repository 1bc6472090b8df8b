// Port listing on Windows, and how the user names a port there: the device
// set-up interface lists the COM ports, and the serial device map adds those
// of drivers that register only there; the number typed is the COM number
// itself, and a port of another name is typed by its name.
// initguid.h first: the interface class GUID_DEVINTERFACE_COMPORT is then
// defined here rather than only declared.
#include <initguid.h>
#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cwchar>
#include <cwctype>

#include <cstdio>

#include "link.h"

namespace {

// The registry value "PortName" is read into this many bytes.
constexpr DWORD PortNameBytes = 512;
// The device path of a COM port: "\\.\COM" and its number; of a port of
// another name, "\\.\" and the name.
constexpr char DevicePathFormat[] = "\\\\.\\COM%ld";
constexpr char NamedDeviceFormat[] = "\\\\.\\%s";
// Where every serial port driver that has started names its port: a value
// per port, its name the kernel's device (\Device\Serial0), its data the
// port's name (COM1, CNCA0).
constexpr wchar_t SerialDeviceMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Longest kernel device name read from the map, in characters.
constexpr DWORD KernelNameSize = 256;

// Copies src into dst (dstSize characters), cut to fit, always terminated.
void CopyCut(wchar_t* dst, size_t dstSize, const wchar_t* src) {
  size_t i = 0;
  for (; src[i] != L'\0' && i + 1 < dstSize; ++i) dst[i] = src[i];
  dst[i] = L'\0';
}

// The number of a name such as COM3, or -1 when the name has none.
long NumberOfPortName(const wchar_t* name) {
  if (std::wcsncmp(name, L"COM", 3) != 0) return -1;
  wchar_t* end = nullptr;
  const long n = std::wcstol(name + 3, &end, 10);
  return end != name + 3 && *end == L'\0' ? n : -1;
}

// Reads "PortName" from the device's hardware key into name. False when the
// key or the value cannot be read, or the name is empty.
bool ReadPortName(HDEVINFO set, SP_DEVINFO_DATA* device, wchar_t* name, size_t nameSize) {
  name[0] = L'\0';
  const HKEY key =
      SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return false;
  wchar_t value[PortNameBytes / sizeof(wchar_t) + 1] = {};
  DWORD type = 0;
  DWORD size = PortNameBytes;
  if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    CopyCut(name, nameSize, value);  // value has a spare terminator past its 512 bytes
  }
  RegCloseKey(key);
  return name[0] != L'\0';
}

// Reads the device's description into desc; empty when it cannot be read.
void ReadDescription(HDEVINFO set, SP_DEVINFO_DATA* device, wchar_t* desc, size_t descSize) {
  desc[0] = L'\0';
  BYTE* buffer = nullptr;
  DWORD size = 0;
  DWORD required = 0;
  // Ask with no buffer, then grow to the size the call asks for until it fits.
  while (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_DEVICEDESC, nullptr, buffer, size,
                                            &required) &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    if (buffer != nullptr) LocalFree(buffer);
    // Zero-filled, with room for a terminator the registry may not have stored.
    size = required;
    buffer = static_cast<BYTE*>(LocalAlloc(LPTR, size + sizeof(wchar_t)));
    if (buffer == nullptr) return;
  }
  if (buffer != nullptr) {
    CopyCut(desc, descSize, reinterpret_cast<const wchar_t*>(buffer));
    LocalFree(buffer);
  }
}

// Properties of a device are read into this many bytes; a longer one is left out.
constexpr DWORD PropertyBytes = 4096;
// Longest device instance id (MAX_DEVICE_ID_LEN) and its terminator.
constexpr DWORD InstanceIdSize = 201;
// The enumerator of the ports of FTDI's driver, whose instance ids read
// FTDIBUS\VID_0403+PID_6001+<serial><channel letter>\0000.
constexpr wchar_t FtdiEnumerator[] = L"FTDIBUS\\";
// The enumerator of a port that is a USB device of its own (CDC-ACM, CH340):
// USB\VID_...&PID_...\<serial>, or an id Windows made up, which holds '&'.
constexpr wchar_t UsbEnumerator[] = L"USB\\";

// Adds a field unless text is empty or the detail is full. Control characters
// become blanks: a device's strings must not steer the console.
void AddField(SerialPortDetail* detail, PortFieldKind kind, const wchar_t* text) {
  if (text[0] == L'\0' || detail->count == MaxPortFields) return;
  SerialPortField* field = &detail->fields[detail->count++];
  field->kind = kind;
  CopyCut(field->text, PortFieldSize, text);
  for (wchar_t* c = field->text; *c != L'\0'; ++c) {
    if (*c < 0x20 || *c == 0x7f) *c = L' ';
  }
}

// Reads the text property of the device (the first string of a list) into
// text, cut to fit; false when it has none.
bool ReadProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, wchar_t* text,
                  size_t size) {
  text[0] = L'\0';
  // Zero-filled, with room for the terminators the registry may not have stored.
  wchar_t value[PropertyBytes / sizeof(wchar_t) + 2] = {};
  DWORD type = 0;
  if (SetupDiGetDeviceRegistryPropertyW(set, device, property, &type,
                                        reinterpret_cast<BYTE*>(value), PropertyBytes, nullptr) &&
      (type == REG_SZ || type == REG_MULTI_SZ)) {
    CopyCut(text, size, value);
  }
  return text[0] != L'\0';
}

// Adds the text property of the device as a field.
void AddProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, PortFieldKind kind,
                 SerialPortDetail* detail) {
  wchar_t text[PortFieldSize];
  if (ReadProperty(set, device, property, text, PortFieldSize)) AddField(detail, kind, text);
}

// Whether text begins with prefix, ASCII case ignored.
bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != L'\0'; ++text, ++prefix) {
    if (std::towupper(*text) != *prefix) return false;
  }
  return true;
}

// The vendor and product ids that id names (VID_0403 and PID_6001, as
// instance and hardware ids write them), as "0403:6001"; false without both.
bool UsbIdsOf(const wchar_t* id, wchar_t* ids, size_t size) {
  const wchar_t* vendor = nullptr;
  const wchar_t* product = nullptr;
  for (const wchar_t* c = id; *c != L'\0'; ++c) {
    if (vendor == nullptr && StartsWith(c, L"VID_")) vendor = c + 4;
    if (product == nullptr && StartsWith(c, L"PID_")) product = c + 4;
  }
  constexpr int Digits = 4;
  if (vendor == nullptr || product == nullptr) return false;
  for (int i = 0; i < Digits; ++i) {
    if (!std::iswxdigit(vendor[i]) || !std::iswxdigit(product[i])) return false;
  }
  std::swprintf(ids, size, L"%.4ls:%.4ls", vendor, product);
  for (wchar_t* c = ids; *c != L'\0'; ++c) *c = static_cast<wchar_t>(std::towlower(*c));
  return true;
}

// The USB serial number in a device instance id, where the driver put it
// there; false where it did not (a CH340's id, which Windows made up).
bool SerialOfInstanceId(const wchar_t* id, wchar_t* serial, size_t size) {
  const wchar_t* last = std::wcsrchr(id, L'\\');
  if (StartsWith(id, FtdiEnumerator) && last != nullptr) {
    // The serial follows the second '+', with the channel letter after it.
    const wchar_t* start = std::wcschr(id, L'+');
    if (start != nullptr) start = std::wcschr(start + 1, L'+');
    if (start == nullptr || start + 1 >= last - 1) return false;
    const size_t length = static_cast<size_t>(last - 1 - (start + 1));
    std::swprintf(serial, size, L"%.*ls", static_cast<int>(length), start + 1);
    return true;
  }
  if (!StartsWith(id, UsbEnumerator) || last == nullptr || last[1] == L'\0' ||
      std::wcschr(last, L'&') != nullptr) {
    return false;
  }
  CopyCut(serial, size, last + 1);
  return true;
}

// Fills detail from what the device set-up interface holds of the device.
void DescribeDevice(HDEVINFO set, SP_DEVINFO_DATA* device, SerialPortDetail* detail) {
  AddProperty(set, device, SPDRP_FRIENDLYNAME, PortFieldKind::FriendlyName, detail);
  wchar_t hardwareId[PortFieldSize];
  if (ReadProperty(set, device, SPDRP_HARDWAREID, hardwareId, PortFieldSize)) {
    AddField(detail, PortFieldKind::HardwareId, hardwareId);
  }
  wchar_t id[InstanceIdSize] = {};
  const bool hasId = SetupDiGetDeviceInstanceIdW(set, device, id, InstanceIdSize, nullptr);
  wchar_t text[PortFieldSize];
  if ((hasId && UsbIdsOf(id, text, PortFieldSize)) || UsbIdsOf(hardwareId, text, PortFieldSize)) {
    AddField(detail, PortFieldKind::UsbIds, text);
  }
  if (hasId && SerialOfInstanceId(id, text, PortFieldSize)) {
    AddField(detail, PortFieldKind::Serial, text);
  }
  AddProperty(set, device, SPDRP_LOCATION_INFORMATION, PortFieldKind::Location, detail);
  AddProperty(set, device, SPDRP_LOCATION_PATHS, PortFieldKind::LocationPath, detail);
  AddProperty(set, device, SPDRP_MFG, PortFieldKind::Manufacturer, detail);
  AddProperty(set, device, SPDRP_SERVICE, PortFieldKind::Service, detail);
}

// Describes the device of the port's name in set; false when set has none.
bool DescribeIn(HDEVINFO set, const SerialPortEntry* port, SerialPortDetail* detail) {
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  bool found = false;
  for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    wchar_t name[PortNameSize];
    found = ReadPortName(set, &device, name, PortNameSize) && _wcsicmp(name, port->name) == 0;
    if (found) DescribeDevice(set, &device, detail);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

// The number and the device of the entry, from its name: COM and digits are
// the COM number's device; any other name is opened by itself.
void SetDevice(SerialPortEntry* entry) {
  entry->number = NumberOfPortName(entry->name);
  entry->device[0] = '\0';
  if (entry->number >= 0) {
    SerialDeviceOfNumber(entry->number, entry->device, DevicePathSize);
    return;
  }
  char name[PortNameSize * 3];  // UTF-8 takes at most three bytes a unit
  if (WideCharToMultiByte(CP_UTF8, 0, entry->name, -1, name, sizeof name, nullptr, nullptr) > 0) {
    const int n = std::snprintf(entry->device, DevicePathSize, NamedDeviceFormat, name);
    if (n < 0 || static_cast<size_t>(n) >= DevicePathSize) entry->device[0] = '\0';
  }
}

// The listed port of that name (in any case), or null.
SerialPortEntry* Listed(SerialPortList* list, const wchar_t* name) {
  for (int i = 0; i < list->count; ++i) {
    if (_wcsicmp(list->ports[i].name, name) == 0) return &list->ports[i];
  }
  return nullptr;
}

// Adds every port that the serial device map names and the list lacks, with
// its kernel device's name as the description. Returns how many were added.
int AddMappedPorts(SerialPortList* list) {
  HKEY map = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialDeviceMap, 0, KEY_QUERY_VALUE, &map) !=
      ERROR_SUCCESS) {
    return 0;
  }
  int added = 0;
  for (DWORD index = 0; list->count < MaxPorts; ++index) {
    wchar_t kernel[KernelNameSize];
    DWORD kernelSize = KernelNameSize;
    wchar_t value[PortNameBytes / sizeof(wchar_t) + 1] = {};
    DWORD type = 0;
    DWORD size = PortNameBytes;
    const LONG read = RegEnumValueW(map, index, kernel, &kernelSize, nullptr, &type,
                                    reinterpret_cast<BYTE*>(value), &size);
    if (read == ERROR_NO_MORE_ITEMS) break;
    // A value too long for the buffers, or no name, is left out.
    if (read != ERROR_SUCCESS || type != REG_SZ || value[0] == L'\0' || Listed(list, value)) {
      continue;
    }
    SerialPortEntry* entry = &list->ports[list->count++];
    CopyCut(entry->name, PortNameSize, value);  // value has a spare terminator past its 512 bytes
    CopyCut(entry->desc, PortDescSize, kernel);
    SetDevice(entry);
    ++added;
  }
  RegCloseKey(map);
  return added;
}

// Describes the ports from first on (those the device map added) as the
// set-up interface describes the device of that port name, in any class
// (com0com's ports have no COM-port interface); where it knows none, they
// keep the kernel device's name.
void DescribeMappedPorts(SerialPortList* list, int first) {
  const HDEVINFO set =
      SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    wchar_t name[PortNameSize];
    if (!ReadPortName(set, &device, name, PortNameSize)) continue;
    SerialPortEntry* entry = Listed(list, name);
    if (entry == nullptr || entry < &list->ports[first]) continue;
    wchar_t desc[PortDescSize];
    ReadDescription(set, &device, desc, PortDescSize);
    if (desc[0] != L'\0') CopyCut(entry->desc, PortDescSize, desc);
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

void SerialDescribePort(const SerialPortEntry* port, SerialPortDetail* detail) {
  detail->count = 0;
  // The device whose "PortName" is the port's name: among the COM-port
  // interface's, else (a port only the device map names) in any class.
  if (DescribeIn(SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
                 port, detail)) {
    return;
  }
  DescribeIn(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT),
             port, detail);
}

void SerialListPorts(SerialPortList* list) {
  list->count = 0;
  const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; list->count < MaxPorts && SetupDiEnumDeviceInfo(set, index, &device);
         ++index) {
      SerialPortEntry* entry = &list->ports[list->count];
      // A device without a name offers the user nothing to type: left out.
      if (!ReadPortName(set, &device, entry->name, PortNameSize)) continue;
      ++list->count;
      ReadDescription(set, &device, entry->desc, PortDescSize);
      SetDevice(entry);
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  // Then the ports of drivers that register only in the device map, each once.
  const int first = list->count;
  if (AddMappedPorts(list) > 0) DescribeMappedPorts(list, first);
}

bool SerialIsDevicePath(const char*) {
  return false;
}

bool SerialDeviceOfNumber(long number, char* device, size_t deviceSize) {
  const int n = std::snprintf(device, deviceSize, DevicePathFormat, number);
  return n > 0 && static_cast<size_t>(n) < deviceSize;
}

const wchar_t SerialNumberPrefix[] = L"\\\\.\\COM";

const bool SerialAccessByGroup = false;
