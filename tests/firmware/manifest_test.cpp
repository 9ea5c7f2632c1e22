#include "firmware/manifest.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/signature.h"

namespace zorbent {
namespace {

const std::string kSha(64, 'a');

// Two builds of two families; the refusals below change one thing each.
const std::string kGood = R"({"format": 1, "product": "zOrbent adapter firmware",
  "publisher": "zOrbent Ltd", "published": "2026-12-09T10:00:00Z",
  "builds": [{"model": "KTR5577", "family": "line", "version": "2.2.3X",
              "file": "files/ktr5577.txt", "size": 1234, "sha256": ")" +
                          kSha + R"(", "notes": "Faster \"ATI\".\nSecond line: é"},
             {"model": "KTR558", "family": "block", "version": "2.4.01",
              "file": "ktr558.txt", "size": 99, "sha256": ")" +
                          std::string(64, 'b') + R"(", "notes": ""}]})";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  return at == std::string::npos ? "(not found: " + from + ")" : text.replace(at, from.size(), to);
}

TEST(Manifest, RefusesEachFaultNamingWhereItIs) {
  const struct {
    std::string from, to;  // from empty: to is the whole text
    std::string problem;
  } cases[] = {
      {"", "", "manifest: not JSON: parse error at line 1, column 1"},
      {"", "[1]", "manifest: must be a JSON object"},
      {"\"builds\": [", "\"builds\": {", "manifest: not JSON: parse error at line 3"},
      {"\"format\": 1", "\"format\": 2",
       "format: 2 is not a manifest format this program reads (it reads 1); a newer zorbent-fw "
       "may read it"},
      {"\"format\": 1", "\"format\": \"1\"", "format: must be a whole number"},
      {"\"format\": 1,", "", "format: missing"},
      {"\"publisher\"", "\"publsher\"", "publsher: not a field of this manifest format"},
      {"2026-12-09T10:00:00Z", "2026-13-09T10:00:00Z", "published: \"2026-13-09T10:00:00Z\" is"},
      {"\"product\": \"zOrbent adapter firmware\"", "\"product\": 7",
       "product: must be a text in quotes"},
      {"{\"model\"", "[{\"model\"", "manifest: not JSON"},
      {"\"KTR5577\"", "\"KTR9999\"",
       "builds[0].model: \"KTR9999\" is no adapter model this program updates; the models are "
       "Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01, KTR558, KTR5688"},
      {"\"family\": \"line\"", "\"family\": \"block\"",
       "builds[0].family: \"block\" does not fit the model: KTR5577 takes line-mode files"},
      {"\"family\": \"line\"", "\"family\": \"Line\"",
       "builds[0].family: \"Line\" is neither \"line\" nor \"block\""},
      {"\"2.2.3X\"", "\"v2.2\"", "builds[0].version: \"v2.2\" is not a version"},
      {"1234", "0", "builds[0].size: 0 is not from 1 to 16777216"},
      {"1234", "16777217", "builds[0].size: 16777217 is not from 1 to 16777216"},
      {"1234", "18446744073709551615", "builds[0].size: 18446744073709551615 is not from 1"},
      {"1234", "12.5", "builds[0].size: must be a whole number"},
      {"1234", "1234, \"size\": 1", "size: given twice in one object"},
      {kSha, std::string(64, 'A'), "builds[0].sha256: must be 64 lower-case hex digits"},
      {kSha, std::string(63, 'a'), "builds[0].sha256: must be 64 lower-case hex digits"},
      {"files/ktr5577.txt", "/srv/fw.txt",
       "builds[0].file: \"/srv/fw.txt\" is an absolute path; give it relative to the manifest"},
      {"files/ktr5577.txt", "files/../../etc/passwd",
       "builds[0].file: \"files/../../etc/passwd\" goes above the manifest's folder"},
      {"files/ktr5577.txt", "https://example.com/fw.txt", "has a scheme or drive"},
      {"files/ktr5577.txt", "C:\\\\fw.txt", "has a scheme or drive"},
      {"files/ktr5577.txt", "files\\\\fw.txt", "separate folders with \"/\""},
      {"files/ktr5577.txt", "files//fw.txt", "has an empty or \".\" folder name"},
      {"files/ktr5577.txt", "fw 1.txt", "a manifest path cannot hold (\" \")"},
      {"files/ktr5577.txt", "", "builds[0].file: empty"},
      {", \"notes\": \"\"", "", "builds[1].notes: missing"},
      {"\"notes\": \"\"", "\"notes\": \"\", \"signed\": 1",
       "builds[1].signed: not a field of this manifest format"},
      {"\"KTR558\", \"family\": \"block\", \"version\": \"2.4.01\"",
       "\"KTR5577\", \"family\": \"line\", \"version\": \"2.2.39\"",
       "builds[1].version: KTR5577 2.2.39 is listed twice (also builds[0], 2.2.3X)"},
      {"ktr558.txt", "files/ktr5577.txt",
       "builds[1].file: \"files/ktr5577.txt\" is also builds[0]'s file"},
      {"", Replaced(kGood, kGood.substr(kGood.find("[{")), "[]}"),
       "builds: empty: a manifest lists at least one build"},
  };
  Manifest manifest;
  std::string problem;
  ASSERT_TRUE(ParseManifest(kGood, manifest, problem)) << problem;
  for (const auto& c : cases) {
    const std::string text = c.from.empty() ? c.to : Replaced(kGood, c.from, c.to);
    EXPECT_FALSE(ParseManifest(text, manifest, problem)) << text;
    EXPECT_NE(problem.find(c.problem), std::string::npos) << c.problem << "\n" << problem;
  }
}

TEST(Manifest, WritesInAFixedFormThatReadsBackTheSame) {
  Manifest manifest;
  std::string problem;
  ASSERT_TRUE(ParseManifest(kGood, manifest, problem)) << problem;
  ASSERT_EQ(manifest.builds.size(), 2u);
  EXPECT_EQ(manifest.builds[0].family, Family::kLine);
  EXPECT_EQ(manifest.builds[0].notes, "Faster \"ATI\".\nSecond line: \xC3\xA9");
  EXPECT_EQ(manifest.builds[1].size, 99);
  const std::string json = ManifestJson(manifest);
  EXPECT_EQ(json.substr(0, json.find("\"builds\"")),
            "{\n  \"format\": 1,\n  \"product\": \"zOrbent adapter firmware\",\n"
            "  \"publisher\": \"zOrbent Ltd\",\n  \"published\": \"2026-12-09T10:00:00Z\",\n  ");
  EXPECT_NE(json.find("\n    {\n      \"model\": \"KTR5577\",\n      \"family\": \"line\",\n"
                      "      \"version\": \"2.2.3X\",\n      \"file\": \"files/ktr5577.txt\",\n"
                      "      \"size\": 1234,\n      \"sha256\": \""),
            std::string::npos)
      << json;
  EXPECT_EQ(json.back(), '\n');
  Manifest again;
  ASSERT_TRUE(ParseManifest(json, again, problem)) << problem;
  EXPECT_EQ(ManifestJson(again), json);

  std::ostringstream example;
  example << std::ifstream(ZORBENT_MANIFEST_EXAMPLE, std::ios::binary).rdbuf();
  ASSERT_TRUE(ParseManifest(example.str(), manifest, problem)) << problem;
  EXPECT_EQ(ManifestJson(manifest), example.str());
}

TEST(Manifest, NewestForComparesVersionsPartByPart) {
  Manifest manifest;
  const auto add = [&manifest](const char* model, const char* version) {
    ManifestBuild build;
    build.model = model;
    build.version = version;
    manifest.builds.push_back(build);
  };
  add("KTR5577", "2.2.3X");  // X is the model's 9: 2.2.39
  add("KTR5577", "2.2.40");
  add("KTR5577", "2.2.38");
  add("KTR558", "2.10.1");
  add("KTR558", "2.9.9");
  add("KTR5578", "3.0.00");
  ASSERT_NE(NewestFor(manifest, "KTR5577"), nullptr);
  EXPECT_EQ(NewestFor(manifest, "KTR5577")->version, "2.2.40");
  EXPECT_EQ(NewestFor(manifest, "KTR558")->version, "2.10.1");
  EXPECT_EQ(NewestFor(manifest, "KTR5688"), nullptr);
  manifest.builds[1].version = "2.2.3";
  EXPECT_EQ(NewestFor(manifest, "KTR5577")->version, "2.2.3X");
}

// Fresh keys from openssl each run: what it signs verifies here and the reverse, and a
// changed byte or another key does not.
TEST(Manifest, SignaturesInteroperateWithOpenssl) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
  char pattern[] = "/tmp/zorbent-manifest-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const auto read = [&dir](const std::string& name) {
    std::ostringstream text;
    text << std::ifstream(dir + "/" + name, std::ios::binary).rdbuf();
    return text.str();
  };
  const auto openssl = [&dir](const std::string& args) {
    return std::system(("cd " + dir + " && openssl " + args + " >/dev/null 2>&1").c_str());
  };
  ASSERT_EQ(openssl("ecparam -name prime256v1 -genkey -noout -out key.pem"), 0);
  ASSERT_EQ(openssl("ec -in key.pem -pubout -out key.pub"), 0);
  ASSERT_EQ(openssl("ecparam -name prime256v1 -genkey -noout -out other.pem"), 0);
  ASSERT_EQ(openssl("ec -in other.pem -pubout -out other.pub"), 0);
  std::ofstream(dir + "/manifest.json", std::ios::binary) << kGood;
  ASSERT_EQ(openssl("dgst -sha256 -sign key.pem -out openssl.sig manifest.json"), 0);

  const std::string bytes = read("manifest.json");
  const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
  std::vector<std::uint8_t> ours;
  std::string problem;
  ASSERT_TRUE(SignP256(data, read("key.pem"), ours, problem)) << problem;
  std::ofstream(dir + "/ours.sig", std::ios::binary)
      .write(reinterpret_cast<const char*>(ours.data()), static_cast<std::streamsize>(ours.size()));
  EXPECT_EQ(openssl("dgst -sha256 -verify key.pub -signature ours.sig manifest.json"), 0);
  EXPECT_NE(openssl("dgst -sha256 -verify other.pub -signature ours.sig manifest.json"), 0);

  const std::string theirs = read("openssl.sig");
  const std::vector<std::uint8_t> signature(theirs.begin(), theirs.end());
  EXPECT_TRUE(VerifyP256(data, signature, read("key.pub"), problem)) << problem;
  EXPECT_FALSE(VerifyP256(data, signature, read("other.pub"), problem));
  EXPECT_EQ(problem, "signature does not match");
  std::string changed = bytes;
  changed[changed.size() / 2] ^= 1;
  EXPECT_FALSE(VerifyP256({reinterpret_cast<const std::uint8_t*>(changed.data()), changed.size()},
                          signature, read("key.pub"), problem));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zorbent
