// Latest: the newest firmware the trusted repository lists for the adapter the last command
// found, fetched into the Path field on the user's word.
#include <string>
#include <vector>

#include "engine/text.h"
#include "firmware/latest.h"
#include "platform/thread.h"
#include "ui/main_controller.h"

namespace zorbent::ui {
namespace {

// The part of a build's release notes a question shows; the rest is in the repository.
constexpr std::size_t kNotesShown = 600;

std::string NotesOf(const ReleaseBuild& build) {
  if (build.notes.empty()) return {};
  std::string notes = build.notes.substr(0, kNotesShown);
  if (build.notes.size() > kNotesShown) notes += " ...";
  return "\n\nRelease notes:\n" + notes;
}

}  // namespace

void MainController::OnLatest() {
  if (running_) return;
  if (knownModel_.empty()) {
    AskFor(Control::kRead,
           "Press Read first: Latest offers the newest firmware for the adapter Read finds.");
    return;
  }
  EnableControls(false);
  runningCommand_ = "Latest";
  view_.ResetProgress();
  view_.SetProgressBusy();
  lastPercent_ = 0;
  view_.ShowStatus("Fetching the list of firmware ...");
  latestWorker_.reset();  // the earlier one has posted its end; this only joins it
  latestWorker_ = std::make_unique<Thread>([this] { LatestWorker(); });
  if (!latestWorker_->Started()) {
    latestWorker_.reset();
    FinishLatest(
        {"**Failed** could not start: the system refused a new thread. Close other "
         "programs and try again.\r\n",
         {},
         true});
  }
}

void MainController::LatestWorker() {
  LatestEnd end;
  const std::string model = knownModel_;
  const std::string running = knownVersion_;
  const auto failed = [&end](const std::string& why) {
    end.text += why + "\r\nLatest failed: nothing was fetched.\r\n";
    end.failed = true;
  };
  FirmwareSource source;
  std::string problem;
  if (!DefaultFirmwareSource(source, problem)) {
    failed(problem);
  } else if (source.repositoryUrl.empty()) {
    failed(
        "No firmware repository is set: name its address in the environment variable "
        "ZORBENT_FW_REPOSITORY, or as a line \"repository = ADDRESS\" in the program's config "
        "file.");
  } else if (FirmwareRepository repository(source); !repository.Open(problem)) {
    failed(problem);
  } else {
    const BuildChoice choice = ChooseBuild(repository.Builds(), model, running, false);
    const ReleaseBuild* build = choice.build;
    const std::string newest = build != nullptr ? Version(build->version) : std::string();
    end.text += repository.Url() + ": verified.\r\n";
    switch (choice.pick) {
      case Pick::kNoBuild:
        end.text += "Latest: the repository has no firmware for " + model + ".\r\n";
        break;
      case Pick::kUpToDate:
        end.text += "Latest: " + model + " already runs " + Version(running) +
                    ", the newest firmware the repository has for it.\r\n";
        break;
      case Pick::kOnlyOlder:
        end.text += "Latest: the repository lists only older firmware for " + model + " (newest " +
                    newest + "; the adapter runs " + Version(running) +
                    "): it may be stale. Nothing was fetched.\r\n";
        end.failed = true;
        break;
      case Pick::kNewer: {
        const std::string question =
            "The newest firmware for " + model + " is " + newest + "; the adapter runs " +
            Version(running) + ".\n\nDownload it and put it in the Path field?" + NotesOf(*build);
        if (!AskUser(question)) {
          end.text += "Latest: " + newest + " for " + model + " was not fetched.\r\n";
          break;
        }
        int shown = -1;
        const FetchProgress progress = [this, &shown](std::size_t done, std::size_t total) {
          const int percent = total == 0 ? 0 : static_cast<int>(done * 100 / total);
          if (percent != shown) {
            shown = percent;
            view_.Post([this, percent] {
              if (!view_.IsShown()) return;
              view_.SetProgress(percent);
              view_.ShowStatus("Downloading the firmware: " + std::to_string(percent) + "%");
            });
          }
          const std::lock_guard hold(questionLock_);
          return !closing_;  // the window is going: stop
        };
        std::string path;
        std::vector<std::uint8_t> bytes;
        if (!repository.Download(*build, path, bytes, problem, progress)) {
          failed(problem);
          break;
        }
        end.path = path;
        end.text += "Latest: " + newest + " for " + model +
                    " was fetched and matches its listing in the repository: press Update to "
                    "install it.\r\n";
        break;
      }
    }
  }
  view_.Post([this, end = std::move(end)] { FinishLatest(end); });
}

void MainController::FinishLatest(const LatestEnd& end) {
  view_.DismissCloseQuestion();
  if (view_.IsShown()) {
    WriteOutput(end.text, true);
    if (!end.path.empty()) {
      view_.SetPathText(end.path);
      WriteOutput(CheckFirmwareForWindow(end.path).text, true);
    }
  }
  view_.ResetProgress();
  if (end.failed) view_.ShowOutcome(OutcomeLook::kFailed);
  if (!end.path.empty()) {
    view_.SetProgress(100);
    view_.ShowOutcome(OutcomeLook::kSucceeded);
  }
  view_.ShowStatus({});
  EnableControls(true);
  if (endWhenDone_) {
    exitStatus_ = end.failed ? kExitFailed : 0;
    EndWindow();
    return;
  }
  if (!end.path.empty()) view_.FocusUpdateButton();
}

}  // namespace zorbent::ui
