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

// A replaced file is whole, old or new, with no temporary left beside it; a small read says
// which file was missing or too large.
TEST(SmallFilesTest, AtomicWriteReplacesWholeAndReadNamesTheFile) {
  const fs::path dir = fs::temp_directory_path() / ("zorbent-small-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "root.json").string();
  std::string why, text;
  bool missing = false;
  EXPECT_FALSE(ReadSmallFile(path, 100, text, why, &missing));
  EXPECT_TRUE(missing);
  EXPECT_NE(why.find(path), std::string::npos);
  ASSERT_TRUE(WriteFileAtomically(path, std::string_view("first"), why)) << why;
  ASSERT_TRUE(WriteFileAtomically(path, std::string_view("second, longer"), why)) << why;
  ASSERT_TRUE(ReadSmallFile(path, 100, text, why, &missing)) << why;
  EXPECT_EQ(text, "second, longer");
  EXPECT_FALSE(ReadSmallFile(path, 4, text, why, &missing));
  EXPECT_FALSE(missing);
  EXPECT_NE(why.find("larger than 4 bytes"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
  EXPECT_FALSE(WriteFileAtomically((dir / "no" / "x").string(), std::string_view("x"), why));
  EXPECT_NE(why.find("cannot write"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zorbent
