// A serial port that has seen its line keep to the bit rate may leave expected bytes unlooked
// at for a while. Whatever the line then does (late, silent, gone), every byte still arrives
// and every failure is still a failure.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "port/serial_port.h"
#include "tests/support/port_text.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int kRate = 115200;       // the rate test::SerialConfig sets
constexpr std::size_t kChunk = 16;  // bytes the peer writes at once
constexpr microseconds kChunkTime{kChunk * 10 * 1000000 / kRate + 50};  // a little slower

// A direct-mode port on the pty that has read a stretch of paced chunks, so that it now
// trusts the line to keep to its rate.
class PacedLine : public ::testing::Test {
 protected:
  void SetUp() override {
    bool opened = false;
    port_ = std::make_unique<SerialPort>(test::SerialConfig(pty_.SlavePath()), opened);
    ASSERT_TRUE(opened);
    std::thread peer([this] {
      for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(kChunkTime);
        pty_.Write(std::string(kChunk, static_cast<char>('a' + i % 26)));
      }
    });
    std::array<std::uint8_t, kChunk> chunk{};
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(port_->Read(chunk, 2000)) << i;
      ASSERT_EQ(chunk[0], 'a' + i % 26);
    }
    peer.join();
  }

  bool ReadOne(std::uint8_t& byte, int timeoutMs) {
    return port_->Read(std::span(&byte, 1), timeoutMs);
  }

  test::PtyPair pty_;
  std::unique_ptr<SerialPort> port_;
};

// The line falls silent for longer than the bytes expected could take, then answers: the
// read takes the answer (nothing there when the port first looks is no failure).
TEST_F(PacedLine, ALateAnswerAfterTheExpectedTimeIsStillRead) {
  for (const int delayMs : {1, 30, 120}) {
    port_->ExpectBytes(200);  // about 17 ms at this rate
    std::thread peer([&] {
      std::this_thread::sleep_for(milliseconds(delayMs));
      pty_.Write("OK\r>");
    });
    std::array<std::uint8_t, 4> answer{};
    EXPECT_TRUE(port_->Read(answer, 2000)) << delayMs;
    peer.join();
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "OK\r>") << delayMs;
  }
}

// Expected bytes that never come fail the read at its time-out; a line that is gone fails it
// too, hold or not.
TEST_F(PacedLine, SilenceAndHangUpStillFailTheRead) {
  std::uint8_t byte = 0;
  port_->ExpectBytes(10000);  // longer than the time-out allows
  EXPECT_FALSE(ReadOne(byte, 100));
  pty_.Write("x");
  port_->ExpectBytes(200);
  EXPECT_TRUE(ReadOne(byte, 2000));
  EXPECT_EQ(byte, 'x');

  port_->ExpectBytes(200);
  std::thread peer([&] {
    std::this_thread::sleep_for(milliseconds(5));
    pty_.HangUp();
  });
  EXPECT_FALSE(ReadOne(byte, 5000));
  peer.join();
}

// A burst the rate cannot explain (a pseudo-terminal, a bridge to a network) ends the trust:
// reads go on returning every byte in order.
TEST_F(PacedLine, ABurstFasterThanTheRateIsReadWhole) {
  std::string burst;
  for (int i = 0; i < 600; ++i) burst.push_back(static_cast<char>('0' + i % 10));
  for (int round = 0; round < 3; ++round) {
    port_->ExpectBytes(burst.size() + 1);
    pty_.Write(burst);
    std::string got(burst.size(), '\0');
    ASSERT_TRUE(
        port_->Read(std::span(reinterpret_cast<std::uint8_t*>(got.data()), got.size()), 2000));
    EXPECT_EQ(got, burst);
  }
}

}  // namespace
}  // namespace zorbent
