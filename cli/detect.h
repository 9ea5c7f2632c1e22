#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/json_output.h"
#include "engine/identify.h"
#include "platform/serial_ports.h"

namespace zorbent::cli {

struct DetectedDevice {
  std::string name;   // as a configuration string names it: "ttyUSB0", "/dev/pts/3", "COM3"
  std::string line;   // what was found, for a person
  bool ours = false;  // one of the adapters this program updates, running its firmware
  // What it came to, for scripts: "ours", "download_mode", "other", "silent", "cannot_open",
  // "in_use", "not_probed" or "could_not_start".
  std::string status;
  AdapterProbe probe;  // the answers, when it was probed
};

// detect --json's object for a device: device, status, model, version, qkvers, qki, banner
// (what it answered; null when not asked or silent) and description (the line a person reads).
nlohmann::json DetectedJson(const DetectedDevice& device);

// Probes devices at 115200 with read-only questions, all at once: the given ones, or, when
// none are given, the listed devices of the USB-serial bridges adapters are built on, the
// Bluetooth serial links and the tree's added devices. Other listed devices are shown as not
// probed, devices in use as skipped.
std::vector<DetectedDevice> DetectAdapters(const std::vector<std::string>& devices,
                                           const DeviceTree& tree = {});

// `zorbent-fw detect [DEVICE...]`: one line (or JSON object) per device; 0 when one of our
// adapters answered.
int ShowDetected(const std::vector<std::string>& devices, const DeviceTree& tree = {},
                 OutputFormat format = OutputFormat::kText);

// The one adapter detect finds, for --port auto, named in a line on out; false with the table
// in why when there are none or several.
bool AutoDevice(std::string& device, std::string& why, const DeviceTree& tree = {},
                std::FILE* out = stdout);

}  // namespace zorbent::cli
