#include "firmware/history.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "firmware/outcome_json.h"
#include "platform/user_folders.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/child_process.h"
#endif

namespace zorbent {
namespace {

namespace fs = std::filesystem;

// A fresh folder, removed with what was written into it.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("zorbent-history-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string ReadText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

nlohmann::json Entry(const std::string& connection, const JobOutcome& outcome = {}) {
  JobRecord record;
  record.command = "update";
  record.connection = connection;
  record.file = "/fw/KTR5577.txt";
  record.fileSha256 = std::string(64, 'a');
  record.seconds = 13.24567;
  record.ended = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9} + std::chrono::hours{8} +
                 std::chrono::minutes{7} + std::chrono::seconds{5};
  return HistoryEntry(record, outcome);
}

// An entry reads back as written; damaged lines (not JSON, not an object, one cut short by a
// crash) are each skipped with a warning naming the line, and the next append starts afresh.
TEST(History, EntriesReadBackAndDamagedLinesAreSkippedByNumber) {
  TempFolder folder;
  const std::string path = folder.File("history.jsonl");
  JobOutcome failed;
  failed.stage = Stage::kTransfer;
  failed.kind = FailureKind::kNotAcknowledged;
  failed.adapterModel = "KTR5577";
  failed.versionBefore = "2.2.30";
  failed.adapterChanged = true;
  Conclude(failed);
  const nlohmann::json first = Entry("com|/dev/ttyUSB0:115200", failed);
  EXPECT_EQ(first["time"], "2026-12-09T08:07:05Z");
  EXPECT_EQ(first["duration_s"], 13.2457);
  EXPECT_EQ(first["version_after"], nullptr);
  EXPECT_EQ(first["repository"], nullptr);
  EXPECT_EQ(first["outcome"], nlohmann::json::parse(R"({"succeeded": false, "stage": "transfer",
      "kind": "transfer", "state": "in_download_mode", "recovery": "power_cycle_then_update"})"));
  std::string error;
  ASSERT_TRUE(AppendHistory(path, {first}, error)) << error;
  std::ofstream(path, std::ios::app) << "not json\n[1, 2]\n\n{\"time\": \"2026-12-09T08:0";
  ASSERT_TRUE(
      AppendHistory(path, {Entry("tcp|192.168.0.10:35000"), Entry("com|COM3:115200")}, error))
      << error;
  HistoryContents contents;
  ASSERT_TRUE(ReadHistory(path, contents, error)) << error;
  ASSERT_EQ(contents.entries.size(), 3u);
  EXPECT_EQ(contents.entries[0], first);
  EXPECT_EQ(contents.entries[1]["connection"], "tcp|192.168.0.10:35000");
  EXPECT_EQ(contents.entries[2]["connection"], "com|COM3:115200");
  EXPECT_EQ(contents.warnings,
            (std::vector<std::string>{path + " line 2 is damaged (not JSON): skipped",
                                      path + " line 3 is damaged (not a JSON object): skipped",
                                      path + " line 5 is damaged (not JSON): skipped"}));
  // No history yet holds nothing; one that is not a file, or cannot be made, says why.
  EXPECT_TRUE(ReadHistory(folder.File("none.jsonl"), contents, error) && contents.entries.empty());
  EXPECT_FALSE(ReadHistory(folder.File(""), contents, error));
  EXPECT_NE(error.find("is not a regular file"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(AppendHistory(path + "/history.jsonl", {first}, error));
  EXPECT_EQ(error.rfind("cannot open " + path + "/history.jsonl: ", 0), 0u) << error;
}

// Stable names: no two parts of one kind share a name, and each is snake_case.
TEST(History, OutcomeNamesAreDistinctSnakeCase) {
  std::set<std::string> names[4];
  std::size_t counts[4] = {};
  const auto add = [&](int which, std::string_view name) {
    ++counts[which];
    names[which].insert(std::string(name));
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string_view::npos)
        << name;
  };
  for (int i = 0; i <= static_cast<int>(Stage::kDone); ++i) add(0, StageName(Stage(i)));
  for (int i = 0; i <= static_cast<int>(FailureKind::kNotConfirmed); ++i)
    add(1, KindName(FailureKind(i)));
  for (int i = 0; i <= static_cast<int>(AdapterState::kUpdatedNotConfirmed); ++i)
    add(2, StateName(AdapterState(i)));
  for (int i = 0; i <= static_cast<int>(Recovery::kNewerProgram); ++i)
    add(3, RecoveryName(Recovery(i)));
  for (int which = 0; which < 4; ++which) {
    EXPECT_EQ(names[which].size(), counts[which]) << which;
    EXPECT_EQ(names[which].count("unknown"), 0u) << which;
  }
}

// Two writers appending at once, each with its own handle on the file (two processes where
// there are any): every line whole, none lost.
TEST(History, TwoWritersAtOnceNeverMixTheirLines) {
  constexpr int kEach = 200;
  TempFolder folder;
  const std::string path = folder.File("history.jsonl");
  const auto write = [&path](const std::string& who) {
    std::string error;
    for (int i = 0; i < kEach; ++i)
      if (!AppendHistory(path, {Entry(who + std::to_string(i))}, error)) return 1;
    return 0;
  };
#ifdef _WIN32
  int results[2] = {-1, -1};
  std::thread other([&] { results[1] = write("b"); });
  results[0] = write("a");
  other.join();
  ASSERT_EQ(results[0] + results[1], 0);
#else
  ASSERT_EQ(test::RunInChild(
                [&] {
                  const pid_t second = fork();
                  if (second == 0) _exit(write("b"));
                  int status = 0;
                  const int mine = write("a");
                  return second > 0 && waitpid(second, &status, 0) == second && WIFEXITED(status) &&
                                 WEXITSTATUS(status) == 0
                             ? mine
                             : 2;
                },
                60000),
            0);
#endif
  HistoryContents contents;
  std::string error;
  ASSERT_TRUE(ReadHistory(path, contents, error)) << error;
  EXPECT_TRUE(contents.warnings.empty()) << contents.warnings.front();
  std::map<std::string, int> seen;
  for (const nlohmann::json& entry : contents.entries) ++seen[entry["connection"]];
  EXPECT_EQ(contents.entries.size(), 2u * kEach);
  EXPECT_EQ(seen.size(), 2u * kEach);
  std::size_t lines = 0;
  for (const char c : ReadText(path)) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 2u * kEach);
}

#ifndef _WIN32
// The data folder: ZORBENT_FW_DATA_DIR, else under $XDG_DATA_HOME, else under ~/.local/share;
// made with its parents, private to the user; one that cannot be made is named with the reason.
TEST(History, TheDataFolderIsChosenMadePrivateOrRefusedWithItsReason) {
  TempFolder folder;
  const std::string home = folder.File("home"), xdg = folder.File("xdg"),
                    blocker = folder.File("file");
  std::ofstream(blocker) << "a file where a folder should be";
  const struct {
    std::string chosen, xdgValue;  // empty: unset
    std::string expected;          // empty: refused
  } cases[] = {{"", "", home + "/.local/share/zorbent-fw"},
               {"", "relative/ignored", home + "/.local/share/zorbent-fw"},
               {"", xdg, xdg + "/zorbent-fw"},
               {folder.File("mine") + "/deep", xdg, folder.File("mine") + "/deep"},
               {blocker + "/sub", "", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    ASSERT_EQ(test::RunInChild([&] {
                setenv("HOME", home.c_str(), 1);
                for (const auto& [name, value] :
                     {std::pair{"XDG_DATA_HOME", c.xdgValue}, {kDataFolderVariable, c.chosen}})
                  value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
                std::string error;
                const std::string made = UserDataFolder(error);
                struct stat info {};
                if (c.expected.empty())
                  return made.empty() && error == "cannot make the folder " + blocker +
                                                      "/sub: " + std::strerror(ENOTDIR)
                             ? 0
                             : 1;
                return made == c.expected && stat(made.c_str(), &info) == 0 &&
                               (info.st_mode & 0777) == 0700
                           ? 0
                           : 3;
              }),
              0);
  }
}
#endif

}  // namespace
}  // namespace zorbent
