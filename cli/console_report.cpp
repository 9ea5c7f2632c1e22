#include "cli/console_report.h"

#include <unistd.h>

namespace zorbent::cli {

ConsoleReport::ConsoleReport(bool quiet, std::string prefix)
    : quiet_(quiet), barOnTerminal_(::isatty(STDERR_FILENO) != 0), prefix_(std::move(prefix)) {}

void ConsoleReport::Callback(void* context, std::int32_t kind, std::intptr_t value) {
  auto* self = static_cast<ConsoleReport*>(context);
  if (kind == 0) {
    self->Text(reinterpret_cast<const char*>(value));
  } else if (kind == 1) {
    self->Progress(static_cast<int>(value));
  }
}

void ConsoleReport::Text(std::string_view text) {
  transcript_.append(text);
  for (const char c : text) {
    if (c == '\r') continue;
    pending_.push_back(c);
    if (c == '\n') {
      if (barDrawn_) {
        std::fputs("\n", stderr);
        barDrawn_ = false;
      }
      std::fputs((prefix_ + pending_).c_str(), stdout);
      std::fflush(stdout);
      pending_.clear();
    }
  }
}

void ConsoleReport::Progress(int percent) {
  if (percent == lastProgress_) return;
  lastProgress_ = percent;
  if (quiet_) return;
  if (barOnTerminal_) {
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s[%s%s] %3d%%", prefix_.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), percent);
    barDrawn_ = true;
  } else {
    std::fprintf(stderr, "%sprogress %d%%\n", prefix_.c_str(), percent);
  }
  std::fflush(stderr);
}

void ConsoleReport::Finish() {
  if (!pending_.empty()) {
    std::fputs((prefix_ + pending_ + "\n").c_str(), stdout);
    pending_.clear();
  }
  if (barDrawn_) {
    std::fputs("\n", stderr);
    barDrawn_ = false;
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace zorbent::cli
