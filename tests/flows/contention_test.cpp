// Devices that do not open, each with its reason, and many open/close cycles of every port
// kind, which must leave nothing behind.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string>

#include "platform/serial_ports.h"
#include "port/serial_port.h"
#include "port/tcp_port.h"
#include "tests/support/child_process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/sim_job.h"
#include "tests/support/tcp_peer.h"

namespace zorbent::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCycles = 2000;
#else
constexpr int kCycles = 10000;
#endif

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

// Whether an unprivileged user ('nobody') gets a failure line that begins with `expected`.
bool NobodyIsTold(const std::string& connection, const std::string& expected) {
  return test::RunInChild([&] {
           constexpr uid_t kNobody = 65534;
           if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
             return 2;
           return FailureLine(connection).rfind(expected, 0) == 0 ? 0 : 1;
         }) == 0;
}

TEST(ConnectionFailure, PermissionDeniedNamesTheGroupAndHowToJoinIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  test::PtyPair pty;
  const std::string device = pty.SlavePath();
  ASSERT_EQ(::chown(device.c_str(), 0, 20), 0);  // root:dialout, as udev leaves a USB bridge
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  const std::string group = DeviceGroup(device);
  EXPECT_TRUE(NobodyIsTold("com|" + device + ":115200",
                           device + ": permission denied; the device belongs to group " + group +
                               ": run `sudo usermod -aG " + group +
                               " $USER`, then log out and in again so the new group counts.\r\n"));
  ASSERT_EQ(::chmod(device.c_str(), 0600), 0);  // root's alone: joining a group does not help
  EXPECT_TRUE(NobodyIsTold("com|" + device + ":115200",
                           device + ": permission denied; only its owner may open it"));
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

// A device in use by another program names it; one this program's other job holds stays
// undisturbed, and opens again once that job lets go.
TEST(ConnectionFailure, InUseNamesTheProgramHoldingTheDevice) {
  Started adapter(AdapterOf(2));
  ASSERT_TRUE(adapter.started);
  const std::string config = adapter.simulator.ConfigString();
  UpdateEngine holder;
  JobRun held;
  holder.Init(&held, &Record);
  const std::int32_t channel = holder.OpenPort(config, "");
  ASSERT_GE(channel, 0) << held.text;
  EXPECT_EQ(FailureLine(config), config.substr(4, config.rfind(':') - 4) +
                                     " is in use by another program: close it and try again.\r\n");
  EXPECT_EQ(holder.ReadVersions(channel), 0) << held.text;
  holder.ClosePort(channel);
  EXPECT_EQ(RunRead(config).result, 0);

  test::PtyPair pty;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t other = ::fork();
  if (other == 0) {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) _exit(2);
    [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
    ::pause();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const std::string line = FailureLine(pty.ConfigString());
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(line.rfind(pty.SlavePath() + " is in use by another program (", 0), 0u) << line;
  EXPECT_NE(line.find("(pid " + std::to_string(other) + ")): close it and try again."),
            std::string::npos)
      << line;
}

TEST(ConnectionFailure, TcpRefusedOrHostNotFound) {
  test::TcpPeer closed;
  closed.StopListening();
  const std::string where = "127.0.0.1:" + std::to_string(closed.Port());
  EXPECT_EQ(FailureLine(closed.ConfigString()).rfind(where + " refused the connection", 0), 0u);
  EXPECT_EQ(FailureLine("tcp|no-such-host.invalid:35000")
                .rfind("no-such-host.invalid: host not found", 0),
            0u);
}

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
