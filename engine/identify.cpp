#include "engine/identify.h"

#include <algorithm>
#include <array>
#include <string>

#include "engine/device_table.h"
#include "engine/exchange.h"
#include "engine/image_format.h"
#include "engine/messages.h"

namespace zorbent {
namespace {

constexpr std::int32_t kTimeoutMs = kReplyTimeoutMs;
using Reply = std::array<char, 256>;

// Records what the adapter said about itself in the job's outcome.
void RecordAnswer(UpdateEngine& engine, std::string_view query, std::string_view answer) {
  if (query == "QKI\r") engine.outcome.qkiAnswer = VisibleText(answer);
  if (query == "QKVERS\r") engine.outcome.qkversAnswer = VisibleText(answer);
  if (query == "ATI\r") engine.outcome.banner = VisibleText(answer);
}

// The two ways of asking. AskUnchecked takes whatever ends in '>' after the question (the
// reply with its echo): enough for a report, which a wrong answer cannot make harmful.
// AskChecked takes only the question's own answer (see SendCommandOwnReply): for every answer
// a gate or a mode decision rests on. A failed exchange leaves an empty reply, which matches
// no prefix.
std::string_view AskUnchecked(Link& link, std::string_view query, Reply& reply) {
  reply[0] = '\0';
  if (SendText(link, query, kTimeoutMs) < 0 || ReadReply(link, reply, kTimeoutMs) < 0) {
    reply[0] = '\0';
  }
  return BufferText(reply);
}

// The answer without its line ends, as AskUnchecked's would read after the echo; the result
// of the exchange, negative when no answer of its own came (noted in the outcome).
std::int32_t AskChecked(UpdateEngine& engine, Link& link, std::string_view query, Reply& reply,
                        std::string& answer) {
  answer.clear();
  const std::int32_t r = SendCommandOwnReply(link, query, reply, kTimeoutMs, kTimeoutMs);
  if (r < 0) {
    engine.outcome.unanswered = query.substr(0, query.size() - 1);
    return r;
  }
  for (const char c : BufferText(reply))
    if (c != '\r' && c != '\n') answer.push_back(c);
  return r;
}

// The answer after the query's echo (the query without its "\r").
std::string_view Answer(std::string_view reply, std::string_view query) {
  return SkipPrefix(reply, query.substr(0, query.size() - 1), 255);
}

std::int32_t ReportVersion(UpdateEngine& engine, Link& link, std::int32_t code,
                           std::string_view query, char letter, std::string_view label) {
  if (code < 0 || code > 6) return -1;
  Reply reply;
  const std::string_view whole = AskUnchecked(link, query, reply);
  if (whole.empty()) return kUnanswered;  // no answer at all, not one without a version
  const std::string_view answer = Answer(whole, query);
  RecordAnswer(engine, query, answer);
  if (answer.find(letter) == std::string_view::npos) return -2;
  engine.ReportText(label);
  std::string shown;
  for (const char c : Without(answer, '>')) AppendEscaped(shown, c);
  engine.ReportText(shown);
  engine.ReportText("\r\n");
  return 1;
}

constexpr std::string_view kFirmwareHigher =
    "The device firmware version number is higher, please use the latest firmware file.!\r\n";
constexpr std::string_view kTooOld =
    "This product is too old, please contact the \r\ntechnical team for assistance in "
    "upgrading: \r\n[see the adapter's documentation].\r\n";

}  // namespace

std::int32_t IdentifyAdapter(UpdateEngine& engine, Link& link, std::int32_t code) {
  Reply reply;
  std::string answer;
  if (AskChecked(engine, link, "QKI\r", reply, answer) < 0) return kUnanswered;
  RecordAnswer(engine, "QKI\r", answer);
  const bool matches = code >= 0 && ModelOfQki(answer) == code;
  if (!matches) return -1;
  engine.adapterModel = code;
  std::string product;
  if (AskChecked(engine, link, "QKPROI\r", reply, product) < 0) return kUnanswered;
  const std::string_view wanted = engine.file.productId;
  if (wanted.empty()) return -1;
  return product.find(wanted) != std::string_view::npos ? 0 : -1;
}

std::int32_t CheckElmVersion(UpdateEngine& engine, Link& link) {
  Reply reply;
  // The answer after the echo: an adapter that ignored "ATE1" must not read as version 0, nor
  // may a lost answer.
  std::string banner;
  if (AskChecked(engine, link, "ATI\r", reply, banner) < 0) return kUnanswered;
  RecordAnswer(engine, "ATI\r", banner);
  // The level follows "ELM327 v" wherever the banner has it ("OBDII ELM327 v2.3"); a banner
  // without a readable one fails closed, since it would read as level 0 and pass.
  constexpr std::string_view kElm = "ELM327 v";
  const std::size_t at = banner.find(kElm);
  const std::string_view version = at == std::string::npos
                                       ? std::string_view()
                                       : std::string_view(banner).substr(at + kElm.size());
  if (version.empty() || version[0] < '0' || version[0] > '9') return kNoElmVersion;
  const std::int32_t value = VersionNumber(Without(Without(version, '.'), '>'), 'X');
  const DeviceModel* model = ModelByCode(engine.adapterModel);
  return model != nullptr && value > model->elmLimit ? -5 : 0;
}

std::int32_t CheckVersionGates(UpdateEngine& engine, Link& link, std::int32_t code,
                               std::int32_t fileVersion) {
  const DeviceModel* model = ModelByCode(code);
  if (model == nullptr || model->family != Family::kLine) return -1;
  const std::string query = std::string(model->gateQuery) + "\r";
  Reply reply;
  std::string answerText;
  if (AskChecked(engine, link, query, reply, answerText) < 0) return kUnanswered;
  const std::string_view answer = answerText;
  if (!model->tooOldAnswer.empty() && answer.starts_with(model->tooOldAnswer)) {
    engine.ReportFailure(FailureKind::kAdapterTooOld, kTooOld);
    return -1;
  }
  std::string prefix(model->gateVersionPrefix);
  const auto accepted = std::find_if(
      model->gateAccepts.begin(), model->gateAccepts.end(),
      [answer](std::string_view start) { return !start.empty() && answer.starts_with(start); });
  if (accepted == model->gateAccepts.end()) {
    engine.ReportFailure(
        model->belowGateFinal ? FailureKind::kNotUpdatable : FailureKind::kNoVersion,
        model->gateRejectText);
    return -1;
  }
  if (prefix.empty()) prefix = std::string(*accepted) + " v";
  // The running version comes from this checked answer, never from an unchecked report.
  RecordAnswer(engine, query, answer);
  engine.outcome.versionBefore = VersionInAnswer(answer);
  // The answer alone (without the echo) must give the version, or an adapter would read as
  // version 0 and let any file past the gate.
  const std::int32_t adapterVersion = VersionNumber(SkipPrefix(answer, prefix, 255), model->xDigit);
  const std::int32_t threshold = model->gateThreshold;
  if (adapterVersion < threshold) {
    if (!model->belowGateFinal && fileVersion <= threshold) return 3;
    engine.ReportFailure(
        model->belowGateFinal ? FailureKind::kNotUpdatable : FailureKind::kUpgradeFirst,
        model->belowGateText);
    return -1;
  }
  if (fileVersion > threshold) return 2;
  engine.ReportFailure(FailureKind::kFirmwareHigher, kFirmwareHigher);
  return -1;
}

std::int32_t AdjustElmVersion(UpdateEngine& engine, Link& link, std::int32_t code) {
  const DeviceModel* model = ModelByCode(code);
  const DeviceModel* adapter = ModelByCode(engine.adapterModel);
  if (model == nullptr) return -1;
  const std::string query = std::string(model->adjustQuery) + "\r";
  Reply reply;
  std::string answer(Answer(AskUnchecked(link, query, reply), query));
  if (answer.find("ELM327") != std::string::npos) {
    answer = std::string(Answer(AskUnchecked(link, query, reply), query));
  }
  // The Ruvo answers' version follows a "v" and a digit ("RuvoPro v2.3"); the others' follows
  // their first "V".
  const std::size_t at = model->adjustLetter == 'v' ? FindVersionLetter(answer, "v")
                                                    : answer.find(model->adjustLetter);
  if (at == std::string::npos) return -2;
  const std::string versionText = answer.substr(at + 1);
  if (versionText.size() > 4) return -3;
  std::string copy = Without(versionText, '>');
  const std::string_view floor = (adapter != nullptr ? adapter : model)->elmFloor;
  if (VersionNumber(Without(copy, '.'), 'X') < VersionNumber(Without(floor, '.'), 'X'))
    copy = floor;
  const std::string command = std::string(model->adjustCommand) + copy + "\r";
  return AskUnchecked(link, command, reply).find(model->adjustAck) != std::string_view::npos ? 1
                                                                                             : -4;
}

std::int32_t ReportDeviceVersion(UpdateEngine& engine, Link& link, std::int32_t code) {
  return ReportVersion(engine, link, code, "QKVERS\r", 'V', "device version:");
}

std::int32_t ReportAdapterVersion(UpdateEngine& engine, Link& link, std::int32_t code) {
  return ReportVersion(engine, link, code, "QKI\r", 'v', "Adapter version:");
}

std::int32_t ProbeBlockAdapter(UpdateEngine& engine, Link& link) {
  Reply reply;
  std::string answer;
  if (AskChecked(engine, link, "QKI\r", reply, answer) < 0) return kUnanswered;
  RecordAnswer(engine, "QKI\r", answer);
  return answer.find("zOrbent FS v2.2.01") != std::string_view::npos ? -1 : 1;
}

AdapterProbe ProbeAdapter(Link& link) {
  AdapterProbe probe;
  Reply reply;
  reply[0] = '\0';
  const bool answered =
      SendText(link, "QKVERS\r", kTimeoutMs) == 0 && ReadReply(link, reply, kTimeoutMs) >= 0;
  probe.qkvers = VisibleText(Answer(BufferText(reply), "QKVERS\r"));
  if (answered) probe.qki = VisibleText(Answer(AskUnchecked(link, "QKI\r", reply), "QKI\r"));
  probe.model = ModelOfAnswers(probe.qki, probe.qkvers);
  if (probe.model >= 0) {
    probe.state = AdapterProbe::State::kOurs;
    return probe;
  }
  // A silent adapter is asked once more only with ATI, so a probe stays within seconds.
  if (SendCommandOwnReply(link, "ATI\r", reply, kTimeoutMs, kTimeoutMs) < 0) return probe;
  probe.banner = VisibleText(BufferText(reply));
  probe.state = probe.banner.find("ELM327") != std::string::npos
                    ? AdapterProbe::State::kOther
                    : AdapterProbe::State::kDownloadMode;
  return probe;
}

std::int32_t AskDeciding(Link& link, std::string_view query, std::span<char> reply,
                         bool (*names)(std::string_view answer)) {
  std::int32_t r = SendCommandOwnReply(link, query, reply, kTimeoutMs, kTimeoutMs);
  if (r < 0 || names(BufferText(reply))) return r;
  const std::string first(BufferText(reply));
  r = SendCommandOwnReply(link, query, reply, kTimeoutMs, kTimeoutMs);
  if (r < 0 || names(BufferText(reply))) return r;
  return VisibleText(BufferText(reply)) == VisibleText(first) ? r : -4;
}

std::int32_t AcceptDownloadMode(UpdateEngine& engine) {
  JobOutcome& outcome = engine.outcome;
  outcome.notIdentified = true;
  if (!engine.recover || engine.checkOnly) {
    const std::string said = outcome.banner.empty()
                                 ? std::string("answered ATI with its prompt alone")
                                 : "answered \"" + outcome.banner + "\" to ATI";
    engine.ReportFailure(FailureKind::kNotIdentified,
                         "**Failed** The adapter did not identify itself (it " + said +
                             "): it may be in download mode after an interrupted update, or it is "
                             "another device.\r\n");
    return -1;
  }
  outcome.foundInDownloadMode = true;
  engine.ReportText("Warning: the adapter did not identify itself; as asked, it is taken to be a " +
                    std::string(ModelName(engine.modelCode)) +
                    " in download mode after an interrupted update, and this file finishes "
                    "that update.\r\n");
  return 1;
}

void ReportNoAnswer(UpdateEngine& engine, std::int32_t result, std::span<const char> reply) {
  if (result == -4) {
    engine.ReportFailure(
        FailureKind::kOutOfTurn, messages::kPowerOnAgain,
        "The adapter's answers did not belong to their commands (a late answer was in "
        "the way), so nothing was sent to it.\r\n");
    return;
  }
  const std::string_view seen = BufferText(reply);
  LineFacts& line = engine.outcome.line;
  line.bytesSeen = static_cast<std::int32_t>(seen.size());
  line.garbled = MostlyNotText(seen);
  engine.ReportFailure(FailureKind::kSilent, messages::kPowerOnAgain,
                       line.garbled
                           ? "The adapter answered with bytes that are not text: the line's rate "
                             "is likely not the adapter's.\r\n"
                           : "The adapter did not answer.\r\n");
}

bool ReportIfGone(UpdateEngine& engine, const Link& link) {
  if (!link.Gone()) return false;
  engine.ReportFailure(FailureKind::kPortGone,
                       "**Failed** The adapter's port went away: unplugged?\r\n");
  return true;
}

void ReportUnanswered(UpdateEngine& engine) {
  const std::string& query = engine.outcome.unanswered;
  engine.ReportFailure(FailureKind::kUnanswered,
                       "**Failed** The adapter gave no answer of its own to " + query + " within " +
                           std::to_string(kTimeoutMs / 1000) + " s.\r\n");
}

int CompareVersions(std::string_view a, std::string_view b, char xDigit) {
  // Component by component ("2.2.2X" against "2.2.30"): the same order as the gates' numbers
  // where both have as many digits, and sound where they do not ("2.10" is after "2.9").
  auto next = [xDigit](std::string_view& text) {
    const std::size_t dot = text.find('.');
    std::string part(text.substr(0, dot));
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (!part.empty() && (part.back() == 'X' || part.back() == 'x')) part.back() = xDigit;
    return VersionNumber(part, xDigit);
  };
  while (!a.empty() || !b.empty()) {
    const std::int32_t x = next(a);
    const std::int32_t y = next(b);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

std::int32_t CheckNotOlder(UpdateEngine& engine) {
  JobOutcome& outcome = engine.outcome;
  if (outcome.fileVersion.empty() || outcome.versionBefore.empty()) {
    // Without both versions the order is not known: an older file could pass, so it goes
    // only on the user's word, as an older file does.
    outcome.versionUnknown = true;
    const std::string unknown = outcome.versionBefore.empty()
                                    ? "the adapter did not report the version it runs"
                                    : "the file names no version";
    if (engine.allowOlder ||
        engine.AskUser("The file's version cannot be compared with the adapter's: " + unknown +
                       ". Install the file anyway?")) {
      engine.ReportText("Warning: " + unknown +
                        ", so the file may be older; going ahead as asked.\r\n");
      return 0;
    }
    engine.ReportFailure(
        FailureKind::kOlderFile,
        "**Failed** The order of the versions could not be checked: " + unknown + ".\r\n");
    return -1;
  }
  const int order =
      CompareVersions(outcome.fileVersion, outcome.versionBefore, XDigitOf(engine.modelCode));
  if (order > 0) return 0;
  const std::string file = "v" + outcome.fileVersion;
  const std::string running = "v" + outcome.versionBefore;
  if (order == 0) {
    outcome.sameVersion = true;
    engine.ReportText("The adapter already runs " + running +
                      ": this file installs the same version again.\r\n");
    return 0;
  }
  outcome.olderFile = true;
  // Asked here, before anything that changes the adapter: a front end that can ask its user
  // need not refuse first and start again.
  if (engine.allowOlder ||
      engine.AskUser("The file holds " + file + ", older than the adapter's firmware " + running +
                     ". Install the older firmware anyway?")) {
    engine.ReportText("Warning: the file holds " + file + ", older than the adapter's " + running +
                      "; going ahead as asked.\r\n");
    return 0;
  }
  engine.ReportFailure(FailureKind::kOlderFile, "**Failed** The file holds " + file +
                                                    ", older than the adapter's firmware " +
                                                    running + ".\r\n");
  return -1;
}

void NoteAdapterIdentity(UpdateEngine& engine, std::int32_t code, std::string_view versionAnswer) {
  JobOutcome& outcome = engine.outcome;
  outcome.adapterModel = ModelName(code);
  const std::string& qki = outcome.qkiAnswer;
  // "zOrbent BM v2.2.30": the name is what comes before the version.
  const std::size_t v = qki.find(" v");
  outcome.adapterName = v == std::string::npos ? qki : qki.substr(0, v);
  outcome.versionBefore = VersionInAnswer(versionAnswer);
}

void FailModelMismatch(UpdateEngine& engine) {
  JobOutcome& outcome = engine.outcome;
  const std::int32_t found = ModelOfAnswers(outcome.qkiAnswer, outcome.qkversAnswer);
  if (found >= 0 && found != engine.modelCode) outcome.adapterModel = ModelName(found);
  engine.ReportFailure(FailureKind::kModelMismatch, messages::kModelMismatch,
                       DescribeMismatch(engine));
}

std::string DescribeMismatch(const UpdateEngine& engine) {
  const JobOutcome& outcome = engine.outcome;
  const std::int32_t found = ModelOfAnswers(outcome.qkiAnswer, outcome.qkversAnswer);
  const std::string wanted(ModelName(engine.modelCode));
  const std::string answer = outcome.qkiAnswer.empty() ? outcome.qkversAnswer : outcome.qkiAnswer;
  if (found >= 0 && found != engine.modelCode) {
    return "The adapter is a " + std::string(ModelName(found)) + " (it answers \"" + answer +
           "\"); this file is for " + wanted + ".\r\n";
  }
  if (found >= 0) {
    return "The adapter is a " + wanted + " (it answers \"" + answer +
           "\"), but this file is for another product or firmware of it (product \"" +
           std::string(engine.file.productId) + "\").\r\n";
  }
  std::string line = "The adapter answered";
  if (!outcome.banner.empty()) line += " \"" + outcome.banner + "\" to ATI and";
  const char* query = outcome.qkiAnswer.empty() ? "QKVERS" : "QKI";
  line += answer.empty() ? std::string(" nothing to ") + query : " \"" + answer + "\" to " + query;
  return line + ": it is not one of the adapters this program can update.\r\n";
}

}  // namespace zorbent
