#include "ui/main_controller.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "engine/device_table.h"
#include "engine/firmware_file.h"
#include "engine/image_format.h"
#include "firmware/history.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/user_folders.h"
#include "ui/outcome_words.h"
#include "ui/port_advice.h"
#include "ui/serial_ports.h"

namespace zorbent::ui {
namespace {

constexpr SerialPageId kSerialPages[] = {SerialPageId::kBt, SerialPageId::kUsb};

ConfigResult Refuse(std::string_view what) {
  return {false, "**Failed** " + std::string(what) + " is too long (at most 255 characters)!\r\n"};
}

ConfigResult Join(std::string_view scheme, std::string_view first, std::string_view second) {
  std::string text;
  text.reserve(scheme.size() + first.size() + second.size() + 2);
  text.append(scheme).append("|").append(first).append(":").append(second);
  if (text.size() > kConfigLimit) return Refuse("Port configuration");
  return {true, std::move(text)};
}

// Leaves the update's entry in the user's history, as the command line does: the reason it
// could not, or empty.
std::string RecordInHistory(const WorkerArgs& args, const JobOutcome& outcome, double seconds) {
  JobRecord record;
  record.command = "update";
  record.connection = args.config;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(args.firmware, ec);
  record.file = ec ? args.firmware : absolute.string();
  if (args.image != nullptr) record.fileSha256 = Sha256Hex(*args.image);  // of the bytes sent
  record.cause = JobCause(outcome);
  record.seconds = seconds;
  std::string error;
  const std::string path = HistoryPath(error);
  if (!path.empty() && AppendHistory(path, {HistoryEntry(record, outcome)}, error)) return {};
  return error + " (" + kDataFolderVariable + " names another folder for it)";
}

}  // namespace

const std::vector<std::string>& LinkRates() {
  static const std::vector<std::string> rates = {
      "9600",   "19200",  "38400",   "57600",   "115200",  "230400", "256000",
      "460800", "500000", "1000000", "2000000", "4000000", "8000000"};
  return rates;
}

ConfigResult SerialConfigString(std::string_view name, std::string_view rate) {
  if (name.size() > kFieldLimit) return Refuse("Port name");
  if (rate.size() > kFieldLimit) return Refuse("Baudrate");
  return Join("com", name, rate);
}

ConfigResult TcpConfigString(std::string_view address, std::string_view port) {
  if (address.size() > kFieldLimit) return Refuse("IP address");
  if (port.size() > kFieldLimit) return Refuse("IP port");
  return Join("tcp", address, port);
}

FileCheck CheckFirmwareForWindow(const std::string& path) {
  auto image = std::make_shared<std::vector<std::uint8_t>>();
  std::string why;
  // The engine's own rule and check: a file passed here is one its update job takes.
  if (!LoadFirmwareFile(path, *image, why)) return {false, why + "\r\n", nullptr};
  const ImageFacts facts = CheckImage(*image);
  if (facts.result < 0) {
    return {false,
            path + " is not a valid firmware file: line " + std::to_string(facts.problem.line) +
                ": " + facts.problem.what + "\r\n",
            nullptr};
  }
  if (const std::string refusal = UnknownModelRefusal(facts); !refusal.empty())
    return {false, path + " " + refusal + "\r\n", nullptr};
  const bool line = facts.family == Family::kLine;
  const std::string name = path.substr(path.find_last_of("/\\") + 1);
  std::string text =
      name + ": firmware " + (facts.version.empty() ? "" : "v" + facts.version + " ") + "for " +
      std::string(ModelName(facts.model)) + " (" + (line ? "line mode" : "block mode") + "), " +
      std::to_string(facts.recordCount) + " lines\r\n";
  if (line && facts.recordCount % 2 != 0) {
    text +=
        "Note: the file has an odd number of lines, so its last data line has no partner: "
        "Update does not send it and ends the download with the end record.\r\n";
  }
  return {true, std::move(text), std::move(image)};
}

CommandEnd CommandEndOf(const UpdateEngine& engine, bool update, bool opened, double seconds) {
  const JobOutcome& outcome = engine.outcome;
  CommandEnd end;
  end.look = LookOf(outcome, opened);
  if (!outcome.adapterModel.empty()) {
    end.model = outcome.adapterModel;
    const bool updated = update && outcome.succeeded && !outcome.versionAfter.empty();
    end.version = updated ? outcome.versionAfter : outcome.versionBefore;
  }
  const JobFacts job{.update = update, .opened = opened, .seconds = seconds};
  end.verdict = Verdict(outcome, kWindowTerms, job);
  end.downloadBegan = outcome.adapterChanged;
  end.question = RecoverQuestion(outcome, job);
  if (!end.question.empty()) end.word = Word::kRecover;
  return end;
}

MainController::MainController(MainView& view, UpdateEngine& engine, PortLister listPorts)
    : view_(view), engine_(engine), listPorts_(std::move(listPorts)) {
  if (!listPorts_) listPorts_ = [] { return ListPortChoices(); };
}

MainController::~MainController() {
  Shutdown();
}

void MainController::Shutdown() {
  {
    // A worker waiting for the user's word gets No: the window that would ask is going.
    const std::lock_guard hold(questionLock_);
    closing_ = true;
    if (pending_ != nullptr) pending_->Give(false);
  }
  updateWorker_.reset();
  readWorker_.reset();
  latestWorker_.reset();
}

void MainController::Initialise() {
  engine_.Init(this, &MainController::OnEngineCallback);
  const std::vector<PortChoice> choices = listPorts_();
  for (const SerialPageId page : kSerialPages) {
    ShowPortChoices(page, choices);
    if (!choices.empty()) view_.SelectName(page, 0);
    view_.SetRates(page, LinkRates());
    view_.SelectRate(page, kDefaultRateIndex);
  }
  view_.SetWifiAddress(kDefaultWifiAddress);
  view_.SetWifiPort(kDefaultWifiPort);
  view_.ShowPage(DeviceType::kNone);
  view_.FocusUpdateButton();
}

void MainController::OnDeviceType(DeviceType type) {
  view_.ShowPage(type);
}

void MainController::OnBrowse() {
  const std::optional<std::string> path = view_.ChooseFirmwareFile();
  if (!path) return;
  view_.SetPathText(*path);
  // Said now, not only when Update is pressed: a wrong file is found before any port is opened.
  const FileCheck check = CheckFirmwareForWindow(*path);
  WriteOutput(check.text, true);
  if (!check.ok) view_.FocusControl(Control::kPath);
}

void MainController::AskFor(Control control, std::string_view what) {
  WriteOutput(std::string(what) + "\r\n", true);
  view_.FocusControl(control);
}

void MainController::OnClear() {
  WriteOutput({}, false);
}

void MainController::ShowPortChoices(SerialPageId page, const std::vector<PortChoice>& choices) {
  std::vector<std::string>& names = portNames_[static_cast<std::size_t>(page)];
  std::vector<std::string> labels;
  names.clear();
  for (const PortChoice& choice : choices) {
    names.push_back(choice.name);
    labels.push_back(choice.label.empty() ? choice.name : choice.label);
  }
  view_.SetPortNames(page, labels);
}

void MainController::OnRefresh(SerialPageId page) {
  const int noted = view_.SelectedName(page);
  const std::vector<PortChoice> choices = listPorts_();
  ShowPortChoices(page, choices);
  const int select = RefreshSelection(noted, static_cast<int>(choices.size()));
  if (select >= 0) view_.SelectName(page, select);
}

bool MainController::BuildConfig(std::string& config, std::string& refusal) {
  ConfigResult result;
  const DeviceType type = view_.CheckedDeviceType();
  if (type == DeviceType::kBt || type == DeviceType::kUsb) {
    const bool bt = type == DeviceType::kBt;
    const SerialPageId page = bt ? SerialPageId::kBt : SerialPageId::kUsb;
    const int name = view_.SelectedName(page);
    const std::vector<std::string>& names = portNames_[static_cast<std::size_t>(page)];
    if (name < 0 || static_cast<std::size_t>(name) >= names.size()) {
      AskFor(bt ? Control::kBtName : Control::kUsbName,
             "Choose the adapter's port in the Name list (plug it in and press Refresh if it is "
             "not there).");
      return false;
    }
    const int rate = view_.SelectedRate(page);
    if (rate < 0) {
      AskFor(bt ? Control::kBtRate : Control::kUsbRate, "Choose a rate in the Baudrate list.");
      return false;
    }
    // The list shows a description beside the device; the connection names the device alone.
    result = SerialConfigString(names[static_cast<std::size_t>(name)], view_.RateAt(page, rate));
  } else if (type == DeviceType::kWifi) {
    const std::string address = view_.WifiAddress();
    const std::string port = view_.WifiPort();
    if (address.empty()) {
      AskFor(Control::kWifiAddress, "Enter the adapter's IP address.");
      return false;
    }
    if (port.empty()) {
      AskFor(Control::kWifiPort, "Enter the adapter's IP port.");
      return false;
    }
    result = TcpConfigString(address, port);
  } else {
    AskFor(Control::kBt, "Choose how the adapter is connected: BT, USB or WIFI.");
    return false;
  }
  (result.ok ? config : refusal) = std::move(result.text);
  return true;
}

void MainController::StartCommand(bool update) {
  if (running_) return;
  std::string config;
  std::string refusal;
  if (!BuildConfig(config, refusal)) return;
  if (!refusal.empty()) {
    // Cutting a field would reach another device than the one shown: say so instead.
    WriteOutput(refusal, true);
    return;
  }
  std::string path;
  FileCheck check;
  if (update) {
    path = view_.PathText();
    if (path.empty()) {
      AskFor(Control::kPath, "Choose the firmware file: press Browse... or type its path.");
      return;
    }
    // Checked again: the file may have changed, or been typed in, since it was chosen. A bad
    // file is refused before any port is opened.
    check = CheckFirmwareForWindow(path);
    if (!check.ok) {
      WriteOutput(check.text, true);
      view_.FocusControl(Control::kPath);
      return;
    }
  }
  // The bytes just checked are the ones sent: the file is not read again.
  RunCommand(update, config, path, std::move(check.image));
}

void MainController::RunCommand(bool update, const std::string& config, const std::string& path,
                                std::shared_ptr<const std::vector<std::uint8_t>> image) {
  EnableControls(false);
  runningCommand_ = update ? "Update" : "Read";
  view_.ResetProgress();
  view_.SetProgressBusy();
  lastPercent_ = 0;
  // The connection opens on the worker: a WiFi adapter that never answers takes seconds, and
  // the window stays responsive meanwhile (its command controls stay disabled, so clicks
  // made then start nothing).
  WriteOutput("Connecting to " + config.substr(config.find('|') + 1) + " ...\r\n", true);
  std::unique_ptr<Thread>& worker = update ? updateWorker_ : readWorker_;
  worker.reset();  // the earlier run has finished its last step; this only joins it
  WorkerArgs& args = update ? updateArgs_ : readArgs_;
  args.channel = -1;
  args.config = config;
  args.firmware = path;
  args.image = std::move(image);
  args.window = this;
  WorkerArgs* argsPointer = &args;
  worker = std::make_unique<Thread>([update, argsPointer] { Worker(argsPointer, update); });
  if (!worker->Started()) {
    worker.reset();
    WriteOutput(
        "**Failed** could not start: the system refused a new thread. Close other "
        "programs and try again.\r\n",
        true);
    JobOutcome none;
    none.cause = "could not start";
    CommandEnd end;
    end.verdict = Verdict(none, kWindowTerms, {.update = update});
    FinishCommand(end);
  }
}

void MainController::Worker(WorkerArgs* args, bool update) {
  const std::uint32_t start = TickCount();
  MainController* window = args->window;
  UpdateEngine& engine = window->engine_;
  args->channel = engine.OpenPort(args->config, args->firmware);
  const bool opened = args->channel >= 0;
  std::string advice;
  if (opened) {
    if (update) {
      engine.Update(args->channel, args->image != nullptr
                                       ? std::span<const std::uint8_t>(*args->image)
                                       : std::span<const std::uint8_t>());
    } else {
      engine.ReadVersions(args->channel);
    }
    engine.ClosePort(args->channel);
  } else {
    // The engine said what happened to the port; the window says what to do in its own terms.
    advice = PortAdvice(engine.outcome.port);
  }
  const double seconds = TicksSince(start) / 1000.0;
  if (update) {
    if (const std::string unrecorded = RecordInHistory(*args, engine.outcome, seconds);
        !unrecorded.empty()) {
      advice += (advice.empty() ? "" : "\r\n") +
                ("Warning: this update was not recorded in the update history: " + unrecorded);
    }
  }
  CommandEnd end = CommandEndOf(engine, update, opened, seconds);
  window->view_.Post([window, advice = std::move(advice), end = std::move(end)] {
    if (!advice.empty() && window->view_.IsShown()) window->WriteOutput(advice + "\r\n", true);
    window->FinishCommand(end);
  });
}

void MainController::FinishCommand(const CommandEnd& end) {
  view_.DismissCloseQuestion();
  // The user's word was for the run that has ended; the engine lives as long as the window.
  engine_.recover = false;
  if (!end.model.empty()) {
    knownModel_ = end.model;
    knownVersion_ = end.version;
  }
  // After the engine's own lines, which were posted before this.
  if (!end.verdict.empty() && view_.IsShown()) WriteOutput(end.verdict + "\r\n", true);
  view_.ShowOutcome(end.look);
  // The first percents come from the file check: a refusal before the download is no stop in it.
  view_.ShowStatus(lastPercent_ == 0                  ? std::string()
                   : end.look != OutcomeLook::kFailed ? ProgressWords(lastPercent_)
                   : end.downloadBegan
                       ? "The download stopped at " + std::to_string(lastPercent_) + "%."
                       : std::string());
  EnableControls(true);
  if (endWhenDone_) {
    exitStatus_ = end.look == OutcomeLook::kSucceeded      ? 0
                  : end.look == OutcomeLook::kNotConfirmed ? kExitNotConfirmed
                                                           : kExitFailed;
    EndWindow();
    return;
  }
  if (end.word == Word::kNone || !view_.IsShown()) return;
  if (!view_.AskUsersWord(end.question) || !view_.IsShown() || running_) return;
  // The same Update again: the connection and file the refused one used, whatever the
  // controls show now.
  const std::string config = updateArgs_.config;
  const std::string path = updateArgs_.firmware;
  engine_.recover = true;
  RunCommand(true, config, path, updateArgs_.image);
}

void MainController::EnableControls(bool enabled) {
  for (const Control control : kCommandControls) view_.SetControlEnabled(control, enabled);
  running_ = !enabled;
}

void MainController::WriteOutput(std::string_view text, bool append) {
  if (append) {
    const std::string folded = folder_.Fold(text);
    if (!folded.empty()) view_.AppendOutput(folded);
  } else {
    folder_.Reset();
    view_.ReplaceOutput(folder_.Fold(text));
  }
}

std::string MainController::CloseQuestion() const {
  if (runningCommand_ == "Update") {
    return "An update is running. Closing now may leave the adapter without working firmware. "
           "Close anyway?";
  }
  if (runningCommand_ == "Latest")
    return "A firmware download (Latest) is running. Closing now ends it. Close anyway?";
  return "A version read (Read) is running. Closing now ends it. Close anyway?";
}

bool MainController::OnClose() {
  if (running_) {
    // Stopping mid-transfer can leave the adapter without firmware: only on confirmation.
    if (!view_.ConfirmCloseWhileRunning()) return false;
    exitStatus_ = kExitFailed;  // the command did not end: no success to report
    view_.EndProcessNow();
    return true;
  }
  EndWindow();
  return true;
}

void MainController::EndWindow() {
  RequestStop();
  Shutdown();
  view_.EndDialog();
}

void MainController::OnSessionEnd() {
  // As the command line takes a hang-up: a job stops before anything that changes the
  // adapter, while a download under way is carried to its end.
  ProcessStopSignal().Raise(StopLevel::kBeforeChange);
  if (!running_) {
    EndWindow();
    return;
  }
  endWhenDone_ = true;
  // Nobody is left to answer: a question the job asks gets No.
  const std::lock_guard hold(questionLock_);
  closing_ = true;
  if (pending_ != nullptr) pending_->Give(false);
}

void MainController::OnEngineCallback(void* context, std::int32_t kind, std::intptr_t value) {
  if (context != nullptr) static_cast<MainController*>(context)->Report(kind, value);
}

void MainController::Report(std::int32_t kind, std::intptr_t value) {
  std::function<void()> deliver;
  if (kind == kReportText) {
    const char* text = reinterpret_cast<const char*>(value);
    if (text == nullptr) return;
    deliver = [this, copy = std::string(text)] {
      if (view_.IsShown()) WriteOutput(copy, true);
    };
  } else if (kind == kReportProgress) {
    const int percent = static_cast<int>(std::clamp<std::intptr_t>(value, 0, 100));
    deliver = [this, percent] {
      if (!view_.IsShown()) return;
      lastPercent_ = percent;
      view_.SetProgress(percent);
      view_.ShowStatus(ProgressWords(percent));
    };
  } else if (kind == kReportWait) {
    const auto* wait = reinterpret_cast<const WaitReport*>(value);
    if (wait == nullptr) return;
    std::string words = WaitWords(*wait, kWindowTerms);
    deliver = [this, words = std::move(words)] {
      if (!view_.IsShown()) return;
      // A wait that ended leaves what the command showed before it.
      view_.ShowStatus(!words.empty() || lastPercent_ == 0 ? words : ProgressWords(lastPercent_));
    };
  } else if (kind == kReportQuestion) {
    auto* question = reinterpret_cast<UserQuestion*>(value);
    if (question != nullptr) question->yes = AskUser(std::string(question->text));
    return;
  } else {
    return;
  }
  // On the window's thread (OpenPort) the report shows at once; from a worker it is copied
  // and queued to the window's thread, behind the reports before it.
  if (std::this_thread::get_id() == windowThread_) {
    deliver();
  } else {
    view_.Post(std::move(deliver));
  }
}

bool MainController::AskUser(std::string question) {
  if (std::this_thread::get_id() == windowThread_)
    return view_.IsShown() && view_.AskUsersWord(question);
  // From a worker: the window asks on its own thread while the job waits here for the answer.
  auto pending = std::make_shared<PendingAnswer>();
  {
    const std::lock_guard hold(questionLock_);
    if (closing_) return false;
    pending_ = pending;
  }
  view_.Post([this, pending, question = std::move(question)] {
    pending->Give(!closing_ && view_.IsShown() && view_.AskUsersWord(question));
  });
  const bool yes = pending->Wait();
  const std::lock_guard hold(questionLock_);
  pending_.reset();
  return yes;
}

void PendingAnswer::Give(bool yes) {
  const std::lock_guard hold(lock_);
  if (!answer_) answer_ = yes;
  given_.notify_all();
}

bool PendingAnswer::Wait() {
  std::unique_lock hold(lock_);
  given_.wait(hold, [this] { return answer_.has_value(); });
  return *answer_;
}

}  // namespace zorbent::ui
