#include "engine/line_flow.h"

#include <array>
#include <string>

#include "engine/exchange.h"
#include "engine/identify.h"
#include "engine/image_format.h"
#include "engine/messages.h"
#include "platform/clock.h"

namespace zorbent {
namespace {

using LineSlot = std::array<char, 256>;
using LinePair = std::array<LineSlot, 2>;

constexpr std::string_view kStopDownloadFail =
    "**Failed** Request stop download fail,Upgrade again after power on!\r\n";

std::string WithCount(std::string_view format, int count) {
  std::string text(format);
  const auto at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(count));
  return text;
}

bool SendableType(std::string_view line) {
  return line.size() >= 2 && line[0] == '0' && (line[1] == '0' || line[1] == '1' || line[1] == '2');
}

// "QKBL" + the line from its third digit on + "\r"; the type digits are not sent.
std::int32_t SendImageLine(Link& link, std::string_view line, std::span<char> reply) {
  std::string command = "QKBL";
  command.append(line.substr(2));
  command.push_back('\r');
  if (command.size() > 255) return -1;  // does not fit one command
  return SendCommandRetry(link, command, reply, kReplyTimeoutMs, kReplyTimeoutMs);
}

// Sends one line until it is acknowledged; at most six sends. Returns the sends made, or a
// SendLinePair failure code.
std::int32_t SendUntilAcknowledged(Link& link, std::string_view line, std::span<char> reply,
                                   bool second) {
  int sends = 0;
  while (sends < 6) {
    if (!SendableType(line)) return -2;
    ++sends;
    if (SendImageLine(link, line, reply) < 0) return -1;
    if (!second) {
      if (Contains(reply, "...\r")) break;
      if (!Contains(reply, "RepPack\r")) return -3;
    } else {
      if (Contains(reply, "RepPack\r")) continue;
      if (Contains(reply, "OK\r") || Contains(reply, "RepBlock\r")) break;
      return -3;
    }
  }
  if (sends >= 5) return -1;
  return sends;
}

std::int32_t SendLinePair(Link& link, const LinePair& pair) {
  std::array<char, 256> reply{};
  int repeatBlocks = 0;
  while (true) {
    const std::int32_t first = SendUntilAcknowledged(link, BufferText(pair[0]), reply, false);
    if (first < 0) return first;
    const std::int32_t second = SendUntilAcknowledged(link, BufferText(pair[1]), reply, true);
    if (second < 0) return second;
    if (!Contains(reply, "RepBlock\r")) return 0;
    if (++repeatBlocks >= 3) return -4;
  }
}

std::string_view PairFailureMessage(std::int32_t code) {
  switch (code) {
    case -2:
      return "**Failed** Device type error on %d line!\r\n";
    case -3:
      return "**Failed** Reply error on %d line!\r\n";
    default:
      return "**Failed** Sending error on %d line!\r\n";
  }
}

// 1 when every pair was acknowledged; -1 stopped; -4 three repeat requests for a pair;
// -5 a pair failed four times. A failure of the last pair fails the transfer too: the
// adapter never confirmed those lines, so the update must not be reported as finished.
std::int32_t TransferLines(UpdateEngine& engine, Link& link) {
  const std::span<const std::uint8_t> image(engine.image);
  std::size_t position = 0;
  int acknowledged = 0;
  int failures = 0;
  bool resend = false;
  LinePair pair{};
  while (true) {
    if (engine.StopNow()) return -1;
    if (!resend) {
      if (position >= image.size()) return 1;
      position = ReadImageLine(image, position, pair[0]);
      if (position >= image.size()) return 1;  // a last line without a partner is not sent
      position = ReadImageLine(image, position, pair[1]);
    }
    const std::int32_t r = SendLinePair(link, pair);
    if (r >= 0) {
      acknowledged += 2;
      resend = false;
      failures = 0;
      engine.ReportProgress(static_cast<int>(acknowledged * engine.progressStep + 5.0));
      continue;
    }
    if (r == -4) {
      engine.ReportFailure(
          FailureKind::kNotAcknowledged,
          WithCount("**Failed** Repeat three times error on %d line!\r\n", acknowledged));
      return -4;
    }
    if (ReportIfGone(engine, link)) return -5;  // once, not four sending errors
    engine.ReportFailure(FailureKind::kNotAcknowledged,
                         WithCount(PairFailureMessage(r), acknowledged));
    resend = true;
    if (++failures > 3) return -5;
  }
}

std::int32_t FinishDownload(UpdateEngine& engine, Link& link) {
  if (SendText(link, "QKFL\r", kReplyTimeoutMs) < 0) return -1;
  std::array<char, 256> reply{};
  if (ReadReply(link, reply, kReplyTimeoutMs) < 0) {
    // Closed or not: a late answer leaves it open which, so no state may be claimed.
    engine.outcome.unanswered = "QKFL";
    return -1;
  }
  // The job switched the echo on: the answer follows "QKFL".
  return SkipPrefix(BufferText(reply), "QKFL", 255).starts_with("OK") ? 0 : -2;
}

// The fallback close: the end record, then "QKFL" again. The download counts as closed only
// when the adapter confirmed it.
std::int32_t SendEndRecordAndFinish(Link& link) {
  std::string endRecord = "QKBLFFF1";
  endRecord.append(129, '0');
  endRecord.append("F\r");
  std::array<char, 256> reply{};
  const std::int32_t r =
      SendCommand(link, endRecord, reply, kLongReplyTimeoutMs, kLongReplyTimeoutMs);
  if (r < 0) return r;
  if (!Contains(reply, "OK")) return -1;
  const std::int32_t f = SendCommand(link, "QKFL\r", reply, kReplyTimeoutMs, kReplyTimeoutMs);
  return (f >= 0 && Contains(reply, "OK")) ? 1 : -1;
}

// Opens the download: the adapter leaves its firmware, which is gone from here on.
std::int32_t RequestStartDownload(Link& link, std::span<char> reply) {
  return SendCommandRetry(link, "QKUPDT03\r", reply, kReplyTimeoutMs, kReplyTimeoutMs);
}

// Decides from ATI's own answer whether the adapter runs its firmware (an ELM327 banner) or
// waits in download mode, which is taken only on the user's word, and opens the download in
// that case. 0 go on; negative refused or failed (reported).
std::int32_t ApplicationOrDownloadMode(UpdateEngine& engine, Link& link) {
  std::array<char, 2048> reply{};
  // The answer decides whether download commands may follow, so it must be ATI's own.
  std::int32_t r = AskDeciding(link, "ATI\r", reply, [](std::string_view answer) {
    return answer.find("ELM327 ") != std::string_view::npos;
  });
  if (r < 0) {
    if (!ReportIfGone(engine, link)) ReportNoAnswer(engine, r, reply);
    return r;
  }
  engine.outcome.banner = VisibleText(BufferText(reply));
  engine.ReportProgress(3);
  engine.appMode = Contains(reply, "ELM327 ");
  if (engine.appMode) {
    ReportDeviceVersion(engine, link, engine.modelCode);
  } else {
    if (AcceptDownloadMode(engine) < 0) return -1;
    if (engine.StopBeforeChange()) return -1;
    r = SendCommand(link, "QKUPDT03\r", reply, kReplyTimeoutMs, kReplyTimeoutMs);
    if (r < 0 || !Contains(reply, "OK")) {
      engine.ReportFailure(FailureKind::kDownloadRefused,
                           "**Failed** Device connection error!\r\n");
      engine.ReportText(messages::kPowerOnAgain);
      return r < 0 ? r : -1;
    }
  }
  engine.ReportText("Device connection ok!\r\n");
  engine.ReportProgress(4);
  return 0;
}

// The read-only checks before a download: model and product, the ELM327 level, the version
// gates and the file's version against the running one. 0 go on; negative refused (reported).
std::int32_t RunLineGates(UpdateEngine& engine, Link& link) {
  std::int32_t r = IdentifyAdapter(engine, link, engine.modelCode);
  if (r == kUnanswered) {
    ReportUnanswered(engine);
    return r;
  }
  if (r < 0) {
    FailModelMismatch(engine);
    return r;
  }
  NoteAdapterIdentity(engine, engine.modelCode, {});  // the version comes with the gate's answer
  engine.EnterStage(Stage::kGates);
  r = CheckElmVersion(engine, link);
  if (r == kUnanswered) {
    ReportUnanswered(engine);
    return r;
  }
  if (r == kNoElmVersion) {
    engine.ReportFailure(FailureKind::kNoVersion, messages::kNoVersion,
                         "Its answer to ATI, \"" + engine.outcome.banner +
                             "\", holds no ELM327 version after \"ELM327 v\".\r\n");
    return r;
  }
  if (r < 0) {
    engine.ReportFailure(FailureKind::kProgramTooOld,
                         "This software version is too low, please download the latest software "
                         "version.!\r\n");
    return r;
  }
  r = CheckVersionGates(engine, link, engine.modelCode, engine.file.versionNumber);
  if (r == kUnanswered) ReportUnanswered(engine);
  if (r < 0) return r;
  return CheckNotOlder(engine);
}

// Ends the download: "QKFL", then the end record and "QKFL" again. 0 or 1 closed; negative
// not (reported).
std::int32_t CloseDownload(UpdateEngine& engine, Link& link) {
  engine.EnterStage(Stage::kClose);
  std::int32_t r = FinishDownload(engine, link);
  if (r >= 0) return r;
  SleepMs(200);
  r = SendEndRecordAndFinish(link);
  if (r >= 0) return r;
  JobOutcome& outcome = engine.outcome;
  if (ReportIfGone(engine, link)) {
    engine.ReportText(kStopDownloadFail);
    return -1;
  }
  // The last line of an odd count is never sent; an adapter that wants it will not close.
  const bool odd = outcome.unanswered.empty() && engine.file.recordCount % 2 != 0;
  engine.ReportFailure(!outcome.unanswered.empty() ? FailureKind::kCloseUnanswered
                       : odd                       ? FailureKind::kOddFileNotClosed
                                                   : FailureKind::kCloseFailed,
                       kStopDownloadFail);
  return -1;
}

}  // namespace

std::int32_t LineModeUpdate(UpdateEngine& engine, Link& link) {
  const std::int32_t code = ModelOfFile(Family::kLine, engine.file.deviceName);
  if (code < 0) {
    engine.ReportFailure(FailureKind::kFileFormat, messages::kFormatError,
                         "The file is for \"" + engine.file.deviceName +
                             "\", which is none of the models this program knows (" +
                             FileDeviceNames(Family::kLine) + ").\r\n");
    return -1;
  }
  engine.modelCode = static_cast<std::uint8_t>(code);
  std::int32_t r = ApplicationOrDownloadMode(engine, link);
  if (r < 0) return r;
  if (engine.appMode) {
    r = RunLineGates(engine, link);
    if (r < 0) return r;
    if (engine.checkOnly) {
      engine.outcome.stoppedBeforeChange = true;
      return 0;
    }
  }
  // From download mode the stop was looked at before the first "QKUPDT03": the download has
  // begun, and only a stop-now ends it (in the transfer).
  if (engine.appMode && engine.StopBeforeChange()) return -1;
  std::array<char, 256> reply{};
  if (RequestStartDownload(link, reply) < 0) {
    engine.outcome.unanswered = "QKUPDT03";
    engine.ReportFailure(FailureKind::kDownloadRefused,
                         "**Failed** Request start download fail!\r\n");
    return -1;
  }
  engine.ReportProgress(5);
  engine.EnterStage(Stage::kTransfer);
  if (TransferLines(engine, link) != 1) {
    engine.ReportText(kStopDownloadFail);
    return -1;
  }
  engine.ReportProgress(99);
  r = CloseDownload(engine, link);
  if (r < 0) return r;
  if (engine.appMode) {
    AdjustElmVersion(engine, link, engine.adapterModel);
    ReportDeviceVersion(engine, link, engine.modelCode);
  }
  return r;
}

}  // namespace zorbent
