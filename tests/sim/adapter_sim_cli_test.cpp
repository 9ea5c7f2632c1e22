// The adapter-sim program: serves until SIGTERM, then prints its transcript; misuse exits 2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "port/serial_port.h"
#include "tests/support/port_text.h"
#include "zorbent_version.h"

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout, and its stderr when withErrors (else it is dropped)

  // Reads the child's stdout until `stop` is found or it closes, each read bounded.
  std::string Read(std::string_view stop = "") const {
    std::string text;
    char buffer[512];
    while (stop.empty() || text.find(stop) == std::string::npos) {
      pollfd p{out, POLLIN, 0};
      const ssize_t n = ::poll(&p, 1, 5000) > 0 ? ::read(out, buffer, sizeof buffer) : 0;
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }
  // The exit status, once the child ended; -1 when it did not exit.
  int Wait() const {
    int status = 0;
    ::close(out);
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

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

TEST(AdapterSimProgram, ServesOnAPtyUntilSigtermThenPrintsItsTranscript) {
  const Child child = Spawn({"--model", "KTR558", "--device-version", "3.1.4", "--transcript",
                             "--banner", "OBDII v1.5", "--echo-while-busy", "ATI:300"});
  ASSERT_GT(child.pid, 0);
  const std::string first = child.Read("\n");
  ASSERT_TRUE(first.starts_with("com|/dev/")) << first;
  bool opened = false;
  zorbent::SerialPort port(zorbent::test::SerialConfig(first.substr(4, first.rfind(':') - 4)),
                           opened);
  ASSERT_TRUE(opened);
  // QKVERS arrives while ATI is busy: echoed at once, answered after ATI's late answer.
  ASSERT_TRUE(port.Write(zorbent::test::Bytes("ATI\rQKVERS\r"), 2000));
  const std::string expected = "ATI\rQKVERS\rOBDII v1.5\r\r>KTR558 V3.1.4\r\r>";
  EXPECT_EQ(zorbent::test::ReadText(port, expected.size(), 3000), expected);
  ::kill(child.pid, SIGTERM);
  const std::string rest = child.Read();
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_NE(rest.find("QKVERS\\r"), std::string::npos) << rest;
}

// Bad arguments exit 2 and say why; make-image writes no clean file under a fault's name.
TEST(AdapterSimProgram, ExitStatusAndWhatItSays) {
  const std::string dir = ::testing::TempDir() + "zorbent-make-image-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string out = " --output " + dir + "/fw.txt";
  const struct {
    int exit;
    std::string args;  // split at spaces
    std::string said = "";
  } cases[] = {
      {2, ""},
      {2, "--model KTR9999"},
      {2, "--model KTR558 --tcp 70000"},
      {2, "--model KTR558 --pty --tcp 0"},
      {2, "--model Ruvo03 --rep-pack-at 0"},
      {2, "--model Ruvo03 --rep-pack-at 3:x"},
      {2, "--model Ruvo03 --processing-us -1"},
      {2, "make-image --family sideways"},
      {2, "make-image --family line --corrupt bad-sum" + out,
       "fault bad-sum does not apply to line-mode images"},
      {2, "make-image --family block --corrupt bad-check-byte" + out,
       "fault bad-check-byte does not apply to block-mode images"},
      {2, "make-image --family block --corrupt bad-sum --records 4 --corrupt-index 4" + out,
       "fault bad-sum hits data record 4 (counted from 0), but the block-mode image has only 4 "
       "data records"},
      {2, "make-image --family line --corrupt no-hex-line --corrupt-index 15" + out,
       "fault no-hex-line hits data record 15 (counted from 0), but the line-mode image has only "
       "15 data records"},
      {0, "make-image --family block --corrupt bad-sum --corrupt-index 3" + out},
      {0, "make-image --family line --corrupt bad-check-byte --corrupt-index 3" + out},
      {0, "--version", "adapter-sim " ZORBENT_VERSION "\n"},
      {0, "--help", "make-image --output FILE"},
      {0, "--help", "\"zOrbent FS BT v2.0\"  KTR5688"},
      {2, "--model Ruvo03 --echo-while-busy ATE1",
       "--echo-while-busy 'ATE1' is not COMMAND:MS with MS from 0 to 600000"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    std::istringstream words(c.args);
    for (std::string word; words >> word;) args.push_back(word);
    const Child child = Spawn(args, true);
    ASSERT_GT(child.pid, 0);
    const std::string said = child.Read();
    EXPECT_EQ(child.Wait(), c.exit) << c.args;
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(std::filesystem::remove(dir + "/fw.txt"),
              c.exit == 0 && c.args.starts_with("make-image"))
        << c.args;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
