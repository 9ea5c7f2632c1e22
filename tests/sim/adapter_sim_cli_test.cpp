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
#include "sim/image/image_builder.h"
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

// Underneath make-image: the builders refuse every fault their family lacks and build all the
// others.
TEST(ImageBuilder, RefusesEveryFaultItsFamilyLacks) {
  using namespace zorbent::sim;
  for (const Corruption fault : AllCorruptions()) {
    BlockImageOptions block;
    block.records = 5;
    block.corruption = fault;
    block.corruptIndex = 2;
    LineImageOptions line;
    line.records = 5;
    line.corruption = fault;
    line.corruptIndex = 2;
    const std::string name(CorruptionName(fault));
    for (const auto& [family, built] : {std::pair{ImageFamily::kBlock, BuildBlockImage(block)},
                                        std::pair{ImageFamily::kLine, BuildLineImage(line)}}) {
      const std::string what = name + " in a " + std::string(FamilyName(family)) + "-mode image";
      if (CorruptionApplies(fault, family)) {
        EXPECT_TRUE(built.ok()) << what << ": " << built.error;
      } else {
        EXPECT_FALSE(built.ok()) << what;
        EXPECT_TRUE(built.text.empty()) << what;
        EXPECT_NE(built.error.find("fault " + name), std::string::npos) << built.error;
      }
    }
    // A record fault past the last record would leave the image clean.
    if (CorruptionHitsRecord(fault)) {
      block.corruptIndex = line.corruptIndex = 5;
      EXPECT_FALSE(BuildBlockImage(block).ok()) << name << " past the last block record";
      EXPECT_FALSE(BuildLineImage(line).ok()) << name << " past the last line record";
    }
  }
}

// make-image never writes a clean file under a fault's name: a fault the family does not have,
// or a record fault past the last record, is refused as a usage error that says so.
TEST(AdapterSimProgram, MakeImageRefusesAFaultTheImageCannotCarry) {
  const std::string dir = ::testing::TempDir() + "zorbent-make-image-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string output = dir + "/fw.txt";
  const struct {
    std::string family;
    std::string fault;
    std::vector<std::string> more;
    std::string why;
  } refused[] = {
      {"line", "bad-sum", {}, "does not apply to line-mode images"},
      {"block", "bad-check-byte", {}, "does not apply to block-mode images"},
      {"block", "bad-sum", {"--records", "4", "--corrupt-index", "4"}, "only 4 data records"},
      {"line", "no-hex-line", {"--corrupt-index", "15"}, "only 15 data records"},
  };
  for (const auto& r : refused) {
    std::vector<std::string> args = {"make-image", "--family", r.family, "--corrupt", r.fault};
    args.insert(args.end(), r.more.begin(), r.more.end());
    args.insert(args.end(), {"--output", output});
    Child child = Spawn(args, true);
    ASSERT_GT(child.pid, 0);
    const std::string said = ReadOut(child.out, "");
    EXPECT_EQ(Wait(child.pid), 2) << r.family << " " << r.fault;
    ::close(child.out);
    EXPECT_NE(said.find("fault " + r.fault), std::string::npos) << said;
    EXPECT_NE(said.find(r.why), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(output)) << r.family << " " << r.fault;
  }

  // The same faults where they belong are written.
  const std::pair<const char*, const char*> fitting[] = {{"block", "bad-sum"},
                                                         {"line", "bad-check-byte"}};
  for (const auto& [family, fault] : fitting) {
    Child child = Spawn({"make-image", "--family", family, "--corrupt", fault, "--corrupt-index",
                         "3", "--output", output});
    ASSERT_GT(child.pid, 0);
    ReadOut(child.out, "");
    EXPECT_EQ(Wait(child.pid), 0) << family << " " << fault;
    ::close(child.out);
    EXPECT_TRUE(std::filesystem::exists(output)) << family << " " << fault;
    std::filesystem::remove(output);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
