// The adapter-sim program: serves until SIGTERM, then prints its transcript; misuse exits 2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

Child Spawn(std::vector<std::string> args, bool withErrors = false,
            const char* program = ADAPTER_SIM) {
  args.insert(args.begin(), program);
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
  if (::posix_spawn(&child.pid, program, &actions, nullptr, argv.data(), environ) != 0)
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
      {0, "--help", "Subcommands:\n  make-image  writes a firmware file that fits a model"},
      {0, "--help", "kill -USR1 PID turns the adapter off and on"},
      {0, "make-image --help", "Usage: adapter-sim make-image [OPTIONS]"},
      {2, "make-image --model KTR9" + out,
       "make-image: unknown model 'KTR9': use one of Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01, "
       "KTR558, KTR5688\n"},
      {2, "make-image --family block --device-name KTR558" + out,
       "no model's files carry the device name 'KTR558': use one of Ruvo03, KTR5575, KTR5577, "
       "KTR5578, Ruvo01, \"zOrbent FS v<version>\", \"zOrbent FS BT v<version>\"\n"},
      {2, "make-image --model KTR558 --device-name KTR5577" + out,
       "the device name 'KTR5577' is for KTR5577, not --model KTR558"},
      {2, "make-image --model Ruvo01 --family block" + out,
       "--family block does not fit Ruvo01, a line-mode model"},
      {2, "make-image --model KTR5578 --version X1" + out, "--version 'X1' is not a version"},
      {0, "make-image --model KTR5688 --version v2.5" + out,
       "17 lines, 2256 bytes, for KTR5688 (zOrbent FS BT v2.5, version 2.5)"},
      {0, "make-image --family block" + out, "for KTR558 (zOrbent FS v2.4.01, version 2.4.01)"},
      {2, "--model KTR558 --tcp 0 --link " + dir + "/obd", "--link names a pseudo-terminal"},
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
              c.exit == 0 && c.args.starts_with("make-image") && c.args.ends_with("fw.txt"))
        << c.args;
  }
  std::filesystem::remove_all(dir);
}

// What a newcomer does: a file from make-image --model updates adapter-sim --model of every
// model through its --link name without a warning, and the adapter then runs the file's version.
TEST(AdapterSimProgram, DefaultFileUpdatesTheDefaultAdapterOfEveryModel) {
  const std::string dir = ::testing::TempDir() + "zorbent-newcomer-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/fw.txt", link = dir + "/obd";
  ::setenv("ZORBENT_FW_DATA_DIR", (dir + "/data").c_str(), 1);  // not the user's history
  for (const char* model :
       {"Ruvo03", "KTR5575", "KTR5577", "KTR5578", "Ruvo01", "KTR558", "KTR5688"}) {
    const Child make = Spawn({"make-image", "--model", model, "--output", file});
    const std::string made = make.Read();
    ASSERT_EQ(make.Wait(), 0) << model;
    const std::string version =
        made.substr(made.rfind(' ') + 1, made.rfind(')') - made.rfind(' ') - 1);
    // A loaded test machine may pause the host longer than the adapter's default few ms
    // between the OK and its rate change.
    const Child sim = Spawn({"--model", model, "--link", link, "--rate-line-delay", "100"});
    ASSERT_NE(sim.Read("linked " + link).find("linked"), std::string::npos) << model;
    const Child update = Spawn({"update", "--port", link, file}, true, ZORBENT_FW);
    const std::string said = update.Read();
    EXPECT_EQ(update.Wait(), 0) << said;
    EXPECT_EQ(said.find("Warning"), std::string::npos) << said;
    const Child read = Spawn({"read", "--port", link}, true, ZORBENT_FW);
    EXPECT_NE(read.Read().find(version), std::string::npos) << model << " " << version;
    EXPECT_EQ(read.Wait(), 0);
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << model;
  }
  std::filesystem::remove_all(dir);
}

// SIGUSR1 power cycles the adapter on its link: an unfinished download keeps it in the boot
// loader, with the echo back on. --link replaces only a stale link.
TEST(AdapterSimProgram, Sigusr1PowerCyclesOnTheSameLink) {
  namespace fs = std::filesystem;
  const std::string dir = ::testing::TempDir() + "zorbent-cycle-" + std::to_string(::getpid());
  fs::create_directories(dir);
  const std::string link = dir + "/obd";
  std::ofstream(dir + "/file") << "x";
  fs::create_symlink("/dev/pts/999999", link);  // stale, as a killed run leaves it
  const Child refused = Spawn({"--model", "KTR5577", "--link", dir + "/file"}, true);
  EXPECT_NE(refused.Read().find("exists and is not a symbolic link"), std::string::npos);
  EXPECT_EQ(refused.Wait(), 1);
  const Child child = Spawn({"--model", "KTR5577", "--link", link}, true);
  ASSERT_NE(child.Read(link + " -> /dev/pts/").find("linked "), std::string::npos);
  const Child twice = Spawn({"--model", "KTR5577", "--link", link}, true);
  EXPECT_NE(twice.Read().find("which exists (another adapter-sim may serve it)"),
            std::string::npos);
  EXPECT_EQ(twice.Wait(), 1);
  bool opened = false;
  zorbent::SerialPort port(zorbent::test::SerialConfig(link), opened);
  ASSERT_TRUE(opened);
  const auto ask = [&](const std::string& command, const std::string& answer) {
    port.Purge();
    ASSERT_TRUE(port.Write(zorbent::test::Bytes(command), 2000));
    EXPECT_EQ(zorbent::test::ReadText(port, answer.size(), 3000), answer) << command;
  };
  ask("ATE0\r", "ATE0\rOK\r\r>");
  ask("QKUPDT03\r", "OK\r\r>");
  ::kill(child.pid, SIGUSR1);
  EXPECT_NE(child.Read("\n").find("power cycled: in download mode"), std::string::npos);
  ask("ATI\r", "ATI\rzOrbent boot loader\r\r>");
  ask("QKI\r", "QKI\r?\r\r>");
  ::kill(child.pid, SIGTERM);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  fs::remove_all(dir);
}

}  // namespace
