#pragma once

// The firmware builds a verified repository lists, read from each target's custom fields
// (model, family, version, notes), the choice of the build for an adapter, and the check that a
// downloaded file is the build its listing says. Pure and toolkit-free: the program, the
// windows and the page share it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device_table.h"
#include "firmware/tuf/updater.h"

namespace zorbent {

// Release notes longer than this are cut: they are shown, never parsed.
inline constexpr std::size_t kMaxNotesBytes = 64 * 1024;
inline constexpr std::size_t kMaxVersionChars = 32;

// One firmware file as the repository lists it.
struct ReleaseBuild {
  tuf::Target target;
  std::string model;  // the device table's model name
  Family family = Family::kNone;
  std::string version;  // as the file's check reads it ("2.2.3X")
  std::string notes;
  std::string file;  // the target's name after its model's folder ("ktr5577-2.2.3X.txt")
};

// The builds among targets: a target counts when its custom fields name a model of the device
// table, its family and a version, and its name lies in that model's folder ("KTR5577/..."),
// so a role trusted for one model's folder cannot offer a build for another. ignored counts the
// others. Per model in the device table's order, each newest first.
std::vector<ReleaseBuild> BuildsOf(const std::vector<tuf::Target>& targets, int* ignored = nullptr);

enum class Pick { kNewer, kUpToDate, kOnlyOlder, kNoBuild };
struct BuildChoice {
  Pick pick = Pick::kNoBuild;
  const ReleaseBuild* build = nullptr;  // the newest for the model (older too, when allowed)
};

// What to do for an adapter of model running adapterVersion, from the newest build for it:
//   no build for the model                       kNoBuild (build null)
//   version unknown (empty), or newest is newer  kNewer
//   newest is the same version                   kUpToDate
//   newest is older, allowOlder false            kOnlyOlder
//   newest is older, allowOlder true             kNewer
// So kNewer always means "install build"; versions compare as the update's gates do.
BuildChoice ChooseBuild(const std::vector<ReleaseBuild>& builds, std::string_view model,
                        std::string_view adapterVersion, bool allowOlder);

// Whether bytes, already checked against the target's length and hashes, are the build the
// listing says: the engine's file check reads the same model, family and version from them.
// False with a sentence naming both.
bool FileIsTheListedBuild(const ReleaseBuild& build, std::span<const std::uint8_t> bytes,
                          std::string& problem);

// "line" / "block", as the custom fields name families.
std::string_view FamilyWord(Family family);

}  // namespace zorbent
