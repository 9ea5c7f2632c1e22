#pragma once

// A maker's release in a folder: firmware files and the manifest naming them, signed with the
// test key, as `zorbent-fw manifest make` would write it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/image_format.h"
#include "firmware/manifest.h"
#include "platform/digest.h"
#include "platform/signature.h"
#include "tests/support/test_keys.h"

namespace zorbent::testing {

// A folder of its own under the system's temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> serial{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("zorbent-release-" + std::to_string(getpid()) + "-" + std::to_string(serial++)))
                .string();
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline void WriteText(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

// files: name in the folder, content. Returns the manifest's path.
inline std::string WriteSignedRelease(
    const std::string& dir, const std::vector<std::pair<std::string, std::string>>& files) {
  Manifest manifest;
  manifest.publisher = "zOrbent test release";
  manifest.published = "2026-12-09T10:00:00Z";
  for (const auto& [name, text] : files) {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const ImageFacts facts = CheckImage(bytes);
    EXPECT_GE(facts.result, 0) << name;
    manifest.builds.push_back({std::string(ModelName(facts.model)), facts.family, facts.version,
                               name, static_cast<std::int64_t>(text.size()), Sha256Hex(bytes),
                               "Faster reads."});
    WriteText(dir + "/" + name, text);
  }
  const std::string json = ManifestJson(manifest);
  std::vector<std::uint8_t> signature;
  std::string problem;
  EXPECT_TRUE(SignP256({reinterpret_cast<const std::uint8_t*>(json.data()), json.size()}, kKey,
                       signature, problem))
      << problem;
  const std::string path = dir + "/manifest.json";
  WriteText(path, json);
  WriteText(path + std::string(kSignatureSuffix),
            {reinterpret_cast<const char*>(signature.data()), signature.size()});
  return path;
}

// A release the program is set up to use, as a user would: the manifest named in
// ZORBENT_FW_MANIFEST, the test key trusted in the settings folder, a cache of its own. The
// environment is put back when the object goes.
class ConfiguredRelease {
 public:
  explicit ConfiguredRelease(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const char* sub : {"/release", "/config/trusted-keys", "/cache"})
      std::filesystem::create_directories(dir_.Path() + sub);
    WriteText(dir_.Path() + "/config/trusted-keys/maker.pub", kPublic);
    Set("ZORBENT_FW_MANIFEST", WriteSignedRelease(dir_.Path() + "/release", files));
    Set("ZORBENT_FW_CONFIG_DIR", dir_.Path() + "/config");
    Set("ZORBENT_FW_CACHE_DIR", dir_.Path() + "/cache");
  }
  ~ConfiguredRelease() {
    for (const char* name :
         {"ZORBENT_FW_MANIFEST", "ZORBENT_FW_CONFIG_DIR", "ZORBENT_FW_CACHE_DIR"})
      Set(name, "");
  }
  ConfiguredRelease(const ConfiguredRelease&) = delete;
  ConfiguredRelease& operator=(const ConfiguredRelease&) = delete;
  const std::string& Path() const { return dir_.Path(); }

 private:
  static void Set(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
      unsetenv(name);
    } else {
      setenv(name, value.c_str(), 1);
    }
#endif
  }
  TempFolder dir_;
};

}  // namespace zorbent::testing
