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
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zorbent-files-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string File(const std::string& name, const std::string& content) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  fs::path dir_;
};

TEST_F(LoadWholeFileTest, LoadsEveryByteUpToTheCap) {
  const std::string text("line 1\r\n\0\xff tail", 15);
  const std::string path = File("exact", text);
  std::vector<std::uint8_t> out{1, 2, 3};
  EXPECT_EQ(LoadWholeFile(path, out, 15), 15);
  EXPECT_EQ(std::string(out.begin(), out.end()), text);
  EXPECT_EQ(LoadWholeFile(File("empty", ""), out), 0);
  EXPECT_TRUE(out.empty());
}

TEST_F(LoadWholeFileTest, RefusesAFileAboveTheCapWithNothingLoaded) {
  const std::string path = File("over", std::string(100, 'A'));
  std::vector<std::uint8_t> out{1, 2, 3};
  EXPECT_EQ(LoadWholeFile(path, out, 99), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(LoadWholeFile(path, out, 100), 100);
}

TEST_F(LoadWholeFileTest, RefusesWhatIsNotARegularFile) {
  std::vector<std::uint8_t> out;
  EXPECT_EQ(LoadWholeFile((dir_ / "missing").string(), out), -1);
  EXPECT_EQ(LoadWholeFile(dir_.string(), out), -1);
  EXPECT_TRUE(out.empty());
}

// Out of memory is a failed load, not an exception.
TEST_F(LoadWholeFileTest, ABufferThatCannotBeHadIsAFailedLoad) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "the address space limit does not apply";
  const std::string path = (dir_ / "sparse").string();
  fs::resize_file(File("sparse", ""), std::uintmax_t{1} << 30);
  const int code = test::RunInChild([&] {
    std::vector<std::uint8_t> out;
    if (!test::LimitAddressSpace(std::size_t{64} << 20)) return 10;
    if (LoadWholeFile(path, out) != -1) return 11;
    if (!out.empty()) return 12;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace zorbent
