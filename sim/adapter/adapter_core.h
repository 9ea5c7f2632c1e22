#pragma once

// The adapter's firmware as a pure state machine: one complete command in, echo decision,
// answer and link action out. No descriptors, no clocks; AdapterSimulator puts it on a wire.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/image/models.h"

namespace zorbent::sim {

inline constexpr int kModelCount = zorbent::kModelCount;
inline constexpr std::int32_t kNormalRate = 115200;
inline constexpr std::int32_t kFastRate = 2000000;

// Model codes as the host numbers them: 0..4 line mode, 5 and 6 block mode; kGenericModel
// names an ordinary ELM327 that is none of them.
inline constexpr int kGenericModel = kModelCount;
std::optional<int> ParseModel(std::string_view name);
std::string_view ModelName(int model);
bool IsBlockModel(int model);
struct AdapterOptions {
  int model = 2;
  // Not one of the maker's adapters: an ordinary ELM327 that answers "ATI" with its banner
  // and "?" to every QK command. It has no boot loader, so it never runs in download mode
  // (startInDownloadMode and power loss leave it in its firmware).
  bool generic = false;
  // The whole answer to "ATI" (and the line "ATZ" shows) in application mode, without the
  // prompt, e.g. "OBDII v1.5" for a clone; empty: "ELM327 v" + elmVersion.
  std::string banner;
  std::string deviceVersion;  // firmware version; empty: the model's default
  std::string elmVersion = "2.2";
  std::string productId = "OBDZ-1000";  // the answer to "QKPROI"
  std::string qkiName;                  // "QKI" text before the version; empty: model default
  std::string qkiText;                  // whole "QKI" answer; overrides qkiName
  std::string qkversText;               // whole "QKVERS" answer in application mode
  // The version the flashed firmware reports where the adapter cannot read it from the trailer:
  // block mode (the trailer never crosses the wire; without this, the version text the records
  // carry, see BlockImageOptions::nameInData) and a line-mode download closed without its
  // trailer line (see AdapterFaults::strictClose); empty: the old version with its last number
  // raised by one.
  std::string flashedVersion;
  // The boot loader's whole answer to "ATI" (and "ATZ") in download mode, without the prompt;
  // empty: its own name. What a real one answers is not known: "?" and an ELM327 banner
  // ("ELM327 v2.2") play the other two likely ones.
  std::string bootBanner;
  bool echo = true;                  // echo after power-on and after a restart
  bool startInDownloadMode = false;  // as after an interrupted update
};

// Faults that hit the records of a download: record number (1-based, the position of the
// line in the image as the adapter counts it) to the number of times the fault strikes.
using RecordFaults = std::map<int, int>;

struct AdapterFaults {
  RecordFaults repPack;        // line mode "RepPack"; block mode "ERR01", a resend request
  RecordFaults repBlock;       // line mode "RepBlock" on the pair holding it; block mode as repPack
  RecordFaults err02;          // "ERR02": block mode rejects the record (the download is damaged)
  int disconnectAtRecord = 0;  // 0: never
  int powerLossAtRecord = 0;   // 0: never
  int refuseEnd = 0;           // block mode: "QKDLED" is answered "ERR03" this many times
  // Line mode: "QKFL" is refused ("ERR03") until the trailer line has arrived, even after the
  // end record. Without it the end record followed by "QKFL" closes a download whose trailer
  // never came (an image with an odd number of lines: the last has no partner and is not
  // sent), taking the records received as the new firmware, of version flashedVersion. A
  // plain "QKFL" without the trailer is refused either way.
  bool strictClose = false;
};

enum class LinkAction {
  kNone,
  kRaiseRate,  // answered "OK\r" to the rate command: switch to 2,000,000, then the banner
  kHangUp,     // the link goes down before the answer
  kPowerLoss,  // no answer; the adapter restarts in download mode
};

struct CommandResult {
  std::string answer;  // sent after the echo (if any)
  LinkAction action = LinkAction::kNone;
};

class AdapterCore {
 public:
  AdapterCore(AdapterOptions options, AdapterFaults faults);

  // One command as received, its closing "\r" included.
  CommandResult Handle(std::string_view command);

  // The adapter's own line rate.
  std::int32_t Rate() const { return rate_; }
  bool Echo() const { return echo_; }
  bool InDownloadMode() const { return mode_ != Mode::kApplication; }
  bool DownloadOpen() const { return mode_ == Mode::kDownloadOpen; }
  int Model() const { return options_.model; }
  const std::string& DeviceVersion() const { return deviceVersion_; }
  const std::string& ElmVersion() const { return elmVersion_; }
  // Record texts of the last completed (or running) download, in order: block mode as
  // received, line mode the whole line (its type digits rebuilt from the check byte).
  const std::vector<std::string>& Records() const { return records_; }
  // Completed downloads (closed and taken as new firmware).
  int Flashes() const { return flashes_; }
  // Why the last download close was refused; empty when none was.
  const std::string& CloseError() const { return closeError_; }
  // The first line the adapter sends once the host's line runs at the fast rate.
  static std::string_view FastRateBanner() { return "KTR558 Update\r"; }

  // Power off and on: the normal rate, the echo as at power-on, nothing half-received; in
  // download mode if a download began and did not complete (its partial image gone), else in
  // the firmware (a generic adapter always).
  void PowerCycle();

 private:
  enum class Mode { kApplication, kDownloadIdle, kDownloadOpen };

  CommandResult Application(std::string_view text);
  CommandResult Download(std::string_view text);
  CommandResult CommonAt(std::string_view text, bool& handled);
  CommandResult LineRecord(std::string_view data);
  CommandResult BlockRecord(std::string_view data);
  CommandResult CloseLineDownload();
  CommandResult EndBlockDownload();
  bool Strike(RecordFaults& faults, int record);
  CommandResult Reject(CommandResult answer);
  std::string_view DownloadCommand() const;
  void StartDownload();
  void RunNewFirmware();
  std::string Banner() const;
  std::string QkiAnswer() const;
  std::string QkversAnswer() const;

  AdapterOptions options_;
  AdapterFaults faults_;
  Mode mode_ = Mode::kApplication;
  std::int32_t rate_ = kNormalRate;
  bool echo_ = true;
  bool awaitingConfirm_ = false;  // block mode: the banner was sent, a bare "\r" is due
  bool endRecordSeen_ = false;
  bool damaged_ = false;  // block mode: a record was rejected in this download
  std::string deviceVersion_;
  std::string elmVersion_;
  std::string pendingFirst_;  // line mode: first line of a pair, not yet confirmed
  std::vector<std::string> records_;
  std::string closeError_;
  int flashes_ = 0;
};

}  // namespace zorbent::sim
