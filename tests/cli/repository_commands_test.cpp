// zorbent-fw repo as a publisher runs it, each result read back by the repository client as
// a user's program reads it: from the trusted first root, over file:// URLs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "firmware/tuf/directory_store.h"
#include "firmware/tuf/platform_fetcher.h"
#include "firmware/tuf/updater.h"
#include "sim/image/image_builder.h"

namespace zorbent::tuf {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

class RepositoryCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zorbent-repo-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
    const sim::BuiltImage bad = sim::BuildLineImage({.corruption = sim::Corruption::kBadTotal});
    for (const auto& [name, text] : {std::pair{"line.txt", sim::BuildLineImage({}).text},
                                     {"block.txt", sim::BuildBlockImage({}).text},
                                     {"bad.txt", bad.text}})
      std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // zorbent-fw with args, in the test's folder; its exit status, and its output in out_.
  int Fw(const std::string& args) {
    const std::string line = "cd " + dir_.string() + " && " + ZORBENT_FW_PATH + " " + args + " >" +
                             (dir_ / "out.txt").string() + " 2>&1";
    const int status = std::system(line.c_str());
    out_ = Read(dir_ / "out.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // A client that trusts the first root and keeps what it verified in `store`.
  bool Refresh(const std::string& store, Problem& problem, std::vector<Target>* targets = nullptr) {
    const fs::path folder = dir_ / store;
    fs::create_directories(folder);
    DirectoryStore trusted(folder.string());
    std::string root, why;
    if (!trusted.Load("root", root))
      trusted.Save("root", Read(dir_ / "repo/metadata/1.root.json"), why);
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const std::string url = "file://" + (dir_ / "repo").string();
    PlatformFetcher fetcher;
    Updater updater({url + "/metadata/", url + "/targets/", now, {}}, fetcher, trusted);
    if (!updater.Refresh(problem)) return false;
    if (targets == nullptr) return true;
    std::vector<std::uint8_t> bytes;
    if (!updater.ListTargets(*targets, problem)) return false;
    for (const Target& target : *targets)
      if (!updater.DownloadTarget(target, bytes, problem)) return false;
    return true;
  }
  fs::path dir_;
  std::string out_;
};

TEST_F(RepositoryCommands, PublishesWhatTheClientReadsThroughRotationsAndRevocations) {
  ASSERT_EQ(Fw("repo init repo --keys keys --threshold root=2 --expires timestamp=2"), 0) << out_;
  std::vector<std::string> keyFiles;
  for (const auto& entry : fs::directory_iterator(dir_ / "keys")) {
    keyFiles.push_back(entry.path().filename().string());
    EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(keyFiles.size(), 5u);  // two root keys, one for each other role

  // A refused file refuses the whole command; KEYDIR inside REPO is refused.
  EXPECT_EQ(Fw("repo add repo line.txt bad.txt"), 1);
  EXPECT_NE(out_.find("bad.txt is not a valid firmware file"), std::string::npos) << out_;
  EXPECT_FALSE(fs::exists(dir_ / "repo/targets/KTR5575"));
  EXPECT_FALSE(fs::exists(dir_ / "repo.work/staged.json"));
  EXPECT_EQ(Fw("repo publish repo --keys repo/keys"), 1);
  EXPECT_NE(out_.find("inside the repository"), std::string::npos) << out_;

  ASSERT_EQ(Fw("repo add repo line.txt block.txt"), 0) << out_;
  ASSERT_EQ(Fw("repo publish repo --keys keys"), 0) << out_;
  Problem problem;
  std::vector<Target> targets;
  ASSERT_TRUE(Refresh("trusted", problem, &targets)) << problem.detail;
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0].path, "KTR5575/line.txt");
  EXPECT_EQ(targets[0].custom["family"], "line");
  EXPECT_EQ(targets[1].custom["model"], "KTR558");
  EXPECT_EQ(targets[1].length, static_cast<std::int64_t>(fs::file_size(dir_ / "block.txt")));

  // Each rotation and revocation is followed by the client that trusted the versions before.
  std::string snapshotKey;
  for (const std::string& name : keyFiles)
    if (name.starts_with("snapshot-")) snapshotKey = name.substr(9, 12);
  for (const std::string& step : std::vector<std::string>{
           "rotate repo --role root", "rotate repo --role targets",
           "revoke repo --role snapshot --keyid " + snapshotKey, "rotate repo --role timestamp"}) {
    ASSERT_EQ(Fw("repo " + step + " --keys keys"), 0) << step << ": " << out_;
    EXPECT_TRUE(Refresh("trusted", problem)) << step << ": " << problem.detail;
  }
  EXPECT_TRUE(fs::exists(dir_ / "keys" / (("snapshot-" + snapshotKey) + ".pem.retired")));

  // The timestamp key alone renews the timestamp; publish then wants the snapshot key.
  fs::create_directories(dir_ / "online");
  for (const auto& entry : fs::directory_iterator(dir_ / "keys"))
    if (entry.path().filename().string().starts_with("timestamp-"))
      fs::copy_file(entry.path(), dir_ / "online" / entry.path().filename());
  ASSERT_EQ(Fw("repo timestamp repo --keys online"), 0) << out_;
  EXPECT_EQ(Fw("repo publish repo --keys online"), 1);
  EXPECT_NE(out_.find("signing snapshot needs 1 of its keys"), std::string::npos) << out_;
  EXPECT_TRUE(Refresh("trusted", problem)) << problem.detail;
  // A new client walks every root version from the first.
  targets.clear();
  EXPECT_TRUE(Refresh("new", problem, &targets)) << problem.detail;
  EXPECT_EQ(targets.size(), 2u);
  EXPECT_TRUE(fs::exists(dir_ / "repo/metadata/3.root.json"));
}

}  // namespace
}  // namespace zorbent::tuf
