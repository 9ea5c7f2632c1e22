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

ProgramResult UpdateManyWithLimits(rlim_t soft, rlim_t hard) {
  TempDir dir;
  const std::string file = dir.Write("fw.txt", testing::ImageFor(2).text);
  std::vector<std::string> args = {"update", "--quiet"};
  for (int i = 0; i < kAdapters; ++i) {
    args.push_back("--connect");
    args.push_back("com|/dev/zorbent-none-" + std::to_string(i) + ":115200");
  }
  args.push_back(file);
  // Each test case runs in a process of its own, so the lowered limits end with it.
  const struct rlimit limit { soft, hard };
  EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  return RunProgram(args);
}

TEST(OpenFiles, ALowSoftLimitIsRaisedQuietly) {
  const ProgramResult r = UpdateManyWithLimits(64, 4096);
  EXPECT_EQ(r.exitCode, 1) << r.both();  // no such devices
  EXPECT_EQ(r.out.find("open files"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("20 adapters: 0 succeeded, 20 failed"), std::string::npos) << r.out;
}

TEST(OpenFiles, AHardLimitTooLowIsNamedWithWhatToDo) {
  const ProgramResult r = UpdateManyWithLimits(64, 64);
  EXPECT_EQ(r.exitCode, 1) << r.both();
  EXPECT_NE(r.out.find("Warning: 20 adapters need about 144 open files, but this system allows "
                       "this program 64"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("ulimit -n 144"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace zorbent::cli_test
