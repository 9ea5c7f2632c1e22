// zorbent-fw's command line: every mistake ends with a message and exit status 2, before any
// adapter is touched.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "zorbent_version.h"

namespace zorbent::cli_test {
namespace {

struct Misuse {
  const char* label;
  std::vector<std::string> args;
  const char* message;  // part of what the program prints
};

class UsageError : public ::testing::TestWithParam<Misuse> {};

TEST_P(UsageError, ExitsWithTwoAndSaysWhy) {
  const Misuse& m = GetParam();
  const ProgramResult r = RunProgram(m.args);
  EXPECT_EQ(r.exitCode, 2) << r.both();
  EXPECT_NE(r.both().find(m.message), std::string::npos) << r.both();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageError,
    ::testing::Values(
        Misuse{"ReadWithoutAdapter", {"read"}, "no adapter given"},
        Misuse{"UpdateWithoutAdapter", {"update", "fw.txt"}, "no adapter given"},
        Misuse{"WifiPortTooHigh", {"read", "--wifi", "10.0.0.1:65536"}, "is not a TCP port"},
        Misuse{"WifiPortZero", {"read", "--wifi", "10.0.0.1:0"}, "is not a TCP port"},
        Misuse{"WifiPortNotANumber", {"read", "--wifi", "10.0.0.1:35k"}, "is not a TCP port"},
        Misuse{"WifiPortEmpty", {"read", "--wifi", "10.0.0.1:"}, "is not a TCP port"},
        Misuse{"WifiNoHost", {"read", "--wifi", ":35000"}, "no host given"},
        Misuse{"UnknownOption", {"read", "--bogus"}, "--bogus"},
        Misuse{"UnknownCommand", {"flash"}, "unknown command \"flash\""},
        Misuse{"UnknownCommandAfterFlags", {"-q", "--trace", "raed"}, "unknown command \"raed\""},
        Misuse{"NoCommand", {}, "subcommand"},
        Misuse{"UpdateWithoutFile", {"update", "--port", "/dev/null"}, "FILE"},
        Misuse{"InspectWithoutFile", {"inspect"}, "FILE"},
        Misuse{"BaudWithoutPort", {"read", "--baud", "9600"}, "--port"},
        Misuse{"BaudOutOfRange", {"read", "--port", "/dev/null", "--baud", "0"}, "--baud"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Usage, UpdateHelpSaysHowToRecoverForBothFamilies) {
  const ProgramResult r = RunProgram({"update", "--help"});
  EXPECT_EQ(r.exitCode, 0) << r.both();
  EXPECT_NE(r.out.find("Line mode (Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01): run the same"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("power the adapter off and on, then run the same update again"),
            std::string::npos)
      << r.out;
}

TEST(Usage, HelpSucceedsAndNamesTheCommands) {
  const ProgramResult r = RunProgram({"--help"});
  EXPECT_EQ(r.exitCode, 0) << r.both();
  for (const char* command : {"update", "read", "inspect"}) {
    EXPECT_NE(r.out.find(command), std::string::npos) << r.out;
  }
  EXPECT_NE(r.out.find("zorbent-fw " ZORBENT_VERSION), std::string::npos) << r.out;
}

// Without a command, and before one: --version alone is not a usage error.
TEST(Usage, VersionPrintsTheProjectVersion) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, std::vector<std::string>{"-q", "--version"}}) {
    const ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, 0) << r.both();
    EXPECT_EQ(r.out, "zorbent-fw " ZORBENT_VERSION "\n");
  }
}

}  // namespace
}  // namespace zorbent::cli_test
