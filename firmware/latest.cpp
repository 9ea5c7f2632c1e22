#include "firmware/latest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>

#include "engine/device_table.h"
#include "engine/identify.h"
#include "firmware/built_in_keys.h"
#include "firmware/fetch_words.h"
#include "firmware/text_lines.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/signature.h"
#include "platform/user_folders.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

// Where a verified manifest is kept in the cache: manifests/<hash of its URL>/ with these.
constexpr std::string_view kCachedManifest = "manifest.json";
constexpr std::string_view kCachedUrl = "url";
constexpr std::string_view kKeyExtension = ".pub";
// Enough of a URL's SHA-256 to name its folder.
constexpr std::size_t kUrlHashChars = 24;
// More cached manifests than anyone keeps; the lookup stops there.
constexpr std::size_t kMaxCachedManifests = 256;
constexpr std::string_view kConfigFile = "config";
constexpr std::string_view kKeysFolder = "trusted-keys";
#ifndef _WIN32
constexpr std::string_view kSystemKeysFolder = "/etc/zorbent-fw/trusted-keys";
#endif

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(start, end - start + 1));
}

// A small file whole; false with errno's story naming it. A missing file is told by missing.
bool ReadSmall(const std::string& path, std::int64_t limit, std::string& text, std::string& why,
               bool* missing = nullptr) {
  const PathFacts facts = LookAtPath(path);
  if (missing != nullptr) *missing = facts.kind == PathKind::kNone && facts.error == ENOENT;
  if (facts.kind != PathKind::kRegular) {
    why = facts.kind == PathKind::kNone ? "cannot read " + path + ": " +
                                              std::strerror(facts.error != 0 ? facts.error : ENOENT)
                                        : path + " is not a regular file";
    return false;
  }
  std::vector<std::uint8_t> bytes;
  int error = 0;
  if (LoadWholeFile(path, bytes, limit, &error) < 0) {
    why = error == EFBIG ? path + " is larger than " + std::to_string(limit) + " bytes"
                         : "cannot read " + path + ": " + std::strerror(error != 0 ? error : EIO);
    return false;
  }
  text.assign(bytes.begin(), bytes.end());
  return true;
}

// Writes bytes to a temporary name beside path, then renames it into place, so a reader never
// sees half a file. False with why.
bool WriteWhole(const fs::path& path, std::span<const std::uint8_t> bytes, std::string& why) {
  // A name of its own: two runs fetching the same build must not write into one file.
  const fs::path temporary = path.parent_path() / ("." + path.filename().string() + "." +
                                                   std::to_string(std::random_device{}()) + ".tmp");
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
      why = "cannot write " + temporary.string() + ": " + std::strerror(errno != 0 ? errno : EIO);
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    why = "cannot write " + path.string() + ": " + ec.message();
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

// The *.pub files of a folder, sorted; a missing folder has none.
std::vector<std::string> KeyFilesIn(const std::string& folder) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (path.extension() == kKeyExtension && !path.filename().string().starts_with('.'))
      paths.push_back(path.string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The config file's settings: "manifest = URL" lines, '#' comments, blank lines.
bool ReadConfig(const std::string& path, FirmwareSource& source, bool manifestChosen,
                std::string& problem) {
  std::string text;
  std::string why;
  bool missing = false;
  if (!ReadSmall(path, kMaxConfigBytes, text, why, &missing)) {
    if (missing) return true;
    problem = "the settings file " + why;
    return false;
  }
  TextLines lines(text);
  for (std::string_view line; lines.Next(line);) {
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    if (Trimmed(line).empty()) continue;
    const std::string where = path + " line " + std::to_string(lines.Number());
    const std::size_t equals = line.find('=');
    const std::string name = Trimmed(line.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : Trimmed(line.substr(equals + 1));
    if (equals == std::string_view::npos || name != "manifest") {
      problem = where + ": \"" + Trimmed(line) +
                "\" is not a setting; the file takes \"manifest = URL\" (and # comments)";
      return false;
    }
    if (value.empty()) {
      problem = where + ": no URL after \"manifest =\"";
      return false;
    }
    if (!manifestChosen) source.manifestUrl = value;
  }
  return true;
}

bool AddKey(FirmwareSource& source, std::string pem, std::string name, std::string& problem) {
  std::string why;
  if (!CheckP256PublicKey(pem, why)) {
    problem = "the trusted key " + name + " is not usable: " + why +
              "; give a public key as `openssl ec -in key.pem -pubout` writes it, or remove it";
    return false;
  }
  source.trustedKeys.push_back(std::move(pem));
  source.keyNames.push_back(std::move(name));
  return true;
}

// The key that verifies bytes against signature; false with why none did.
bool SignedByTrusted(const FirmwareSource& source, std::string_view bytes,
                     std::string_view signature, std::string& signedBy, std::string& why) {
  std::string names;
  for (std::size_t i = 0; i < source.trustedKeys.size(); ++i) {
    std::string problem;
    if (VerifyP256(Bytes(bytes), Bytes(signature), source.trustedKeys[i], problem)) {
      signedBy = i < source.keyNames.size() ? source.keyNames[i] : "key " + std::to_string(i + 1);
      return true;
    }
    why = problem;
    names += (names.empty() ? "" : ", ") +
             (i < source.keyNames.size() ? source.keyNames[i] : std::to_string(i + 1));
  }
  why = "no trusted key (" + names + ") verifies it (" + why + ")";
  return false;
}

std::string NoKeyProblem() {
  std::string error;
  const std::string config = UserConfigFolder(error);
  return "no key is trusted to sign firmware manifests: put the publisher's public key (.pub) in " +
         (config.empty() ? std::string(kKeysFolder) : config + kFolderSeparator + "trusted-keys") +
         " or give it with --trust";
}

std::string CacheFolder(std::string_view below, std::string& problem) {
  std::string error;
  const std::string folder = UserCacheFolder(below, error);
  if (folder.empty())
    problem = "no cache folder for downloaded firmware: " + error + " (" + kCacheFolderVariable +
              " names another)";
  return folder;
}

// Keeps a verified manifest for FindInTrustedManifests. A cache that cannot be written only
// means local files are not recognised later, so it fails quietly.
void KeepManifest(const std::string& url, std::string_view json, std::string_view signature) {
  std::string problem;
  const std::string hash = Sha256Hex(Bytes(url)).substr(0, kUrlHashChars);
  const std::string folder =
      CacheFolder(std::string("manifests") + kFolderSeparator + hash, problem);
  if (folder.empty()) return;
  const fs::path base(folder);
  std::string why;
  const std::string signatureName = std::string(kCachedManifest) + std::string(kSignatureSuffix);
  if (WriteWhole(base / signatureName, Bytes(signature), why) &&
      WriteWhole(base / std::string(kCachedManifest), Bytes(json), why))
    WriteWhole(base / std::string(kCachedUrl), Bytes(url), why);
}

}  // namespace

bool AddTrustedKeyFile(FirmwareSource& source, const std::string& path, std::string& problem) {
  std::string pem;
  std::string why;
  if (!ReadSmall(path, kMaxTrustedKeyBytes, pem, why)) {
    problem = "the trusted key " + why;
    return false;
  }
  return AddKey(source, std::move(pem), path, problem);
}

bool DefaultFirmwareSource(FirmwareSource& source, std::string& problem) {
  const char* chosen = std::getenv(kManifestVariable);
  const bool manifestChosen = chosen != nullptr && *chosen != '\0';
  if (manifestChosen) source.manifestUrl = chosen;
  std::string error;
  const std::string config = UserConfigFolder(error);
  std::vector<std::string> keyFiles;
  if (!config.empty()) {
    if (!ReadConfig(config + kFolderSeparator + std::string(kConfigFile), source, manifestChosen,
                    problem))
      return false;
    keyFiles = KeyFilesIn(config + kFolderSeparator + std::string(kKeysFolder));
  }
#ifndef _WIN32
  for (std::string& path : KeyFilesIn(std::string(kSystemKeysFolder)))
    keyFiles.push_back(std::move(path));
#endif
  for (const std::string& path : keyFiles)
    if (!AddTrustedKeyFile(source, path, problem)) return false;
  for (const BuiltInKey* key = kBuiltInKeys; key->name != nullptr; ++key)
    if (!AddKey(source, key->pem, std::string("built-in key ") + key->name, problem)) return false;
  return true;
}

bool FetchVerifiedManifest(const FirmwareSource& source, VerifiedManifest& out,
                           std::string& problem, const FetchProgress& progress) {
  if (source.manifestUrl.empty()) {
    std::string error;
    const std::string config = UserConfigFolder(error);
    problem = "no firmware manifest is configured: give its URL with --manifest, in " +
              std::string(kManifestVariable) + ", or as a \"manifest = URL\" line in " +
              (config.empty() ? std::string("the settings file")
                              : config + kFolderSeparator + std::string(kConfigFile));
    return false;
  }
  if (source.trustedKeys.empty()) {
    problem = NoKeyProblem();
    return false;
  }
  const std::string& url = source.manifestUrl;
  FetchLimits limits;
  limits.caFile = source.caFile;
  limits.stallTimeoutMs = source.stallTimeoutMs;
  limits.maxBytes = static_cast<std::size_t>(kMaxManifestBytes);
  const FetchResult manifest = Fetch(url, limits, progress);
  if (!manifest.ok) {
    problem = "cannot get the firmware manifest: " + FetchSentence(manifest);
    return false;
  }
  const std::string signatureUrl = url + std::string(kSignatureSuffix);
  limits.maxBytes = static_cast<std::size_t>(kMaxManifestSignatureBytes);
  const FetchResult signature = Fetch(signatureUrl, limits);
  if (!signature.ok) {
    problem =
        signature.kind == FetchResult::Problem::kNotFound ||
                (signature.kind == FetchResult::Problem::kFileUnreadable &&
                 LookAtPath(signatureUrl).kind == PathKind::kNone)
            ? "the firmware manifest " + url + " has no signature (" + signatureUrl +
                  " is missing), so it cannot be trusted: ask its publisher to sign it"
            : "cannot get the signature of the firmware manifest: " + FetchSentence(signature);
    return false;
  }
  const std::string json(manifest.body.begin(), manifest.body.end());
  const std::string signatureBytes(signature.body.begin(), signature.body.end());
  std::string why;
  if (!SignedByTrusted(source, json, signatureBytes, out.signedBy, why)) {
    problem = "the firmware manifest " + url + " is refused: " + why +
              ". It was altered, or signed by a key not trusted here: nothing was downloaded "
              "from it";
    return false;
  }
  if (!ParseManifest(json, out.manifest, why)) {
    problem = "the firmware manifest " + url + " is signed but not usable: " + why +
              " (a newer zorbent-fw may read it)";
    return false;
  }
  out.url = url;
  KeepManifest(url, json, signatureBytes);
  return true;
}

bool FetchBuild(const VerifiedManifest& manifest, const ManifestBuild& build,
                const FirmwareSource& source, std::string& path, std::string& problem,
                const FetchProgress& progress, std::vector<std::uint8_t>* bytes) {
  std::string why;
  if (!ManifestPathUsable(build.file, why)) {  // a manifest made in code, not parsed
    problem = "the manifest's file \"" + build.file + "\" cannot be fetched: " + why;
    return false;
  }
  const std::string folder =
      CacheFolder(std::string("firmware") + kFolderSeparator + build.sha256, problem);
  if (folder.empty()) return false;
  const std::string name = build.file.substr(build.file.rfind('/') + 1);
  const fs::path target = fs::path(folder) / name;
  const auto matches = [&build](std::span<const std::uint8_t> bytes) {
    return static_cast<std::int64_t>(bytes.size()) == build.size &&
           Sha256Hex(bytes) == build.sha256;
  };
  std::vector<std::uint8_t> cached;
  if (LoadWholeFile(target.string(), cached, build.size) >= 0 && matches(cached)) {
    path = target.string();
    if (progress) progress(cached.size(), cached.size());
    if (bytes != nullptr) *bytes = std::move(cached);
    return true;
  }
  const std::string url = ResolveRelativeUrl(manifest.url, build.file);
  FetchLimits limits;
  limits.caFile = source.caFile;
  limits.stallTimeoutMs = source.stallTimeoutMs;
  limits.maxBytes = static_cast<std::size_t>(build.size);
  const FetchResult got = Fetch(url, limits, progress);
  const std::string refused = "the firmware file " + url + " is refused: ";
  const std::string told = " (the signed manifest " + manifest.url +
                           " says otherwise): it was altered or replaced, and is not kept";
  if (!got.ok) {
    problem = got.kind == FetchResult::Problem::kTooLarge
                  ? refused + "it is larger than the " + std::to_string(build.size) +
                        " bytes it should have" + told
                  : "cannot download the firmware file: " + FetchSentence(got);
    return false;
  }
  if (static_cast<std::int64_t>(got.body.size()) != build.size) {
    problem = refused + "it has " + std::to_string(got.body.size()) + " bytes, not " +
              std::to_string(build.size) + told;
    return false;
  }
  if (Sha256Hex(got.body) != build.sha256) {
    problem = refused + "its SHA-256 is not the one it should have" + told;
    return false;
  }
  if (!WriteWhole(target, got.body, why)) {
    problem = "cannot keep the downloaded firmware file: " + why;
    return false;
  }
  path = target.string();
  if (bytes != nullptr) *bytes = got.body;
  return true;
}

bool FindInTrustedManifests(const FirmwareSource& source, std::string_view sha256,
                            std::string& manifestUrl, ManifestBuild& build) {
  if (source.trustedKeys.empty() || sha256.empty()) return false;
  std::string error;
  const std::string cache = UserCacheFolder(error);
  if (cache.empty()) return false;
  std::vector<fs::path> folders;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(cache) / "manifests", ec), end;
       !ec && it != end && folders.size() < kMaxCachedManifests; it.increment(ec))
    folders.push_back(it->path());
  std::sort(folders.begin(), folders.end());
  const std::string signatureName = std::string(kCachedManifest) + std::string(kSignatureSuffix);
  for (const fs::path& folder : folders) {
    std::string json;
    std::string signature;
    std::string url;
    std::string why;
    std::string signedBy;
    Manifest manifest;
    if (!ReadSmall((folder / std::string(kCachedManifest)).string(), kMaxManifestBytes, json,
                   why) ||
        !ReadSmall((folder / signatureName).string(), kMaxManifestSignatureBytes, signature, why) ||
        !ReadSmall((folder / std::string(kCachedUrl)).string(), kMaxManifestBytes, url, why) ||
        !SignedByTrusted(source, json, signature, signedBy, why) ||
        !ParseManifest(json, manifest, why))
      continue;
    for (const ManifestBuild& each : manifest.builds) {
      if (each.sha256 != sha256) continue;
      manifestUrl = url;
      build = each;
      return true;
    }
  }
  return false;
}

}  // namespace zorbent
