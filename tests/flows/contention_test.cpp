// Contention and devices: a device another program holds, a device that vanishes during a
// transfer, and many open/close cycles of every port kind, which must leave nothing behind.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "platform/serial_ports.h"
#include "port/serial_port.h"
#include "port/tcp_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/sim_job.h"
#include "tests/support/tcp_peer.h"

namespace zorbent::testing {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCycles = 2000;
#else
constexpr int kCycles = 10000;
#endif

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

// Each reason why a connection did not open, as the system call meets it, gets one line after
// the connection error naming the device or address, the reason and what to do.
std::string FailureLine(const std::string& connection) {
  const JobRun run = RunRead(connection);
  EXPECT_LT(run.result, 0);
  const std::string error = "**Failed** Port connection error!\r\n";
  const auto at = run.text.find(error);
  if (at == std::string::npos) return "(no connection error) " + run.text;
  return run.text.substr(at + error.size());
}

// The failure line as an unprivileged user ('nobody') sees it, from a forked child.
std::string FailureLineAsNobody(const std::string& connection) {
  constexpr uid_t kNobody = 65534;
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(2);
    const std::string line = FailureLine(connection);
    [[maybe_unused]] const ssize_t n = ::write(out[1], line.data(), line.size());
    _exit(0);
  }
  ::close(out[1]);
  std::string line;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) line.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return line;
}

TEST(ConnectionFailure, PermissionDeniedNamesTheGroupAndHowToJoinIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  test::PtyPair pty;
  const std::string device = pty.SlavePath();
  ASSERT_EQ(::chown(device.c_str(), 0, 20), 0);  // root:dialout, as udev leaves a USB bridge
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  const std::string group = DeviceGroup(device);
  std::string line = FailureLineAsNobody("com|" + device + ":115200");
  EXPECT_EQ(line, device + ": permission denied; the device belongs to group " + group +
                      ": run `sudo usermod -aG " + group +
                      " $USER`, then log out and in again so the new group counts.\r\n");
  ASSERT_EQ(::chmod(device.c_str(), 0600), 0);  // root's alone: joining a group does not help
  line = FailureLineAsNobody("com|" + device + ":115200");
  EXPECT_EQ(line.rfind(device + ": permission denied; only its owner may open it", 0), 0u) << line;
}

TEST(ConnectionFailure, NotASerialDeviceOrNoSuchDevice) {
  EXPECT_EQ(FailureLine("com|/dev/null:115200"),
            "/dev/null is not a serial device: name the adapter's device (`zorbent-fw ports` "
            "lists the serial devices).\r\n");
  const std::string directory = ::testing::TempDir();
  EXPECT_NE(FailureLine("com|" + directory + ":115200").find(" is not a serial device"),
            std::string::npos);
  // A missing device lists the candidates, or says to plug the adapter in.
  const std::string missing = FailureLine("com|/dev/ttyNoSuchAdapter9:115200");
  EXPECT_EQ(missing.rfind("/dev/ttyNoSuchAdapter9: no such device. ", 0), 0u) << missing;
  EXPECT_TRUE(missing.find("Serial devices here: ") != std::string::npos ||
              missing.find("plug in the adapter") != std::string::npos)
      << missing;
  EXPECT_EQ(FailureLine("com|:115200").rfind("No serial device was named", 0), 0u);
}

TEST(ConnectionFailure, InUseNamesTheProgramHoldingTheDevice) {
  test::PtyPair pty;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) _exit(2);
    [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
    ::pause();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const std::string line = FailureLine(pty.ConfigString());
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(line.rfind(pty.SlavePath() + " is in use by another program (", 0), 0u) << line;
  EXPECT_NE(line.find("(pid " + std::to_string(holder) + ")): close it and try again."),
            std::string::npos)
      << line;
}

TEST(ConnectionFailure, TcpRefusedHostNotFoundAndNoAnswer) {
  test::TcpPeer closed;
  closed.StopListening();
  const std::string where = "127.0.0.1:" + std::to_string(closed.Port());
  EXPECT_EQ(FailureLine(closed.ConfigString()).rfind(where + " refused the connection", 0), 0u);
  EXPECT_EQ(FailureLine("tcp|no-such-host.invalid:35000")
                .rfind("no-such-host.invalid: host not found", 0),
            0u);

  // A peer that never accepts: one attempt runs into its time-out.
  test::TcpPeer full(0);
  full.FillBacklog();
  PortConfig config;
  config.Set("remote_ip", "127.0.0.1");
  config.Set("remote_port", std::to_string(full.Port()));
  bool ok = true;
  TcpPort port(config, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(port.OpenFailure(), "127.0.0.1:" + std::to_string(full.Port()) +
                                    " did not answer within 3 s: join the adapter's WiFi "
                                    "network first, then check the address.");
}

// The device hangs up in the middle of the transfer (a USB adapter pulled out). The job must
// notice at once, not wait out every time-out and repeat it would spend on a silent adapter.
class Vanishing : public ::testing::TestWithParam<int> {};

TEST_P(Vanishing, DeviceFailsTheUpdatePromptlyWithAMessage) {
  const int model = GetParam();
  sim::SimulatorOptions options = AdapterOf(model);
  options.faults.disconnectAtRecord = 6;
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  const auto start = Clock::now();
  const JobRun run = adapter.Update(ImageFor(model, 16));
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
