#pragma once

// The seven adapter models as the simulator and the image builder know them: the names their
// firmware files carry and the versions the simulator plays by default.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace zorbent::sim {

struct SimModel {
  std::string_view name;  // as the host names the model, e.g. "KTR558"
  bool block;             // block mode (QKDLKTR...), else line mode (QKUPDT03)
  // Line mode: the trailer's device name. Block mode: the device name before its version.
  std::string_view fileName;
  std::string_view runningVersion;  // the firmware a simulated adapter runs by default
  // What make-image writes by default: newer than runningVersion, so a default update passes.
  std::string_view imageVersion;
};

// Indexed by model code, as the host numbers the models.
inline constexpr std::array<SimModel, 7> kSimModels = {{
    {"Ruvo03", false, "Ruvo03", "4.0.05", "V4.0.1X"},
    {"KTR5575", false, "KTR5575", "2.2.30", "V2.2.3X"},
    {"KTR5577", false, "KTR5577", "2.2.30", "V2.2.3X"},
    {"KTR5578", false, "KTR5578", "2.2.30", "V2.2.3X"},
    {"Ruvo01", false, "Ruvo01", "4.0.05", "V4.0.1X"},
    {"KTR558", true, "zOrbent FS v", "2.3.01", "2.4.01"},
    {"KTR5688", true, "zOrbent FS BT v", "2.3.01", "2.4.01"},
}};

// The model code of a model name; nullopt for none.
std::optional<int> SimModelOfName(std::string_view name);
// The model whose files carry this device name: a line-mode model's own name, or a block-mode
// prefix followed by a version that starts with a digit; nullopt for none.
std::optional<int> SimModelOfDeviceName(std::string_view deviceName);
// The device name a file for the model carries (block mode: with the version, any leading
// "V" dropped).
std::string DeviceNameFor(int model, std::string_view version);
// "Ruvo03, KTR5575, ..." and "Ruvo03, ..., \"zOrbent FS v<version>\", ...": for messages.
std::string SimModelNames();
std::string DeviceNamesThatWork();

}  // namespace zorbent::sim
