#pragma once

// The adapter models as the simulator and the image builder play them: the program's device
// table (engine/device_table.h) has the names, families, answers and file names; here are
// only the simulator's own choices, such as the version a simulated adapter runs by default.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "engine/device_table.h"

namespace zorbent::sim {

struct SimModel {
  std::string_view runningVersion;  // the firmware a simulated adapter runs by default
  // What make-image writes by default: newer than runningVersion, so a default update passes.
  std::string_view imageVersion;
  std::size_t qkiName;  // which of the table's QKI names the simulated firmware answers with
};

// Indexed by model code, as the device table.
inline constexpr std::array<SimModel, kModelCount> kSimModels = {{
    {"4.0.05", "V4.0.1X", 0},  // Ruvo03
    {"2.2.30", "V2.2.3X", 1},  // KTR5575: "zOrbent MC"
    {"2.2.30", "V2.2.3X", 0},  // KTR5577
    {"2.2.30", "V2.2.3X", 0},  // KTR5578
    {"4.0.05", "V4.0.1X", 0},  // Ruvo01
    {"2.3.01", "2.4.01", 0},   // KTR558
    {"2.3.01", "2.4.01", 0},   // KTR5688
}};

// The table's row of a model code (0 .. kModelCount - 1).
const DeviceModel& Facts(int model);
bool IsBlock(int model);
// The model code of a model name; nullopt for none.
std::optional<int> SimModelOfName(std::string_view name);
// The model whose files carry this device name (block mode: with a version after a "v");
// nullopt for none.
std::optional<int> SimModelOfDeviceName(std::string_view deviceName);
// The text after the first "v" or "V" that is followed by a digit ("zOrbent FS v2.0" -> "2.0");
// empty when there is none.
std::string VersionAfterLetter(std::string_view text);
// The device name a file for the model carries (block mode: with the version, any leading
// "V" dropped).
std::string DeviceNameFor(int model, std::string_view version);
// "Ruvo03, KTR5575, ..." and "Ruvo03, ..., \"zOrbent FS v<version>\", ...": for messages.
std::string SimModelNames();
std::string DeviceNamesThatWork();

}  // namespace zorbent::sim
