// The builds a repository lists, the choice among them, the settings, and the trusted root
// kept per repository, against a repository in a local folder (the command line's tests serve
// one over https).

#include "firmware/latest.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "sim/image/image_builder.h"
#include "tests/support/sim_adapter.h"
#include "tests/support/test_repository.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

tuf::Target Listed(std::string path, const std::string& model, const std::string& version,
                   const std::string& family = "line") {
  tuf::Target target;
  target.path = std::move(path);
  target.custom = {{"model", model}, {"family", family}, {"version", version}};
  return target;
}

// Only targets whose custom fields make a build for their model's folder count, and the choice
// among those is the newest, or why none.
TEST(ChooseBuild, PicksTheNewestListedBuildAndTellsWhyNot) {
  int ignored = 0;
  const std::vector<ReleaseBuild> builds = BuildsOf(
      {Listed("KTR5577/a.txt", "KTR5577", "2.2.2X"), Listed("KTR5577/b.txt", "KTR5577", "2.2.3X"),
       Listed("KTR558/c.txt", "KTR558", "2.4.01", "block"),
       Listed("KTR5575/d.txt", "KTR5577", "2.9.9X"),  // another model's folder
       Listed("KTR558/e.txt", "KTR558", "2.9.9", "line"), Listed("X/f.txt", "X", "1"),
       Listed("KTR5577/g.txt", "KTR5577", "")},
      &ignored);
  EXPECT_EQ(ignored, 4);
  ASSERT_EQ(builds.size(), 3u);
  EXPECT_EQ(builds[0].file, "b.txt");  // per model, newest first
  const struct {
    const char* model;
    const char* running;
    bool allowOlder;
    Pick pick;
    const char* version;  // of the build chosen; null for none
  } cases[] = {
      {"KTR5577", "2.2.2X", false, Pick::kNewer, "2.2.3X"},
      {"KTR5577", "", false, Pick::kNewer, "2.2.3X"},  // version unknown
      {"KTR5577", "2.2.3X", true, Pick::kUpToDate, "2.2.3X"},
      {"KTR5577", "2.3.0X", false, Pick::kOnlyOlder, "2.2.3X"},
      {"KTR5577", "2.3.0X", true, Pick::kNewer, "2.2.3X"},
      {"KTR558", "2.4.0", false, Pick::kNewer, "2.4.01"},
      {"KTR5688", "2.2", true, Pick::kNoBuild, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.running);
    const BuildChoice choice = ChooseBuild(builds, c.model, c.running, c.allowOlder);
    EXPECT_EQ(choice.pick, c.pick);
    ASSERT_EQ(choice.build == nullptr, c.version == nullptr);
    if (c.version != nullptr) {
      EXPECT_EQ(choice.build->version, c.version);
    }
  }
}

// The settings: the repository from the environment over the file, its root from the file, and
// a bad line named.
TEST(Latest, ReadsTheSettingsAndNamesWhatIsWrong) {
  const testing::TempFolder dir;
  const std::string config = dir.Path() + "/config";
  fs::create_directories(config);
  ::setenv("ZORBENT_FW_CONFIG_DIR", config.c_str(), 1);
  std::ofstream(config + "/config") << "# ours\n repository = https://example.com/fw  # x\n"
                                       "root=/etc/r.json\n";
  ::unsetenv(kRepositoryVariable);
  FirmwareSource source;
  std::string problem;
  ASSERT_TRUE(DefaultFirmwareSource(source, problem)) << problem;
  EXPECT_EQ(source.repositoryUrl, "https://example.com/fw");
  EXPECT_EQ(source.rootFile, "/etc/r.json");
  ::setenv(kRepositoryVariable, "/srv/fw", 1);
  ASSERT_TRUE(DefaultFirmwareSource(source, problem)) << problem;
  EXPECT_EQ(source.repositoryUrl, "/srv/fw");
  ::unsetenv(kRepositoryVariable);
  for (const char* text : {"manifest = https://example.com/m.json\n", "root =\n"}) {
    std::ofstream(config + "/config") << text;
    EXPECT_FALSE(DefaultFirmwareSource(source, problem));
    EXPECT_NE(problem.find(config + "/config line 1: "), std::string::npos) << problem;
  }
  EXPECT_EQ(RepositoryUrlProblem("http://[::1]:8080/fw", false), "");
  EXPECT_EQ(RepositoryUrlProblem("http://example.com/fw", true), "");
  ::unsetenv("ZORBENT_FW_CONFIG_DIR");
}

// The first open keeps the root it was given; afterwards that root counts, not one given again,
// and a repository out of reach is read as last verified while that has not expired.
TEST(Latest, KeepsTheFirstRootAndReadsTheKeptMetadataOffline) {
  const testing::TempFolder dir;
  ::setenv("ZORBENT_FW_DATA_DIR", (dir.Path() + "/data").c_str(), 1);
  ::setenv("ZORBENT_FW_CACHE_DIR", (dir.Path() + "/cache").c_str(), 1);
  test::TestRepository published(dir.Path() + "/fw"), other(dir.Path() + "/other");
  published.Add("KTR5577.txt", test::NewerImage(2).text);
  published.Publish();
  FirmwareSource source;
  source.repositoryUrl = published.Dir();
  std::string problem;
  EXPECT_FALSE(FirmwareRepository(source).Open(problem));
  EXPECT_NE(problem.find("no root is trusted for " + published.Dir() + " yet"), std::string::npos)
      << problem;
  source.rootFile = published.RootFile();
  FirmwareRepository first(source);
  ASSERT_TRUE(first.Open(problem)) << problem;
  ASSERT_EQ(first.Builds().size(), 1u);
  std::string path;
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(first.Download(first.Builds()[0], path, bytes, problem)) << problem;
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), test::NewerImage(2).text);
  EXPECT_EQ(first.FindBySha256(first.Builds()[0].target.hashes.at("sha256")), &first.Builds()[0]);

  source.rootFile = other.RootFile();  // another repository's root: not read again
  ASSERT_TRUE(FirmwareRepository(source).Open(problem)) << problem;
  fs::rename(published.Dir(), dir.Path() + "/gone");
  FirmwareRepository offline(source);
  bool wasOffline = false;
  EXPECT_FALSE(offline.Open(problem));
  ASSERT_TRUE(offline.Open(problem, true, &wasOffline)) << problem;
  EXPECT_TRUE(wasOffline);
  EXPECT_EQ(offline.Builds().size(), 1u);
  ::unsetenv("ZORBENT_FW_DATA_DIR");
  ::unsetenv("ZORBENT_FW_CACHE_DIR");
}

}  // namespace
}  // namespace zorbent
