#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device_table.h"
#include "engine/firmware_file.h"
#include "engine/image_format.h"
#include "engine/link.h"
#include "engine/outcome.h"
#include "engine/text.h"
#include "platform/lock.h"
#include "port/port.h"

namespace zorbent {

// Receives every report: kind 0 carries a NUL-terminated text (value is its address),
// kind 1 a percentage 0..100.
using EngineCallback = void (*)(void* context, std::int32_t kind, std::intptr_t value);

inline constexpr std::int32_t kReportText = 0;
inline constexpr std::int32_t kReportProgress = 1;
// kind 2: a wait begins or ends (value is the address of a WaitReport, engine/link.h); not
// said for each step of a transfer, whose progress moves instead.
inline constexpr std::int32_t kReportWait = 2;
// kind 3: a yes/no question on the user's word (value is the address of a UserQuestion); a
// receiver that does not answer leaves No.
inline constexpr std::int32_t kReportQuestion = 3;
struct UserQuestion {
  std::string_view text;
  bool yes = false;
};
inline constexpr int kChannelCount = 256;
// Tries at opening a port before its failure is reported: a device may still be settling.
inline constexpr int kOpenAttempts = 3;
inline constexpr std::size_t kPathCapacity = 1024;

struct Channel {
  std::unique_ptr<Port> port;  // null while the channel is free
  std::unique_ptr<Link> link;  // the exchange over port, kept from job to job
  std::string firmwarePath;    // at most kPathCapacity - 1 characters
  bool serial = false;         // a serial line, whose rate the adapter may have been left at
};

// Line rates of the adapters: commands at the normal rate, block-mode downloads at the fast.
inline constexpr std::int32_t kNormalRate = 115200;
inline constexpr std::int32_t kFastRate = 2000000;
// A run's stop request, shared by the jobs of one run (a tray's adapters, a window's command)
// and raised from any thread. kBeforeChange (a hang-up) stops a job only while nothing that
// changes the adapter has been sent; kNow (Ctrl-C, a closed window) also ends a transfer at
// its next step. A raised request stays raised until Clear: it belongs to the run, not to a
// job, so starting another job never drops it.
enum class StopLevel : int { kNone = 0, kBeforeChange = 1, kNow = 2 };
class StopSignal {
 public:
  void Raise(StopLevel level);  // never lowers it
  StopLevel Level() const;
  void Clear();
  // While no stop is raised, sets started, in one step with the look: a stop raised meanwhile
  // either stops the job or finds it started. False when a stop is raised.
  bool StartUnlessRaised(std::atomic<bool>& started);

 private:
  mutable Lock lock_;
  StopLevel level_ = StopLevel::kNone;
};

// The process-wide request, which the window raises when it is closed while idle; every engine
// reads it unless given a run's own with UseStopSignal. Init clears it.
StopSignal& ProcessStopSignal();
void RequestStop();

// Drives the adapter: channels, the update job, the version query, and all reporting.
class UpdateEngine : private WaitObserver {
 public:
  UpdateEngine() = default;
  virtual ~UpdateEngine();
  UpdateEngine(const UpdateEngine&) = delete;
  UpdateEngine& operator=(const UpdateEngine&) = delete;

  virtual void Init(void* context, EngineCallback callbackFunction);
  // Channel 0..255, or -1 (reported).
  virtual std::int32_t OpenPort(std::string_view configString, std::string_view firmwarePath);
  virtual void ClosePort(std::int32_t channel);
  // The update job on image, the firmware file's bytes as the front end loaded and checked
  // them (LoadFirmwareFile): exactly these bytes are checked again and sent, never the file
  // again; the engine only reads them, so the jobs of a tray may share one buffer. 0 or more
  // when "File download finished!" was reported (with checkOnly: when the update would go
  // ahead), negative on failure (already reported). `outcome` says how it ended. Front ends
  // that only show reports may ignore it.
  virtual std::int32_t Update(std::int32_t channel, std::span<const std::uint8_t> image);
  // The same job on the file at the path OpenPort was given, loaded here once.
  virtual std::int32_t Update(std::int32_t channel);
  // Reports the device and adapter versions. Negative when neither could be read; then it
  // says what state the adapter seems to be in, as far as read-only exchanges can tell.
  virtual std::int32_t ReadVersions(std::int32_t channel);

  void ReportText(std::string_view text);
  void ReportProgress(int percent);
  void ReportWait(const WaitReport& wait);
  // Asks the front end; true only on its Yes.
  bool AskUser(std::string_view question);
  // Reports a failure message (and the line after it, when there is one) and keeps the first
  // of the job as its cause: later, more general messages never replace it.
  void ReportFailure(FailureKind kind, std::string_view message, std::string_view detail = {});
  void EnterStage(Stage stage) { outcome.stage = stage; }

  // The stop request this engine's jobs obey (the process-wide one unless set).
  void UseStopSignal(StopSignal& signal) { stopSignal_ = &signal; }
  // Looked at before each transfer step: true when the job must end now.
  bool StopNow() const { return stopSignal_->Level() == StopLevel::kNow; }
  // Right before the first command that changes the adapter: true (reported) when the job
  // must end there, having sent nothing that changes it; otherwise marks the download as
  // started, after which a hang-up no longer stops the job.
  bool StopBeforeChange();
  // Readable from any thread (a front end's stop hint, a hang-up's wait).
  bool DownloadStarted() const { return downloadStarted_.load(); }

  // Validates `image` into `file` and cuts `image` at the end of the trailer line (a refused
  // one is let go).
  std::int32_t CheckImageFormat();

  // The port of an open channel, or null.
  Port* ChannelPort(std::int32_t channel);
  // The exchange over an open channel's port, or null.
  Link* ChannelLink(std::int32_t channel);

  // Fields the engine's protocol steps read and write. They outlive a job: each job
  // overwrites them as it goes.
  void* callbackContext = nullptr;
  EngineCallback callback = nullptr;
  std::array<Channel, kChannelCount> channels{};
  ImageFacts file;  // the job's firmware file, as the image check read it
  std::uint8_t modelCode = 0;
  // The job's firmware: the caller's bytes, cut by the check at the end of the trailer line;
  // empty outside a job.
  std::span<const std::uint8_t> image;
  double progressStep = 0.0;
  std::int32_t adapterModel = 0;
  bool appMode = false;
  // Set by a front end before Update: stop before the first command that changes the
  // adapter and report whether the update would go ahead.
  bool checkOnly = false;
  // Set by a front end on the user's word: an adapter that does not identify itself is one of
  // this file's model left in download mode by an interrupted update, so finish that update.
  bool recover = false;
  // Set by a front end on the user's word: a file older than the adapter's firmware may go.
  bool allowOlder = false;
  JobOutcome outcome;

 private:
  StopSignal* stopSignal_ = &ProcessStopSignal();
  std::atomic<bool> downloadStarted_{false};
  void OnWait(const WaitReport& wait) override;
  void ReleaseImage();
  // An update job's start and end on an open channel: a fresh outcome; the image let go and
  // the outcome concluded. EndJob returns the job's result.
  void BeginJob(std::int32_t channel);
  std::int32_t EndJob(std::int32_t result);
  std::int32_t RunUpdate(Link& link, std::span<const std::uint8_t> given);
  std::int32_t ReadBothVersions(Link& link, std::int32_t channel);
  void ReadBackVersion(Link& link);
  void ExplainSilence(Link& link, bool serial);
};

}  // namespace zorbent
