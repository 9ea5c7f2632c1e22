// The adapter-sim program: prints where to connect, serves until SIGTERM, then prints its
// transcript; bad arguments end it with 2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "port/serial_port.h"
#include "tests/support/port_text.h"
#include "zorbent_version.h"

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
};

// The child's stdout comes through Child::out; its stderr too when withErrors, else it is
// dropped.
Child Spawn(std::vector<std::string> args, bool withErrors = false) {
  args.insert(args.begin(), ADAPTER_SIM);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  if (withErrors) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
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

  bool opened = false;
  zorbent::SerialPort port(zorbent::test::SerialConfig(path), opened);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(port.Write(zorbent::test::Bytes("QKVERS\r"), 2000));
  const std::string reply = zorbent::test::ReadText(port, 23, 3000);
  EXPECT_EQ(reply, "QKVERS\rKTR558 V3.1.4\r\r>");

  ::kill(child.pid, SIGTERM);
  const std::string rest = ReadOut(child.out, "");
  EXPECT_EQ(Wait(child.pid), 0);
  EXPECT_NE(rest.find("QKVERS\\r"), std::string::npos) << rest;
  ::close(child.out);
}

// make-image never writes a clean file under a fault's name either: a fault the family does not
// have, or a record fault past the last record, is a usage error that says so.
TEST(AdapterSimProgram, BadArgumentsEndWithTwo) {
  const std::string dir = ::testing::TempDir() + "zorbent-make-image-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string output = dir + "/fw.txt";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, ""},
      {{"--model", "KTR9999"}, ""},
      {{"--model", "KTR558", "--tcp", "70000"}, ""},
      {{"--model", "KTR558", "--pty", "--tcp", "0"}, ""},
      {{"--model", "Ruvo03", "--rep-pack-at", "0"}, ""},
      {{"--model", "Ruvo03", "--rep-pack-at", "3:x"}, ""},
      {{"--model", "Ruvo03", "--processing-us", "-1"}, ""},
      {{"make-image", "--family", "sideways"}, ""},
      {{"make-image", "--family", "line", "--corrupt", "bad-sum", "--output", output},
       "fault bad-sum does not apply to line-mode images"},
      {{"make-image", "--family", "block", "--corrupt", "bad-check-byte", "--output", output},
       "fault bad-check-byte does not apply to block-mode images"},
      {{"make-image", "--family", "block", "--corrupt", "bad-sum", "--records", "4",
        "--corrupt-index", "4", "--output", output},
       "fault bad-sum hits data record 4 (counted from 0), but the block-mode image has only 4 "
       "data records"},
      {{"make-image", "--family", "line", "--corrupt", "no-hex-line", "--corrupt-index", "15",
        "--output", output},
       "fault no-hex-line hits data record 15 (counted from 0), but the line-mode image has only "
       "15 data records"},
  };
  for (const auto& [args, why] : cases) {
    std::string what;
    for (const std::string& arg : args) what += arg + " ";
    Child child = Spawn(args, true);
    ASSERT_GT(child.pid, 0);
    const std::string said = ReadOut(child.out, "");
    EXPECT_EQ(Wait(child.pid), 2) << what;
    ::close(child.out);
    EXPECT_NE(said.find(why), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(output)) << what;
  }
  // The same faults where they belong are written.
  for (const auto& [family, fault] :
       {std::pair{"block", "bad-sum"}, std::pair{"line", "bad-check-byte"}}) {
    Child child = Spawn({"make-image", "--family", family, "--corrupt", fault, "--corrupt-index",
                         "3", "--output", output});
    ASSERT_GT(child.pid, 0);
    ReadOut(child.out, "");
    EXPECT_EQ(Wait(child.pid), 0) << family << " " << fault;
    ::close(child.out);
    EXPECT_TRUE(std::filesystem::remove(output)) << family << " " << fault;
  }
  std::filesystem::remove_all(dir);
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
