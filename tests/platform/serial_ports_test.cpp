#include "platform/serial_ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zorbent {
namespace {

namespace fs = std::filesystem;

// A fake /sys: class/tty entries pointing into devices/, as the kernel lays them out.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("zorbent-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    for (const char* dir : {"class/tty", "bus/drivers", "dev", "proc"})
      fs::create_directories(root_ / dir);
    tree_ = {
        (root_ / "class/tty").string(), (root_ / "dev").string(), (root_ / "proc").string(), {}};
  }
  void TearDown() override { fs::remove_all(root_); }

  // A tty entry; with a device, that device's driver is named `driver`.
  void Add(const std::string& name, const std::string& device = "", const std::string& driver = "",
           const std::string& type = "") {
    const fs::path entry = root_ / "devices" / name;
    fs::create_directories(entry);
    fs::create_directory_symlink(entry, root_ / "class/tty" / name);
    if (!type.empty()) std::ofstream(entry / "type") << type << "\n";
    if (device.empty()) return;
    const fs::path dev = root_ / "devices/hw" / device;
    fs::create_directories(dev);
    fs::create_directory_symlink(dev, entry / "device");
    if (driver.empty()) return;
    fs::create_directories(root_ / "bus/drivers" / driver);
    if (!fs::exists(dev / "driver"))
      fs::create_directory_symlink(root_ / "bus/drivers" / driver, dev / "driver");
  }
  // The device file under the fake /dev, with its mode and group.
  std::string Node(const std::string& name, fs::perms mode, gid_t group = 0) {
    const fs::path node = root_ / "dev" / name;
    std::ofstream(node).put('x');
    fs::permissions(node, mode);
    EXPECT_EQ(::chown(node.c_str(), 0, group), 0);
    return node.string();
  }
  // A USB bridge: the tty's device is the interface, its parent carries the identity.
  void AddUsb(const std::string& name, const std::string& vid, const std::string& pid,
              const std::string& maker, const std::string& product, const std::string& serial) {
    const std::string at = "usb1/1-" + name;  // one USB device per tty
    Add(name, at + "/1-2:1.0/" + name, "ftdi_sio");
    const fs::path usb = root_ / "devices/hw" / at;
    std::ofstream(usb / "idVendor") << vid << "\n";
    std::ofstream(usb / "idProduct") << pid << "\n";
    std::ofstream(usb / "manufacturer") << maker << "\n";
    std::ofstream(usb / "product") << product << "\n";
    std::ofstream(usb / "serial") << serial << "\n";
    std::ofstream(usb / "1-2:1.0" / name / "latency_timer") << "16\n";
  }
  std::vector<std::string> Names(bool all, const DeviceUser& user = {}) {
    std::vector<std::string> names;
    for (const auto& port : ListSerialPortInfo(all, tree_, user)) names.push_back(port.name);
    return names;
  }
  fs::path root_;
  DeviceTree tree_;
};

// Only real serial devices, by kind then number; on-board UARTs only when all are asked for,
// the console only then and marked; added devices last, each once.
TEST_F(FakeSysfs, ListsRealSerialDevicesInAStableOrder) {
  EXPECT_TRUE(Names(true).empty());
  Add("ttyS1", "00:05", "serial");  // a real UART found by PNP
  Add("ttyACM10", "1-1.4:1.0", "cdc_acm");
  Add("ttyUSB0", "1-2:1.0", "ftdi_sio");
  Add("ttyACM2", "1-1.2:1.0", "cdc_acm");
  Add("rfcomm0");                                 // a bound Bluetooth link has no device
  Add("ttyS0", "serial8250", "serial8250", "0");  // placeholder slot, no chip
  Add("ttyS2", "serial8250", "serial8250");       // placeholder without a type file
  Add("ttyS4", "serial8250");                     // the platform device itself, no driver
  Add("ttyS3", "serial8250", "serial8250", "4");  // legacy port with a 16550A behind it
  Add("ttyUSB1");                                 // no device: a stale entry
  Add("tty0", "vtcon", "vt");
  Add("console");
  Add("ttyUSB");  // no number
  Add("ttyUSBx1", "1-3:1.0", "ftdi_sio");
  Add("ttyS99999999999", "00:06", "serial");  // number too long
  // Linux 6.2 on: the serial core's port and ctrl devices between the tty and its driver.
  const auto driven = [&](const std::string& device, const std::string& driver) {
    fs::create_directories(root_ / "bus/drivers" / driver);
    fs::create_directory_symlink(root_ / "bus/drivers" / driver,
                                 root_ / "devices/hw" / device / "driver");
  };
  Add("ttyS5", "serial8250/serial8250:0/serial8250:0.5", "port", "0");  // no UART
  Add("ttyS6", "serial8250/serial8250:0/serial8250:0.6", "port", "4");
  Add("ttyS7", "00:07/00:07:0/00:07:0.0", "port");                 // found by PNP
  Add("ttyS8", "serial8250/serial8250:0/serial8250:0.8", "port");  // no type file: no UART
  driven("serial8250/serial8250:0", "ctrl");
  driven("00:07/00:07:0", "ctrl");
  driven("00:07", "serial");
  std::ofstream(root_ / "class/tty/console/active") << "tty0 ttyS3\n";
  std::ofstream(root_ / "proc/consoles") << "ttyACM2              -W- (EC p a)  166:2\n";
  EXPECT_EQ(Names(true), (std::vector<std::string>{"ttyUSB0", "ttyACM2", "ttyACM10", "rfcomm0",
                                                   "ttyS1", "ttyS3", "ttyS6", "ttyS7"}));
  std::string marks;
  for (const auto& port : ListSerialPortInfo(true, tree_, {}))
    marks += port.name + (port.console ? "!" : "") + ":" + port.driver + " ";
  EXPECT_NE(marks.find("ttyACM2!:"), std::string::npos) << marks;
  EXPECT_NE(marks.find("ttyS3!:serial8250 ttyS6:serial8250 ttyS7:serial "), std::string::npos)
      << marks;
  EXPECT_EQ(Names(false), (std::vector<std::string>{"ttyUSB0", "ttyACM10", "rfcomm0"}));
  const std::string sim = Node("sim", fs::perms::owner_read);
  tree_.added = {sim, Node("ttyUSB0", fs::perms::owner_read), sim};
  EXPECT_EQ(Names(false), (std::vector<std::string>{"ttyUSB0", "ttyACM10", "rfcomm0", sim}));
  EXPECT_EQ(ListSerialPortInfo(false, tree_, {}).back().kind, PortKindOfDevice::kAdded);
  tree_.ttyClass = (root_ / "no-such-dir").string();
  EXPECT_EQ(Names(true), (std::vector<std::string>{sim, tree_.added[1]}));  // none listed now
}

// Only the listed bridges, Bluetooth links and added devices are adapter devices; never the
// console.
TEST_F(FakeSysfs, AdapterDevicesAreTheListedBridgesAndBluetoothLinks) {
  AddUsb("ttyUSB0", "0403", "6001", "FTDI", "FT232R USB UART", "A1");
  AddUsb("ttyUSB1", "067b", "23d3", "Prolific", "PL2303GL", "");
  AddUsb("ttyUSB2", "0403", "6012", "FTDI", "other", "");
  AddUsb("ttyACM0", "2c99", "0002", "Prusa", "printer board", "");
  Add("ttyACM1", "1-4:1.0", "cdc_acm");  // no USB identity found
  Add("rfcomm0");
  Add("ttyS1", "00:05", "serial");
  AddUsb("ttyUSB3", "0403", "6001", "FTDI", "FT232R USB UART", "A2");
  std::ofstream(root_ / "proc/consoles") << "ttyUSB3 -W- (EC p a) 188:3\n";  // never opened
  tree_.added = {Node("sim", fs::perms::owner_read)};
  std::vector<std::string> adapters;
  for (const auto& port : ListSerialPortInfo(true, tree_, {}))
    if (IsAdapterDevice(port)) adapters.push_back(port.name);
  EXPECT_EQ(adapters, (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "rfcomm0", tree_.added[0]}));
}

// The table, the udev rule that gives the user these bridges and the web page's port filter
// list the same IDs.
TEST(AdapterBridges, AreTheOnesTheUdevRuleLists) {
  std::ifstream rules(ZORBENT_UDEV_RULES);
  ASSERT_TRUE(rules) << ZORBENT_UDEV_RULES;
  const std::regex rule(
      R"re(ATTRS\{idVendor\}=="([0-9a-f]{4})", ATTRS\{idProduct\}=="([0-9a-f|]+)")re");
  std::set<std::string> udev, table;
  for (std::string line; std::getline(rules, line);) {
    std::smatch m;
    if (line.starts_with("#") || !std::regex_search(line, m, rule)) continue;
    std::stringstream products(m[2].str());
    for (std::string pid; std::getline(products, pid, '|');) udev.insert(m[1].str() + ":" + pid);
  }
  for (const UsbBridgeId& id : kAdapterBridges)
    table.insert(std::string(id.vid) + ":" + std::string(id.pid));
  EXPECT_EQ(table.size(), kAdapterBridges.size());  // no ID twice
  EXPECT_EQ(udev, table);

  std::ifstream page(ZORBENT_WEB_BRIDGES);
  ASSERT_TRUE(page) << ZORBENT_WEB_BRIDGES;
  const std::regex filter(R"re(usbVendorId: 0x([0-9a-f]{4}), usbProductId: 0x([0-9a-f]{4}))re");
  std::set<std::string> web;
  for (std::string line; std::getline(page, line);) {
    std::smatch m;
    if (std::regex_search(line, m, filter)) web.insert(m[1].str() + ":" + m[2].str());
  }
  EXPECT_EQ(web, table);
}

// Each port's identity, description, access (and why not) and who has it open.
TEST_F(FakeSysfs, DescribesUsbBluetoothAndOnBoardDevicesWithAccessAndUse) {
  AddUsb("ttyUSB0", "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI");
  Add("rfcomm0");
  Add("ttyS1", "00:05", "serial");
  const std::string usb = Node("ttyUSB0",
                               fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read | fs::perms::group_write,
                               20);
  Node("rfcomm0", fs::perms::owner_read | fs::perms::owner_write);
  Node("ttyS1", fs::perms::all);
  // A program holding the USB device open, as /proc shows it.
  fs::create_directories(root_ / "proc/4242/fd");
  std::ofstream(root_ / "proc/4242/comm") << "minicom\n";
  fs::create_symlink(usb, root_ / "proc/4242/fd/3");
  DeviceUser nobody;
  nobody.uid = 65534;
  nobody.groups = {65534};
  const auto ports = ListSerialPortInfo(true, tree_, nobody);
  ASSERT_EQ(ports.size(), 3u);
  const SerialPortInfo& u = ports[0];
  EXPECT_EQ(u.path, usb);
  EXPECT_EQ(u.kind, PortKindOfDevice::kUsb);
  EXPECT_EQ(u.vid + ":" + u.pid, "0403:6001");
  EXPECT_EQ(u.manufacturer + "|" + u.product + "|" + u.serial, "FTDI|FT232R USB UART|A50285BI");
  EXPECT_EQ(u.driver, "ftdi_sio");
  EXPECT_EQ(u.latencyMs, 16);
  EXPECT_FALSE(u.mayOpen);
  EXPECT_EQ(u.accessReason, "needs group " + DeviceGroup(usb));
  EXPECT_EQ(u.users, (std::vector<std::string>{"minicom (pid 4242)"}));
  EXPECT_EQ(DescribePort(u), "ttyUSB0 \u2014 FTDI FT232R USB UART");
  EXPECT_EQ(ports[1].kind, PortKindOfDevice::kBluetooth);
  EXPECT_FALSE(ports[1].mayOpen);  // root's alone
  EXPECT_EQ(ports[1].accessReason, "no read and write permission");
  EXPECT_EQ(DescribePort(ports[1]), "rfcomm0 \u2014 Bluetooth serial link");
  EXPECT_EQ(ports[2].kind, PortKindOfDevice::kOnBoard);
  EXPECT_TRUE(ports[2].mayOpen);
  EXPECT_TRUE(ports[2].users.empty());
  // A member of the device's group may open it.
  nobody.groups.push_back(20);
  EXPECT_TRUE(ListSerialPortInfo(false, tree_, nobody).front().mayOpen);
}

}  // namespace
}  // namespace zorbent
