// The port listing on Linux: which ttys of sysfs are listed, how they are
// described and numbered, and how the number typed picks one.
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "gtest/gtest.h"
#include "serial/link.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

// A sysfs and /dev made of plain folders, files and links.
struct FakeTree {
  TempDir dir;
  std::string sys = dir.File("sys");
  std::string dev = dir.File("dev");

  FakeTree() {
    fs::create_directories(sys + "/class/tty");
    fs::create_directories(dev);
  }
  PortRoots Roots() const { return {sys.c_str(), dev.c_str()}; }
  std::string Node(const std::string& tty) const { return dev + "/" + tty; }

  // A device folder under sys/devices, with attribute files.
  std::string Device(const std::string& path,
                     std::initializer_list<std::pair<const char*, std::string>> attributes = {}) {
    const std::string full = sys + "/devices/" + path;
    fs::create_directories(full);
    for (const auto& [name, text] : attributes) WriteFileBytes(full + "/" + name, text);
    return full;
  }
  // Links device/name (driver or subsystem) to a folder of sys/bus.
  void Bus(const std::string& device, const char* link, const std::string& target) {
    fs::create_directories(sys + "/bus/" + target);
    fs::create_directory_symlink(sys + "/bus/" + target, device + "/" + link);
  }
  // A tty below device (empty: a virtual tty) registered in class/tty.
  void Tty(const std::string& name, const std::string& device) {
    const std::string ttyDir =
        device.empty() ? sys + "/devices/virtual/tty/" + name : device + "/tty/" + name;
    fs::create_directories(ttyDir);
    if (!device.empty()) fs::create_directory_symlink(device, ttyDir + "/device");
    fs::create_directory_symlink(ttyDir, sys + "/class/tty/" + name);
  }
  // A /dev node: a plain file, which is no terminal.
  void PlainNode(const std::string& name) { WriteFileBytes(Node(name), ""); }
  // A USB serial adapter: the USB device, its interface, the tty and its node.
  void UsbPort(const std::string& tty, const std::string& usbDevice,
               std::initializer_list<std::pair<const char*, std::string>> attributes) {
    Device(usbDevice, attributes);
    const std::string usbInterface = fs::path(usbDevice).filename().string() + ":1.0";
    const std::string port = Device(usbDevice + "/" + usbInterface + "/" + tty);
    Bus(port, "driver", "usb-serial/drivers/ftdi_sio");
    Tty(tty, port);
    PlainNode(tty);
  }
  // udev's name for a node: dev/serial/folder/name, a relative link to it.
  void Link(const std::string& folder, const std::string& name, const std::string& tty) {
    fs::create_directories(dev + "/serial/" + folder);
    fs::create_symlink("../../" + tty, dev + "/serial/" + folder + "/" + name);
  }
  // Two adapters of one make, told apart only by serial number and socket.
  void TwoAdapters() {
    for (const auto& [tty, usb, serial] :
         {std::tuple{"ttyUSB0", "1-1.2", "A50285BI"}, std::tuple{"ttyUSB1", "1-1.3", "A6008ZXY"}}) {
      UsbPort(tty, std::string("usb1/1-1/") + usb,
              {{"idVendor", "0403\n"},
               {"idProduct", "6001\n"},
               {"manufacturer", "FTDI\n"},
               {"product", "FT232R USB UART\n"},
               {"serial", std::string(serial) + "\n"}});
      Link("by-id", std::string("usb-FTDI_FT232R_USB_UART_") + serial + "-if00-port0", tty);
      // Newer udev names the socket twice; the list gives names in name order.
      Link("by-path", std::string("pci-0000:00:14.0-usbv2-0:") + (usb + 2) + ":1.0-port0", tty);
      Link("by-path", std::string("pci-0000:00:14.0-usb-0:") + (usb + 2) + ":1.0-port0", tty);
    }
  }
};

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text != L'\0'; ++text) out += static_cast<char>(*text);
  return out;
}

std::string Line(const SerialPortEntry& port) {
  return Narrow(port.name) + "(" + Narrow(port.desc) + ")";
}

std::string Listing(const SerialPortList& list) {
  std::string out;
  for (int i = 0; i < list.count; ++i) out += Line(list.ports[i]) + "\n";
  return out;
}

SerialPortList* List(const PortRoots& roots) {
  static SerialPortList list;
  std::memset(&list, 0xAB, sizeof list);
  const PortRoots* saved = serialSeam.roots;
  serialSeam.roots = &roots;
  SerialListPorts(&list);
  serialSeam.roots = saved;
  return &list;
}

TEST(PortsTest, ListsRealPortsByNodeAndSkipsTheRest) {
  FakeTree t;
  const std::string usb = "pci0000:00/0000:00:14.0/usb1/";
  t.UsbPort("ttyUSB10", usb + "1-2",
            {{"idVendor", "0403\n"},
             {"idProduct", "6001\n"},
             {"manufacturer", "FTDI\n"},
             {"product", "FT232R USB UART\n"}});
  t.UsbPort("ttyUSB2", usb + "1-3", {{"idVendor", "0403\n"}, {"idProduct", "6001\n"}});
  // A CDC-ACM tty hangs directly off the USB interface.
  const std::string acm = t.Device(usb + "1-1/1-1:1.0");
  t.Device(usb + "1-1", {{"idVendor", "04d8\n"},
                         {"idProduct", "000a\n"},
                         {"manufacturer", "Microchip Technology Inc.\n"},
                         {"product", "USB Serial\n"}});
  t.Bus(acm, "driver", "usb/drivers/cdc_acm");
  t.Tty("ttyACM0", acm);
  t.PlainNode("ttyACM0");
  const std::string amba = t.Device("platform/fe201000.serial");
  t.Bus(amba, "driver", "amba/drivers/uart-pl011");
  t.Tty("ttyAMA0", amba);
  t.PlainNode("ttyAMA0");

  // Virtual: left out even with a device link and a node.
  t.Tty("tty1", "");
  fs::create_directory_symlink(amba, t.sys + "/devices/virtual/tty/tty1/device");
  t.PlainNode("tty1");
  // No device behind it.
  fs::create_directories(t.sys + "/devices/platform/nodev/tty/ttyX0");
  fs::create_directory_symlink(t.sys + "/devices/platform/nodev/tty/ttyX0",
                               t.sys + "/class/tty/ttyX0");
  t.PlainNode("ttyX0");
  // 8250 names without a UART: no node, and a node that is no terminal.
  const std::string legacy = t.Device("platform/serial8250");
  t.Bus(legacy, "driver", "platform/drivers/serial8250");
  t.Tty("ttyS0", legacy);
  t.Tty("ttyS1", legacy);
  t.PlainNode("ttyS1");
  // The same on a kernel that puts serial core ports on their own bus.
  const std::string core = t.Device("platform/serial8250/serial8250:0/serial8250:0.2");
  t.Bus(core, "subsystem", "serial-base");
  t.Bus(core, "driver", "serial-base/drivers/port");
  t.Tty("ttyS2", core);
  t.PlainNode("ttyS2");

  const SerialPortList* list = List(t.Roots());
  EXPECT_EQ(Listing(*list),
            "COM1(" + t.Node("ttyACM0") + " Microchip Technology Inc. USB Serial)\n" + "COM2(" +
                t.Node("ttyAMA0") + " uart-pl011)\n" + "COM3(" + t.Node("ttyUSB2") +
                " 0403:6001)\n" + "COM4(" + t.Node("ttyUSB10") + " FTDI FT232R USB UART)\n");
  ASSERT_EQ(list->count, 4);
  for (int i = 0; i < list->count; ++i) EXPECT_EQ(list->ports[i].number, i + 1);
  EXPECT_EQ(std::string(list->ports[3].device), t.Node("ttyUSB10"));
}

TEST(PortsTest, UnreadablePartsLeaveOutTheDetailOrThePort) {
  FakeTree t;
  // Nothing at all yet: an empty list.
  EXPECT_EQ(List(t.Roots())->count, 0);
  const PortRoots missing = {"/nonexistent-sys", "/nonexistent-dev"};
  EXPECT_EQ(List(missing)->count, 0);

  // Device link dangling, device a file, node missing: the port is left out.
  fs::create_directories(t.sys + "/devices/platform/a/tty/ttyA0");
  fs::create_directory_symlink(t.sys + "/devices/gone",
                               t.sys + "/devices/platform/a/tty/ttyA0/device");
  fs::create_directory_symlink(t.sys + "/devices/platform/a/tty/ttyA0", t.sys + "/class/tty/ttyA0");
  t.PlainNode("ttyA0");
  fs::create_directories(t.sys + "/devices/platform/b/tty/ttyB0");
  WriteFileBytes(t.sys + "/devices/platform/b/tty/ttyB0/device", "");
  fs::create_directory_symlink(t.sys + "/devices/platform/b/tty/ttyB0", t.sys + "/class/tty/ttyB0");
  t.PlainNode("ttyB0");
  t.Tty("ttyC0", t.Device("platform/c"));
  // Driver link dangling: the port without a description.
  const std::string d = t.Device("platform/d");
  fs::create_directory_symlink(t.sys + "/bus/gone", d + "/driver");
  t.Tty("ttyD0", d);
  t.PlainNode("ttyD0");
  // Product string unreadable (a folder): the manufacturer alone.
  t.UsbPort("ttyUSB0", "usb1/1-1",
            {{"idVendor", "1a86\n"}, {"idProduct", "7523\n"}, {"manufacturer", "  QinHeng  \n"}});
  fs::create_directories(t.sys + "/devices/usb1/1-1/product");
  // Control characters from a device must not reach the console.
  t.UsbPort(
      "ttyUSB1", "usb1/1-2",
      {{"idVendor", "1a86\n"}, {"idProduct", "7523\n"}, {"product", "Evil\r\nCOM9(x)\x1b[2J\n"}});
  // An overlong description is cut to fit.
  t.UsbPort("ttyUSB2", "usb1/1-3",
            {{"idVendor", "1a86\n"},
             {"idProduct", "7523\n"},
             {"manufacturer", std::string(200, 'M')},
             {"product", std::string(200, 'P')}});

  const SerialPortList* list = List(t.Roots());
  ASSERT_EQ(list->count, 4);
  EXPECT_EQ(Line(list->ports[0]), "COM1(" + t.Node("ttyD0") + ")");
  EXPECT_EQ(Line(list->ports[1]), "COM2(" + t.Node("ttyUSB0") + " QinHeng)");
  EXPECT_EQ(Line(list->ports[2]), "COM3(" + t.Node("ttyUSB1") + " Evil  COM9(x) [2J)");
  const std::string cut = Narrow(list->ports[3].desc);
  EXPECT_EQ(cut.size(), PortDescSize - 1);
  EXPECT_EQ(cut, (t.Node("ttyUSB2") + " " + std::string(200, 'M') + " " + std::string(200, 'P'))
                     .substr(0, PortDescSize - 1));
}

TEST(PortsTest, KeepsTheFirstPortsByNodeWhenThereAreTooMany) {
  FakeTree t;
  const std::string device = t.Device("platform/many");
  t.Bus(device, "driver", "platform/drivers/many");
  for (int i = MaxPorts + 5; i >= 0; --i) {
    const std::string name = "ttyM" + std::to_string(i);
    t.Tty(name, device);
    t.PlainNode(name);
  }
  const SerialPortList* list = List(t.Roots());
  ASSERT_EQ(list->count, MaxPorts);
  for (int i = 0; i < MaxPorts; ++i) {
    EXPECT_EQ(std::string(list->ports[i].device), t.Node("ttyM" + std::to_string(i)));
    EXPECT_EQ(Narrow(list->ports[i].name), "COM" + std::to_string(i + 1));
  }
}

TEST(PortsTest, DumpListsPortsAndOpensTheOneWhoseNumberIsTyped) {
  FakeTree t;
  // A UTF-8 product string reaches the console intact.
  t.UsbPort("ttyACM0", "usb1/1-1",
            {{"idVendor", "04d8\n"},
             {"idProduct", "000a\n"},
             {"product",
              "Pr\xc3\xbc"
              "fger\xc3\xa4t\n"}});
  t.UsbPort("ttyUSB0", "usb1/1-2",
            {{"idVendor", "0403\n"},
             {"idProduct", "6001\n"},
             {"manufacturer", "FTDI\n"},
             {"product", "FT232R USB UART\n"}});
  InProcessSim sim;
  fs::remove(t.Node("ttyUSB0"));
  fs::create_symlink(sim.Path(), t.Node("ttyUSB0"));
  sim.Start();
  const DriverResult run = RunDriverInProcess(t.dir.path, {" 2\n", t.Roots()});
  sim.Finish();
  EXPECT_EQ(run.status, 0);
  const std::string opening = Utf8(Msg::PortListHeading) + "COM1(" + t.Node("ttyACM0") +
                              " Pr\xc3\xbc"
                              "fger\xc3\xa4t)\n"
                              "COM2(" +
                              t.Node("ttyUSB0") + " FTDI FT232R USB UART)\n" +
                              Utf8(Msg::AskForPort) +
                              Said(Msg::Connecting, Wide(t.Node("ttyUSB0")).c_str());
  EXPECT_EQ(run.console.substr(0, opening.size()), opening);
  EXPECT_EQ(sim.Received(), ExpectedCommands());
}

std::string Field(const wchar_t* label, const std::string& text) {
  return Said(Msg::PortField, label, Wide(text).c_str());
}

// --list --verbose: the list as plain --list prints it, then each port's
// fields, only those it has: adapters of one make told apart, an on-board
// UART and a Bluetooth port on a USB dongle (no USB adapter's port) with what
// they have, udev's names followed to their nodes.
TEST(PortsTest, VerboseListTellsAdaptersOfOneMakeApart) {
  FakeTree t;
  t.TwoAdapters();
  t.Link("by-id", "usb-gone-if00-port0", "ttyUSB7");  // dangling
  const std::string amba = t.Device("platform/fe201000.serial");
  t.Bus(amba, "driver", "amba/drivers/uart-pl011");
  t.Tty("ttyAMA0", amba);
  t.PlainNode("ttyAMA0");
  t.Device("usb1/1-4", {{"idVendor", "0a12\n"}, {"idProduct", "0001\n"}, {"serial", "BT1\n"}});
  const std::string link = t.Device("usb1/1-4/1-4:1.0/bluetooth/hci0/hci0:11");
  t.Tty("rfcomm0", link);
  t.PlainNode("rfcomm0");

  DriverRun run{"", t.Roots()};
  run.listOnly = true;
  const DriverResult plain = RunDriverInProcess(t.dir.path, run);
  run.verbose = true;
  const DriverResult verbose = RunDriverInProcess(t.dir.path, run);
  EXPECT_EQ(plain.console, Utf8(Msg::PortListHeading) + "COM1(" + t.Node("rfcomm0") +
                               " 0a12:0001)\nCOM2(" + t.Node("ttyAMA0") + " uart-pl011)\nCOM3(" +
                               t.Node("ttyUSB0") + " FTDI FT232R USB UART)\nCOM4(" +
                               t.Node("ttyUSB1") + " FTDI FT232R USB UART)\n");
  std::string details =
      Said(Msg::PortDetailHeading, L"COM1") + Field(Msg::FieldDevice, t.Node("rfcomm0")) +
      Said(Msg::PortDetailHeading, L"COM2") + Field(Msg::FieldDevice, t.Node("ttyAMA0")) +
      Field(Msg::FieldDriver, "uart-pl011");
  for (const auto& [name, tty, serial, socket] :
       {std::tuple{L"COM3", "ttyUSB0", "A50285BI", "1.2"},
        std::tuple{L"COM4", "ttyUSB1", "A6008ZXY", "1.3"}}) {
    details += Said(Msg::PortDetailHeading, name) + Field(Msg::FieldDevice, t.Node(tty)) +
               Field(Msg::FieldUsbIds, "0403:6001") + Field(Msg::FieldSerial, serial) +
               Field(Msg::FieldLocation, std::string("1-") + socket + ":1.0") +
               Field(Msg::FieldManufacturer, "FTDI") + Field(Msg::FieldProduct, "FT232R USB UART") +
               Field(Msg::FieldDriver, "ftdi_sio") +
               Field(Msg::FieldLink,
                     t.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0") +
               Field(Msg::FieldLink,
                     t.dev + "/serial/by-path/pci-0000:00:14.0-usb-0:" + socket + ":1.0-port0") +
               Field(Msg::FieldLink,
                     t.dev + "/serial/by-path/pci-0000:00:14.0-usbv2-0:" + socket + ":1.0-port0");
  }
  EXPECT_EQ(verbose.console, plain.console + details);
}

// --port usb:...: the one adapter with that serial number (any case) is
// opened, and so is a by-id name, a path that leads to its node. An id two
// adapters share, or one that none has, ends like a port that cannot be
// opened: status 1 and a line with the ports that matched, or none.
TEST(PortsTest, UsbNameOpensOnlyTheOneMatchingPort) {
  FakeTree t;
  t.TwoAdapters();
  const std::string byId = t.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008ZXY-if00-port0";
  for (const std::string& port : {std::string("usb:a6008zxy"), byId}) {
    SCOPED_TRACE(port);
    InProcessSim sim;
    fs::remove(t.Node("ttyUSB1"));
    fs::create_symlink(sim.Path(), t.Node("ttyUSB1"));
    sim.Start();
    DriverRun run{"", t.Roots()};
    run.port = port.c_str();
    const DriverResult result = RunDriverInProcess(t.dir.path, run);
    sim.Finish();
    EXPECT_EQ(result.status, 0);
    const std::string opened = port == byId ? byId : t.Node("ttyUSB1");
    EXPECT_EQ(result.console.rfind(Said(Msg::Connecting, Wide(opened).c_str()), 0), 0u);
    EXPECT_EQ(sim.Received(), ExpectedCommands());
  }
  fs::remove(t.Node("ttyUSB1"));
  t.PlainNode("ttyUSB1");
  const std::string both = "COM1(" + t.Node("ttyUSB0") + " FTDI FT232R USB UART), COM2(" +
                           t.Node("ttyUSB1") + " FTDI FT232R USB UART)";
  for (const auto& [port, reason] :
       {std::pair{"USB:0403:6001",
                  Said(Msg::SeveralUsbMatches, L"0403:6001", 2, Wide(both).c_str())},
        std::pair{"usb:A50285B", Said(Msg::NoUsbMatch, L"A50285B")}}) {
    SCOPED_TRACE(port);
    DriverRun run{"", t.Roots()};
    run.port = port;
    const DriverResult result = RunDriverInProcess(t.dir.path, run);
    EXPECT_EQ(result.status, ExitPortOpen);
    EXPECT_EQ(result.console.rfind(Said(Msg::Connecting, Wide(port).c_str()), 0), 0u);
    EXPECT_TRUE(EndsWith(result.console, ComOpenError + reason)) << result.console;
  }
}

// Whatever this machine has: every listed node exists and none is a
// pseudo-terminal or a virtual console.
TEST(PortsTest, RealSysfsListsOnlyExistingSerialNodes) {
  const PortRoots roots = {"/sys", "/dev"};
  const SerialPortList* list = List(roots);
  ASSERT_LE(list->count, MaxPorts);
  for (int i = 0; i < list->count; ++i) {
    const std::string node = list->ports[i].device;
    SCOPED_TRACE(node);
    EXPECT_TRUE(FileExists(node));
    EXPECT_EQ(node.rfind("/dev/pts/", 0), std::string::npos);
    EXPECT_NE(node, "/dev/ptmx");
    EXPECT_NE(node, "/dev/tty");
    EXPECT_NE(node, "/dev/console");
    const std::string tail = node.substr(std::min(node.size(), sizeof "/dev/tty" - 1));
    const bool virtualConsole = node.rfind("/dev/tty", 0) == 0 && !tail.empty() &&
                                tail.find_first_not_of("0123456789") == std::string::npos;
    EXPECT_FALSE(virtualConsole);
  }
}

}  // namespace
