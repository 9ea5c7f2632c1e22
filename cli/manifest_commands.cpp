#include "cli/manifest_commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>
#include <string_view>

#include "cli/firmware_info.h"
#include "engine/device_table.h"
#include "engine/firmware_file.h"
#include "engine/identify.h"
#include "engine/image_format.h"
#include "firmware/manifest.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/signature.h"

namespace zorbent::cli {

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
// Keys and signatures are a few hundred bytes; anything near this is some other file.
constexpr std::int64_t kMaxKeyBytes = 64 * 1024;
constexpr std::int64_t kMaxSignatureBytes = 1024;

constexpr std::string_view kMakeKeyHint =
    "make one with `openssl ecparam -name prime256v1 -genkey -noout -out key.pem`";
constexpr std::string_view kPublicKeyHint =
    "give the public key made with `openssl ec -in key.pem -pubout -out key.pub`";

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A small file whole (a key, a signature, a manifest, notes); false with why naming it.
bool ReadSmallFile(const std::string& path, std::int64_t limit, std::string_view what,
                   std::string& text, std::string& why) {
  const PathFacts facts = LookAtPath(path);
  if (facts.kind == PathKind::kNone) {
    why = "cannot read " + std::string(what) + " " + path + ": " +
          std::strerror(facts.error != 0 ? facts.error : ENOENT);
    return false;
  }
  if (facts.kind != PathKind::kRegular) {
    why = path + " is not a regular file: give the " + std::string(what) + " itself";
    return false;
  }
  std::vector<std::uint8_t> bytes;
  int error = 0;
  if (LoadWholeFile(path, bytes, limit, &error) < 0) {
    why = error == EFBIG ? path + " is larger than " + std::to_string(limit) +
                               " bytes: it is not a " + std::string(what)
                         : "cannot read " + std::string(what) + " " + path + ": " +
                               std::strerror(error != 0 ? error : EIO);
    return false;
  }
  text.assign(bytes.begin(), bytes.end());
  return true;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = byte < 0x80           ? 1
                               : (byte >> 5) == 0x6  ? 2
                               : (byte >> 4) == 0xE  ? 3
                               : (byte >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
    i += length;
  }
  return true;
}

// Release notes as the manifest keeps them: "\n" line ends, no trailing blank space.
std::string TidyNotes(std::string_view text) {
  std::string notes;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) notes.push_back(text[i]);
  while (!notes.empty() && std::string_view(" \t\r\n").find(notes.back()) != std::string_view::npos)
    notes.pop_back();
  return notes;
}

std::string UtcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool Skipped(const std::string& name) {
  const auto endsWith = [&name](std::string_view end) { return name.ends_with(end); };
  // Hidden files are an editor's or a tool's, never a release's.
  return name.starts_with('.') || endsWith(".notes.txt") || endsWith(".sig") || endsWith(".json");
}

// Writes text whole to path (a temporary file, renamed into place later); false with why.
bool WriteTemporary(const fs::path& path, std::string_view text, std::string& why) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    why = "cannot write " + path.string() + ": " + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

fs::path TemporaryBeside(const fs::path& path) {
  return path.parent_path() / ("." + path.filename().string() + ".tmp");
}

int Refuse(std::FILE* out, const std::string& why) {
  std::fprintf(out, "**Failed** %s\nNothing was written.\n", why.c_str());
  return kExitFailed;
}

}  // namespace

int MakeManifest(const ManifestMakeOptions& options, std::FILE* out) {
  std::string why;
  std::string key;
  if (!ReadSmallFile(options.key, kMaxKeyBytes, "private key", key, why))
    return Refuse(out, why + "; " + std::string(kMakeKeyHint));
  std::vector<std::uint8_t> signature;
  if (!SignP256({}, key, signature, why))  // the key's problems before any file is read
    return Refuse(out, options.key + ": " + why + "; " + std::string(kMakeKeyHint));

  std::error_code error;
  const fs::path folder = fs::weakly_canonical(options.folder, error);
  if (LookAtPath(options.folder).kind != PathKind::kDirectory)
    return Refuse(out, options.folder + " is not a folder: give the folder of firmware files");
  const fs::path output = fs::absolute(options.output, error);
  const fs::path manifestFolder = fs::weakly_canonical(output.parent_path(), error);
  if (LookAtPath(manifestFolder.string()).kind != PathKind::kDirectory)
    return Refuse(out, "the folder of " + options.output + " does not exist: make it first");
  const fs::path relative = folder.lexically_relative(manifestFolder);
  if (relative.empty() || *relative.begin() == "..")
    return Refuse(out, options.folder + " is not inside the manifest's folder " +
                           manifestFolder.string() +
                           ": a manifest names its files relative to itself, so write it into " +
                           options.folder + " or a folder above it");

  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!Skipped(name) && LookAtPath(it->path().string()).kind == PathKind::kRegular)
      names.push_back(name);
  }
  if (error) return Refuse(out, "cannot list " + options.folder + ": " + error.message());
  std::sort(names.begin(), names.end());
  if (names.empty())
    return Refuse(out, options.folder +
                           " holds no firmware files (it skips *.notes.txt, *.sig, "
                           "*.json and hidden files)");

  Manifest manifest;
  manifest.publisher = options.publisher;
  if (!options.product.empty()) manifest.product = options.product;
  manifest.published = UtcNow();
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    const std::string path = (fs::path(options.folder) / name).string();
    FirmwareFacts facts;
    std::vector<std::uint8_t> image;
    if (!CheckFirmwareFile(path, facts, why, &image))
      return Refuse(out, why + "\nFix or remove that file, then run manifest make again.");
    ManifestBuild build;
    build.file = (relative / name).lexically_normal().generic_string();
    if (!ManifestPathUsable(build.file, why))
      return Refuse(out, path + " cannot be named in a manifest: " + why);
    build.model = facts.modelName;
    build.family = static_cast<Family>(facts.family);
    build.version = facts.version;
    build.size = facts.size;
    build.sha256 = Sha256Hex(image);
    for (std::size_t i = 0; i < manifest.builds.size(); ++i) {
      const ManifestBuild& earlier = manifest.builds[i];
      const DeviceModel* model = ModelByName(build.model);
      if (earlier.model == build.model &&
          CompareVersions(earlier.version, build.version, model->xDigit) == 0)
        return Refuse(out, paths[i] + " and " + path + " are both " + build.model + " v" +
                               build.version + ": a manifest lists each version once; " +
                               "remove one of them");
    }
    // NAME.notes.txt beside NAME.txt (or NAME) holds the build's release notes.
    const std::string notesPath =
        (fs::path(options.folder) / (name.substr(0, name.rfind('.')) + ".notes.txt")).string();
    if (LookAtPath(notesPath).kind != PathKind::kNone) {
      std::string notes;
      if (!ReadSmallFile(notesPath, static_cast<std::int64_t>(kMaxNotesBytes), "notes file", notes,
                         why))
        return Refuse(out, why);
      if (!IsUtf8(notes)) return Refuse(out, notesPath + " is not UTF-8 text: save it as UTF-8");
      build.notes = TidyNotes(notes);
    }
    manifest.builds.push_back(std::move(build));
    paths.push_back(path);
  }

  const std::string json = ManifestJson(manifest);
  Manifest check;
  if (!ParseManifest(json, check, why))  // never publish what verify would refuse
    return Refuse(out, "the manifest made would not read back: " + why);
  if (!SignP256(Bytes(json), key, signature, why)) return Refuse(out, options.key + ": " + why);

  fs::path signaturePath = output;
  signaturePath += std::string(kSignatureSuffix);
  const fs::path manifestTemporary = TemporaryBeside(output);
  const fs::path signatureTemporary = TemporaryBeside(signaturePath);
  const std::string_view signatureText(reinterpret_cast<const char*>(signature.data()),
                                       signature.size());
  const bool written = WriteTemporary(manifestTemporary, json, why) &&
                       WriteTemporary(signatureTemporary, signatureText, why);
  if (written) fs::rename(manifestTemporary, output, error);
  if (!written || error) {
    if (written) why = "cannot write " + output.string() + ": " + error.message();
    std::error_code ignored;
    fs::remove(manifestTemporary, ignored);
    fs::remove(signatureTemporary, ignored);
    return Refuse(out, why);
  }
  fs::rename(signatureTemporary, signaturePath, error);
  if (error) {
    std::error_code ignored;
    fs::remove(signatureTemporary, ignored);
    std::fprintf(out,
                 "**Failed** cannot write %s: %s\n%s was written, but its signature was not: run "
                 "manifest make again.\n",
                 signaturePath.string().c_str(), error.message().c_str(), options.output.c_str());
    return kExitFailed;
  }

  for (const ManifestBuild& build : manifest.builds)
    std::fprintf(out, "%-8s %-5s %-8s %s (%lld bytes%s)\n", build.model.c_str(),
                 std::string(FamilyWord(build.family)).c_str(), build.version.c_str(),
                 build.file.c_str(), static_cast<long long>(build.size),
                 build.notes.empty() ? "" : ", with notes");
  std::fprintf(out, "Wrote %s (%zu builds)\nWrote %s%s (signed with %s)\n", options.output.c_str(),
               manifest.builds.size(), options.output.c_str(),
               std::string(kSignatureSuffix).c_str(), options.key.c_str());
  return kExitOk;
}

int VerifyManifest(const std::string& manifestPath, const std::vector<std::string>& trustedKeys,
                   std::FILE* out) {
  std::string why;
  std::vector<std::string> keys;
  for (const std::string& path : trustedKeys) {
    std::string key;
    const bool read = ReadSmallFile(path, kMaxKeyBytes, "trusted key", key, why);
    if (!read || !CheckP256PublicKey(key, why)) {
      std::fprintf(out, "**Failed** %s%s; %s\n", read ? (path + ": ").c_str() : "", why.c_str(),
                   std::string(kPublicKeyHint).c_str());
      return kExitFailed;
    }
    keys.push_back(std::move(key));
  }
  std::string json;
  if (!ReadSmallFile(manifestPath, kMaxManifestBytes, "manifest", json, why)) {
    std::fprintf(out, "**Failed** %s\n", why.c_str());
    return kExitFailed;
  }
  const std::string signaturePath = manifestPath + std::string(kSignatureSuffix);
  std::string signatureText;
  if (LookAtPath(signaturePath).kind == PathKind::kNone) {
    std::fprintf(out,
                 "**Failed** %s is missing: the manifest is not signed, or its signature was not "
                 "copied with it. Get both from the publisher; makers sign with `zorbent-fw "
                 "manifest make`.\n",
                 signaturePath.c_str());
    return kExitFailed;
  }
  if (!ReadSmallFile(signaturePath, kMaxSignatureBytes, "signature", signatureText, why)) {
    std::fprintf(out, "**Failed** %s\n", why.c_str());
    return kExitFailed;
  }
  const std::vector<std::uint8_t> signature(signatureText.begin(), signatureText.end());
  std::size_t signer = keys.size();
  for (std::size_t i = 0; i < keys.size() && signer == keys.size(); ++i)
    if (VerifyP256(Bytes(json), signature, keys[i], why)) signer = i;
  if (signer == keys.size()) {
    if (why == "signature does not match")
      std::fprintf(out,
                   "**Failed** %s does not match %s with any trusted key: the manifest was "
                   "changed after it was signed, or signed with another key. Do not use it; get "
                   "it again from the publisher.\n",
                   signaturePath.c_str(), manifestPath.c_str());
    else
      std::fprintf(out, "**Failed** %s: %s; get it again from the publisher.\n",
                   signaturePath.c_str(), why.c_str());
    return kExitFailed;
  }
  std::fprintf(out, "%s: signed by the trusted key %s\n", manifestPath.c_str(),
               trustedKeys[signer].c_str());
  Manifest manifest;
  if (!ParseManifest(json, manifest, why)) {
    std::fprintf(out, "**Failed** %s: %s\n", manifestPath.c_str(), why.c_str());
    return kExitFailed;
  }

  const fs::path folder = fs::path(manifestPath).parent_path();
  int checked = 0;
  int bad = 0;
  int absent = 0;
  for (const ManifestBuild& build : manifest.builds) {
    const std::string path = (folder / build.file).string();
    const PathFacts facts = LookAtPath(path);
    std::string verdict = "ok";
    std::vector<std::uint8_t> image;
    if (facts.kind == PathKind::kNone && facts.error == ENOENT) {
      verdict = "not here, not checked";
    } else if (facts.kind == PathKind::kRegular && facts.size != build.size) {
      verdict = "BAD: " + std::to_string(facts.size) + " bytes, the manifest says " +
                std::to_string(build.size) + ": not the published file; download it again";
    } else if (!LoadFirmwareFile(path, image, why)) {
      verdict = "BAD: " + why;
    } else if (Sha256Hex(image) != build.sha256) {
      verdict =
          "BAD: its SHA-256 is not the manifest's: the file was changed or damaged; "
          "download it again";
    } else {
      const ImageFacts read = CheckImage(image);
      if (read.result < 0)
        verdict = "BAD: not a valid firmware file: line " + std::to_string(read.problem.line) +
                  ": " + read.problem.what;
      else if (ModelName(read.model) != build.model || read.version != build.version)
        verdict = "BAD: the file is for " + std::string(ModelName(read.model)) + " v" +
                  read.version + ", the manifest says " + build.model + " v" + build.version;
    }
    absent += verdict.starts_with("not here") ? 1 : 0;
    bad += verdict.starts_with("BAD") ? 1 : 0;
    checked += verdict == "ok" ? 1 : 0;
    std::fprintf(out, "%-8s %-8s %s: %s\n", build.model.c_str(), build.version.c_str(),
                 build.file.c_str(), verdict.c_str());
  }
  const std::string notHere =
      absent == 0 ? "" : "; " + std::to_string(absent) + " not here, not checked";
  if (bad > 0) {
    std::fprintf(out,
                 "Verdict: BAD: %d of the %zu files of %s failed the check%s. Do not install "
                 "what failed.\n",
                 bad, manifest.builds.size(), manifestPath.c_str(), notHere.c_str());
    return kExitFailed;
  }
  std::fprintf(out,
               "Verdict: good: %s is signed by a trusted key and %d of its %zu files match it%s.\n",
               manifestPath.c_str(), checked, manifest.builds.size(), notHere.c_str());
  return kExitOk;
}

}  // namespace zorbent::cli
