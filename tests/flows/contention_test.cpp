// Devices that do not open, each with its reason; open/close cycles leave nothing behind.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/serial_ports.h"
#include "tests/support/child_process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/sim_job.h"
#include "tests/support/tcp_peer.h"

namespace zorbent::testing {
namespace {

// The line after the connection error: the device or address and what happened.
std::string FailureLine(const std::string& connection) {
  const JobRun run = RunRead(connection);
  EXPECT_LT(run.result, 0);
  const std::string error = "**Failed** Port connection error!\r\n";
  const auto at = run.text.find(error);
  return at == std::string::npos ? "(none) " + run.text : run.text.substr(at + error.size());
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
  EXPECT_TRUE(NobodyIsTold(
      "com|" + device + ":115200",
      device + ": permission denied; members of group " + group + " may open it.\r\n"));
  ASSERT_EQ(::chmod(device.c_str(), 0600), 0);  // root's alone: joining a group does not help
  EXPECT_TRUE(NobodyIsTold("com|" + device + ":115200",
                           device + ": permission denied; only its owner may open it.\r\n"));
}

// Not a serial device, no such device, a refused connection, an unknown host: one line each,
// facts without advice (the front ends add theirs).
TEST(ConnectionFailure, EachReasonIsNamed) {
  test::TcpPeer closed;
  closed.StopListening();
  const std::pair<std::string, std::string> cases[] = {
      {"com|/dev/null:115200", "/dev/null: not a serial device.\r\n"},
      {"com|" + ::testing::TempDir() + ":115200",
       ::testing::TempDir() + ": not a serial device.\r\n"},
      {"com|/dev/ttyNoSuchAdapter9:115200", "/dev/ttyNoSuchAdapter9: no such device.\r\n"},
      {closed.ConfigString(),
       "127.0.0.1:" + std::to_string(closed.Port()) + ": connection refused.\r\n"},
      {"tcp|no-such-host.invalid:35000", "no-such-host.invalid:35000: host not found.\r\n"}};
  for (const auto& [connection, expected] : cases)
    EXPECT_EQ(FailureLine(connection), expected) << connection;
}

// A device in use names its holder; one held by another job of ours opens once let go.
TEST(ConnectionFailure, InUseNamesTheProgramHoldingTheDevice) {
  Started adapter(AdapterOf(2));
  ASSERT_TRUE(adapter.started);
  const std::string config = adapter.simulator.ConfigString();
  UpdateEngine holder;
  JobRun held;
  holder.Init(&held, &Record);
  const std::int32_t channel = holder.OpenPort(config, "");
  ASSERT_GE(channel, 0) << held.text;
  EXPECT_EQ(FailureLine(config),
            config.substr(4, config.rfind(':') - 4) + ": in use by another program.\r\n");
  EXPECT_EQ(holder.ReadVersions(channel), 0) << held.text;
  holder.ClosePort(channel);
  EXPECT_EQ(RunRead(config).result, 0);
  test::PtyPair pty;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t other = ::fork();
  if (other == 0) {  // another program, holding the device locked
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "x", 1) != 1) _exit(2);
    ::pause();
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const std::string line = FailureLine(pty.ConfigString());
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(line.rfind(pty.SlavePath() + ": in use by another program (", 0), 0u) << line;
  EXPECT_NE(line.find("(pid " + std::to_string(other) + ")).\r\n"), std::string::npos) << line;
}

// Open/close cycles, some working, leave no descriptor or thread behind.
TEST(Cycles, LeaveNoDescriptorOrThreadBehind) {
  Started adapter(AdapterOf(2));
  ASSERT_TRUE(adapter.started);
  const std::string connection = adapter.simulator.ConfigString();
  UpdateEngine engine;
  engine.Init(nullptr, nullptr);
  engine.ClosePort(engine.OpenPort(connection, ""));  // lazily made things exist before counting
  const int fdsBefore = test::OpenDescriptorCount();
  const int threadsBefore = test::ThreadCount();
  for (int i = 0; i < 500; ++i) {
    const std::int32_t channel = engine.OpenPort(connection, "");
    ASSERT_EQ(channel, 0) << "cycle " << i;
    if (i % 100 == 0) {
      ASSERT_EQ(engine.ReadVersions(channel), 0) << "cycle " << i;
    }
    engine.ClosePort(channel);
  }
  EXPECT_EQ(test::OpenDescriptorCount(), fdsBefore);
  EXPECT_EQ(test::ThreadCount(), threadsBefore);
}

}  // namespace
}  // namespace zorbent::testing
