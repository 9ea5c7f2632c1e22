#include "cli/detect.h"

#include <cstdio>
#include <memory>

#include "engine/device_table.h"
#include "engine/update_engine.h"
#include "firmware/outcome_json.h"
#include "platform/serial_ports.h"
#include "platform/thread.h"

namespace zorbent::cli {
namespace {

constexpr const char* kProbeRate = "115200";

// Keeps the engine's reports (a failed open's reason) instead of printing them.
void CollectReportText(void* context, std::int32_t kind, std::intptr_t value) {
  if (kind != kReportText) return;
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(value));
}

std::string Describe(const AdapterProbe& probe) {
  switch (probe.state) {
    case AdapterProbe::State::kOurs: {
      std::string line = std::string(ModelName(probe.model)) + ": ";
      if (!probe.qki.empty() && probe.qki != "?") line += "\"" + probe.qki + "\"";
      if (!probe.qkvers.empty() && probe.qkvers != "?")
        line += (line.ends_with(": ") ? "" : ", ") + ("device version \"" + probe.qkvers + "\"");
      return line;
    }
    case AdapterProbe::State::kDownloadMode:
      return "did not identify itself: it may be in download mode after an interrupted update, "
             "or it is another device (answers \"" +
             probe.banner +
             "\" to ATI; to finish an update: update FILE --recover, a block-mode "
             "adapter (" +
             ModelNames(Family::kBlock) + ") powered off and on first)";
    case AdapterProbe::State::kOther:
      return "an ELM327-compatible adapter, not one of ours (\"" + probe.banner + "\")";
    case AdapterProbe::State::kSilent:
      break;
  }
  return "no answer at 115200";
}

const char* StatusOf(AdapterProbe::State state) {
  switch (state) {
    case AdapterProbe::State::kOurs:
      return "ours";
    case AdapterProbe::State::kDownloadMode:
      return "download_mode";
    case AdapterProbe::State::kOther:
      return "other";
    case AdapterProbe::State::kSilent:
      break;
  }
  return "silent";
}

DetectedDevice Probe(const std::string& name) {
  DetectedDevice found{name, {}, false, "cannot_open", {}};
  std::string reports;
  UpdateEngine engine;
  engine.Init(&reports, &CollectReportText);
  const std::int32_t channel = engine.OpenPort("com|" + name + ":" + kProbeRate, "");
  if (channel < 0) {
    // The reason line follows the connection-error line.
    const std::size_t cut = reports.find("\r\n");
    std::string reason = cut == std::string::npos ? reports : reports.substr(cut + 2);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    found.line = "cannot open: " + (reason.empty() ? std::string("connection error") : reason);
    return found;
  }
  const AdapterProbe probe = ProbeAdapter(*engine.ChannelLink(channel));
  engine.ClosePort(channel);
  found.ours = probe.state == AdapterProbe::State::kOurs;
  found.line = Describe(probe);
  found.status = StatusOf(probe.state);
  found.probe = probe;
  return found;
}

std::string Table(const std::vector<DetectedDevice>& found) {
  std::string text;
  for (const DetectedDevice& d : found) {
    char head[64];
    std::snprintf(head, sizeof head, "%-16s ", d.name.c_str());
    text += head + d.line + "\n";
  }
  return text;
}

}  // namespace

std::vector<DetectedDevice> DetectAdapters(const std::vector<std::string>& devices,
                                           const DeviceTree& tree) {
  // One row per device in the listing's order; an empty line is still to be probed.
  std::vector<DetectedDevice> found;
  for (const std::string& name : devices) found.push_back({name, {}, false, {}, {}});
  if (devices.empty()) {
    for (const SerialPortInfo& port : ListSerialPortInfo(false, tree)) {
      std::string line, status;
      if (!port.users.empty()) {
        std::string users;
        for (const std::string& user : port.users) users += (users.empty() ? "" : ", ") + user;
        line = "skipped: in use by " + users;
        status = "in_use";
      } else if (!IsAdapterDevice(port)) {
        // Opening a device pulses its control lines, which resets many boards: only the
        // bridges adapters are built on are opened unasked.
        line = "not probed: name it to probe it";
        status = "not_probed";
      }
      found.push_back({port.path, line, false, status, {}});
    }
  }
  {
    std::vector<std::unique_ptr<Thread>> probes;
    for (DetectedDevice& row : found) {
      if (!row.line.empty()) continue;
      probes.push_back(std::make_unique<Thread>([&row] { row = Probe(row.name); }));
      if (!probes.back()->Started()) {
        row.line = "could not start: the system refused a new thread";
        row.status = "could_not_start";
      }
    }
  }  // joins every probe
  return found;
}

nlohmann::json DetectedJson(const DetectedDevice& device) {
  const AdapterProbe& probe = device.probe;
  const bool ours = probe.state == AdapterProbe::State::kOurs;
  // "?" is the engine's mark for a question that got no answer.
  const auto answer = [](const std::string& text) {
    return TextOrNull(text == "?" ? std::string() : text);
  };
  std::string version;
  if (const DeviceModel* model = ours ? ModelByCode(probe.model) : nullptr)
    version = VersionInAnswer(model->versionInQki ? probe.qki : probe.qkvers);
  return {{"device", device.name},
          {"status", device.status},
          {"model", ours ? nlohmann::json(std::string(ModelName(probe.model))) : nlohmann::json()},
          {"version", TextOrNull(version)},
          {"qkvers", answer(probe.qkvers)},
          {"qki", answer(probe.qki)},
          {"banner", answer(probe.banner)},
          {"description", device.line}};
}

int ShowDetected(const std::vector<std::string>& devices, const DeviceTree& tree,
                 OutputFormat format) {
  const std::vector<DetectedDevice> found = DetectAdapters(devices, tree);
  if (format == OutputFormat::kJson) {
    for (const DetectedDevice& d : found) WriteJsonLine(DetectedJson(d));
  }
  if (found.empty()) {
    std::fprintf(format == OutputFormat::kJson ? stderr : stdout,
                 "No USB or Bluetooth serial device found: plug in the adapter (for Bluetooth, "
                 "pair it and bind it, e.g. rfcomm bind 0 ADDRESS), or name the device: "
                 "zorbent-fw detect DEVICE (`zorbent-fw ports --all` lists the on-board ones)\n");
    return 1;
  }
  if (format == OutputFormat::kText) std::fputs(Table(found).c_str(), stdout);
  for (const DetectedDevice& d : found)
    if (d.ours) return 0;
  return 1;
}

bool AutoDevice(std::string& device, std::string& why, const DeviceTree& tree, std::FILE* out) {
  const std::vector<DetectedDevice> found = DetectAdapters({}, tree);
  std::vector<const DetectedDevice*> ours;
  for (const DetectedDevice& d : found)
    if (d.ours) ours.push_back(&d);
  if (ours.size() == 1) {
    device = ours.front()->name;
    std::fprintf(out, "Using %s: %s\n", device.c_str(), ours.front()->line.c_str());
    return true;
  }
  why = std::string(ours.empty() ? "no adapter found" : "several adapters found") +
        " for --port auto; name one with --port:\n" +
        (found.empty() ? std::string("(no USB or Bluetooth serial device)\n") : Table(found));
  return false;
}

}  // namespace zorbent::cli
