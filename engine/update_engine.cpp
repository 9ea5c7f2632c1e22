#include "engine/update_engine.h"

#include <algorithm>
#include <string>

#include "engine/block_flow.h"
#include "engine/exchange.h"
#include "engine/identify.h"
#include "engine/line_flow.h"
#include "platform/files.h"
#include "port/port_factory.h"

namespace zorbent {
namespace {
bool stopRequested = false;
}  // namespace

Lock& EngineLock() {
  static Lock lock;
  return lock;
}

void RequestStop() {
  LockHolder hold(EngineLock());
  stopRequested = true;
}

bool StopRequested() {
  LockHolder hold(EngineLock());
  return stopRequested;
}

void ClearStopRequest() {
  LockHolder hold(EngineLock());
  stopRequested = false;
}

std::string_view BufferText(std::span<const char> buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), '\0');
  return {buffer.data(), static_cast<std::size_t>(end - buffer.begin())};
}

bool CopyToBuffer(std::span<char> buffer, std::string_view text) {
  if (buffer.empty()) return false;
  if (text.size() >= buffer.size()) {
    buffer[0] = '\0';
    return false;
  }
  std::copy(text.begin(), text.end(), buffer.begin());
  buffer[text.size()] = '\0';
  return true;
}

UpdateEngine::~UpdateEngine() {
  for (auto& channel : channels) channel.port.reset();
}

void UpdateEngine::Init(void* context, EngineCallback callbackFunction) {
  ClearStopRequest();
  callback = callbackFunction;
  callbackContext = context;
}

void UpdateEngine::ReportText(std::string_view text) {
  if (callback == nullptr) return;
  const std::string copy(text);  // the receiver gets a NUL-terminated text
  callback(callbackContext, kReportText, reinterpret_cast<std::intptr_t>(copy.c_str()));
}

void UpdateEngine::ReportProgress(int percent) {
  if (callback != nullptr) callback(callbackContext, kReportProgress, percent);
}

Port* UpdateEngine::ChannelPort(std::int32_t channel) {
  if (channel < 0 || channel >= kChannelCount) return nullptr;
  return channels[static_cast<std::size_t>(channel)].port.get();
}

std::int32_t UpdateEngine::OpenPort(std::string_view configString, std::string_view firmwarePath) {
  const auto free = std::find_if(channels.begin(), channels.end(),
                                 [](const Channel& c) { return c.port == nullptr; });
  if (free == channels.end()) {
    ReportText("**Failed** Not enough memory!\r\n");
    return -1;
  }
  ParsedConfig parsed;
  if (!ParseConfigString(configString, parsed)) {
    ReportText("**Failed** Port parameter error!\r\n");
    return -1;
  }
  // A cut path would load another file than the one asked for: refuse it instead.
  if (firmwarePath.size() >= kPathCapacity) {
    ReportText("**Failed** Firmware path is too long!\r\n");
    return -1;
  }
  std::unique_ptr<Port> port;
  std::string why;  // the last failed attempt's reason: "in use" tells the user what to do
  for (int attempt = 0; attempt < 3 && port == nullptr; ++attempt) {
    bool opened = false;
    port = CreatePort(parsed.kind, parsed.config, opened);
    if (!opened && port != nullptr) why = port->OpenFailure();
    if (!opened) port.reset();
  }
  if (port == nullptr) {
    ReportText("**Failed** Port connection error!\r\n");
    if (!why.empty()) ReportText(why + "!\r\n");
    return -1;
  }
  free->port = std::move(port);
  CopyToBuffer(free->firmwarePath, firmwarePath);
  ReportText("Port is opened!\r\n");
  return static_cast<std::int32_t>(free - channels.begin());
}

void UpdateEngine::ClosePort(std::int32_t channel) {
  if (channel < 0 || channel >= kChannelCount) return;
  channels[static_cast<std::size_t>(channel)].port.reset();
}

void UpdateEngine::ReleaseImage() {
  image.clear();
  image.shrink_to_fit();
}

std::int32_t UpdateEngine::Update(std::int32_t channel) {
  Port* port = ChannelPort(channel);
  if (port == nullptr) return -1;
  ReportProgress(1);
  const std::string path(BufferText(channels[static_cast<std::size_t>(channel)].firmwarePath));
  const std::int64_t size = LoadWholeFile(path, image);
  if (size < kMinimumImageSize || size > INT32_MAX) {
    ReportText("**Failed** File is Invalid!\r\n");
    ReleaseImage();
    imageSize = 0;
    return -1;
  }
  imageSize = static_cast<std::int32_t>(size);
  if (CheckImageFormat() < 0) return -1;  // reported, image released by the check

  std::array<char, 2048> reply{};
  SendCommand(*port, "ATE1\r", reply, 2000, 2000);  // echo on; an adapter that ignores it is fine

  std::int32_t result = -1;
  if (fileFamily == 1) {
    result = BlockModeUpdate(*this, *port);
  } else if (fileFamily == 2) {
    result = LineModeUpdate(*this, *port);
  }
  ReleaseImage();
  if (result < 0) return result;
  ReportText("File download finished!\r\n");
  ReportProgress(100);
  return 0;
}

std::int32_t UpdateEngine::ReadVersions(std::int32_t channel) {
  Port* port = ChannelPort(channel);
  if (port == nullptr) return -1;
  const std::int32_t device = ReportDeviceVersion(*this, *port, 0);
  const std::int32_t adapter = ReportAdapterVersion(*this, *port, 0);
  if (device < 0 && adapter < 0) {
    // Without this line a silent adapter would leave the user with no answer at all.
    ReportText("**Failed** The device did not report its version!\r\n");
    return -1;
  }
  return 0;
}

}  // namespace zorbent
