#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/update_engine.h"
#include "platform/thread.h"
#include "ui/line_ends.h"
#include "ui/main_view.h"
#include "ui/serial_ports.h"

namespace zorbent::ui {

inline constexpr std::size_t kFieldLimit = 255;
inline constexpr std::size_t kConfigLimit = 255;
inline constexpr int kDefaultRateIndex = 4;
inline constexpr const char* kDefaultWifiAddress = "192.168.0.10";
inline constexpr const char* kDefaultWifiPort = "35000";
// The window's exit status when a command did not end well: cut short by a confirmed close, or
// failed while the end of the session waited for it; an update whose version was not confirmed.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNotConfirmed = 3;

// The 13 link rates of a serial page, "115200" at kDefaultRateIndex.
const std::vector<std::string>& LinkRates();

// A configuration string, or the "**Failed** ..." line that refuses over-long input.
struct ConfigResult {
  bool ok = false;
  std::string text;
};
ConfigResult SerialConfigString(std::string_view name, std::string_view rate);
ConfigResult TcpConfigString(std::string_view address, std::string_view port);

// A firmware file checked before any port opens: ok with its one-line description (and a
// note for an odd line count), or the reason it is refused, naming the line.
struct FileCheck {
  bool ok = false;
  std::string text;  // "\r\n" line ends
  // The bytes that were checked, when ok: what Update sends and the history records.
  std::shared_ptr<const std::vector<std::uint8_t>> image;
};
FileCheck CheckFirmwareForWindow(const std::string& path);

class MainController;

// What Yes to the question after a refused Update lets the same Update do, for that run alone.
enum class Word { kNone, kRecover };

// The user's answer to a job's question, given on the window's thread and awaited on the
// worker's; the first answer counts (the window going away gives No).
class PendingAnswer {
 public:
  void Give(bool yes);
  bool Wait();

 private:
  std::mutex lock_;
  std::condition_variable given_;
  std::optional<bool> answer_;
};

// How a command ended, copied off the engine by its worker before it posts: the window's thread
// never reads the engine's outcome.
struct CommandEnd {
  OutcomeLook look = OutcomeLook::kFailed;
  std::string verdict;      // the line that closes the command's output, without its end
  Word word = Word::kNone;  // what the window may ask the user's word for
  std::string question;     // ... and how it asks
  std::string model;        // the adapter the command found, and the version it runs now
  std::string version;
  bool downloadBegan = false;  // the adapter was changed: a stop shows where the download was
};

// How a Latest ended: the lines for the output box, the file it fetched (empty when none),
// and whether it failed or only found nothing to fetch.
struct LatestEnd {
  std::string text;  // "\r\n" line ends
  std::string path;
  bool failed = false;
};
// The end of a command from the engine as the job left it (its flags still those of the job).
// opened: the connection was made; seconds: the command's time.
CommandEnd CommandEndOf(const UpdateEngine& engine, bool update, bool opened, double seconds);

// What a command's worker reads for as long as it runs.
struct WorkerArgs {
  std::int32_t channel = -1;
  std::string config;                                      // the connection the worker opens
  std::string firmware;                                    // empty for a read
  std::shared_ptr<const std::vector<std::uint8_t>> image;  // the checked bytes an update sends
  MainController* window = nullptr;
};

// Everything the main window decides, driven through MainView: pages, commands, workers,
// engine reports, closing.
class MainController {
 public:
  using PortLister = std::function<std::vector<PortChoice>()>;

  MainController(MainView& view, UpdateEngine& engine, PortLister listPorts);
  ~MainController();
  MainController(const MainController&) = delete;
  MainController& operator=(const MainController&) = delete;

  // Registers with the engine and fills the pages; the window starts with no page shown.
  void Initialise();

  void OnDeviceType(DeviceType type);
  void OnBrowse();
  void OnUpdate() { StartCommand(true); }
  void OnRead() { StartCommand(false); }
  // Offers the newest firmware for the adapter the last Read found, from the configured
  // firmware repository; on Yes fetches and checks it and puts it in the Path field.
  void OnLatest();
  void OnClear();
  void OnRefresh(SerialPageId page);
  void OnAbout() { view_.ShowAbout(); }
  // True when the window is to go away (it has been ended, or the process is ending).
  bool OnClose();
  // The session is ending (the terminal closed, SIGTERM): an idle window closes at once; a
  // command is carried on as far as a hang-up lets it and the window closes when it ends.
  void OnSessionEnd();
  // An Update runs: ending the session now could cut its download short.
  bool UpdateRunning() const { return running_ && runningCommand_ == "Update"; }
  // What the process is to exit with once the window has gone.
  int ExitStatus() const { return exitStatus_; }

  bool IsRunning() const { return running_; }
  // The question a close during a command asks, naming the command.
  std::string CloseQuestion() const;
  // Waits for both workers; the window calls it before it is torn down.
  void Shutdown();

  static void OnEngineCallback(void* context, std::int32_t kind, std::intptr_t value);

  void WriteOutput(std::string_view text, bool append);
  void EnableControls(bool enabled);

 private:
  // Opens the connection and runs the command off the window's thread, then posts its end.
  static void Worker(WorkerArgs* args, bool update);
  void ShowPortChoices(SerialPageId page, const std::vector<PortChoice>& choices);
  void StartCommand(bool update);
  // False, with what is missing said and focused, when the click is to start nothing;
  // refusal text set when input is too long.
  bool BuildConfig(std::string& config, std::string& refusal);
  // Says what is missing in the output box and puts the focus where it is to be given.
  void AskFor(Control control, std::string_view what);
  void RunCommand(bool update, const std::string& config, const std::string& path,
                  std::shared_ptr<const std::vector<std::uint8_t>> image);
  void FinishCommand(const CommandEnd& end);
  // Closing while idle: stop request, workers joined, the dialog ended.
  void EndWindow();
  // The Latest worker: the repository, the choice, the question and the download, off the
  // window's thread.
  void LatestWorker();
  void FinishLatest(const LatestEnd& end);
  void Report(std::int32_t kind, std::intptr_t value);
  // A job's yes/no question, asked on the window's thread; No when the window is going.
  bool AskUser(std::string question);

  MainView& view_;
  UpdateEngine& engine_;
  PortLister listPorts_;
  LineEndFolder folder_;
  std::thread::id windowThread_ = std::this_thread::get_id();
  bool running_ = false;
  std::string runningCommand_;
  // The devices behind each page's Name list, in list order: the list shows descriptions.
  std::array<std::vector<std::string>, 2> portNames_;
  WorkerArgs updateArgs_;
  WorkerArgs readArgs_;
  std::unique_ptr<Thread> updateWorker_;
  std::unique_ptr<Thread> readWorker_;
  std::unique_ptr<Thread> latestWorker_;
  // The adapter the last command found, which Latest looks for: read by the worker only while
  // the window's controls are disabled.
  std::string knownModel_;
  std::string knownVersion_;
  int lastPercent_ = 0;  // the running command's download, as the window shows it
  std::mutex questionLock_;
  std::shared_ptr<PendingAnswer> pending_;  // the question a worker waits on, if any
  bool closing_ = false;
  bool endWhenDone_ = false;  // the session is ending: close when the command has ended
  int exitStatus_ = 0;
};

}  // namespace zorbent::ui
