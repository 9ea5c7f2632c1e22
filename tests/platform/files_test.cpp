#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zorbent {
namespace {

namespace fs = std::filesystem;

// Every byte up to the cap loads; above it, missing or not a file: empty, and the error says which.
TEST(LoadWholeFileTest, LoadsEveryByteUpToTheCapAndNothingAbove) {
  const fs::path dir = fs::temp_directory_path() / ("zorbent-files-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto file = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir / name, std::ios::binary) << content;
    return (dir / name).string();
  };
  std::vector<std::uint8_t> out{1, 2, 3};  // what an earlier load left
  const std::string text("line 1\r\n\0\xff tail", 15);
  EXPECT_EQ(LoadWholeFile(file("exact", text), out, 15), 15);
  EXPECT_EQ(std::string(out.begin(), out.end()), text);
  EXPECT_EQ(LoadWholeFile(file("over", text), out, 14), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(LoadWholeFile(file("empty", ""), out), 0);
  // A pipe without a writer is refused by its kind, never opened (that would wait forever).
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(LookAtPath((dir / "fifo").string()).kind, PathKind::kPipe);
  for (const auto& [bad, error] : {std::pair{dir / "missing", ENOENT},
                                   {dir, EISDIR},
                                   {dir / "fifo", EINVAL},
                                   {dir / "over", EFBIG}}) {
    out = {1};
    int why = 0;
    EXPECT_EQ(LoadWholeFile(bad.string(), out, 14, &why), -1) << bad;
    EXPECT_EQ(why, error) << bad;
    EXPECT_TRUE(out.empty());
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zorbent
