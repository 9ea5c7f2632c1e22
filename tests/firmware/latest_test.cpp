// Choosing and fetching firmware from a signed manifest served over loopback https
// (tests/support/http_server.py serves DIR/www) with a test CA and fresh openssl keys.

#include "firmware/latest.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "platform/digest.h"
#include "platform/signature.h"
#include "tests/support/child_process.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}
void Write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}
std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

ManifestBuild Build(std::string model, std::string version, std::string file,
                    const std::string& bytes) {
  ManifestBuild build;
  build.model = std::move(model);
  build.family = build.model == "KTR558" ? Family::kBlock : Family::kLine;
  build.version = std::move(version);
  build.file = std::move(file);
  build.size = static_cast<std::int64_t>(bytes.size());
  build.sha256 = Sha256Hex(Bytes(bytes));
  return build;
}

TEST(ChooseBuild, PicksTheNewestAndTellsWhyNot) {
  Manifest manifest;
  manifest.builds = {Build("KTR5577", "2.2.2X", "a", "a"), Build("KTR5577", "2.2.3X", "b", "b"),
                     Build("KTR558", "2.4.01", "c", "c")};
  const struct {
    const char* model;
    const char* running;
    bool allowOlder;
    Pick pick;
    const char* version;  // of the build chosen; null for none
  } cases[] = {
      {"KTR5577", "2.2.2X", false, Pick::kNewer, "2.2.3X"},
      {"KTR5577", "", false, Pick::kNewer, "2.2.3X"},  // version unknown
      {"KTR5577", "2.2.3X", false, Pick::kUpToDate, "2.2.3X"},
      {"KTR5577", "2.2.3X", true, Pick::kUpToDate, "2.2.3X"},
      {"KTR5577", "2.3.0X", false, Pick::kOnlyOlder, "2.2.3X"},
      {"KTR5577", "2.3.0X", true, Pick::kNewer, "2.2.3X"},
      {"KTR558", "2.4.0", false, Pick::kNewer, "2.4.01"},
      {"KTR5688", "2.2", true, Pick::kNoBuild, nullptr},
      {"", "", true, Pick::kNoBuild, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.running);
    const BuildChoice choice = ChooseBuild(manifest, c.model, c.running, c.allowOlder);
    EXPECT_EQ(choice.pick, c.pick);
    ASSERT_EQ(choice.build == nullptr, c.version == nullptr);
    if (c.version != nullptr) {
      EXPECT_EQ(choice.build->version, c.version);
    }
  }
}

class Latest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("no_proxy", "*", 1);
    char folder[] = "/tmp/zorbent-latest-XXXXXX";
    dir_ = ::mkdtemp(folder) != nullptr ? folder : "";
    ::setenv("ZORBENT_FW_CACHE_DIR", (dir_ + "/cache").c_str(), 1);
    ::setenv("ZORBENT_FW_CONFIG_DIR", (dir_ + "/config").c_str(), 1);
    const std::string make = "cd " + dir_ + " && openssl ecparam -name prime256v1 -genkey ";
    for (const char* key : {"key", "other"}) {
      if (std::system((make + "-noout -out " + key + ".pem >/dev/null 2>&1 && openssl ec -in " +
                       key + ".pem -pubout -out " + key + ".pub >/dev/null 2>&1")
                          .c_str()) != 0)
        return;
    }
    std::string ports;
#if defined(ZORBENT_PYTHON) && defined(ZORBENT_HTTP_SERVER)
    server_ = std::make_unique<test::SpawnedProgram>(
        std::vector<std::string>{ZORBENT_PYTHON, ZORBENT_HTTP_SERVER, dir_});
    ports = server_->ReadLine(60000);
#endif
    std::sscanf(ports.c_str(), "https=%d http=%*d closed=%d", &https_, &closed_);
  }
  static void TearDownTestSuite() {
    server_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  void SetUp() override {
    if (https_ == 0) GTEST_FAIL() << "the test server did not start (needs python3 and openssl)";
  }
  static std::string Url(const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(https_) + "/" + path;
  }
  static FirmwareSource Source(const std::string& manifest, const char* key = "key") {
    FirmwareSource source;
    source.manifestUrl = Url(manifest);
    source.caFile = dir_ + "/ca.pem";
    std::string problem;
    if (key != nullptr) {
      EXPECT_TRUE(AddTrustedKeyFile(source, dir_ + "/" + key + ".pub", problem));
    }
    return source;
  }
  // Publishes name (below www) with the builds, their files holding what files says.
  static void Publish(const std::string& name, const std::vector<ManifestBuild>& builds,
                      const char* key = "key") {
    Manifest manifest;
    manifest.publisher = "test";
    manifest.published = "2026-12-09T10:00:00Z";
    manifest.builds = builds;
    const std::string json = ManifestJson(manifest);
    std::vector<std::uint8_t> signature;
    std::string problem;
    ASSERT_TRUE(SignP256(Bytes(json), Read(dir_ + "/" + key + ".pem"), signature, problem));
    Write(dir_ + "/www/" + name, json);
    Write(dir_ + "/www/" + name + ".sig", std::string(signature.begin(), signature.end()));
  }

  static inline std::unique_ptr<test::SpawnedProgram> server_;
  static inline std::string dir_;
  static inline int https_ = 0, closed_ = 0;
};

// Every fault of the manifest, its signature or a file is refused with what and why, and no
// refused file is kept.
TEST_F(Latest, RefusesWhatItCannotTrust) {
  const std::string good(3000, 'g');
  const ManifestBuild build = Build("KTR5577", "2.2.3X", "fw/good.txt", good);
  Write(dir_ + "/www/r/fw/good.txt", good);
  Publish("r/good.json", {build});
  Publish("r/other.json", {build}, "other");
  Write(dir_ + "/www/r/tampered.json", Read(dir_ + "/www/r/good.json") + " ");
  Write(dir_ + "/www/r/tampered.json.sig", Read(dir_ + "/www/r/good.json.sig"));
  Write(dir_ + "/www/r/badsig.json", Read(dir_ + "/www/r/good.json"));
  Write(dir_ + "/www/r/badsig.json.sig", "not a signature");
  Write(dir_ + "/www/r/nosig.json", Read(dir_ + "/www/r/good.json"));
  // Files that are not what the manifest says: each in a manifest of its own.
  const std::pair<const char*, std::string> files[] = {
      {"hash", std::string(2999, 'g') + "h"}, {"short", good.substr(1)}, {"long", good + "+"}};
  for (const auto& [name, bytes] : files) {
    Write(dir_ + "/www/r/" + name + ".txt", bytes);
    Publish(std::string("r/") + name + ".json",
            {Build("KTR5577", "2.2.3X", std::string(name) + ".txt", good)});
  }
  ManifestBuild stall = Build("KTR5577", "2.2.3X", "stall", good);
  stall.size = 1000;  // what /stall announces, then it sends 10 bytes and stops
  Publish("stall.json", {stall});

  const struct {
    std::string manifest;
    const char* key;
    std::string problem;
  } cases[] = {
      {"r/tampered.json", "key", "is refused: no trusted key (" + dir_ + "/key.pub) verifies it"},
      {"r/other.json", "key", "It was altered, or signed by a key not trusted here"},
      {"r/badsig.json", "key", "r/badsig.json is refused: no trusted key"},
      {"r/good.json", nullptr, "no key is trusted to sign firmware manifests"},
      {"r/none.json", "key", "cannot get the firmware manifest: "},
      {"r/nosig.json", "key", "r/nosig.json has no signature (" + Url("r/nosig.json.sig")},
      {"redirect-loop", "key", "redirected more than 5 times"},
      {"", "key", "no firmware manifest is configured"},
      {"r/hash.json", "key", "hash.txt is refused: its SHA-256 is not the one it should have"},
      {"r/short.json", "key", "short.txt is refused: it has 2999 bytes, not 3000"},
      {"r/long.json", "key", "long.txt is refused: it is larger than the 3000 bytes"},
      {"stall.json", "key", "timed out (no data for 1 s)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.manifest);
    FirmwareSource source = Source(c.manifest, c.key);
    if (c.manifest.empty()) source.manifestUrl.clear();
    source.stallTimeoutMs = 1000;
    VerifiedManifest verified;
    std::string problem, path;
    if (FetchVerifiedManifest(source, verified, problem)) {
      ASSERT_EQ(verified.manifest.builds.size(), 1u);
      EXPECT_FALSE(FetchBuild(verified, verified.manifest.builds[0], source, path, problem));
      EXPECT_FALSE(fs::exists(dir_ + "/cache/firmware/" + build.sha256 + "/" +
                              verified.manifest.builds[0].file));
    }
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
  }
  // A server that is not there.
  FirmwareSource down = Source("r/good.json");
  down.manifestUrl = "https://127.0.0.1:" + std::to_string(closed_) + "/good.json";
  VerifiedManifest verified;
  std::string problem;
  EXPECT_FALSE(FetchVerifiedManifest(down, verified, problem));
  EXPECT_NE(problem.find("cannot get the firmware manifest: "), std::string::npos) << problem;
}

// A verified build is kept by its hash and used again without the server; a local copy is
// found in the cached manifest only while its signer is trusted.
TEST_F(Latest, KeepsVerifiedFilesAndFindsThemAgain) {
  const std::string bytes = "S00F000068656C6C6F\n";
  const ManifestBuild build = Build("KTR5577", "2.2.4X", "sub/fw.txt", bytes);
  Write(dir_ + "/www/c/sub/fw.txt", bytes);
  Publish("c/m.json", {build});
  const FirmwareSource source = Source("c/m.json");
  VerifiedManifest verified;
  std::string problem, path;
  ASSERT_TRUE(FetchVerifiedManifest(source, verified, problem)) << problem;
  EXPECT_EQ(verified.signedBy, dir_ + "/key.pub");
  EXPECT_EQ(verified.url, Url("c/m.json"));
  std::size_t seen = 0;
  ASSERT_TRUE(FetchBuild(verified, verified.manifest.builds[0], source, path, problem,
                         [&seen](std::size_t done, std::size_t) { return (seen = done), true; }))
      << problem;
  EXPECT_EQ(path, dir_ + "/cache/firmware/" + build.sha256 + "/fw.txt");
  EXPECT_EQ(Read(path), bytes);
  EXPECT_EQ(seen, bytes.size());
  fs::remove(dir_ + "/www/c/sub/fw.txt");
  std::string again;
  ASSERT_TRUE(FetchBuild(verified, verified.manifest.builds[0], source, again, problem));
  EXPECT_EQ(again, path);

  std::string url;
  ManifestBuild found;
  EXPECT_TRUE(FindInTrustedManifests(source, build.sha256, url, found));
  EXPECT_EQ(url, Url("c/m.json"));
  EXPECT_EQ(found.version, "2.2.4X");
  EXPECT_FALSE(FindInTrustedManifests(source, std::string(64, '0'), url, found));
  EXPECT_FALSE(FindInTrustedManifests(Source("c/m.json", "other"), build.sha256, url, found));
  // A cached copy altered on the disk is not used; with the server's copy gone it fails.
  Write(path, "S00F000068656C6C6F\r");
  EXPECT_FALSE(FetchBuild(verified, verified.manifest.builds[0], source, again, problem));
}

// The settings: the manifest from the environment over the file, keys from the folder, and
// a bad line or key named.
TEST_F(Latest, ReadsTheSettingsAndNamesWhatIsWrong) {
  const std::string config = dir_ + "/config";
  Write(config + "/config", "# where\n  manifest = https://example.com/m.json  # ours\n\n");
  Write(config + "/trusted-keys/a.pub", Read(dir_ + "/key.pub"));
  Write(config + "/trusted-keys/notes.txt", "not a key, not read");
  ::unsetenv(kManifestVariable);
  FirmwareSource source;
  std::string problem;
  ASSERT_TRUE(DefaultFirmwareSource(source, problem)) << problem;
  EXPECT_EQ(source.manifestUrl, "https://example.com/m.json");
  EXPECT_EQ(source.keyNames, std::vector<std::string>{config + "/trusted-keys/a.pub"});
  ::setenv(kManifestVariable, "/srv/m.json", 1);
  source = {};
  ASSERT_TRUE(DefaultFirmwareSource(source, problem)) << problem;
  EXPECT_EQ(source.manifestUrl, "/srv/m.json");
  ::unsetenv(kManifestVariable);

  const std::pair<std::string, std::string> faults[] = {
      {"/config", "manifest: x\n"},
      {"/config", "manifest =\n"},
      {"/trusted-keys/b.pub", Read(dir_ + "/key.pem")},
  };
  for (const auto& [file, text] : faults) {
    Write(config + file, text);
    source = {};
    EXPECT_FALSE(DefaultFirmwareSource(source, problem));
    EXPECT_NE(problem.find(config + file), std::string::npos) << problem;
    fs::remove(config + file);
  }
  fs::remove_all(config);
}

}  // namespace
}  // namespace zorbent
