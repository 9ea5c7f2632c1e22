// Contention and devices: a device another program holds, a device that vanishes during a
// transfer, and many open/close cycles of every port kind, which must leave nothing behind.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "port/serial_port.h"
#include "port/tcp_port.h"
#include "tests/flows/flow_harness.h"
#include "tests/support/tcp_peer.h"

namespace zorbent::testing {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCycles = 2000;
#else
constexpr int kCycles = 10000;
#endif

struct Started {
  explicit Started(sim::SimulatorOptions options) : simulator(std::move(options)) {
    std::string error;
    started = simulator.Start(&error);
    EXPECT_TRUE(started) << error;
  }
  sim::AdapterSimulator simulator;
  bool started = false;
};

TEST(Contention, SecondOpenOfADeviceInUseSaysSo) {
  Started adapter(AdapterOf(2));
  ASSERT_TRUE(adapter.started);
  UpdateEngine holder;
  JobRun held;
  holder.Init(&held, &Record);
  const std::int32_t channel = holder.OpenPort(adapter.simulator.ConfigString(), "");
  ASSERT_GE(channel, 0) << held.text;

  UpdateEngine second;
  JobRun refused;
  second.Init(&refused, &Record);
  EXPECT_LT(second.OpenPort(adapter.simulator.ConfigString(), ""), 0);
  EXPECT_TRUE(refused.Said("**Failed** Port connection error!\r\n")) << refused.text;
  EXPECT_TRUE(refused.Said("is in use by another program")) << refused.text;
  EXPECT_FALSE(refused.Said("Port is opened!")) << refused.text;

  // The holder is undisturbed, and once it lets go the device opens again.
  EXPECT_EQ(holder.ReadVersions(channel), 0) << held.text;
  holder.ClosePort(channel);
  const JobRun after = RunRead(adapter.simulator.ConfigString());
  EXPECT_EQ(after.result, 0) << after.text;
}

// The device hangs up in the middle of the transfer (a USB adapter pulled out). The job must
// notice at once, not wait out every time-out and repeat it would spend on a silent adapter.
class Vanishing : public ::testing::TestWithParam<int> {};

TEST_P(Vanishing, DeviceFailsTheUpdatePromptlyWithAMessage) {
  const int model = GetParam();
  sim::SimulatorOptions options = AdapterOf(model);
  options.faults.disconnectAtRecord = 6;
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(ImageFor(model, 16).text);

  const auto start = Clock::now();
  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  const auto took = Clock::now() - start;
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Failed()) << run.text;
  EXPECT_FALSE(run.Finished()) << run.text;
  EXPECT_EQ(adapter.simulator.Flashes(), 0);
  // Waiting out one record's three sends alone would take 6 s (line) or 15 s (block); a
  // job that noticed the hang-up ends long before that, however slow the machine.
  EXPECT_LT(took, std::chrono::seconds(IsBlockModel(model) ? 15 : 6)) << run.text;
}

INSTANTIATE_TEST_SUITE_P(Models, Vanishing, ::testing::Values(2, 5));

// Many open/close cycles of each kind of port leave no descriptor and no thread behind.
class Cycles : public ::testing::TestWithParam<const char*> {};

TEST_P(Cycles, LeaveNoDescriptorOrThreadBehind) {
  const std::string kind = GetParam();
  Started adapter(AdapterOf(2));
  ASSERT_TRUE(adapter.started);
  // A bare listener for TCP: the simulated adapter takes one host at a time, too slowly
  // for thousands of connections in a row.
  test::TcpPeer peer(64);
  const std::string connection =
      kind == "tcp" ? peer.ConfigString() : adapter.simulator.ConfigString();
  // "com|/dev/pts/N:115200": the device path for a queued-mode port built here directly.
  const std::string device = connection.substr(4, connection.rfind(':') - 4);

  UpdateEngine engine;
  engine.Init(nullptr, nullptr);
  // One cycle first, so lazily made process-wide things are there before counting.
  const std::int32_t warm = engine.OpenPort(connection, "");
  ASSERT_GE(warm, 0);
  engine.ClosePort(warm);
  if (kind == "tcp") {
    ASSERT_TRUE(peer.Accept());
    peer.HangUp();
  }
  const int fdsBefore = test::OpenDescriptorCount();
  const int threadsBefore = test::ThreadCount();

  const std::uint8_t ati[] = {'A', 'T', 'I', '\r'};
  for (int i = 0; i < kCycles; ++i) {
    const bool exchange = i % 500 == 0;  // now and then a working connection, not only opens
    if (kind == "queued") {
      PortConfig config;
      config.Set("mode", "queued");
      config.Set("name", device);
      config.Set("baud", "115200");
      bool opened = false;
      SerialPort port(config, opened);
      ASSERT_TRUE(opened) << "cycle " << i;
      if (exchange) {
        ASSERT_TRUE(port.Write(ati, 2000)) << "cycle " << i;
        std::array<std::uint8_t, 4> echo{};
        ASSERT_TRUE(port.Read(echo, 2000)) << "cycle " << i;
      }
      continue;
    }
    const std::int32_t channel = engine.OpenPort(connection, "");
    ASSERT_EQ(channel, 0) << "cycle " << i;
    if (kind == "tcp") {
      ASSERT_TRUE(peer.Accept()) << "cycle " << i;
      if (exchange) {
        ASSERT_TRUE(engine.ChannelPort(channel)->Write(ati, 2000)) << "cycle " << i;
        ASSERT_EQ(peer.ReadCount(4, 2000), "ATI\r") << "cycle " << i;
      }
      peer.HangUp();  // the peer leaves first: the pump ends by itself, or at the close
    } else if (exchange) {
      ASSERT_EQ(engine.ReadVersions(channel), 0) << "cycle " << i;
    }
    engine.ClosePort(channel);
  }
  EXPECT_EQ(test::OpenDescriptorCount(), fdsBefore);
  EXPECT_EQ(test::ThreadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Cycles, ::testing::Values("direct", "queued", "tcp"));

}  // namespace
}  // namespace zorbent::testing
