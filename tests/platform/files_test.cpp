#include "platform/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

class LoadWholeFileTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string File(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return (dir_ / name).string();
  }
  const fs::path dir_ = fs::temp_directory_path() / ("zorbent-files-" + std::to_string(::getpid()));
  std::vector<std::uint8_t> out_{1, 2, 3};  // what an earlier load left
};

TEST_F(LoadWholeFileTest, LoadsEveryByteUpToTheCapAndNothingAbove) {
  const std::string text("line 1\r\n\0\xff tail", 15);
  EXPECT_EQ(LoadWholeFile(File("exact", text), out_, 15), 15);
  EXPECT_EQ(std::string(out_.begin(), out_.end()), text);
  EXPECT_EQ(LoadWholeFile(File("over", text), out_, 14), -1);
  EXPECT_TRUE(out_.empty());
  EXPECT_EQ(LoadWholeFile(File("empty", ""), out_), 0);
  for (const fs::path& bad : {dir_ / "missing", dir_}) {
    out_ = {1};
    EXPECT_EQ(LoadWholeFile(bad.string(), out_), -1) << bad;
    EXPECT_TRUE(out_.empty());
  }
}

// Out of memory is a failed load, not an exception.
TEST_F(LoadWholeFileTest, ABufferThatCannotBeHadIsAFailedLoad) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "the address space limit does not apply";
  const std::string path = File("sparse", "");
  fs::resize_file(path, std::uintmax_t{1} << 30);
  const int code = test::RunInChild([&] {
    if (!test::LimitAddressSpace(std::size_t{64} << 20)) return 10;
    return LoadWholeFile(path, out_) == -1 && out_.empty() ? 0 : 11;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace zorbent
