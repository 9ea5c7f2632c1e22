#pragma once

// A firmware repository in a folder, published the way a maker's is (metadata/ with
// consistent snapshots, targets/<MODEL>/<sha256>.<name>), with the test key (P-256, which
// Windows signs too) for every role: what the front ends' tests and benchmarks need; the
// client's own tests cover keys and roles.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "engine/image_format.h"
#include "firmware/release_builds.h"
#include "firmware/tuf/metadata.h"
#include "platform/digest.h"
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

}  // namespace zorbent::testing

namespace zorbent::test {

class TestRepository {
 public:
  static constexpr std::int64_t kDay = 24 * 60 * 60;

  explicit TestRepository(std::string dir) : dir_(std::move(dir)) {
    targets_.version = snapshot_.version = timestamp_.version = 0;
    std::filesystem::create_directories(dir_ + "/metadata");
    key_ = tuf::MakeKey(KeyScheme::kEcdsaP256Sha256, std::string(testing::kPublic));
    root_.keys[tuf::KeyId(key_)] = key_;
    for (const std::string_view role : {tuf::kRoot, tuf::kTimestamp, tuf::kSnapshot, tuf::kTargets})
      root_.roles[std::string(role)] = {{tuf::KeyId(key_)}, 1};
    Expire(root_, 365);
    Write("metadata/1.root.json", Signed(tuf::ToJson(root_)));
  }

  const std::string& Dir() const { return dir_; }
  // What went wrong making it (a signature); empty when nothing did.
  const std::string& Error() const { return error_; }
  std::string RootFile() const { return dir_ + "/metadata/1.root.json"; }

  // A firmware file as the target <MODEL>/<name>, its custom fields read from the file; custom
  // entries given replace those.
  void Add(const std::string& name, const std::string& text,
           const nlohmann::json& custom = nlohmann::json::object()) {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const ImageFacts facts = CheckImage(bytes);
    tuf::TargetFile file;
    file.length = static_cast<std::int64_t>(text.size());
    file.hashes["sha256"] = Sha256Hex(bytes);
    file.custom = {{"model", std::string(ModelName(facts.model))},
                   {"family", std::string(FamilyWord(facts.family))},
                   {"version", facts.version},
                   {"notes", "Faster reads."}};
    file.custom.update(custom);
    const std::string model = file.custom["model"];
    targets_.targets[model + "/" + name] = file;
    std::filesystem::create_directories(dir_ + "/targets/" + model);
    Write("targets/" + model + "/" + file.hashes["sha256"] + "." + name, text);
  }

  // New versions of targets, snapshot and timestamp, expiring in days.
  void Publish(int days = 30) {
    ++targets_.version;
    Expire(targets_, days);
    Write("metadata/" + std::to_string(targets_.version) + ".targets.json",
          Signed(tuf::ToJson(targets_)));
    ++snapshot_.version;
    snapshot_.meta["targets.json"].version = targets_.version;
    Expire(snapshot_, days);
    Write("metadata/" + std::to_string(snapshot_.version) + ".snapshot.json",
          Signed(tuf::ToJson(snapshot_)));
    ++timestamp_.version;
    timestamp_.snapshot.version = snapshot_.version;
    Expire(timestamp_, days);
    Write("metadata/timestamp.json", Signed(tuf::ToJson(timestamp_)));
  }

  std::string Read(const std::string& name) const {
    std::ifstream file(dir_ + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }

 private:
  static void Expire(tuf::Common& role, std::int64_t days) {
    role.expiresAt = static_cast<std::int64_t>(std::time(nullptr)) + days * kDay;
    role.expires = tuf::ExpiryText(role.expiresAt);
  }
  std::string Signed(const nlohmann::json& signedPart) const {
    tuf::Signature signature;
    std::string why;
    if (!tuf::SignMetadata(signedPart, key_, testing::kKey, signature, why) && error_.empty())
      error_ = why;
    return tuf::WriteEnvelope(signedPart, {signature});
  }

  std::string dir_;
  mutable std::string error_;  // Signed is const
  tuf::Key key_;
  tuf::Root root_;
  tuf::Targets targets_;  // each published as version 1 first
  tuf::Snapshot snapshot_;
  tuf::Timestamp timestamp_;
};

// A repository the program is set up to use, as a user would: named in ZORBENT_FW_REPOSITORY
// (a local folder), its root in the settings file, a cache of its own. The environment is put
// back when the object goes.
class ConfiguredRepository {
 public:
  ConfiguredRepository() : repository_(dir_.Path() + "/repository") {
    std::filesystem::create_directories(dir_.Path() + "/config");
    repository_.Write("../config/config", "root = " + repository_.RootFile() + "\n");
    Set("ZORBENT_FW_REPOSITORY", repository_.Dir());
    Set("ZORBENT_FW_CONFIG_DIR", dir_.Path() + "/config");
    Set("ZORBENT_FW_CACHE_DIR", dir_.Path() + "/cache");
  }
  ~ConfiguredRepository() {
    for (const char* name :
         {"ZORBENT_FW_REPOSITORY", "ZORBENT_FW_CONFIG_DIR", "ZORBENT_FW_CACHE_DIR"})
      Set(name, "");
  }
  ConfiguredRepository(const ConfiguredRepository&) = delete;
  ConfiguredRepository& operator=(const ConfiguredRepository&) = delete;
  const std::string& Path() const { return dir_.Path(); }
  TestRepository* operator->() { return &repository_; }

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
  testing::TempFolder dir_;
  TestRepository repository_;
};

}  // namespace zorbent::test
