#include "port/traffic_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "port/serial_port.h"
#include "tests/support/port_text.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

class TrafficLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    SetLogDirectory((dir_ / "DorezavarIrivirlog").string());
  }
  void TearDown() override {
    SetLogLevel(0);
    SetLogDirectory("DorezavarIrivirlog");
    fs::remove_all(dir_);
  }
  // Opens the device, writes 3E 0D 0A, reads 00 FF and an empty read, closes.
  bool Session(const std::string& device) {
    bool opened = false;
    SerialPort port(test::SerialConfig(device), opened);
    if (!opened) return false;
    EXPECT_TRUE(port.Write(test::Bytes(">\r\n"), 1000));
    pty_.Write(std::string("\x00\xFF", 2));
    EXPECT_EQ(test::ReadText(port, 2, 2000), std::string("\x00\xFF", 2));
    EXPECT_TRUE(port.Read({}, 0));
    return true;
  }
  test::PtyPair pty_;
  const fs::path dir_ = fs::temp_directory_path() / ("zorbent-log-" + std::to_string(::getpid()));
};

// Level 0 writes nothing; level 3 logs the session's open, every byte and its close, and a
// failed open adds no line.
TEST_F(TrafficLogTest, SessionWritesOpenCloseAndEveryByteFromLevelThree) {
  ASSERT_TRUE(Session(pty_.SlavePath()));
  EXPECT_FALSE(fs::exists(dir_ / "DorezavarIrivirlog"));
  SetLogLevel(3);
  ASSERT_TRUE(Session(pty_.SlavePath()));
  EXPECT_FALSE(Session("/dev/no-such-zorbent-device"));
  const std::string stamp = R"(\[time:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\])";
  const std::string name = pty_.SlavePath() + ":115200";
  const std::string port = "ComPort:\\[len:" + std::to_string(name.size()) + "\\]" + name;
  const std::string expected = stamp + port + " Is Opened!\n" + stamp +
                               "  Data\\[out\\]:\\[len:3\\]3E0D0A\n" + stamp +
                               "  Data\\[in\\]:\\[len:2\\]00FF\n" + stamp +
                               "  Data\\[in\\]:\\[len:0\\]\n" + stamp + port + " Is Closed!\n";
  std::ifstream in(TrafficLog::PathForToday());  // known only with logging on
  std::string log;
  for (std::string line; std::getline(in, line);)
    if (line.find("Low latency") == std::string::npos) log += line + "\n";
  EXPECT_TRUE(std::regex_match(log, std::regex(expected))) << log;
}

}  // namespace
}  // namespace zorbent
