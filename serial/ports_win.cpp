// Port listing on Windows, and how the user names a port there: the device
// set-up interface lists the COM ports; the number typed is the COM number
// itself.
// initguid.h first: the interface class GUID_DEVINTERFACE_COMPORT is then
// defined here rather than only declared.
#include <initguid.h>
#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cwchar>

#include <cstdio>

#include "link.h"

namespace {

// The registry value "PortName" is read into this many bytes.
constexpr DWORD PortNameBytes = 512;
// The device path of a COM port: "\\.\COM" and its number.
constexpr char DevicePathFormat[] = "\\\\.\\COM%ld";

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

}  // namespace

void SerialListPorts(SerialPortList* list) {
  list->count = 0;
  const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; list->count < MaxPorts && SetupDiEnumDeviceInfo(set, index, &device);
       ++index) {
    SerialPortEntry* entry = &list->ports[list->count];
    // A device without a name offers the user nothing to type: left out.
    if (!ReadPortName(set, &device, entry->name, PortNameSize)) continue;
    ++list->count;
    ReadDescription(set, &device, entry->desc, PortDescSize);
    entry->number = NumberOfPortName(entry->name);
    entry->device[0] = '\0';
    if (entry->number >= 0) SerialDeviceOfNumber(entry->number, entry->device, DevicePathSize);
  }
  SetupDiDestroyDeviceInfoList(set);
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
