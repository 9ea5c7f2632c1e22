#include "ui/main_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include "tests/support/pty_pair.h"
#include "tests/support/tcp_peer.h"
#endif
#include "tests/ui/fake_view.h"

namespace zorbent::ui {
namespace {

namespace fs = std::filesystem;
using Chunks = std::vector<std::string>;

#if !defined(_WIN32)
// Answers the two version queries the way an adapter with echo on does.
Chunks VersionPeer(const std::string& command) {
  if (command == "QKVERS\r") return {command + "V2.3.1\r\r>"};
  if (command == "QKI\r") return {command + "zOrbent MC v2.2.5\r\r>"};
  return {command + "OK\r\r>"};
}

// A Read's output; an engine built without adapter identification reports its failure.
const std::vector<std::string> kReadOutputs = {
    "Port is opened!\ndevice version:V2.3.1\nAdapter version:zOrbent MC v2.2.5\n",
    "Port is opened!\n**Failed** The device did not report its version!\n"};
#endif

class ControllerTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> ports = {"ttyUSB0", "ttyUSB1"}) {
    ports_ = std::move(ports);
    controller_ =
        std::make_unique<MainController>(view_, engine_, [this] { return PlainChoices(ports_); });
    controller_->Initialise();
  }
  bool Idle() const { return !controller_->IsRunning(); }
  // The output without the "Connecting to ..." lines each command starts with.
  std::string Said() const {
    std::string text = view_.output;
    for (auto at = text.find("Connecting to "); at != std::string::npos;
         at = text.find("Connecting to ", at))
      text.erase(at, text.find('\n', at) + 1 - at);
    return text;
  }
  void WaitIdle() {
    ASSERT_TRUE(view_.PumpUntil([this] { return Idle(); }));
  }
  std::string TempFile(const std::string& content) {
    const fs::path p = fs::temp_directory_path() / ("zorbent-ui-" + std::to_string(::getpid()) +
                                                    "-" + std::to_string(files_.size()));
    std::ofstream(p, std::ios::binary) << content;
    files_.push_back(p);
    return p.string();
  }
  void TearDown() override {
    controller_.reset();
    for (const auto& p : files_) fs::remove(p);
  }
#if !defined(_WIN32)
  void SelectPty(test::PtyPair& pty, SerialPageId page = SerialPageId::kUsb) {
    ports_.push_back(pty.SlavePath());
    controller_->OnRefresh(page);
    view_.SelectName(page, static_cast<int>(ports_.size()) - 1);
    view_.checked = page == SerialPageId::kBt ? DeviceType::kBt : DeviceType::kUsb;
  }
#endif

  fake::FakeView view_;
  UpdateEngine engine_;
  std::vector<std::string> ports_;
  std::unique_ptr<MainController> controller_;
  std::vector<fs::path> files_;
};

TEST_F(ControllerTest, StartUpFillsBothSerialPagesAndTheWifiPageAndShowsNoPage) {
  Start();
  for (const auto page : {SerialPageId::kBt, SerialPageId::kUsb}) {
    EXPECT_EQ(view_.Lists(page).names, (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(view_.Lists(page).name, 0);
    ASSERT_EQ(view_.Lists(page).rates.size(), 13u);
    EXPECT_EQ(view_.Lists(page).rates.front(), "9600");
    EXPECT_EQ(view_.Lists(page).rates.back(), "8000000");
    EXPECT_EQ(view_.RateAt(page, view_.Lists(page).rate), "115200");
  }
  EXPECT_EQ(view_.address, "192.168.0.10");
  EXPECT_EQ(view_.port, "35000");
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

TEST_F(ControllerTest, NoSerialPortsLeavesNamesEmptyButRatesSelected) {
  Start({});
  for (const auto page : {SerialPageId::kBt, SerialPageId::kUsb}) {
    EXPECT_TRUE(view_.Lists(page).names.empty());
    EXPECT_EQ(view_.Lists(page).name, -1);
    EXPECT_EQ(view_.Lists(page).rate, 4);
  }
}

// Clicks that must do nothing at all: no message, no progress reset, no state change.
TEST_F(ControllerTest, ClicksWithoutEnoughInputDoNothing) {
  Start({});
  view_.path.clear();
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

TEST_F(ControllerTest, OverLongFieldIsRefusedWithAMessage) {
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

TEST_F(ControllerTest, FailedOpenReturnsToIdleWithTheEngineMessageOnly) {
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
  EXPECT_EQ(view_.output.rfind("Connecting to /dev/no-such-zorbent-port:115200 ...\n"
                               "**Failed** Port connection error!\n"
                               "/dev/no-such-zorbent-port: no such device. ",
                               0),
            0u)
      << view_.output;
  EXPECT_EQ(view_.progressResets, 1);
}

TEST_F(ControllerTest, EmptyWifiFieldsAreFormattedAsTheyAre) {
  Start();
  view_.checked = DeviceType::kWifi;
  view_.address.clear();
  view_.port.clear();
  controller_->OnRead();
  WaitIdle();
  // "tcp|:" reaches the engine, which refuses it itself.
  EXPECT_EQ(Said().rfind("**Failed** ", 0), 0u) << view_.output;
}

#if !defined(_WIN32)  // a pseudo-terminal peer; the Windows window test runs over TCP
TEST_F(ControllerTest, ReadRunsOnTheWorkerAndReportsArriveInOrder) {
  test::PtyPair pty;
  pty.StartResponder(VersionPeer);
  Start();
  SelectPty(pty);
  view_.path.clear();  // Read does not need a path
  controller_->OnRead();
  EXPECT_TRUE(controller_->IsRunning());
  EXPECT_FALSE(view_.Enabled(Control::kUpdate));
  EXPECT_FALSE(view_.Enabled(Control::kWifiPort));
  WaitIdle();
  EXPECT_EQ(view_.output.rfind("Connecting to " + pty.SlavePath() + ":115200 ...\n", 0), 0u);
  EXPECT_THAT(Said(), ::testing::AnyOfArray(kReadOutputs));
  for (const Control c : kCommandControls) EXPECT_TRUE(view_.Enabled(c));

  // A second Read disposes of the first worker and runs again; output accumulates.
  controller_->OnRead();
  WaitIdle();
  EXPECT_EQ(Said().find("Port is opened!"), 0u);
  EXPECT_NE(Said().rfind("Port is opened!"), 0u);
}
#endif

#if !defined(_WIN32)  // a pseudo-terminal peer; the Windows window test runs over TCP
TEST_F(ControllerTest, UpdateWithABadFileReportsTheFormatError) {
  test::PtyPair pty;
  pty.StartResponder(VersionPeer);
  Start();
  SelectPty(pty, SerialPageId::kBt);
  view_.path = TempFile(std::string(200, 'Z'));
  controller_->OnUpdate();
  WaitIdle();
  EXPECT_EQ(Said(), "Port is opened!\n**Failed** update file format error!\n");
  EXPECT_EQ(view_.progressLog, (std::vector<int>{1, 2}));
  EXPECT_EQ(view_.progress, 2);
}
#endif

#if !defined(_WIN32)
// A WiFi adapter that never answers: the connection is opened off the window's thread, the
// window says what it is doing, and clicks made meanwhile start nothing.
TEST_F(ControllerTest, WindowStaysResponsiveWhileTheConnectionHangs) {
  test::TcpPeer peer(0);
  peer.FillBacklog();
  Start();
  view_.checked = DeviceType::kWifi;
  view_.address = "127.0.0.1";
  view_.port = std::to_string(peer.Port());
  controller_->OnRead();  // returns while the connect still waits
  EXPECT_TRUE(controller_->IsRunning());
  EXPECT_FALSE(view_.Enabled(Control::kRead));
  EXPECT_EQ(view_.output, "Connecting to 127.0.0.1:" + view_.port + " ...\n");
  view_.path = TempFile(std::string(200, 'Z'));
  controller_->OnUpdate();
  controller_->OnRead();
  view_.PumpPending();
  EXPECT_EQ(view_.output, "Connecting to 127.0.0.1:" + view_.port + " ...\n");

  peer.StopListening();  // the connect now fails, as refused or timed out
  WaitIdle();
  EXPECT_THAT(view_.output, ::testing::StartsWith("Connecting to 127.0.0.1:" + view_.port +
                                                  " ...\n**Failed** Port connection error!\n" +
                                                  "127.0.0.1:" + view_.port));
  EXPECT_EQ(view_.output.find("Connecting to ", 1), std::string::npos);  // no queued command
  EXPECT_TRUE(view_.Enabled(Control::kRead));
}
#endif

TEST_F(ControllerTest, ClearEmptiesTheBoxAndLaterTextAppends) {
  Start();
  controller_->WriteOutput("abc\r", true);
  controller_->OnClear();
  EXPECT_EQ(view_.output, "");
  controller_->WriteOutput("\nxyz\r\n", true);
  EXPECT_EQ(view_.output, "\nxyz\n");  // the held "\r" went with the cleared text
}

TEST_F(ControllerTest, ReportsWhileHiddenAreDropped) {
  Start();
  view_.shown = false;
  engine_.ReportText("lost\r\n");
  engine_.ReportProgress(50);
  view_.PumpPending();
  EXPECT_TRUE(view_.output.empty());
  EXPECT_TRUE(view_.progressLog.empty());
  view_.shown = true;
  engine_.ReportProgress(250);  // out of range: the bar never leaves 0..100
  view_.PumpPending();
  EXPECT_EQ(view_.progress, 100);
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

#if !defined(_WIN32)  // a pseudo-terminal peer; the Windows window test runs over TCP
TEST_F(ControllerTest, ClosingDuringACommandAsksAndEndsTheProcessOnlyWhenConfirmed) {
  test::PtyPair pty;
  // A peer that answers late keeps the command running while the window is closed.
  pty.StartResponder(
      [](const std::string& command) {
        return Chunks{"", "", "", command + "V1\r>"};
      },
      300);
  Start();
  SelectPty(pty);
  controller_->OnRead();
  ASSERT_TRUE(controller_->IsRunning());
  view_.confirmClose = false;
  EXPECT_FALSE(controller_->OnClose());
  EXPECT_FALSE(view_.processEnded);
  EXPECT_FALSE(view_.ended);
  view_.confirmClose = true;
  EXPECT_TRUE(controller_->OnClose());
  EXPECT_TRUE(view_.processEnded);
  EXPECT_FALSE(StopRequested());  // the transfer is never told to stop
  EXPECT_EQ(view_.confirmations, 2);
  WaitIdle();
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
  const auto usbBefore = view_.usb.names;
  const int usbSelected = view_.usb.name;
  view_.SelectRate(SerialPageId::kBt, 7);
  ports_ = c.after;
  controller_->OnRefresh(SerialPageId::kBt);
  EXPECT_EQ(view_.bt.names, c.after);
  EXPECT_EQ(view_.bt.name, c.expected);
  EXPECT_EQ(view_.bt.rate, 7);  // the rate keeps its selection
  EXPECT_EQ(view_.usb.names, usbBefore);
  EXPECT_EQ(view_.usb.name, usbSelected);
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
  bool ok;
  std::string text;
};

class ConfigStringTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigStringTest, BuildsOrRefuses) {
  const ConfigCase& c = GetParam();
  const ConfigResult r =
      c.serial ? SerialConfigString(c.first, c.second) : TcpConfigString(c.first, c.second);
  EXPECT_EQ(r.ok, c.ok);
  if (c.ok) {
    EXPECT_EQ(r.text, c.text);
  } else {
    EXPECT_EQ(r.text.rfind("**Failed** " + c.text, 0), 0u) << r.text;
    EXPECT_TRUE(r.text.ends_with("!\r\n"));
  }
}

const std::string k249(249, 'a');
INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigStringTest,
    ::testing::Values(
        ConfigCase{"Serial", true, "ttyUSB0", "115200", true, "com|ttyUSB0:115200"},
        ConfigCase{"SerialPath", true, "/dev/pts/3", "9600", true, "com|/dev/pts/3:9600"},
        ConfigCase{"Tcp", false, "192.168.0.10", "35000", true, "tcp|192.168.0.10:35000"},
        ConfigCase{"TcpEmpty", false, "", "", true, "tcp|:"},
        ConfigCase{"LongestString", true, k249, "1", true, "com|" + k249 + ":1"},
        ConfigCase{"StringOneOver", true, k249, "12", false, "Port configuration"},
        ConfigCase{"NameOver", true, std::string(256, 'n'), "1", false, "Port name"},
        ConfigCase{"AddressOver", false, std::string(256, '1'), "1", false, "IP address"},
        ConfigCase{"PortOver", false, "1", std::string(256, '9'), false, "IP port"},
        ConfigCase{"FieldsAtLimitStringOver", false, std::string(255, '1'), "2", false,
                   "Port configuration"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorbent::ui
