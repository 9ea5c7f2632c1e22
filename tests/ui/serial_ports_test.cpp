#include "ui/serial_ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zorbent::ui {
namespace {

namespace fs = std::filesystem;

// A fake /sys: class/tty entries pointing into devices/, as the kernel lays them out.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("zorbent-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "class/tty");
    fs::create_directories(root_ / "bus/drivers");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Tty() const { return (root_ / "class/tty").string(); }

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

  fs::path root_;
};

TEST_F(FakeSysfs, ListsRealSerialDevicesInAStableOrder) {
  Add("ttyS1", "00:05", "serial");  // a real UART found by PNP
  Add("ttyACM10", "1-1.4:1.0", "cdc_acm");
  Add("ttyUSB0", "1-2:1.0", "ftdi_sio");
  Add("ttyACM2", "1-1.2:1.0", "cdc_acm");
  Add("rfcomm0");                                 // a bound Bluetooth link has no device
  Add("ttyS0", "serial8250", "serial8250", "0");  // placeholder slot, no chip
  Add("ttyS3", "serial8250", "serial8250", "4");  // legacy port with a 16550A behind it
  Add("ttyUSB1");                                 // no device: a stale entry
  Add("tty0", "vtcon", "vt");
  Add("console");
  Add("ttyUSB");  // no number
  Add("ttyUSBx1", "1-3:1.0", "ftdi_sio");
  Add("ttyS99999999999", "00:06", "serial");  // number too long
  EXPECT_EQ(ListSerialPorts(Tty()), (std::vector<std::string>{"ttyUSB0", "ttyACM2", "ttyACM10",
                                                              "rfcomm0", "ttyS1", "ttyS3"}));
}

TEST_F(FakeSysfs, MissingOrEmptyDirectoryGivesAnEmptyList) {
  EXPECT_TRUE(ListSerialPorts(Tty()).empty());
  EXPECT_TRUE(ListSerialPorts((root_ / "no-such-dir").string()).empty());
}

TEST_F(FakeSysfs, PlaceholderUartWithoutTypeFileIsSkipped) {
  Add("ttyS0", "serial8250", "serial8250");
  Add("ttyS1", "serial8250");  // the platform device itself, no driver link
  EXPECT_TRUE(ListSerialPorts(Tty()).empty());
}

struct SelectionCase {
  int noted;
  int count;
  int expected;
};

class RefreshSelectionTest : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(RefreshSelectionTest, KeepsThePositionWhileInRange) {
  EXPECT_EQ(RefreshSelection(GetParam().noted, GetParam().count), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefreshSelectionTest,
                         ::testing::Values(SelectionCase{1, 2, 1}, SelectionCase{1, 1, 0},
                                           SelectionCase{-1, 3, 0}, SelectionCase{0, 0, -1},
                                           SelectionCase{-1, 0, -1}, SelectionCase{5, 6, 5},
                                           SelectionCase{6, 6, 0}));

}  // namespace
}  // namespace zorbent::ui
