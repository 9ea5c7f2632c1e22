// The window's rules without a toolkit: what is enabled when, what the output box says, what
// closing does. Commands run against a simulated adapter or a scripted pseudo-terminal.

#include "ui/main_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if !defined(_WIN32)  // the window test of the Windows build runs its sessions over TCP
#include "tests/support/pty_pair.h"
#include "tests/support/sim_adapter.h"
#include "tests/support/tcp_peer.h"
#endif
#include "tests/ui/fake_view.h"

namespace zorbent::ui {
namespace {

using ::testing::StartsWith;

class ControllerTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> ports = {"ttyUSB0", "ttyUSB1"}) {
    ports_ = std::move(ports);
    controller_ =
        std::make_unique<MainController>(view_, engine_, [this] { return PlainChoices(ports_); });
    controller_->Initialise();
  }
  // Adds a device to the list and picks it on the page.
  void Pick(const std::string& device, SerialPageId page = SerialPageId::kUsb) {
    ports_.push_back(device);
    controller_->OnRefresh(page);
    view_.SelectName(page, static_cast<int>(ports_.size()) - 1);
    view_.checked = page == SerialPageId::kBt ? DeviceType::kBt : DeviceType::kUsb;
  }
  void WaitIdle() {
    ASSERT_TRUE(view_.PumpUntil([this] { return !controller_->IsRunning(); }));
  }
  std::string TempFile(const std::string& content) {
    const auto p = std::filesystem::temp_directory_path() /
                   ("zorbent-ui-" + std::to_string(::getpid()) + "-" + std::to_string(files_++));
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  void TearDown() override {
    controller_.reset();
    for (int i = 0; i < files_; ++i)
      std::filesystem::remove(
          std::filesystem::temp_directory_path() /
          ("zorbent-ui-" + std::to_string(::getpid()) + "-" + std::to_string(i)));
  }
  void ExpectAllEnabled(bool enabled) {
    for (const Control c : kCommandControls) EXPECT_EQ(view_.Enabled(c), enabled) << int(c);
  }

  fake::FakeView view_;
  UpdateEngine engine_;
  std::vector<std::string> ports_;
  std::unique_ptr<MainController> controller_;
  int files_ = 0;
};

TEST_F(ControllerTest, StartUpFillsBothSerialPagesAndTheWifiPageAndShowsNoPage) {
  Start();
  for (const auto page : {SerialPageId::kBt, SerialPageId::kUsb}) {
    EXPECT_EQ(view_.Lists(page).names, (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(view_.Lists(page).name, 0);
    EXPECT_EQ(view_.Lists(page).rates, LinkRates());
    EXPECT_EQ(view_.RateAt(page, view_.Lists(page).rate), "115200");
  }
  EXPECT_EQ(LinkRates().size(), 13u);
  EXPECT_EQ(LinkRates().front() + " " + LinkRates().back(), "9600 8000000");
  EXPECT_EQ(view_.address + ":" + view_.port, "192.168.0.10:35000");
  EXPECT_EQ(view_.shownPage, DeviceType::kNone);
  EXPECT_TRUE(view_.focusOnUpdate);
  for (const auto type : {DeviceType::kWifi, DeviceType::kBt, DeviceType::kUsb}) {
    controller_->OnDeviceType(type);
    EXPECT_EQ(view_.shownPage, type);
  }
  // Browse replaces the path only when a file is chosen.
  view_.path = "typed";
  controller_->OnBrowse();
  EXPECT_EQ(view_.path, "typed");
  view_.chosenFile = "/tmp/fw.bin";
  controller_->OnBrowse();
  EXPECT_EQ(view_.path, "/tmp/fw.bin");
}

// Clicks that must do nothing at all: no message, no progress reset, no state change.
TEST_F(ControllerTest, ClicksWithoutEnoughInputDoNothing) {
  Start({});
  for (const auto page : {SerialPageId::kBt, SerialPageId::kUsb}) {
    EXPECT_EQ(view_.Lists(page).name, -1);  // no port, but the rate is still chosen
    EXPECT_EQ(view_.Lists(page).rate, 4);
  }
  view_.checked = DeviceType::kWifi;
  controller_->OnUpdate();  // empty path
  view_.path = "fw.bin";
  view_.checked = DeviceType::kNone;
  controller_->OnUpdate();  // no device type
  controller_->OnRead();
  view_.checked = DeviceType::kBt;
  controller_->OnUpdate();  // empty name list
  view_.PumpPending();
  EXPECT_EQ(view_.progressResets, 0);
  EXPECT_TRUE(view_.output.empty());
  EXPECT_TRUE(view_.enableLog.empty());
}

TEST_F(ControllerTest, OverLongFieldIsRefusedWithAMessageAndStartsNothing) {
  Start();
  view_.checked = DeviceType::kWifi;
  view_.address = std::string(256, '1');
  controller_->OnRead();
  view_.PumpPending();
  EXPECT_EQ(view_.output, "**Failed** IP address is too long (at most 255 characters)!\n");
  EXPECT_EQ(view_.progressResets, 0);
  EXPECT_TRUE(view_.enableLog.empty());
  EXPECT_FALSE(controller_->IsRunning());
}

TEST_F(ControllerTest, FailedOpenDisablesEveryControlThenEnablesItAndShowsTheEngineMessage) {
  Start({"/dev/no-such-zorbent-port"});
  view_.checked = DeviceType::kBt;
  controller_->OnRead();
  WaitIdle();
  ASSERT_EQ(view_.enableLog.size(), 30u);
  for (std::size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(view_.enableLog[i], std::make_pair(kCommandControls[i], false));
    EXPECT_EQ(view_.enableLog[i + 15], std::make_pair(kCommandControls[i], true));
  }
  view_.PumpPending();
  EXPECT_THAT(view_.output, StartsWith("Connecting to /dev/no-such-zorbent-port:115200 ...\n"
                                       "**Failed** Port connection error!\n"
                                       "/dev/no-such-zorbent-port: no such device. "));
  EXPECT_EQ(view_.progressResets, 1);
  EXPECT_EQ(view_.outcomes, std::vector<bool>{false});

  // Empty WiFi fields make "tcp|:", which the engine refuses itself.
  view_.output.clear();
  view_.checked = DeviceType::kWifi;
  view_.address.clear();
  view_.port.clear();
  controller_->OnRead();
  WaitIdle();
  EXPECT_THAT(view_.output, StartsWith("Connecting to : ...\n**Failed** "));
}

TEST_F(ControllerTest, ClearReportsWhileHiddenAndTheProgressRange) {
  Start();
  controller_->WriteOutput("abc\r", true);
  controller_->OnClear();
  EXPECT_EQ(view_.output, "");
  controller_->WriteOutput("\nxyz\r\n", true);
  EXPECT_EQ(view_.output, "\nxyz\n");  // the held "\r" went with the cleared text

  view_.shown = false;
  engine_.ReportText("lost\r\n");
  engine_.ReportProgress(50);
  view_.PumpPending();
  EXPECT_EQ(view_.output, "\nxyz\n");
  EXPECT_TRUE(view_.progressLog.empty());
  view_.shown = true;
  for (const int percent : {250, -3, 100, 0}) engine_.ReportProgress(percent);
  view_.PumpPending();
  EXPECT_EQ(view_.progressLog, (std::vector<int>{100, 0, 100, 0}));  // never outside 0..100
}

TEST_F(ControllerTest, ClosingWhileIdleRaisesTheStopRequestAndEndsTheDialog) {
  Start();
  ASSERT_FALSE(StopRequested());
  EXPECT_TRUE(controller_->OnClose());
  EXPECT_TRUE(StopRequested());
  EXPECT_TRUE(view_.ended);
  EXPECT_EQ(view_.confirmations, 0);
  EXPECT_FALSE(view_.processEnded);
}

#if !defined(_WIN32)
TEST_F(ControllerTest, ReadAndUpdateRunOnTheWorkerAndReportInOrder) {
  test::RunningAdapter adapter(test::AdapterModel(1));
  Start();
  Pick(adapter.Device());
  view_.path.clear();  // Read does not need a path
  controller_->OnRead();
  EXPECT_TRUE(controller_->IsRunning());
  ExpectAllEnabled(false);
  WaitIdle();
  const std::string connecting = "Connecting to " + adapter.Device() + ":115200 ...\n";
  const std::string read = connecting +
                           "Port is opened!\ndevice version:KTR5575 V2.2\n"
                           "Adapter version:zOrbent MC v2.2.2X\n";
  EXPECT_EQ(view_.output, read);
  ExpectAllEnabled(true);
  EXPECT_EQ(view_.outcomes, std::vector<bool>{true});

  // A second command disposes of the first worker; the output accumulates.
  Pick(adapter.Device(), SerialPageId::kBt);
  view_.path = TempFile(std::string(200, 'Z'));
  controller_->OnUpdate();
  WaitIdle();
  EXPECT_EQ(view_.output,
            read + connecting + "Port is opened!\n**Failed** update file format error!\n");
  EXPECT_EQ(view_.progressLog, (std::vector<int>{1, 2}));
  EXPECT_EQ(view_.outcomes, (std::vector<bool>{true, false}));
  EXPECT_EQ(view_.dismissals, 2);
}

// A WiFi adapter that never answers: the connection is opened off the window's thread, the
// window says what it is doing, and clicks made meanwhile start nothing.
TEST_F(ControllerTest, WindowStaysResponsiveWhileTheConnectionHangs) {
  test::TcpPeer peer(0);
  peer.FillBacklog();
  Start();
  view_.checked = DeviceType::kWifi;
  view_.address = "127.0.0.1";
  view_.port = std::to_string(peer.Port());
  const std::string connecting = "Connecting to 127.0.0.1:" + view_.port + " ...\n";
  controller_->OnRead();  // returns while the connect still waits
  EXPECT_TRUE(controller_->IsRunning());
  EXPECT_FALSE(view_.Enabled(Control::kRead));
  view_.path = TempFile(std::string(200, 'Z'));
  controller_->OnUpdate();
  controller_->OnRead();
  view_.PumpPending();
  EXPECT_EQ(view_.output, connecting);

  peer.StopListening();  // the connect now fails, as refused or timed out
  WaitIdle();
  EXPECT_THAT(view_.output, StartsWith(connecting + "**Failed** Port connection error!\n" +
                                       "127.0.0.1:" + view_.port));
  EXPECT_EQ(view_.output.find("Connecting to ", 1), std::string::npos);  // no queued command
  EXPECT_TRUE(view_.Enabled(Control::kRead));
}

TEST_F(ControllerTest, ClosingDuringACommandAsksAndEndsTheProcessOnlyWhenConfirmed) {
  test::PtyPair pty;
  // A peer that answers late keeps the command running while the window is closed.
  pty.StartResponder(
      [](const std::string& command) {
        return std::vector<std::string>{"", "", "", command + "V1\r>"};
      },
      300);
  Start();
  Pick(pty.SlavePath());
  controller_->OnRead();
  ASSERT_TRUE(controller_->IsRunning());
  view_.confirmClose = false;
  EXPECT_FALSE(controller_->OnClose());
  EXPECT_FALSE(view_.processEnded);
  EXPECT_FALSE(view_.ended);
  view_.confirmClose = true;
  EXPECT_TRUE(controller_->OnClose());
  EXPECT_TRUE(view_.processEnded);
  EXPECT_FALSE(view_.ended);
  EXPECT_FALSE(StopRequested());  // the transfer is never told to stop
  EXPECT_EQ(view_.confirmations, 2);
  WaitIdle();
  EXPECT_EQ(view_.dismissals, 1);  // a question still open goes when the command ends
}

#endif

struct RefreshCase {
  const char* name;
  std::vector<std::string> before;
  int selected;
  std::vector<std::string> after;
  int expected;
};

class RefreshTest : public ControllerTest, public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(RefreshTest, SelectionFollowsThePosition) {
  const RefreshCase& c = GetParam();
  Start(c.before);
  view_.SelectName(SerialPageId::kBt, c.selected);
  const auto usb = view_.usb;
  view_.SelectRate(SerialPageId::kBt, 7);
  ports_ = c.after;
  controller_->OnRefresh(SerialPageId::kBt);
  EXPECT_EQ(view_.bt.names, c.after);
  EXPECT_EQ(view_.bt.name, c.expected);
  EXPECT_EQ(view_.bt.rate, 7);  // the rate keeps its selection
  EXPECT_EQ(view_.usb.names, usb.names);
  EXPECT_EQ(view_.usb.name, usb.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefreshTest,
    ::testing::Values(
        RefreshCase{"SameList", {"ttyUSB0", "ttyUSB1"}, 1, {"ttyUSB0", "ttyUSB1"}, 1},
        RefreshCase{"SecondSelectedFirstVanished", {"ttyUSB0", "ttyUSB1"}, 1, {"ttyUSB1"}, 0},
        RefreshCase{"PortAppearedBefore", {"ttyUSB1"}, 0, {"ttyUSB0", "ttyUSB1"}, 0},
        RefreshCase{"NoneSelectedPicksFirst", {"ttyUSB0"}, -1, {"ttyUSB0", "ttyACM0"}, 0},
        RefreshCase{"AllVanished", {"ttyUSB0"}, 0, {}, -1},
        RefreshCase{"FromEmpty", {}, -1, {"rfcomm0"}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConfigCase {
  const char* name;
  bool serial;
  std::string first;
  std::string second;
  std::string text;  // the string, or the start of the refusal
};

class ConfigStringTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigStringTest, BuildsOrRefuses) {
  const ConfigCase& c = GetParam();
  const ConfigResult r =
      c.serial ? SerialConfigString(c.first, c.second) : TcpConfigString(c.first, c.second);
  if (c.text.find('|') != std::string::npos) {
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, c.text);
  } else {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "**Failed** " + c.text + " is too long (at most 255 characters)!\r\n");
  }
}

const std::string k249(249, 'a');
INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigStringTest,
    ::testing::Values(ConfigCase{"Serial", true, "/dev/pts/3", "9600", "com|/dev/pts/3:9600"},
                      ConfigCase{"Tcp", false, "192.168.0.10", "35000", "tcp|192.168.0.10:35000"},
                      ConfigCase{"TcpEmpty", false, "", "", "tcp|:"},
                      ConfigCase{"LongestString", true, k249, "1", "com|" + k249 + ":1"},
                      ConfigCase{"StringOneOver", true, k249, "12", "Port configuration"},
                      ConfigCase{"NameOver", true, std::string(256, 'n'), "1", "Port name"},
                      ConfigCase{"RateOver", true, "n", std::string(256, '1'), "Baudrate"},
                      ConfigCase{"AddressOver", false, std::string(256, '1'), "1", "IP address"},
                      ConfigCase{"PortOver", false, "1", std::string(256, '9'), "IP port"},
                      ConfigCase{"FieldsAtLimitStringOver", false, std::string(255, '1'), "2",
                                 "Port configuration"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorbent::ui
