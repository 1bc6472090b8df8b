// Port listing on Linux, and how the user names a port there.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

#include "link.h"

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

// Where the listing looks on Linux: every tty in sysfs that has a device behind
// it, is not virtual, and (for ports of the serial core) answers as a real UART.
constexpr char DefaultSysRoot[] = "/sys";
constexpr char DefaultDevRoot[] = "/dev";
// Paths inside sysfs; PATH_MAX bounds what realpath writes.
constexpr size_t SysPathSize = PATH_MAX;
// Longest sysfs attribute read (USB strings hold at most 126 characters).
constexpr size_t AttributeSize = 256;
// Ancestors visited when looking for the device that holds a tty.
constexpr int MaxWalkUp = 32;
// The legacy 8250 driver registers 32 names (ttyS0..ttyS31) whether or not a
// UART is there; newer kernels put every serial core port on the serial-base bus.
constexpr char Serial8250Driver[] = "serial8250";
constexpr char SerialBaseBus[] = "serial-base";

// a + "/" + b into out; false when it does not fit.
bool JoinPath(char* out, size_t size, const char* a, const char* b) {
  const int n = std::snprintf(out, size, "%s/%s", a, b);
  return n > 0 && static_cast<size_t>(n) < size;
}

// True when path starts with prefix followed by '/'.
bool IsUnder(const char* path, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return std::strncmp(path, prefix, n) == 0 && path[n] == '/';
}

bool IsDirectory(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Reads the small text file dir/name as one printable line: control characters
// become blanks (a device's strings must not steer the console) and blanks at
// both ends are dropped. False when it cannot be read or holds nothing.
bool ReadAttribute(const char* dir, const char* name, char* out, size_t size) {
  char path[SysPathSize];
  if (!JoinPath(path, sizeof path, dir, name)) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  ssize_t n = -1;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) n = read(fd, out, size - 1);
  close(fd);
  if (n <= 0) return false;
  out[n] = '\0';
  size_t length = std::strlen(out);  // stops at an embedded NUL
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7f) out[i] = ' ';
  }
  while (length > 0 && out[length - 1] == ' ') out[--length] = '\0';
  size_t start = 0;
  while (out[start] == ' ') ++start;
  std::memmove(out, out + start, length - start + 1);
  return out[0] != '\0';
}

// The last component of what the link dir/name leads to; false for a missing
// or dangling link.
bool LinkBaseName(const char* dir, const char* name, char* out, size_t size) {
  char path[SysPathSize];
  char target[SysPathSize];
  if (!JoinPath(path, sizeof path, dir, name) || realpath(path, target) == nullptr) return false;
  const char* base = std::strrchr(target, '/') + 1;  // realpath gives an absolute path
  const int written = std::snprintf(out, size, "%s", base);
  return base[0] != '\0' && written > 0 && static_cast<size_t>(written) < size;
}

bool OnSerialBase(const char* dir) {
  char bus[AttributeSize];
  return LinkBaseName(dir, "subsystem", bus, sizeof bus) && std::strcmp(bus, SerialBaseBus) == 0;
}

// Cuts path back to its parent; false when that would leave top.
bool WalkUp(char* path, const char* top) {
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return false;
  *slash = '\0';
  return IsUnder(path, top);
}

// True when a UART answers behind node: the serial core reports a port type.
// Opening without blocking neither waits for a carrier nor makes it our terminal.
bool UartPresent(const char* node) {
  const int fd = open(node, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct serial_struct info;
  std::memset(&info, 0, sizeof info);
  const bool present = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  close(fd);
  return present;
}

// The USB device that holds the device at deviceDir: the first folder above
// it (or itself, looking at most at levels folders) that holds idVendor and
// idProduct, into usbDir, and the name of the folder below it on the way
// (the USB interface) into child, empty when deviceDir is the USB device.
bool FindUsbDevice(const char* deviceDir, const char* top, int levels, char* usbDir, char* child,
                   size_t childSize) {
  std::snprintf(usbDir, SysPathSize, "%s", deviceDir);
  child[0] = '\0';
  char attribute[AttributeSize];
  for (int level = 0; level < levels; ++level) {
    if (ReadAttribute(usbDir, "idVendor", attribute, sizeof attribute) &&
        ReadAttribute(usbDir, "idProduct", attribute, sizeof attribute)) {
      return true;
    }
    std::snprintf(child, childSize, "%s", std::strrchr(usbDir, '/') + 1);
    if (!WalkUp(usbDir, top)) break;
  }
  return false;
}

// For a tty on a USB device: its manufacturer and product strings, or the
// vendor and product ids where it has no strings.
bool DescribeUsb(const char* deviceDir, const char* top, char* out, size_t size) {
  char dir[SysPathSize];
  char child[AttributeSize];
  if (!FindUsbDevice(deviceDir, top, MaxWalkUp, dir, child, sizeof child)) return false;
  char vendor[AttributeSize];
  char product[AttributeSize];
  ReadAttribute(dir, "idVendor", vendor, sizeof vendor);
  ReadAttribute(dir, "idProduct", product, sizeof product);
  char maker[AttributeSize];
  char name[AttributeSize];
  const bool hasMaker = ReadAttribute(dir, "manufacturer", maker, sizeof maker);
  const bool hasName = ReadAttribute(dir, "product", name, sizeof name);
  if (hasMaker && hasName) {
    std::snprintf(out, size, "%s %s", maker, name);
  } else if (hasMaker || hasName) {
    std::snprintf(out, size, "%s", hasMaker ? maker : name);
  } else {
    std::snprintf(out, size, "%s:%s", vendor, product);
  }
  return true;
}

// The name of the driver behind a device. A serial core port's own driver is
// the bus's generic one, so the device that holds the port names it instead.
void DescribeDriver(const char* deviceDir, const char* top, char* out, size_t size) {
  out[0] = '\0';
  char dir[SysPathSize];
  std::snprintf(dir, sizeof dir, "%s", deviceDir);
  for (int level = 0; level < MaxWalkUp && OnSerialBase(dir); ++level) {
    if (!WalkUp(dir, top)) return;
  }
  if (!LinkBaseName(dir, "driver", out, size)) out[0] = '\0';
}

// Natural order of device nodes: runs of digits compare by value, so ttyUSB2
// comes before ttyUSB10. Equal values fall back to byte order.
int CompareNodes(const char* a, const char* b) {
  const char* p = a;
  const char* q = b;
  while (*p != '\0' && *q != '\0') {
    if (std::isdigit(static_cast<unsigned char>(*p)) &&
        std::isdigit(static_cast<unsigned char>(*q))) {
      while (*p == '0') ++p;
      while (*q == '0') ++q;
      size_t lp = 0;
      size_t lq = 0;
      while (std::isdigit(static_cast<unsigned char>(p[lp]))) ++lp;
      while (std::isdigit(static_cast<unsigned char>(q[lq]))) ++lq;
      if (lp != lq) return lp < lq ? -1 : 1;
      const int digits = std::strncmp(p, q, lp);
      if (digits != 0) return digits;
      p += lp;
      q += lq;
    } else if (*p != *q) {
      return static_cast<unsigned char>(*p) < static_cast<unsigned char>(*q) ? -1 : 1;
    } else {
      ++p;
      ++q;
    }
  }
  if (*p != *q) return *p == '\0' ? -1 : 1;
  return std::strcmp(a, b);
}

// Puts the port into the list in node order. A full list keeps the first
// MaxPorts nodes, so which ports are left out does not depend on sysfs order.
void InsertPort(SerialPortList* list, const char* node, const char* text) {
  int at = 0;
  while (at < list->count && CompareNodes(list->ports[at].device, node) < 0) ++at;
  if (at == MaxPorts) return;
  const int moved = (list->count < MaxPorts ? list->count : MaxPorts - 1) - at;
  std::memmove(&list->ports[at + 1], &list->ports[at], sizeof(SerialPortEntry) * moved);
  if (list->count < MaxPorts) ++list->count;
  SerialPortEntry* entry = &list->ports[at];
  std::snprintf(entry->device, sizeof entry->device, "%s", node);
  WidenPath(text, entry->desc, PortDescSize);
}

// The device folder behind the tty at classEntry (class/tty/NAME); false when
// it has none.
bool DeviceOfTty(const char* classEntry, char* deviceDir) {
  char link[SysPathSize];
  return JoinPath(link, SysPathSize, classEntry, "device") &&
         realpath(link, deviceDir) != nullptr && IsDirectory(deviceDir);
}

// Looks at one tty of sysfs and lists it when it is a serial port.
void ConsiderTty(const char* sysReal, const char* virtualDir, const char* classDir,
                 const char* ttyName, const char* devRoot, SerialPortList* list) {
  char classEntry[SysPathSize];
  char real[SysPathSize];
  char deviceDir[SysPathSize];
  if (!JoinPath(classEntry, sizeof classEntry, classDir, ttyName)) return;
  if (realpath(classEntry, real) == nullptr || IsUnder(real, virtualDir)) return;
  if (!DeviceOfTty(classEntry, deviceDir)) return;

  // sysfs writes '/' in a device name as '!'.
  char node[DevicePathSize];
  if (!JoinPath(node, sizeof node, devRoot, ttyName)) return;
  for (char* c = node + std::strlen(devRoot); *c != '\0'; ++c) {
    if (*c == '!') *c = '/';
  }
  struct stat info;
  if (stat(node, &info) != 0) return;

  char driver[AttributeSize];
  const bool legacy8250 = LinkBaseName(deviceDir, "driver", driver, sizeof driver) &&
                          std::strcmp(driver, Serial8250Driver) == 0;
  if ((legacy8250 || OnSerialBase(deviceDir)) && !UartPresent(node)) return;

  char about[2 * AttributeSize];
  if (!DescribeUsb(deviceDir, sysReal, about, sizeof about)) {
    DescribeDriver(deviceDir, sysReal, about, sizeof about);
  }
  // The node first: Linux users know their ports by it.
  char text[DevicePathSize + sizeof about + 1];
  if (about[0] != '\0') {
    std::snprintf(text, sizeof text, "%s %s", node, about);
  } else {
    std::snprintf(text, sizeof text, "%s", node);
  }
  InsertPort(list, node, text);
}

// Where the listing looks: the seam's roots, else the system's.
void ChooseRoots(const char** sysRoot, const char** devRoot) {
  const PortRoots* roots = serialSeam.roots;
  *sysRoot = roots != nullptr && roots->sys != nullptr ? roots->sys : DefaultSysRoot;
  *devRoot = roots != nullptr && roots->dev != nullptr ? roots->dev : DefaultDevRoot;
}

// The tty of sysfs (sysReal/class/tty/NAME) that the node devRoot/... is made
// for: NAME is the node's path below devRoot, with '/' written as '!'.
bool ClassEntryOfNode(const char* node, const char* devRoot, const char* sysReal,
                      char* classEntry) {
  const size_t devLength = std::strlen(devRoot);
  if (std::strncmp(node, devRoot, devLength) != 0 || node[devLength] != '/') return false;
  char name[SysPathSize];
  std::snprintf(name, sizeof name, "%s", node + devLength + 1);
  for (char* c = name; *c != '\0'; ++c) {
    if (*c == '/') *c = '!';
  }
  char classDir[SysPathSize];
  return JoinPath(classDir, sizeof classDir, sysReal, "class/tty") &&
         JoinPath(classEntry, SysPathSize, classDir, name);
}

// Adds a field unless text is empty or the detail is full.
void AddField(SerialPortDetail* detail, PortFieldKind kind, const char* text) {
  if (text[0] == '\0' || detail->count == MaxPortFields) return;
  SerialPortField* field = &detail->fields[detail->count++];
  field->kind = kind;
  WidenPath(text, field->text, PortFieldSize);
}

// The fields of the USB adapter whose port the device at deviceDir is: the
// USB interface itself (CDC-ACM) or a usb-serial port right below it, so the
// USB device is among the first UsbPortLevels folders looked at (the port,
// the interface, the device). A tty further down (a Bluetooth link on a USB
// dongle) is no adapter's port: the dongle's serial number must not name it.
void AddUsbFields(SerialPortDetail* detail, const char* deviceDir, const char* top) {
  constexpr int UsbPortLevels = 3;
  char usbDir[SysPathSize];
  char location[AttributeSize];
  if (!FindUsbDevice(deviceDir, top, UsbPortLevels, usbDir, location, sizeof location)) return;
  char vendor[AttributeSize];
  char product[AttributeSize];
  char ids[2 * AttributeSize];
  if (ReadAttribute(usbDir, "idVendor", vendor, sizeof vendor) &&
      ReadAttribute(usbDir, "idProduct", product, sizeof product)) {
    std::snprintf(ids, sizeof ids, "%s:%s", vendor, product);
    AddField(detail, PortFieldKind::UsbIds, ids);
  }
  char text[AttributeSize];
  if (ReadAttribute(usbDir, "serial", text, sizeof text))
    AddField(detail, PortFieldKind::Serial, text);
  // The interface the tty hangs off (bus, ports, configuration, interface),
  // or the USB device's own name where the tty hangs off the device itself.
  if (location[0] == '\0')
    std::snprintf(location, sizeof location, "%s", std::strrchr(usbDir, '/') + 1);
  AddField(detail, PortFieldKind::Location, location);
  if (ReadAttribute(usbDir, "manufacturer", text, sizeof text)) {
    AddField(detail, PortFieldKind::Manufacturer, text);
  }
  if (ReadAttribute(usbDir, "product", text, sizeof text))
    AddField(detail, PortFieldKind::Product, text);
}

// Adds every name in devRoot/serial/folder that leads to the node whose real
// path is nodeReal (udev's by-id and by-path links), in name order.
void AddLinks(SerialPortDetail* detail, const char* devRoot, const char* folder,
              const char* nodeReal) {
  char dir[SysPathSize];
  if (!JoinPath(dir, sizeof dir, devRoot, folder)) return;
  DIR* links = opendir(dir);
  if (links == nullptr) return;
  const int first = detail->count;
  while (const dirent* entry = readdir(links)) {
    char path[SysPathSize];
    char real[SysPathSize];
    if (entry->d_name[0] == '.' || !JoinPath(path, sizeof path, dir, entry->d_name)) continue;
    if (realpath(path, real) != nullptr && std::strcmp(real, nodeReal) == 0) {
      AddField(detail, PortFieldKind::Link, path);
    }
  }
  closedir(links);
  // The directory's order is the file system's.
  for (int i = first + 1; i < detail->count; ++i) {
    for (int j = i;
         j > first && std::wcscmp(detail->fields[j - 1].text, detail->fields[j].text) > 0; --j) {
      std::swap(detail->fields[j - 1], detail->fields[j]);
    }
  }
}

}  // namespace

void SerialListPorts(SerialPortList* list) {
  list->count = 0;
  const char* sysRoot = nullptr;
  const char* devRoot = nullptr;
  ChooseRoots(&sysRoot, &devRoot);
  char sysReal[SysPathSize];
  char virtualDir[SysPathSize];
  char classDir[SysPathSize];
  if (realpath(sysRoot, sysReal) == nullptr) return;
  if (!JoinPath(virtualDir, sizeof virtualDir, sysReal, "devices/virtual")) return;
  if (!JoinPath(classDir, sizeof classDir, sysReal, "class/tty")) return;
  DIR* ttys = opendir(classDir);
  if (ttys == nullptr) return;
  while (const dirent* entry = readdir(ttys)) {
    if (entry->d_name[0] == '.') continue;
    ConsiderTty(sysReal, virtualDir, classDir, entry->d_name, devRoot, list);
  }
  closedir(ttys);
  for (int i = 0; i < list->count; ++i) {
    SerialPortEntry* port = &list->ports[i];
    port->number = i + 1;
    std::swprintf(port->name, PortNameSize, L"COM%ld", port->number);
  }
}

void SerialDescribePort(const SerialPortEntry* port, SerialPortDetail* detail) {
  detail->count = 0;
  const char* sysRoot = nullptr;
  const char* devRoot = nullptr;
  ChooseRoots(&sysRoot, &devRoot);
  char sysReal[SysPathSize];
  char classEntry[SysPathSize];
  char deviceDir[SysPathSize];
  if (realpath(sysRoot, sysReal) != nullptr &&
      ClassEntryOfNode(port->device, devRoot, sysReal, classEntry) &&
      DeviceOfTty(classEntry, deviceDir)) {
    AddUsbFields(detail, deviceDir, sysReal);
    char driver[AttributeSize];
    DescribeDriver(deviceDir, sysReal, driver, sizeof driver);
    AddField(detail, PortFieldKind::Driver, driver);
  }
  char nodeReal[SysPathSize];
  if (realpath(port->device, nodeReal) == nullptr) return;
  AddLinks(detail, devRoot, "serial/by-id", nodeReal);
  AddLinks(detail, devRoot, "serial/by-path", nodeReal);
}

bool SerialIsDevicePath(const char* text) {
  return text[0] == '/';
}

bool SerialDeviceOfNumber(long, char*, size_t) {
  return false;
}

const wchar_t SerialNumberPrefix[] = L"COM";

const bool SerialAccessByGroup = true;
