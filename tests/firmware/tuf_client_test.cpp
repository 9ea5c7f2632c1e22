// zorbent-tuf-client as a TUF client test suite drives it, against repositories built in the
// test and served by the loopback server (tests/support/http_server.py) or from a folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/tuf_repository.h"

namespace zorbent::tuf {
namespace {

namespace fs = std::filesystem;
using testing::TufRepository;

// The program checks expiry against the real clock.
std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Read(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

struct Ran {
  int exitCode = -1;
  std::string err;
};

class TufClient : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zorbent-tuf-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
  }
  void TearDown() override {
    server_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // The repository's URL: served over loopback http when asked, else its folder.
  std::string Serve(bool overHttp) {
    if (!overHttp) return (dir_ / "www/repo").string();
    server_ = std::make_unique<test::SpawnedProgram>(
        std::vector<std::string>{ZORBENT_PYTHON, ZORBENT_HTTP_SERVER, dir_.string()});
    int port = 0;
    std::sscanf(server_->ReadLine(60000).c_str(), "https=%*d http=%d", &port);
    EXPECT_NE(port, 0) << "the test server did not start (needs python3 and openssl)";
    return "http://127.0.0.1:" + std::to_string(port) + "/repo";
  }
  Ran Client(const std::string& url, const std::string& command, const std::string& target = "") {
    std::string line =
        std::string(ZORBENT_TUF_CLIENT) + " --metadata-dir " + (dir_ / "trusted").string();
    if (!url.empty()) line += " --metadata-url " + url + "/metadata/";
    if (!target.empty())
      line += " --target-name " + target + " --target-base-url " + url + "/targets/ --target-dir " +
              (dir_ / "got").string();
    line += " " + command + " 2>" + (dir_ / "err").string();
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(dir_ / "err")};
  }
  fs::path Repo() const { return dir_ / "www/repo"; }

  fs::path dir_;
  std::unique_ptr<test::SpawnedProgram> server_;
};

TEST_F(TufClient, InitRefreshDownloadAndRefusals) {
  TufRepository repo(Now());
  repo.AddTarget(repo.targets, "KTR5577/a.txt", "line firmware\n");
  repo.Publish(Repo());
  const std::string url = Serve(true);
  EXPECT_EQ(Client("", "init " + (Repo() / "metadata/timestamp.json").string()).exitCode, 1);
  ASSERT_EQ(Client("", "init " + (Repo() / "metadata/1.root.json").string()).exitCode, 0);
  ASSERT_EQ(Client(url, "refresh").err, "");
  for (const char* kept : {"root", "timestamp", "snapshot", "targets"})
    EXPECT_TRUE(fs::exists(dir_ / "trusted" / (std::string(kept) + ".json"))) << kept;
  ASSERT_EQ(Client(url, "download", "KTR5577/a.txt").exitCode, 0);
  EXPECT_EQ(Read(dir_ / "got/KTR5577%2Fa.txt"), "line firmware\n");

  // A served file that is not the listed one.
  fs::remove(dir_ / "got/KTR5577%2Fa.txt");
  const fs::path served =
      Repo() / "targets/KTR5577" / (Sha256Hex(testing::TufBytes("line firmware\n")) + ".a.txt");
  std::ofstream(served, std::ios::binary) << "LINE FIRMWARE\n";
  Ran run = Client(url, "download", "KTR5577/a.txt");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("is not the one the repository lists"), std::string::npos) << run.err;

  // A timestamp older than the trusted one (a replay).
  const std::string old = Read(Repo() / "metadata/timestamp.json");
  repo.timestamp.version = 2;
  repo.Publish(Repo());
  ASSERT_EQ(Client(url, "refresh").exitCode, 0);
  std::ofstream(Repo() / "metadata/timestamp.json", std::ios::binary) << old;
  run = Client(url, "refresh");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("older than the version already trusted"), std::string::npos) << run.err;

  // Fast-forward recovery: a compromised timestamp key pushed the version to 99; the new root
  // rotates it, and the repository's own version 3 is then taken.
  repo.timestamp.version = 99;
  repo.Publish(Repo());
  ASSERT_EQ(Client(url, "refresh").exitCode, 0);
  repo.timestampKey = testing::NewTufKey();
  repo.root.keys.clear();
  testing::Trust(repo.root, kRoot, {&repo.rootKey});
  testing::Trust(repo.root, kTimestamp, {&repo.timestampKey});
  testing::Trust(repo.root, kSnapshot, {&repo.snapshotKey});
  testing::Trust(repo.root, kTargets, {&repo.targetsKey});
  repo.root.version = 2;
  repo.timestamp.version = 3;
  repo.Publish(Repo());
  EXPECT_EQ(Client(url, "refresh").err, "");
}

TEST_F(TufClient, SearchesDelegationsInOrder) {
  TufRepository repo(Now());
  const testing::TufKey lines = testing::NewTufKey(KeyScheme::kRsaPssSha256);
  const testing::TufKey all = testing::NewTufKey();
  repo.targets.delegations = Delegations{{{lines.id, lines.key}, {all.id, all.key}}, {}};
  auto delegate = [&](const testing::TufKey& key, const char* name, const char* pattern,
                      bool terminating) {
    DelegatedRole role{name, {{key.id}, 1}, terminating, std::vector<std::string>{pattern}, {}};
    repo.targets.delegations->roles.push_back(role);
    repo.delegated[name].expiresAt = Now() + testing::kDay;
    repo.delegatedKeys[name] = &key;
  };
  delegate(lines, "lines", "KTR5577/*", true);
  delegate(all, "all", "*/*", false);
  repo.AddTarget(repo.delegated["lines"], "KTR5577/a.txt", "a");
  repo.AddTarget(repo.delegated["lines"], "KTR558/d.txt", "d");  // not its path
  repo.AddTarget(repo.delegated["all"], "KTR5577/b.txt", "b");   // after a terminating role
  repo.AddTarget(repo.delegated["all"], "KTR558/c.txt", "c");
  repo.Publish(Repo());
  const std::string url = Serve(false);
  ASSERT_EQ(Client("", "init " + (Repo() / "metadata/1.root.json").string()).exitCode, 0);
  for (const auto& [name, found] :
       std::vector<std::pair<std::string, bool>>{{"KTR5577/a.txt", true},
                                                 {"KTR5577/b.txt", false},
                                                 {"KTR558/c.txt", true},
                                                 {"KTR558/d.txt", false}}) {
    const Ran run = Client(url, "download", name);
    EXPECT_EQ(run.exitCode, found ? 0 : 1) << name << ": " << run.err;
    if (!found) {
      EXPECT_NE(run.err.find("lists no firmware file named"), std::string::npos) << run.err;
    }
  }
}

}  // namespace
}  // namespace zorbent::tuf
