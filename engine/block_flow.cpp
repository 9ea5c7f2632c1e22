#include "engine/block_flow.h"

#include <array>
#include <string>

#include "engine/exchange.h"
#include "engine/identify.h"
#include "engine/image_format.h"
#include "engine/messages.h"
#include "platform/clock.h"

namespace zorbent {
namespace {

// The adapter restarts into its new firmware after the download has ended.
constexpr std::int32_t kRestartWaitMs = 2000;
// Sends of one record, and of "QKDLED", before the adapter counts as not answering.
constexpr int kRecordAttempts = 3;
constexpr int kEndAttempts = 3;

// The length of the acknowledged reply; -1 three attempts without "OK\r"; -2 the adapter
// rejected the record as invalid.
std::int32_t SendBlockRecord(UpdateEngine& engine, Link& link, std::string_view line) {
  std::string command = "QKDLDT";
  command.append(line);
  command.push_back('\r');
  if (command.size() > 255) return -1;
  std::array<char, 256> reply{};
  for (int attempt = 0; attempt < kRecordAttempts; ++attempt) {
    const std::int32_t r =
        SendCommand(link, command, reply, kLongReplyTimeoutMs, kLongReplyTimeoutMs);
    if (r >= 0 && Contains(reply, "OK\r")) return r;
    if (r >= 0 && Contains(reply, "ERR02") && engine.appMode) return -2;
  }
  return -1;
}

std::int32_t SwitchToFastBaud(Link& link, std::int32_t baud) {
  std::array<char, 256> reply{};
  if (SendCommandToLineEnd(link, "QK DLBD 02\r", reply, kLongReplyTimeoutMs, kLongReplyTimeoutMs) <
      0)
    return -1;
  if (!Contains(reply, "OK")) return -2;
  if (link.SetBaud(baud) < 0) return -3;
  reply.fill('\0');
  const std::int32_t line = ReadLine(link, reply, kLongReplyTimeoutMs);
  // A port that reopens for the new rate may have missed the line, or its start, while it was
  // closed: there the adapter's "OK" to the bare CR below is the proof of the new rate.
  if (!link.LosesBytesOnRateChange()) {
    if (line <= 0) {
      link.SetBaud(kNormalRate);
      return -4;
    }
    if (!Contains(reply, "KTR558 Update")) {
      link.SetBaud(kNormalRate);
      return -8;
    }
  }
  reply.fill('\0');
  if (SendText(link, "\r", kReplyTimeoutMs) < 0) return -5;
  if (ReadReply(link, reply, kReplyTimeoutMs) < 0) return -6;
  return Contains(reply, "OK") ? 1 : -7;
}

std::int32_t EndBlockDownload(UpdateEngine& engine, Link& link) {
  std::array<char, 256> reply{};
  bool answered = false;
  for (int attempt = 0; attempt < kEndAttempts; ++attempt) {
    const std::int32_t r =
        SendCommandToLineEnd(link, "QKDLED\r", reply, kReplyTimeoutMs, kReplyTimeoutMs);
    if (r >= 0 && Contains(reply, "OK\r")) return r;
    answered = answered || r >= 0;
  }
  // Never an answer: the adapter may have ended the download all the same.
  if (!answered) engine.outcome.unanswered = "QKDLED";
  return -1;
}

// The transfer goes on at the rate the port has, but every record will likely fail: say why
// first, and where the adapter probably is.
void ReportRateSwitchFailure(UpdateEngine& engine, std::int32_t result) {
  engine.outcome.rateSwitchFailed = true;
  if (result == -1) {
    engine.ReportText(
        "The adapter did not answer the switch to 2,000,000 baud in time; it may run at either "
        "rate.\r\n");
  } else if (result == -2) {
    engine.ReportText(
        "The adapter did not accept the switch to 2,000,000 baud; it stays at 115200 baud.\r\n");
  } else if (result == -3) {
    engine.ReportText(
        "The serial bridge did not switch to 2,000,000 baud; the adapter has switched and "
        "waits at 2,000,000 baud.\r\n");
  } else {
    engine.ReportText(
        "The adapter did not answer at 2,000,000 baud after the switch; it may wait at "
        "2,000,000 baud.\r\n");
  }
}

// True when the record line's SUM matches its DATA.
bool RecordIsSound(std::string_view line) {
  std::array<std::uint8_t, 132> record{};
  const std::size_t n = HexTextToBytes(line, record);
  if (n < 3) return false;
  const std::size_t len = static_cast<std::size_t>(record[0]) * 256 + record[1];
  if (len + 3 > n) return false;
  unsigned sum = 0;
  for (std::size_t i = 0; i < len; ++i) sum += record[2 + i];
  return (sum & 0xFF) == record[2 + len];
}

// 1 finished; 0 stopped; -1 a record was not acknowledged; -2 the image (or the adapter's
// verdict on it) is bad; -3 ending the download failed.
std::int32_t TransferBlocks(UpdateEngine& engine, Link& link) {
  const std::span<const std::uint8_t> image(engine.image);
  int sent = 0;
  engine.ReportProgress(4);
  if (engine.StopNow()) return 0;  // still at the normal rate
  const std::int32_t switched = SwitchToFastBaud(link, kFastRate);
  if (switched > 0) {
    engine.ReportText("Change the baud rate to 2Mbps!\r\n");
  } else {
    ReportRateSwitchFailure(engine, switched);
  }

  bool rejected = false;
  std::size_t position = 0;
  std::array<char, 256> line{};
  engine.EnterStage(Stage::kTransfer);
  while (true) {
    if (engine.StopNow()) return 0;
    if (position >= image.size()) break;
    position = ReadImageLine(image, position, line);
    const std::string_view text = BufferText(line);
    if (text.starts_with("FFF1")) break;
    if (!RecordIsSound(text)) {
      engine.ReportFailure(FailureKind::kFileFormat, messages::kFileInvalid);
      return -2;
    }
    const std::int32_t r = SendBlockRecord(engine, link, text);
    if (r >= 0) {
      ++sent;
      engine.ReportProgress(static_cast<int>(sent * engine.progressStep + 5.0));
      continue;
    }
    if (r == -1) {
      if (ReportIfGone(engine, link)) return -1;  // once, not a sending error
      engine.ReportFailure(
          FailureKind::kNotAcknowledged,
          "**Failed** Sending error on " + std::to_string(sent + 1) + " line!\r\n");
      return -1;
    }
    // Rejected: close the download cleanly, but the update has failed.
    engine.ReportFailure(FailureKind::kRejected, messages::kFileInvalid);
    rejected = true;
    break;
  }

  engine.EnterStage(Stage::kClose);
  if (EndBlockDownload(engine, link) < 0) {
    if (ReportIfGone(engine, link)) return -3;
    engine.ReportFailure(engine.outcome.unanswered.empty() ? FailureKind::kCloseFailed
                                                           : FailureKind::kCloseUnanswered,
                         "**Failed** Request stop download fail!\r\n");
    return -3;
  }
  {
    const WaitScope wait(link, WaitFor::kRestart, {}, kRestartWaitMs);
    SleepMs(kRestartWaitMs);
  }
  link.SetBaud(kNormalRate);
  ReportDeviceVersion(engine, link, engine.modelCode);
  return rejected ? -2 : 1;
}

// The adapter's own QKVERS answer named no block-mode model: it is in download mode, or it
// runs firmware this file does not fit. On the user's word it is taken to be in download mode
// whatever ATI answers, since what a boot loader answers there is not known; the download
// command's "OK" confirms it. Otherwise ATI's own answer only words the refusal.
// 1 download mode; -1 refused (reported).
std::int32_t ConfirmDownloadMode(UpdateEngine& engine, Link& link) {
  if (engine.recover && !engine.checkOnly) return AcceptDownloadMode(engine);
  std::array<char, 256> reply{};
  const std::int32_t r = AskDeciding(link, "ATI\r", reply, [](std::string_view answer) {
    return answer.find("ELM327 ") != std::string_view::npos;
  });
  if (r < 0) {
    if (!ReportIfGone(engine, link)) ReportNoAnswer(engine, r, reply);
    return -1;
  }
  engine.outcome.banner = VisibleText(BufferText(reply));
  if (Contains(reply, "ELM327 ")) {
    FailModelMismatch(engine);
    return -1;
  }
  return AcceptDownloadMode(engine);
}

// Decides from QKVERS's own answer whether the adapter runs block-mode firmware of the file's
// model, and runs its read-only checks, or waits in download mode (on the user's word only).
// 0 go on; negative refused (reported).
std::int32_t ApplicationOrDownloadMode(UpdateEngine& engine, Link& link) {
  std::array<char, 2048> reply{};
  // The answer decides whether download commands may follow, so it must be QKVERS's own.
  std::int32_t r = AskDeciding(link, "QKVERS\r", reply,
                               [](std::string_view answer) { return ModelOfQkvers(answer) >= 0; });
  if (r < 0) {
    if (!ReportIfGone(engine, link)) ReportNoAnswer(engine, r, reply);
    return -1;
  }
  const std::string checked(BufferText(reply));
  engine.outcome.qkversAnswer = VisibleText(checked);
  const std::int32_t named = ModelOfQkvers(checked);
  if (named >= 0 && named != engine.modelCode) {
    FailModelMismatch(engine);  // another block model, or a line-mode adapter
    return -1;
  }
  engine.appMode = named >= 0;
  if (!engine.appMode) return ConfirmDownloadMode(engine, link) < 0 ? -1 : 0;
  engine.adapterModel = named;
  ReportDeviceVersion(engine, link, engine.modelCode);
  r = ProbeBlockAdapter(engine, link);
  if (r == kUnanswered) {
    ReportUnanswered(engine);
    return -1;
  }
  if (r < 0) {
    FailModelMismatch(engine);
    return -1;
  }
  NoteAdapterIdentity(engine, engine.adapterModel, checked);
  engine.EnterStage(Stage::kGates);
  return CheckNotOlder(engine);
}

// Opens the download with the one command of the file's model: the model the adapter named,
// or, in download mode, the one the user named by giving this file. 0 opened; -1 failed
// (reported).
std::int32_t OpenBlockDownload(UpdateEngine& engine, Link& link) {
  const DeviceModel* model = ModelByCode(engine.modelCode);
  if (model == nullptr || model->family != Family::kBlock) {
    FailModelMismatch(engine);
    return -1;
  }
  std::array<char, 256> reply{};
  const std::string command = std::string(model->downloadCommand) + "\r";
  if (SendCommand(link, command, reply, kReplyTimeoutMs, kReplyTimeoutMs) < 0) {
    engine.outcome.unanswered = model->downloadCommand;
    engine.ReportFailure(FailureKind::kDownloadRefused, messages::kPowerOnAgain);
    return -1;
  }
  if (!BufferText(reply).starts_with("OK")) {
    engine.ReportFailure(FailureKind::kDownloadRefused, messages::kPowerOnAgain,
                         "The adapter did not take the download command of the " +
                             std::string(model->name) + " (it answered \"" +
                             VisibleText(BufferText(reply)) + "\").\r\n");
    return -1;
  }
  engine.adapterModel = model->code;
  return 0;
}

}  // namespace

std::int32_t BlockModeUpdate(UpdateEngine& engine, Link& link) {
  engine.appMode = false;
  engine.modelCode =
      static_cast<std::uint8_t>(engine.file.model < 0 ? kNoModel : engine.file.model);
  if (ApplicationOrDownloadMode(engine, link) < 0) return -1;
  if (engine.checkOnly && engine.appMode) {
    engine.outcome.stoppedBeforeChange = true;
    return 1;
  }
  if (engine.StopBeforeChange()) return -1;
  if (OpenBlockDownload(engine, link) < 0) return -1;
  engine.ReportProgress(3);
  if (TransferBlocks(engine, link) > 0) return 1;
  engine.ReportText(messages::kPowerOnAgain);
  return -1;
}

}  // namespace zorbent
