#include "cli/console_report.h"

#include <unistd.h>

#include <cerrno>

namespace zorbent::cli {

Console::Console(bool quiet, std::FILE* out, std::FILE* err)
    : quiet_(quiet), terminal_(::isatty(::fileno(err)) != 0), out_(out), err_(err) {}

std::size_t Console::AddJob(std::string prefix) {
  std::lock_guard lock(mutex_);
  jobs_.push_back(Job{std::move(prefix)});
  return jobs_.size() - 1;
}

void Console::Settle(std::FILE* file, bool& dead) {
  if (!dead && std::ferror(file)) {
    // Interrupted or refused for the moment: only this text is lost.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
      std::clearerr(file);
    } else {
      dead = true;
    }
  }
}

void Console::EraseBoard() {
  if (boardLines_ == 0) return;
  if (!errDead_) std::fprintf(err_, "\x1b[%dA\x1b[J", boardLines_);
  boardLines_ = 0;
}

void Console::DrawBoard() {
  if (quiet_ || !terminal_ || errDead_) return;
  constexpr int kWidth = 40;
  for (const Job& job : jobs_) {
    if (job.percent < 0) continue;
    const int filled = job.percent * kWidth / 100;
    std::fprintf(err_, "%s[%s%s] %3d%%\n", job.prefix.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), job.percent);
    ++boardLines_;
  }
  std::fflush(err_);
  Settle(err_, errDead_);
}

void Console::Line(std::size_t job, std::string_view line) {
  std::lock_guard lock(mutex_);
  EraseBoard();
  if (!outDead_) {
    std::fprintf(out_, "%s%.*s\n", jobs_[job].prefix.c_str(), static_cast<int>(line.size()),
                 line.data());
    std::fflush(out_);
    Settle(out_, outDead_);
  }
  DrawBoard();
}

void Console::WriteMessage(std::string_view text) {
  std::lock_guard lock(mutex_);
  EraseBoard();
  if (!errDead_) {
    std::fprintf(err_, "%.*s", static_cast<int>(text.size()), text.data());
    std::fflush(err_);
    Settle(err_, errDead_);
  }
  DrawBoard();
}

void Console::Progress(std::size_t job, int percent) {
  std::lock_guard lock(mutex_);
  if (jobs_[job].percent == percent) return;
  jobs_[job].percent = percent;
  if (quiet_ || errDead_) return;
  if (terminal_) {
    EraseBoard();
    DrawBoard();
  } else {
    std::fprintf(err_, "%sprogress %d%%\n", jobs_[job].prefix.c_str(), percent);
    std::fflush(err_);
    Settle(err_, errDead_);
  }
}

void Console::Finish() {
  std::lock_guard lock(mutex_);
  boardLines_ = 0;  // leave the final bars on screen
  if (!outDead_) std::fflush(out_);
  if (!errDead_) std::fflush(err_);
}

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
    if (c != '\n') {
      pending_.push_back(c);
      continue;
    }
    console_.Line(job_, pending_);
    pending_.clear();
  }
}

void ConsoleReport::Progress(int percent) {
  lastProgress_ = percent;
  console_.Progress(job_, percent);
}

void ConsoleReport::Finish() {
  if (pending_.empty()) return;
  console_.Line(job_, pending_);
  pending_.clear();
}

}  // namespace zorbent::cli
