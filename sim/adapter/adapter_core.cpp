#include "sim/adapter/adapter_core.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace zorbent::sim {
namespace {

// Line mode's download command, the same for every line-mode model.
constexpr std::string_view kLineDownload = "QKUPDT03";

constexpr std::string_view kPrompt = "\r\r>";
constexpr std::string_view kUnknown = "?\r\r>";
// Download mode runs the boot loader, which does not answer "ATI" as an ELM327.
constexpr std::string_view kBootBanner = "zOrbent boot loader";

constexpr std::uint8_t kLengthMask = 0xB6;
constexpr std::uint8_t kCharMask = 0xC9;
constexpr std::size_t kLineDataDigits = 134;  // R1..R67: the type digits are not sent
constexpr std::size_t kLineRecordBytes = 68;

// Line-mode models whose QKI shows the ELM327 level and QKVERS the firmware version.
bool UsesRuvoVersions(int model) {
  return !IsBlock(model) && !Facts(model).versionInQki;
}

// What the firmware's "QKI" answer starts with, before the version: "zOrbent MC v".
std::string QkiName(int model) {
  std::string name(Facts(model).qkiNames[kSimModels[static_cast<std::size_t>(model)].qkiName]);
  if (!name.ends_with('v')) name += " v";
  return name;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Hex digits to bytes; false when a character is not a digit or the count is odd.
bool HexToBytes(std::string_view hex, std::vector<std::uint8_t>& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

std::string EndRecordData() {
  std::string data = "FFF1";
  data.append(129, '0');
  data.push_back('F');
  return data;
}

bool IsVersionText(std::string_view text) {
  if (text.empty() || text.size() > 4) return false;
  for (const char c : text)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.')) return false;
  return true;
}

// AT commands are read as an ELM327 reads them: case and spaces do not matter.
std::string NormalizeAt(std::string_view text) {
  std::string out;
  for (const char c : text)
    if (c != ' ') out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return out;
}

// "2.3.01" -> "2.3.02": the last number goes up by one, keeping its width.
std::string BumpVersion(std::string version) {
  std::size_t end = version.size();
  while (end > 0 && !std::isdigit(static_cast<unsigned char>(version[end - 1]))) --end;
  if (end == 0) return version + ".1";
  std::size_t i = end;
  while (i > 0) {
    char& c = version[i - 1];
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    if (c != '9') {
      ++c;
      return version;
    }
    c = '0';
    --i;
  }
  version.insert(i, "1");
  return version;
}

// The version the firmware in the records names in its own device name, a text up to a NUL
// (see BlockImageOptions::nameInData); empty when there is none.
std::string VersionInBlockRecords(const std::vector<std::string>& records, int model) {
  const DeviceModel& facts = Facts(model);
  const std::string_view start = facts.fileDeviceName.substr(0, facts.fileNameMatch);
  std::vector<std::uint8_t> bytes;
  for (const std::string& record : records) {
    if (!HexToBytes(record, bytes) || bytes.size() < 3) continue;
    const std::size_t length = std::min<std::size_t>(bytes[0] * 256u + bytes[1], bytes.size() - 2);
    const std::string_view data(reinterpret_cast<const char*>(bytes.data() + 2), length);
    const std::size_t at = data.find(start);
    const std::size_t end = at == std::string_view::npos ? at : data.find('\0', at);
    if (end == std::string_view::npos) continue;
    const std::string_view name = data.substr(at, end - at);
    if (ModelOfFile(Family::kBlock, name) == model && !VersionAfterLetter(name).empty())
      return VersionAfterLetter(name);
  }
  return {};
}

}  // namespace

std::optional<int> ParseModel(std::string_view name) {
  if (name == "generic") return kGenericModel;
  return SimModelOfName(name);
}

std::string_view ModelName(int model) {
  return zorbent::ModelName(model);
}

bool IsBlockModel(int model) {
  return IsBlock(model);
}

AdapterCore::AdapterCore(AdapterOptions options, AdapterFaults faults)
    : options_(std::move(options)), faults_(std::move(faults)) {
  if (options_.model == kGenericModel) {
    options_.generic = true;
    if (options_.elmVersion == "2.2") options_.elmVersion = "1.5";
  }
  if (options_.model < 0 || options_.model >= kModelCount) options_.model = 2;
  const auto model = static_cast<std::size_t>(options_.model);
  if (options_.qkiName.empty()) options_.qkiName = QkiName(options_.model);
  deviceVersion_ = options_.deviceVersion.empty() ? std::string(kSimModels[model].runningVersion)
                                                  : options_.deviceVersion;
  elmVersion_ = options_.elmVersion;
  echo_ = options_.echo;
  if (options_.startInDownloadMode && !options_.generic) mode_ = Mode::kDownloadIdle;
}

void AdapterCore::PowerCycle() {
  // A download that began and did not complete left no firmware to run: the boot loader
  // starts. A generic adapter has none and restarts in its firmware.
  if (mode_ != Mode::kApplication && !options_.generic) mode_ = Mode::kDownloadIdle;
  rate_ = kNormalRate;
  echo_ = options_.echo;
  awaitingConfirm_ = false;
  endRecordSeen_ = false;
  damaged_ = false;
  pendingFirst_.clear();
  records_.clear();
}

std::string AdapterCore::Banner() const {
  return options_.banner.empty() ? "ELM327 v" + elmVersion_ : options_.banner;
}

std::string AdapterCore::QkiAnswer() const {
  if (!options_.qkiText.empty()) return options_.qkiText;
  // Ruvo adapters show their ELM327 level here; the others their firmware version.
  return options_.qkiName + (UsesRuvoVersions(options_.model) ? elmVersion_ : deviceVersion_);
}

std::string AdapterCore::QkversAnswer() const {
  if (!options_.qkversText.empty()) return options_.qkversText;
  if (UsesRuvoVersions(options_.model))
    return std::string(Facts(options_.model).gateVersionPrefix) + deviceVersion_;
  if (IsBlockModel(options_.model))
    return std::string(ModelName(options_.model)) + " V" + deviceVersion_;
  // Line models 1..3 report the ELM327 level they announce; the firmware version is in "QKI".
  return std::string(ModelName(options_.model)) + " V" + elmVersion_;
}

CommandResult AdapterCore::Handle(std::string_view command) {
  std::string_view text = command;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  while (!text.empty() && text.front() == '\0') text.remove_prefix(1);

  if (awaitingConfirm_) {
    awaitingConfirm_ = false;
    if (text.empty()) return {"OK" + std::string(kPrompt)};
  }
  // At the fast rate the boot loader answers a bare "\r" with "OK", the host's check that both
  // sides have switched.
  if (text.empty() && mode_ != Mode::kApplication && rate_ == kFastRate)
    return {"OK" + std::string(kPrompt)};
  if (text.empty()) return {std::string(kUnknown)};

  bool handled = false;
  CommandResult at = CommonAt(text, handled);
  if (handled) return at;
  if (options_.generic) {
    // An ordinary ELM327 takes other AT commands and knows no QK command.
    if (NormalizeAt(text).starts_with("AT")) return {"OK" + std::string(kPrompt)};
    return {std::string(kUnknown)};
  }
  return mode_ == Mode::kApplication ? Application(text) : Download(text);
}

CommandResult AdapterCore::CommonAt(std::string_view text, bool& handled) {
  const std::string at = NormalizeAt(text);
  handled = true;
  if (at == "ATE0" || at == "ATE1") {
    echo_ = at == "ATE1";
    return {"OK" + std::string(kPrompt)};
  }
  const std::string boot =
      options_.bootBanner.empty() ? std::string(kBootBanner) : options_.bootBanner;
  if (at == "ATI") {
    if (mode_ != Mode::kApplication) return {boot + std::string(kPrompt)};
    return {Banner() + std::string(kPrompt)};
  }
  if (at == "ATZ") {
    echo_ = options_.echo;
    if (mode_ != Mode::kApplication) return {boot + std::string(kPrompt)};
    return {"\r\r" + Banner() + std::string(kPrompt)};
  }
  handled = false;
  return {};
}

CommandResult AdapterCore::Application(std::string_view text) {
  const int model = options_.model;
  if (text == "QKI") return {QkiAnswer() + std::string(kPrompt)};
  if (text == "QKPROI") return {options_.productId + std::string(kPrompt)};
  if (text == "QKVERS") return {QkversAnswer() + std::string(kPrompt)};
  // The announced ELM327 level: "OK", or (Ruvo) the new banner.
  const DeviceModel& facts = Facts(model);
  if (!facts.adjustCommand.empty() && text.starts_with(facts.adjustCommand)) {
    const std::string_view version = text.substr(facts.adjustCommand.size());
    if (!IsVersionText(version)) return {std::string(kUnknown)};
    elmVersion_ = version;
    const std::string ack(facts.adjustAck);
    return {(ack == "OK" ? ack : ack + " v" + elmVersion_) + std::string(kPrompt)};
  }
  if (text == DownloadCommand()) {
    StartDownload();
    return {"OK" + std::string(kPrompt)};
  }
  return {std::string(kUnknown)};
}

CommandResult AdapterCore::Download(std::string_view text) {
  const int model = options_.model;
  if (!IsBlockModel(model)) {
    if (text == kLineDownload) {
      StartDownload();
      return {"OK" + std::string(kPrompt)};
    }
    if (mode_ == Mode::kDownloadOpen && text.starts_with("QKBL")) return LineRecord(text.substr(4));
    if (mode_ == Mode::kDownloadOpen && text == "QKFL") return CloseLineDownload();
    return {std::string(kUnknown)};
  }
  if (text == DownloadCommand()) {
    StartDownload();
    return {"OK" + std::string(kPrompt)};
  }
  if (mode_ != Mode::kDownloadOpen) return {std::string(kUnknown)};
  if (text == "QK DLBD 02") {
    rate_ = kFastRate;
    awaitingConfirm_ = true;
    return {"OK\r", LinkAction::kRaiseRate};
  }
  if (text.starts_with("QKDLDT")) return BlockRecord(text.substr(6));
  if (text == "QKDLED") return EndBlockDownload();
  return {std::string(kUnknown)};
}

std::string_view AdapterCore::DownloadCommand() const {
  return IsBlockModel(options_.model) ? Facts(options_.model).downloadCommand : kLineDownload;
}

void AdapterCore::StartDownload() {
  mode_ = Mode::kDownloadOpen;
  records_.clear();
  pendingFirst_.clear();
  endRecordSeen_ = false;
  awaitingConfirm_ = false;
  damaged_ = false;
  closeError_.clear();
}

CommandResult AdapterCore::Reject(CommandResult answer) {
  damaged_ = true;
  return answer;
}

bool AdapterCore::Strike(RecordFaults& faults, int record) {
  const auto it = faults.find(record);
  if (it == faults.end() || it->second <= 0) return false;
  --it->second;
  return true;
}

CommandResult AdapterCore::LineRecord(std::string_view data) {
  if (data == EndRecordData()) {
    // The host's fallback close: no image line, only "end of data".
    endRecordSeen_ = true;
    pendingFirst_.clear();
    return {"OK\r>"};
  }
  // The type byte R0 is not sent, but the 68 bytes sum to 0xFF, so R0 follows from the rest;
  // a line is sound when that R0 is a type the loader takes (0, 1 or 2).
  std::vector<std::uint8_t> bytes;
  if (data.size() != kLineDataDigits || !HexToBytes(data, bytes)) return {"RepPack\r>"};
  unsigned sum = 0;
  for (const std::uint8_t b : bytes) sum += b;
  const unsigned type = (0xFFu - sum) & 0xFFu;
  if (type > 2) return {"RepPack\r>"};
  std::string line = "0" + std::to_string(type);
  for (const char c : data)
    line.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));

  // The first line again while its partner is awaited: the host lost the "..." and starts
  // the pair over.
  if (!pendingFirst_.empty() && line == pendingFirst_) pendingFirst_.clear();
  endRecordSeen_ = false;  // the end record closes only what came before it
  const bool second = !pendingFirst_.empty();
  const int record = static_cast<int>(records_.size()) + (second ? 2 : 1);
  if (faults_.disconnectAtRecord == record) return {"", LinkAction::kHangUp};
  if (faults_.powerLossAtRecord == record) {
    faults_.powerLossAtRecord = 0;
    PowerCycle();
    return {"", LinkAction::kPowerLoss};
  }
  if (Strike(faults_.repPack, record)) return {"RepPack\r>"};
  if (Strike(faults_.err02, record)) return {"ERR02\r>"};
  if (!second) {
    pendingFirst_ = std::move(line);
    return {"...\r>"};
  }
  if (Strike(faults_.repBlock, record) || Strike(faults_.repBlock, record - 1)) {
    pendingFirst_.clear();
    return {"RepBlock\r>"};
  }
  records_.push_back(std::move(pendingFirst_));
  records_.push_back(std::move(line));
  pendingFirst_.clear();
  return {"OK\r>"};
}

CommandResult AdapterCore::CloseLineDownload() {
  const std::string refused = "ERR03" + std::string(kPrompt);
  // The trailer holds the image's TOTAL and names; without it the image cannot be trusted.
  std::uint32_t total = 0;
  std::vector<std::uint8_t> full;
  for (const std::string& record : records_) {
    HexToBytes(record, full);
    if (full.size() != kLineRecordBytes) {
      closeError_ = "record of the wrong size";
      return {refused};
    }
    if (full[1] != 0xFF || full[2] != 0xF1) {
      for (const std::uint8_t b : full) total += b;
      continue;
    }
    for (std::size_t i = 0; i <= 62; ++i) total += full[i];
    const std::uint32_t stated = (std::uint32_t{full[63]} << 24) | (std::uint32_t{full[64]} << 16) |
                                 (std::uint32_t{full[65]} << 8) | full[66];
    if (stated != total) {
      closeError_ = "trailer TOTAL does not match the image";
      return {refused};
    }
    std::array<std::string, 3> names;
    std::size_t at = 7;
    for (std::string& name : names) {
      const std::size_t length = full[at++] ^ kLengthMask;
      if (at + length > 63) {
        closeError_ = "trailer names overrun the record";
        return {refused};
      }
      for (std::size_t i = 0; i < length; ++i)
        name.push_back(static_cast<char>(full[at++] ^ kCharMask));
    }
    if (names[1] != ModelName(options_.model)) {
      closeError_ = "image is for " + names[1];
      return {refused};
    }
    if (names[0].empty() || options_.productId.find(names[0]) == std::string::npos) {
      closeError_ = "image is for product " + names[0];
      return {refused};
    }
    const std::size_t v = names[2].find_first_of("vV");
    deviceVersion_ = v == std::string::npos ? names[2] : names[2].substr(v + 1);
    RunNewFirmware();
    return {"OK" + std::string(kPrompt)};
  }
  if (records_.empty()) {
    closeError_ = "no image received";
    return {refused};
  }
  if (!endRecordSeen_ || faults_.strictClose) {
    closeError_ = "no trailer received";
    return {refused};
  }
  // The host's fallback close after an image whose last line had no partner: what arrived is
  // taken as it is, and the version the trailer would have named is unknown here.
  deviceVersion_ =
      options_.flashedVersion.empty() ? BumpVersion(deviceVersion_) : options_.flashedVersion;
  RunNewFirmware();
  return {"OK" + std::string(kPrompt)};
}

CommandResult AdapterCore::BlockRecord(std::string_view data) {
  const int record = static_cast<int>(records_.size()) + 1;
  if (faults_.disconnectAtRecord == record) return {"", LinkAction::kHangUp};
  if (faults_.powerLossAtRecord == record) {
    faults_.powerLossAtRecord = 0;
    PowerCycle();
    return {"", LinkAction::kPowerLoss};
  }
  // LEN (2 bytes) . DATA . SUM; bytes after SUM are ignored, as in the file.
  // A record that does not add up is refused with ERR02; a receive error asks for the
  // record again with ERR01 (anything but "OK" makes the host resend).
  std::vector<std::uint8_t> bytes;
  const CommandResult rejected{"ERR02\r>"};
  if (!HexToBytes(data, bytes) || bytes.size() < 3) return Reject(rejected);
  const std::size_t length = std::size_t{bytes[0]} * 256 + bytes[1];
  if (bytes.size() < length + 3) return Reject(rejected);
  unsigned sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += bytes[2 + i];
  if ((sum & 0xFFu) != bytes[2 + length]) return Reject(rejected);

  if (Strike(faults_.repPack, record) || Strike(faults_.repBlock, record)) return {"ERR01\r>"};
  if (Strike(faults_.err02, record)) return Reject(rejected);
  records_.emplace_back(data);
  return {"OK\r>"};
}

CommandResult AdapterCore::EndBlockDownload() {
  if (faults_.refuseEnd > 0) {
    --faults_.refuseEnd;
    return {"ERR03\r"};
  }
  if (records_.empty()) {
    closeError_ = "no image received";
    return {"ERR03\r"};
  }
  if (damaged_) {
    // The download ends, but a gap in the image leaves only the boot loader to run.
    closeError_ = "a record was rejected";
    mode_ = Mode::kDownloadIdle;
    rate_ = kNormalRate;
    records_.clear();
    damaged_ = false;
    return {"OK\r"};
  }
  // The trailer never crosses the wire: the new firmware reports what its own code says.
  std::string carried = VersionInBlockRecords(records_, options_.model);
  if (!options_.flashedVersion.empty()) {
    deviceVersion_ = options_.flashedVersion;
  } else {
    deviceVersion_ = carried.empty() ? BumpVersion(deviceVersion_) : std::move(carried);
  }
  RunNewFirmware();
  return {"OK\r"};
}

void AdapterCore::RunNewFirmware() {
  mode_ = Mode::kApplication;
  rate_ = kNormalRate;
  echo_ = options_.echo;
  awaitingConfirm_ = false;
  pendingFirst_.clear();
  // The new firmware answers in its own words.
  options_.qkiText.clear();
  options_.qkversText.clear();
  ++flashes_;
}

}  // namespace zorbent::sim
