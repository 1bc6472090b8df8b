// A Windows helper for the Wine tests: adds two present COM-port devices to the
// prefix, one with a "PortName" and one without, and two ports of the serial
// device map (one of them that named port again), or removes them again.
//   wine_comports add | remove
#include <initguid.h>
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// Every device made here has a description that begins so; remove takes those.
constexpr wchar_t DescriptionStart[] = L"loggerdump test ";

bool AddDevice(const wchar_t* description, const wchar_t* portName) {
  const HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  SP_DEVICE_INTERFACE_DATA portInterface = {};
  portInterface.cbSize = sizeof portInterface;
  const DWORD descriptionBytes =
      static_cast<DWORD>((std::wcslen(description) + 1) * sizeof(wchar_t));
  bool ok = SetupDiCreateDeviceInfoW(set, L"PORTS", &GUID_DEVCLASS_PORTS, description, nullptr,
                                     DICD_GENERATE_ID, &device) &&
            SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC,
                                              reinterpret_cast<const BYTE*>(description),
                                              descriptionBytes) &&
            SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) &&
            SetupDiCreateDeviceInterfaceW(set, &device, &GUID_DEVINTERFACE_COMPORT, nullptr, 0,
                                          &portInterface);
  // The device's hardware key is made either way; only the name goes in it or not.
  const HKEY key =
      ok ? SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr)
         : static_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (key == INVALID_HANDLE_VALUE) {
    ok = false;
  } else {
    if (portName != nullptr) {
      const DWORD nameBytes = static_cast<DWORD>((std::wcslen(portName) + 1) * sizeof(wchar_t));
      ok = RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                          nameBytes) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

// The serial device map's ports made here: kernel device, port name.
constexpr const wchar_t* MappedPorts[][2] = {{L"\\Device\\loggerdumpTest0", L"CNCA0"},
                                             {L"\\Device\\loggerdumpTest1", L"COM7"}};
constexpr wchar_t SerialDeviceMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

bool MapPorts(bool add) {
  bool ok = true;
  for (const auto& port : MappedPorts) {
    const DWORD bytes = static_cast<DWORD>((std::wcslen(port[1]) + 1) * sizeof(wchar_t));
    ok =
        (add ? RegSetKeyValueW(HKEY_LOCAL_MACHINE, SerialDeviceMap, port[0], REG_SZ, port[1], bytes)
             : RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SerialDeviceMap, port[0])) == ERROR_SUCCESS &&
        ok;
  }
  return ok;
}

bool RemoveDevices() {
  const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    wchar_t description[256] = {};
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, nullptr,
                                      reinterpret_cast<BYTE*>(description),
                                      sizeof description - sizeof(wchar_t), nullptr);
    if (std::wcsncmp(description, DescriptionStart, std::wcslen(DescriptionStart)) == 0) {
      ok = SetupDiRemoveDevice(set, &device) && ok;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "add") == 0) {
    const bool named = AddDevice(L"loggerdump test named port", L"COM7");
    const bool nameless = AddDevice(L"loggerdump test nameless port", nullptr);
    return named && nameless && MapPorts(true) ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "remove") == 0) {
    return RemoveDevices() && MapPorts(false) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: wine_comports add|remove\n");
  return 2;
}
