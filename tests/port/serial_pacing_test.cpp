// A port that trusts its line to keep to the bit rate may wait before looking for expected
// bytes; whatever the line then does, every byte still arrives and every failure fails.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "port/serial_port.h"
#include "tests/support/port_text.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

using std::chrono::milliseconds;
using test::ReadText;

constexpr std::size_t kChunk = 16;  // bytes the peer writes at once, a little slower than 115200
constexpr std::chrono::microseconds kChunkTime{kChunk * 10 * 1000000 / 115200 + 50};

// A direct port that has read a stretch of paced chunks, so that it trusts the line's rate.
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

  test::PtyPair pty_;
  std::unique_ptr<SerialPort> port_;
};

// An answer later than the expected bytes could take is still read.
TEST_F(PacedLine, ALateAnswerAfterTheExpectedTimeIsStillRead) {
  for (const int delayMs : {1, 30, 120}) {
    port_->ExpectBytes(200);  // about 17 ms at this rate
    std::thread peer([&] {
      std::this_thread::sleep_for(milliseconds(delayMs));
      pty_.Write("OK\r>");
    });
    EXPECT_EQ(ReadText(*port_, 4, 2000), "OK\r>") << delayMs;
    peer.join();
  }
}

// Expected bytes that never come, and a line that is gone, fail the read.
TEST_F(PacedLine, SilenceAndHangUpStillFailTheRead) {
  port_->ExpectBytes(10000);  // longer than the time-out allows
  EXPECT_EQ(ReadText(*port_, 1, 100), "");
  pty_.Write("x");
  port_->ExpectBytes(200);
  EXPECT_EQ(ReadText(*port_, 1, 2000), "x");

  port_->ExpectBytes(200);
  std::thread peer([&] {
    std::this_thread::sleep_for(milliseconds(5));
    pty_.HangUp();
  });
  EXPECT_EQ(ReadText(*port_, 1, 5000), "");
  peer.join();
}

// A burst faster than the rate (a pty, a network bridge) is read whole, in order, and ends the
// trust in the line's rate.
TEST_F(PacedLine, ABurstFasterThanTheRateIsReadWholeAndEndsTheTrust) {
  EXPECT_TRUE(port_->TrustsPacing());
  std::string burst;
  for (int i = 0; i < 600; ++i) burst.push_back(static_cast<char>('0' + i % 10));
  for (int round = 0; round < 3; ++round) {
    port_->ExpectBytes(burst.size() + 1);
    pty_.Write(burst);
    EXPECT_EQ(ReadText(*port_, burst.size(), 2000), burst);
    // Straight after a look, with no wait for it: more than the wire can have carried since.
    pty_.Write(burst);
    EXPECT_EQ(ReadText(*port_, burst.size(), 2000), burst);
  }
  EXPECT_FALSE(port_->TrustsPacing());
}

}  // namespace
}  // namespace zorbent
