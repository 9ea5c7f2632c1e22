// The adapter-sim program: prints where to connect, serves until SIGTERM, then prints its
// transcript; bad arguments end it with 2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "zorbent_version.h"

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
};

Child Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), ADAPTER_SIM);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Child child;
  if (::posix_spawn(&child.pid, ADAPTER_SIM, &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  child.out = pipeFds[0];
  return child;
}

// Reads the child's stdout until `stop` is found or it closes; bounded by waitMs per read.
std::string ReadOut(int fd, std::string_view stop, int waitMs = 5000) {
  std::string text;
  char buffer[512];
  while (stop.empty() || text.find(stop) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) break;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

int Wait(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(AdapterSimProgram, ServesOnAPtyUntilSigtermThenPrintsItsTranscript) {
  Child child = Spawn({"--model", "KTR558", "--device-version", "3.1.4", "--transcript"});
  ASSERT_GT(child.pid, 0);
  const std::string first = ReadOut(child.out, "\n");
  ASSERT_TRUE(first.starts_with("com|/dev/")) << first;
  const std::string path = first.substr(4, first.rfind(':') - 4);

  zorbent::SerialDevice device;
  ASSERT_TRUE(device.Open(path, 115200));
  const std::string command = "QKVERS\r";
  ASSERT_EQ(
      device.WriteSome(
          std::span(reinterpret_cast<const std::uint8_t*>(command.data()), command.size()), 2000),
      static_cast<int>(command.size()));
  std::string reply;
  std::array<std::uint8_t, 256> buffer{};
  while (reply.find('>') == std::string::npos) {
    const int n = device.ReadSome(buffer, 3000);
    if (n <= 0) break;
    reply.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
  }
  EXPECT_EQ(reply, "QKVERS\rKTR558 V3.1.4\r\r>");

  ::kill(child.pid, SIGTERM);
  const std::string rest = ReadOut(child.out, "");
  EXPECT_EQ(Wait(child.pid), 0);
  EXPECT_NE(rest.find("QKVERS\\r"), std::string::npos) << rest;
  ::close(child.out);
}

TEST(AdapterSimProgram, BadArgumentsEndWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--model", "KTR9999"},
      {"--model", "KTR558", "--tcp", "70000"},
      {"--model", "KTR558", "--pty", "--tcp", "0"},
      {"--model", "Ruvo03", "--rep-pack-at", "0"},
      {"--model", "Ruvo03", "--rep-pack-at", "3:x"},
      {"--model", "Ruvo03", "--processing-us", "-1"},
      {"make-image", "--family", "sideways"},
  };
  for (const auto& args : cases) {
    Child child = Spawn(args);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(Wait(child.pid), 2) << (args.empty() ? "(none)" : args.back());
    ::close(child.out);
  }
}

// --version needs no --model: it answers before the required options are checked.
TEST(AdapterSimProgram, VersionNeedsNoModel) {
  Child child = Spawn({"--version"});
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(ReadOut(child.out, ""), "adapter-sim " ZORBENT_VERSION "\n");
  EXPECT_EQ(Wait(child.pid), 0);
  ::close(child.out);
}

}  // namespace
