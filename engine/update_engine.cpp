#include "engine/update_engine.h"

#include <algorithm>
#include <string>

#include "engine/block_flow.h"
#include "engine/exchange.h"
#include "engine/firmware_file.h"
#include "engine/identify.h"
#include "engine/image_format.h"
#include "engine/line_flow.h"
#include "engine/messages.h"
#include "engine/port_line.h"
#include "port/port_factory.h"
#include "port/tcp_port.h"

namespace zorbent {
namespace {

// A bare "\r" answered by an adapter in a block download at the fast rate, as ReadReply keeps
// it (line ends dropped).
constexpr std::string_view kFastRateReady = "OK>";

}  // namespace

void StopSignal::Raise(StopLevel level) {
  LockHolder hold(lock_);
  if (static_cast<int>(level) > static_cast<int>(level_)) level_ = level;
}

StopLevel StopSignal::Level() const {
  LockHolder hold(lock_);
  return level_;
}

void StopSignal::Clear() {
  LockHolder hold(lock_);
  level_ = StopLevel::kNone;
}

bool StopSignal::StartUnlessRaised(std::atomic<bool>& started) {
  LockHolder hold(lock_);
  if (level_ != StopLevel::kNone) return false;
  started = true;
  return true;
}

StopSignal& ProcessStopSignal() {
  static StopSignal signal;
  return signal;
}

void RequestStop() {
  ProcessStopSignal().Raise(StopLevel::kNow);
}

bool UpdateEngine::StopBeforeChange() {
  if (stopSignal_->StartUnlessRaised(downloadStarted_)) {
    outcome.adapterChanged = true;
    EnterStage(Stage::kDownloadStarted);
    return false;
  }
  ReportFailure(FailureKind::kStopped,
                "**Failed** Stopped on request before the download began.\r\n");
  return true;
}

UpdateEngine::~UpdateEngine() {
  for (auto& channel : channels) {
    channel.link.reset();
    channel.port.reset();
  }
}

void UpdateEngine::Init(void* context, EngineCallback callbackFunction) {
  ProcessStopSignal().Clear();
  callback = callbackFunction;
  callbackContext = context;
}

void UpdateEngine::ReportFailure(FailureKind kind, std::string_view message,
                                 std::string_view detail) {
  ReportText(message);
  if (!detail.empty()) ReportText(detail);
  if (outcome.kind != FailureKind::kNone) return;
  outcome.kind = kind;
  outcome.cause = VisibleText(message.starts_with("**Failed** ") ? message.substr(11) : message);
  outcome.detail = VisibleText(detail);
}

void UpdateEngine::ReportText(std::string_view text) {
  if (callback == nullptr) return;
  const std::string copy(text);  // the receiver gets a NUL-terminated text
  callback(callbackContext, kReportText, reinterpret_cast<std::intptr_t>(copy.c_str()));
}

void UpdateEngine::ReportProgress(int percent) {
  if (callback != nullptr) callback(callbackContext, kReportProgress, percent);
}

void UpdateEngine::ReportWait(const WaitReport& wait) {
  if (callback != nullptr)
    callback(callbackContext, kReportWait, reinterpret_cast<std::intptr_t>(&wait));
}

void UpdateEngine::OnWait(const WaitReport& wait) {
  if (outcome.stage != Stage::kTransfer) ReportWait(wait);
}

bool UpdateEngine::AskUser(std::string_view question) {
  UserQuestion asked{question};
  if (callback != nullptr)
    callback(callbackContext, kReportQuestion, reinterpret_cast<std::intptr_t>(&asked));
  return asked.yes;
}

Link* UpdateEngine::ChannelLink(std::int32_t channel) {
  if (channel < 0 || channel >= kChannelCount) return nullptr;
  return channels[static_cast<std::size_t>(channel)].link.get();
}

Port* UpdateEngine::ChannelPort(std::int32_t channel) {
  if (channel < 0 || channel >= kChannelCount) return nullptr;
  return channels[static_cast<std::size_t>(channel)].port.get();
}

std::int32_t UpdateEngine::OpenPort(std::string_view configString, std::string_view firmwarePath) {
  // A refused open is a job's whole account too.
  outcome = JobOutcome{};
  outcome.stage = Stage::kConnect;
  const auto refuse = [this](FailureKind kind, std::string_view message, std::string detail = {}) {
    ReportFailure(kind, message, detail);
    Conclude(outcome);
    return -1;
  };
  const auto free = std::find_if(channels.begin(), channels.end(),
                                 [](const Channel& c) { return c.port == nullptr; });
  if (free == channels.end())
    return refuse(FailureKind::kPortUnavailable, "**Failed** Not enough memory!\r\n");
  ParsedConfig parsed;
  if (!ParseConfigString(configString, parsed)) {
    outcome.port.problem = PortFacts::Problem::kBadAddress;
    return refuse(FailureKind::kPortUnavailable, "**Failed** Port parameter error!\r\n",
                  "Expected " + std::string(kConfigStringForms) + ".\r\n");
  }
  // A cut path would load another file than the one asked for: refuse it instead.
  if (firmwarePath.size() >= kPathCapacity) {
    outcome.stage = Stage::kFile;
    return refuse(FailureKind::kFileUnusable, "**Failed** Firmware path is too long!\r\n");
  }
  std::unique_ptr<Port> port;
  PortFacts facts;  // why the last attempt failed, for the line after and the outcome
  const bool resolved = ResolvePortAddress(parsed.kind, parsed.config, facts);  // once, bounded
  std::int32_t attempts = 0;
  std::int32_t waitedMs = facts.waitedMs;
  const bool tcp = parsed.kind == PortKind::kTcp;
  std::string_view where = configString.substr(configString.find('|') + 1);
  if (!tcp) where = where.substr(0, where.rfind(':'));  // the device, without its rate
  for (; resolved && attempts < kOpenAttempts; ++attempts) {
    bool opened = false;
    ReportWait({WaitFor::kConnection, where, tcp ? TcpPort::kConnectTimeoutMs : 0, attempts + 1,
                kOpenAttempts});
    port = CreatePort(parsed.kind, parsed.config, opened);
    ReportWait({});
    if (opened) break;
    facts = port != nullptr ? port->OpenFacts() : PortFacts{};
    if (facts.problem == PortFacts::Problem::kNone) facts.problem = PortFacts::Problem::kOther;
    if (facts.device.empty()) facts.device = configString.substr(configString.find('|') + 1);
    waitedMs += facts.waitedMs;
    port.reset();
  }
  if (port == nullptr) {
    facts.attempts = attempts;
    facts.waitedMs = waitedMs;
    outcome.port = facts;
    return refuse(FailureKind::kPortUnavailable, "**Failed** Port connection error!\r\n",
                  PortFactsLine(facts) + "\r\n");
  }
  free->link = std::make_unique<Link>(*port);
  free->link->Observe(this);
  free->port = std::move(port);
  free->serial = parsed.kind == PortKind::kSerial;
  free->firmwarePath = firmwarePath;
  ReportText("Port is opened!\r\n");
  return static_cast<std::int32_t>(free - channels.begin());
}

void UpdateEngine::ClosePort(std::int32_t channel) {
  if (channel < 0 || channel >= kChannelCount) return;
  Channel& closing = channels[static_cast<std::size_t>(channel)];
  closing.link.reset();
  closing.port.reset();
}

std::int32_t UpdateEngine::CheckImageFormat() {
  ImageFacts read = CheckImage(image);
  if (read.result >= 0) {
    file = std::move(read);
  } else {
    // A refused file leaves the last good identity; only the count and the problem are its.
    file.result = read.result;
    file.recordCount = read.recordCount;
    file.problem = read.problem;
  }
  if (file.result < 0) {
    const FormatProblem& problem = file.problem;
    ReportFailure(FailureKind::kFileFormat, messages::kFormatError,
                  "line " + std::to_string(problem.line) + ": " + problem.what + ".\r\n");
    ReleaseImage();
  } else {
    // What follows the trailer line (blank lines, a Ctrl-Z) is never sent.
    image = image.first(std::min<std::size_t>(file.imageEnd, image.size()));
  }
  progressStep = file.recordCount > 0 ? 90.0 / file.recordCount : 0.0;
  ReportProgress(2);
  return file.result;
}

void UpdateEngine::ReleaseImage() {
  image = {};  // the bytes are the caller's
}

void UpdateEngine::BeginJob(std::int32_t channel) {
  outcome = JobOutcome{};
  outcome.port.tcp = !channels[static_cast<std::size_t>(channel)].serial;
  downloadStarted_ = false;
}

std::int32_t UpdateEngine::EndJob(std::int32_t result) {
  ReleaseImage();
  if (result < 0 && StopNow() && outcome.kind == FailureKind::kNone)
    outcome.kind = FailureKind::kStopped;
  outcome.succeeded = result >= 0;
  Conclude(outcome);
  return result < 0 ? result : 0;
}

std::int32_t UpdateEngine::Update(std::int32_t channel) {
  if (ChannelLink(channel) == nullptr) return -1;
  std::vector<std::uint8_t> loaded;  // this job's alone, gone with it
  std::string why;
  if (LoadFirmwareFile(channels[static_cast<std::size_t>(channel)].firmwarePath, loaded, why))
    return Update(channel, loaded);
  BeginJob(channel);
  ReportProgress(1);
  ReportFailure(FailureKind::kFileUnusable, messages::kFileInvalid, why + "\r\n");
  return EndJob(-1);
}

std::int32_t UpdateEngine::Update(std::int32_t channel, std::span<const std::uint8_t> given) {
  Link* link = ChannelLink(channel);
  if (link == nullptr) return -1;
  BeginJob(channel);
  return EndJob(RunUpdate(*link, given));
}

std::int32_t UpdateEngine::RunUpdate(Link& link, std::span<const std::uint8_t> given) {
  ReportProgress(1);
  // Bytes a caller loaded some other way still meet the loader's size rule.
  if (const std::string why =
          FirmwareSizeProblem("the firmware", static_cast<std::int64_t>(given.size()));
      !why.empty()) {
    ReportFailure(FailureKind::kFileUnusable, messages::kFileInvalid, why + "\r\n");
    return -1;
  }
  image = given;
  if (CheckImageFormat() < 0) return -1;  // reported, image let go by the check

  outcome.family = static_cast<std::uint8_t>(file.family);
  outcome.fileModel = ModelName(file.model);
  outcome.fileVersion = file.version;

  EnterStage(Stage::kIdentify);
  std::array<char, 2048> reply{};
  // Echo on; an adapter that ignores it is fine.
  SendCommand(link, "ATE1\r", reply, kReplyTimeoutMs, kReplyTimeoutMs);
  const std::int32_t result =
      file.family == Family::kBlock ? BlockModeUpdate(*this, link) : LineModeUpdate(*this, link);
  if (result < 0 || outcome.stoppedBeforeChange) return result;
  ReportText("File download finished!\r\n");
  ReportProgress(100);
  if (outcome.adapterModel.empty()) outcome.adapterModel = ModelName(modelCode);
  EnterStage(Stage::kReadBack);
  ReadBackVersion(link);
  if (outcome.kind == FailureKind::kNone) EnterStage(Stage::kDone);
  return 0;
}

// Reads the new version with the same read-only exchanges as a version read, and warns when
// the adapter does not report the file's. Only an equal version confirms the update: without
// a file version to compare there is nothing that could.
void UpdateEngine::ReadBackVersion(Link& link) {
  const DeviceModel* model = ModelByCode(modelCode);
  const bool byQki = model != nullptr && model->versionInQki;
  std::array<char, 256> reply{};
  const std::string_view query = byQki ? "QKI\r" : "QKVERS\r";
  if (SendText(link, query, kReplyTimeoutMs) < 0 || ReadReply(link, reply, kReplyTimeoutMs) < 0)
    reply[0] = '\0';
  const std::string_view answer =
      SkipPrefix(BufferText(reply), query.substr(0, query.size() - 1), 255);
  outcome.versionAfter = VersionInAnswer(answer);
  const char xDigit = XDigitOf(modelCode);
  if (outcome.versionAfter.empty()) {
    outcome.kind = FailureKind::kNotConfirmed;
    ReportText(
        "Warning: the adapter did not report its new version; check it with a version "
        "read.\r\n");
  } else if (outcome.fileVersion.empty()) {
    outcome.kind = FailureKind::kNotConfirmed;
    ReportText("Warning: the adapter reports version " + outcome.versionAfter +
               ", but the file names no version to compare it with.\r\n");
  } else if (CompareVersions(outcome.versionAfter, outcome.fileVersion, xDigit) != 0) {
    outcome.kind = FailureKind::kNotConfirmed;  // it runs something, but not what was sent
    ReportText("Warning: the adapter reports version " + outcome.versionAfter +
               ", but the file holds " + outcome.fileVersion + ".\r\n");
  }
}

std::int32_t UpdateEngine::ReadVersions(std::int32_t channel) {
  Link* link = ChannelLink(channel);
  if (link == nullptr) return -1;
  outcome = JobOutcome{};
  outcome.port.tcp = !channels[static_cast<std::size_t>(channel)].serial;
  outcome.stoppedBeforeChange = true;  // a read asks only: a good one leaves the adapter unchanged
  EnterStage(Stage::kIdentify);
  const std::int32_t result = ReadBothVersions(*link, channel);
  outcome.succeeded = result >= 0;
  if (outcome.succeeded) EnterStage(Stage::kDone);
  Conclude(outcome);
  return result;
}

std::int32_t UpdateEngine::ReadBothVersions(Link& link, std::int32_t channel) {
  const std::int32_t device = ReportDeviceVersion(*this, link, 0);
  const std::int32_t adapter = ReportAdapterVersion(*this, link, 0);
  if (device < 0 && adapter < 0) {
    // Without this line a silent adapter would leave the user with no answer at all.
    ReportFailure(FailureKind::kNoVersion, messages::kNoVersion);
    ExplainSilence(link, channels[static_cast<std::size_t>(channel)].serial);
    return -1;
  }
  // One answer came, the other not: a version is missing, and a read must not pass for whole.
  if (device == kUnanswered || adapter == kUnanswered) {
    outcome.unanswered = device == kUnanswered ? "QKVERS" : "QKI";
    ReportUnanswered(*this);
    return -1;
  }
  // What the answers name, for front ends that sum a read up.
  const std::int32_t model = ModelOfAnswers(outcome.qkiAnswer, outcome.qkversAnswer);
  if (model >= 0) {
    const DeviceModel* row = ModelByCode(model);
    NoteAdapterIdentity(*this, model, row->versionInQki ? outcome.qkiAnswer : outcome.qkversAnswer);
  } else {
    outcome.versionBefore = VersionInAnswer(outcome.qkiAnswer);
    if (outcome.versionBefore.empty())
      outcome.versionBefore = VersionInAnswer(outcome.qkversAnswer);
  }
  return 0;
}

// Tells, with read-only exchanges, what an adapter that gave no versions is doing.
void UpdateEngine::ExplainSilence(Link& link, bool serial) {
  std::array<char, 256> reply{};
  const std::int32_t r =
      SendCommandOwnReply(link, "ATI\r", reply, kReplyTimeoutMs, kReplyTimeoutMs);
  const std::string banner = VisibleText(BufferText(reply));
  outcome.banner = banner;
  if (r >= 0 && banner.find("ELM327") != std::string::npos) {
    outcome.kind = FailureKind::kNotUpdatable;
    ReportText("The adapter answered \"" + banner +
               "\" to ATI but gave no versions: an ELM327-compatible adapter, not one this "
               "program can update.\r\n");
    return;
  }
  if (r >= 0) {
    outcome.kind = FailureKind::kNotIdentified;
    outcome.notIdentified = true;
    ReportText("The adapter did not identify itself (it answered \"" + banner +
               "\" to ATI): it may be in download mode after an interrupted update, or it is "
               "another device.\r\n");
    return;
  }
  if (serial) {
    // A late answer to what was asked at 115200 passes first, at that rate: after the switch
    // it would pass for the adapter's.
    Settle(link);
    if (link.SetBaud(kFastRate) > 0) {
      // An interrupted block-mode download leaves the adapter at the fast rate, where it
      // answers a bare "\r" with "OK". Only that counts: any other answer (an ELM327 repeats
      // its last command; a slow link delivers an earlier one) leaves the state unknown.
      reply[0] = '\0';
      const bool answered = SendText(link, "\r", kReplyTimeoutMs) == 0 &&
                            ReadReply(link, reply, kReplyTimeoutMs) >= 0;
      link.SetBaud(kNormalRate);
      const std::string said = VisibleText(BufferText(reply));
      if (answered && BufferText(reply) == kFastRateReady) {
        outcome.kind = FailureKind::kSilent;
        outcome.foundInDownloadMode = true;
        outcome.family = static_cast<std::uint8_t>(Family::kBlock);
        ReportText(
            "The adapter is silent at 115200 baud but answers at 2,000,000 baud: a "
            "block-mode update was interrupted.\r\n");
        return;
      }
      if (answered) {
        outcome.kind = link.Gone() ? FailureKind::kPortGone : FailureKind::kSilent;
        outcome.line.late = true;
        ReportText("At 2,000,000 baud the adapter answered \"" + said +
                   "\", not \"OK\" as an adapter in a block download does: its state is not "
                   "known. Answers that come late (a slow link) give that.\r\n");
        return;
      }
    }
  }
  outcome.kind = link.Gone() ? FailureKind::kPortGone : FailureKind::kSilent;
  const std::string_view seen = BufferText(reply);
  outcome.line.bytesSeen = static_cast<std::int32_t>(seen.size());
  outcome.line.garbled = MostlyNotText(seen);
  ReportText(outcome.line.garbled
                 ? std::string("The adapter answered with bytes that are not text: the line's "
                               "rate is likely not the adapter's.\r\n")
                 : std::string("The adapter does not answer") +
                       (serial ? " at 115200 or 2,000,000 baud" : "") + ".\r\n");
}

}  // namespace zorbent
