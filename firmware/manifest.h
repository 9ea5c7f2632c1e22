#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device_table.h"

namespace zorbent {

// The manifest format this program writes and the only one it reads.
inline constexpr int kManifestFormat = 1;
inline constexpr std::string_view kManifestProduct = "zOrbent adapter firmware";
// Far above any real manifest; a larger file is not one.
inline constexpr std::int64_t kMaxManifestBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxVersionChars = 32;
inline constexpr std::size_t kMaxNotesBytes = 64 * 1024;
// Where the detached signature of a manifest lives: beside it, with this added to its name.
inline constexpr std::string_view kSignatureSuffix = ".sig";

// One firmware file of a release, as the maker published it.
struct ManifestBuild {
  std::string model;  // the device table's model name
  Family family = Family::kNone;
  std::string version;  // as the file's check reads it ("2.2.3X")
  std::string file;     // relative to the manifest, '/' separated
  std::int64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  std::string notes;   // release notes, may be empty
};

struct Manifest {
  int format = kManifestFormat;
  std::string product{kManifestProduct};
  std::string publisher;
  std::string published;  // UTC, "2026-12-09T10:00:00Z"
  std::vector<ManifestBuild> builds;
};

// Reads a manifest strictly: anything unknown, missing, of the wrong type or out of range is
// refused with problem naming where ("builds[1].sha256: ..."). manifest is only complete on
// true.
bool ParseManifest(std::string_view json, Manifest& manifest, std::string& problem);

// The manifest as JSON: keys in a fixed order, 2-space indent, a final newline.
std::string ManifestJson(const Manifest& manifest);

// The newest build for a model (versions compared part by part, as the update's gates do), or
// null when the manifest has none for it.
const ManifestBuild* NewestFor(const Manifest& manifest, std::string_view model);

enum class Pick { kNewer, kUpToDate, kOnlyOlder, kNoBuild };
struct BuildChoice {
  Pick pick = Pick::kNoBuild;
  const ManifestBuild* build = nullptr;  // the newest for the model (older too, when allowed)
};

// What to do for an adapter of model running adapterVersion, from the newest build for the
// model (build, set whenever the manifest has one):
//   no build for the model                       kNoBuild (build null)
//   version unknown (empty), or newest is newer  kNewer
//   newest is the same version                   kUpToDate
//   newest is older, allowOlder false            kOnlyOlder
//   newest is older, allowOlder true             kNewer
// So kNewer always means "install build"; versions compare as the update's gates do.
BuildChoice ChooseBuild(const Manifest& manifest, std::string_view model,
                        std::string_view adapterVersion, bool allowOlder);

// Whether path can be a build's file: a relative path of letters, digits and "._~-" in
// segments separated by '/', none of them "." or ".." (so it reads the same as a URL and as
// a local path). False with why.
bool ManifestPathUsable(std::string_view path, std::string& why);

// "line" / "block", as the manifest names families.
std::string_view FamilyWord(Family family);

}  // namespace zorbent
