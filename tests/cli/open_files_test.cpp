// A tray of adapters needs open files: the program raises its own limit where it may and says
// so when it cannot, instead of failing adapters one by one for no reason the user can see.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/flows/flow_harness.h"

namespace zorbent::cli_test {
namespace {

constexpr int kAdapters = 20;  // about 144 open files

TEST(OpenFiles, ALowSoftLimitIsRaisedQuietlyAndAHardOneNamedWithWhatToDo) {
  TempDir dir;
  std::vector<std::string> args = {"update", "--quiet"};
  for (int i = 0; i < kAdapters; ++i)
    args.insert(args.end(),
                {"--connect", "com|/dev/zorbent-none-" + std::to_string(i) + ":115200"});
  args.push_back(dir.Write("fw.txt", testing::ImageFor(2).text));
  const std::string warning =
      "Warning: 20 adapters need about 144 open files, but this system allows this program 128: "
      "some adapters may fail to open. Raise the limit (ulimit -n 144)";
  // The test runs in a process of its own, so the lowered limits end with it; a hard limit
  // only goes down, so the one that can be raised comes first. 128 is short of what the
  // program asks for yet more than it uses here: the sanitizers need a descriptor of their
  // own when they check a thread's end, and fail falsely when none is left.
  for (const rlim_t hard : {rlim_t{4096}, rlim_t{128}}) {
    const struct rlimit limit { 64, hard };
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    const ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, 1) << r.both();  // no such devices
    EXPECT_EQ(r.out.find(warning) != std::string::npos, hard == 128) << r.out;
    EXPECT_NE(r.out.find("20 adapters: 0 succeeded, 20 failed"), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace zorbent::cli_test
