// The engine as the page's JavaScript calls it (zorbent_engine.js). Each job opens the page's
// serial port, runs, closes it again and returns its outcome as JSON text, worded in the page's
// terms; the reports go to the page as they happen, waits and progress with their words. A
// job's functions suspend (Asyncify) while the port waits.

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/device_table.h"
#include "engine/firmware_file.h"
#include "engine/image_format.h"
#include "engine/link.h"
#include "engine/messages.h"
#include "engine/update_engine.h"
#include "firmware/outcome_json.h"
#include "platform/clock.h"
#include "ui/outcome_words.h"
#include "web/engine_api.h"

EM_JS(void, web_report_text, (const char* text),
      { Module.zorbentHost.report('text', UTF8ToString(text)); });

EM_JS(void, web_report_progress, (int percent, const char* words),
      { Module.zorbentHost.report('progress', percent, UTF8ToString(words)); });

EM_JS(void, web_report_wait,
      (const char* what, const char* subject, int subjectSize, int limitMs, int attempt,
       int attempts, const char* words),
      {
        Module.zorbentHost.report('wait', {
          what : UTF8ToString(what),
          subject : UTF8ToString(subject, subjectSize),
          limitMs : limitMs,
          attempt : attempt,
          attempts : attempts
        },
                                  UTF8ToString(words));
      });

EM_ASYNC_JS(int, web_ask, (const char* question, int size),
            { return (await Module.zorbentHost.ask(UTF8ToString(question, size))) ? 1 : 0; });

namespace zorbent {
namespace {

const char* WaitName(WaitFor what) {
  switch (what) {
    case WaitFor::kNothing:
      return "";
    case WaitFor::kConnection:
      return "connection";
    case WaitFor::kAnswer:
      return "answer";
    case WaitFor::kQuietLine:
      return "quiet_line";
    case WaitFor::kRestart:
      return "restart";
  }
  return "";
}

void OnReport(void*, std::int32_t kind, std::intptr_t value) {
  switch (kind) {
    case kReportText:
      web_report_text(reinterpret_cast<const char*>(value));
      break;
    case kReportProgress:
      web_report_progress(static_cast<int>(value),
                          ui::ProgressWords(static_cast<int>(value)).c_str());
      break;
    case kReportWait: {
      const auto& wait = *reinterpret_cast<const WaitReport*>(value);
      web_report_wait(WaitName(wait.what), wait.subject.data(),
                      static_cast<int>(wait.subject.size()), wait.limitMs, wait.attempt,
                      wait.attempts, ui::WaitWords(wait, ui::kPageTerms).c_str());
      break;
    }
    case kReportQuestion: {
      auto& question = *reinterpret_cast<UserQuestion*>(value);
      question.yes = web_ask(question.text.data(), static_cast<int>(question.text.size())) != 0;
      break;
    }
    default:
      break;
  }
}

nlohmann::json FamilyJson(int family) {
  return family == static_cast<int>(Family::kBlock)  ? nlohmann::json("block")
         : family == static_cast<int>(Family::kLine) ? nlohmann::json("line")
                                                     : nlohmann::json(nullptr);
}

const char* LookName(ui::OutcomeLook look) {
  switch (look) {
    case ui::OutcomeLook::kSucceeded:
      return "succeeded";
    case ui::OutcomeLook::kNotConfirmed:
      return "not_confirmed";
    case ui::OutcomeLook::kFailed:
      break;
  }
  return "failed";
}

// The outcome, the facts a page shows with it and its words in the page's terms.
nlohmann::json ResultJson(const JobOutcome& outcome, const ui::JobFacts& job) {
  nlohmann::json result = OutcomeJson(outcome);
  result["opened"] = job.opened;
  result["look"] = LookName(ui::LookOf(outcome, job.opened));
  result["verdict"] = ui::Verdict(outcome, ui::kPageTerms, job);
  const bool failed = job.opened && !outcome.succeeded;
  result["state_sentence"] = TextOrNull(failed ? ui::StateSentence(outcome) : std::string());
  result["recovery_sentence"] =
      TextOrNull(failed ? ui::RecoverySentence(outcome, ui::kPageTerms, job) : std::string());
  result["question"] = TextOrNull(ui::RecoverQuestion(outcome, job));
  result["check_only"] = outcome.stoppedBeforeChange;
  result["cause"] = TextOrNull(outcome.cause);
  result["brief"] = TextOrNull(CauseInBrief(outcome));
  result["detail"] = TextOrNull(outcome.detail);
  result["unanswered"] = TextOrNull(outcome.unanswered);
  result["family"] = FamilyJson(outcome.family);
  result["model"] = TextOrNull(outcome.adapterModel);
  result["adapter_name"] = TextOrNull(outcome.adapterName);
  result["version_before"] = TextOrNull(outcome.versionBefore);
  result["version_after"] = TextOrNull(outcome.versionAfter);
  result["file_model"] = TextOrNull(outcome.fileModel);
  result["file_version"] = TextOrNull(outcome.fileVersion);
  result["found_in_download_mode"] = outcome.foundInDownloadMode;
  result["adapter_changed"] = outcome.adapterChanged;
  result["not_identified"] = outcome.notIdentified;
  result["older_file"] = outcome.olderFile;
  result["same_version"] = outcome.sameVersion;
  result["version_unknown"] = outcome.versionUnknown;
  result["rate_switch_failed"] = outcome.rateSwitchFailed;
  result["port_error"] = TextOrNull(outcome.port.systemText);
  result["banner"] = TextOrNull(outcome.banner);
  result["garbled"] = outcome.line.garbled;
  return result;
}

struct WebSession {
  WebSession() {
    engine.Init(nullptr, &OnReport);
    engine.UseStopSignal(stop);
  }
  UpdateEngine engine;
  StopSignal stop;
  std::string result;  // the last job's JSON, until the next job
};

WebSession& Session() {
  static WebSession session;
  return session;
}

const char* Finish(WebSession& session, const ui::JobFacts& job) {
  session.result = ResultJson(session.engine.outcome, job)
                       .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return session.result.c_str();
}

// One job on a port opened for it alone, closed again whatever the job's end.
const char* RunJob(const char* config, const char* firmwarePath, bool update) {
  WebSession& session = Session();
  session.stop.Clear();
  const std::uint32_t start = TickCount();
  const std::int32_t channel = session.engine.OpenPort(config, firmwarePath);
  if (channel >= 0) {
    if (update) {
      session.engine.Update(channel);
    } else {
      session.engine.ReadVersions(channel);
    }
    session.engine.ClosePort(channel);
  }
  return Finish(session,
                {.update = update, .opened = channel >= 0, .seconds = TicksSince(start) / 1000.0});
}

}  // namespace

// The file at path under the update job's own rule and check, without a port: ok, text (the
// engine's lines for a refusal, a summary for a good file) and the file's facts.
nlohmann::json CheckFileJson(const char* path) {
  std::vector<std::uint8_t> image;
  std::string why;
  nlohmann::json facts = {{"ok", false}};
  std::string text;
  if (!LoadFirmwareFile(path, image, why)) {
    text = std::string(messages::kFileInvalid) + why + "\r\n";
  } else {
    const ImageFacts read = CheckImage(image);
    facts["family"] = FamilyJson(static_cast<int>(read.family));
    facts["size"] = image.size();
    if (read.result < 0) {
      text = std::string(messages::kFormatError) + "line " + std::to_string(read.problem.line) +
             ": " + read.problem.what + ".\r\n";
      facts["line"] = read.problem.line;
    } else {
      facts["model"] = TextOrNull(std::string(ModelName(read.model)));
      facts["version"] = TextOrNull(read.version);
      facts["product_id"] = TextOrNull(read.productId);
      facts["device_name"] = TextOrNull(read.deviceName);
      facts["records"] = read.recordCount;
      if (const std::string refusal = UnknownModelRefusal(read); !refusal.empty()) {
        text = std::string(messages::kFileInvalid) + "The file " + refusal + ".\r\n";
      } else {
        facts["ok"] = true;
        text = std::string(ModelName(read.model)) + " firmware" +
               (read.version.empty() ? std::string() : " " + read.version) + ", " +
               (read.family == Family::kBlock ? "block" : "line") + " mode, " +
               std::to_string(read.recordCount) + " records.\r\n";
      }
    }
  }
  facts["text"] = text;
  return facts;
}

}  // namespace zorbent

using namespace zorbent;

extern "C" {

// Reads the adapter's versions over config ("com|NAME:BAUD").
EMSCRIPTEN_KEEPALIVE const char* zorbent_read(const char* config) {
  return RunJob(config, "", false);
}

// Updates the adapter from the firmware file at path.
EMSCRIPTEN_KEEPALIVE const char* zorbent_update(const char* config, const char* path, int recover,
                                                int allowOlder) {
  Session().engine.recover = recover != 0;
  Session().engine.allowOlder = allowOlder != 0;
  return RunJob(config, path, true);
}

// A stop request for the running job: it ends at its next step.
EMSCRIPTEN_KEEPALIVE void zorbent_stop() {
  Session().stop.Raise(StopLevel::kNow);
}

// CheckFileJson as text. Never suspends, so it may run while a job waits.
EMSCRIPTEN_KEEPALIVE const char* zorbent_check_file(const char* path) {
  static std::string result;
  result = CheckFileJson(path).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return result.c_str();
}

}  // extern "C"
