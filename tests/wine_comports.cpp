// A Windows helper for the Wine tests: adds present COM-port devices to the
// prefix, one with a "PortName" and one without, two named ones with the
// instance ids and properties of an FTDI and a CH340 adapter's ports, and two
// ports of the serial device map (one of them the named port again), or
// removes them again.
//   wine_comports add | remove
#include <initguid.h>
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

namespace {

// Every device made here has a description that begins so; remove takes those.
constexpr wchar_t DescriptionStart[] = L"loggerdump test ";

// A text property of a device; the hardware ids are a list (REG_MULTI_SZ), here
// of one, with the list's closing "\0" written out.
struct Property {
  DWORD id;
  const wchar_t* text;
};

// A device with a made-up instance id (instanceId null) or the one given.
bool AddDevice(const wchar_t* description, const wchar_t* portName,
               const wchar_t* instanceId = nullptr,
               std::initializer_list<Property> properties = {}) {
  const HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  SP_DEVICE_INTERFACE_DATA portInterface = {};
  portInterface.cbSize = sizeof portInterface;
  const DWORD descriptionBytes =
      static_cast<DWORD>((std::wcslen(description) + 1) * sizeof(wchar_t));
  bool ok = SetupDiCreateDeviceInfoW(set, instanceId != nullptr ? instanceId : L"PORTS",
                                     &GUID_DEVCLASS_PORTS, description, nullptr,
                                     instanceId != nullptr ? 0 : DICD_GENERATE_ID, &device) &&
            SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC,
                                              reinterpret_cast<const BYTE*>(description),
                                              descriptionBytes) &&
            SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) &&
            SetupDiCreateDeviceInterfaceW(set, &device, &GUID_DEVINTERFACE_COMPORT, nullptr, 0,
                                          &portInterface);
  for (const Property& property : properties) {
    const size_t characters =
        std::wcslen(property.text) + (property.id == SPDRP_HARDWAREID ? 2 : 1);
    ok = ok && SetupDiSetDeviceRegistryPropertyW(set, &device, property.id,
                                                 reinterpret_cast<const BYTE*>(property.text),
                                                 static_cast<DWORD>(characters * sizeof(wchar_t)));
  }
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
    const bool ftdi = AddDevice(L"loggerdump test FTDI port", L"COM8",
                                L"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
                                {{SPDRP_HARDWAREID, L"FTDIBUS\\COMPORT&VID_0403&PID_6001\0"},
                                 {SPDRP_FRIENDLYNAME, L"USB Serial Port (COM8)"},
                                 {SPDRP_LOCATION_INFORMATION, L"Port_#0002.Hub_#0001"},
                                 {SPDRP_MFG, L"FTDI"},
                                 {SPDRP_SERVICE, L"FTSER2K"}});
    // Windows made up the instance id: the adapter has no serial number there.
    const bool ch340 =
        AddDevice(L"loggerdump test CH340 port", L"COM9", L"USB\\VID_1A86&PID_7523\\5&2F3B2A4&0&2",
                  {{SPDRP_HARDWAREID, L"USB\\VID_1A86&PID_7523&REV_0254\0"}});
    return named && nameless && ftdi && ch340 && MapPorts(true) ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "remove") == 0) {
    return RemoveDevices() && MapPorts(false) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: wine_comports add|remove\n");
  return 2;
}
