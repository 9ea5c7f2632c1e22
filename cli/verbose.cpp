#include "cli/verbose.h"

#include <filesystem>
#include <system_error>

#include "engine/text.h"
#include "port/traffic_log.h"

namespace zorbent::cli {
namespace {
// An adapter that floods without a prompt still shows, in pieces of this size.
constexpr std::size_t kAnswerLimit = 4096;
}  // namespace

VerboseTranscript::VerboseTranscript(std::FILE* out, bool showConnection)
    : out_(out), showConnection_(showConnection) {}

VerboseTranscript::~VerboseTranscript() {
  std::lock_guard hold(lock_);
  for (auto& [connection, link] : links_) FlushAnswer(connection, link);
}

std::string VerboseTranscript::Readable(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\\') {
      text += "\\\\";
    } else {
      AppendEscaped(text, c);
    }
  }
  return text;
}

void VerboseTranscript::Line(std::string_view connection, Link& link, std::string_view text) {
  const auto now = std::chrono::steady_clock::now();
  const double ms =
      link.started ? std::chrono::duration<double, std::milli>(now - link.last).count() : 0.0;
  link.last = now;
  link.started = true;
  if (std::ferror(out_)) return;  // a closed pipe or a terminal gone: the update goes on
  const std::string prefix = showConnection_ ? std::string(connection) + ": " : std::string();
  std::fprintf(out_, "%s+%8.1f ms  %.*s\n", prefix.c_str(), ms, static_cast<int>(text.size()),
               text.data());
  std::fflush(out_);
}

void VerboseTranscript::FlushAnswer(std::string_view connection, Link& link) {
  if (link.answer.empty()) return;
  Line(connection, link, "<- \"" + Readable(link.answer) + "\"");
  link.answer.clear();
}

void VerboseTranscript::OnOpen(std::string_view connection) {
  std::lock_guard hold(lock_);
  Link& link = links_[std::string(connection)];
  Line(connection, link, "opened " + std::string(connection));
}

void VerboseTranscript::OnClose(std::string_view connection) {
  std::lock_guard hold(lock_);
  Link& link = links_[std::string(connection)];
  FlushAnswer(connection, link);
  Line(connection, link, "closed " + std::string(connection));
}

void VerboseTranscript::OnData(std::string_view connection, Direction direction,
                               std::span<const std::uint8_t> bytes) {
  std::lock_guard hold(lock_);
  Link& link = links_[std::string(connection)];
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (direction == Direction::kOut) {
    FlushAnswer(connection, link);
    Line(connection, link, "-> \"" + Readable(text) + "\"");
    return;
  }
  for (const char c : text) {
    link.answer.push_back(c);
    if (c == '>' || link.answer.size() >= kAnswerLimit) FlushAnswer(connection, link);
  }
}

}  // namespace zorbent::cli

namespace zorbent::cli {

Tracing::Tracing(bool trace, bool verbose, bool several) : trace_(trace) {
  if (trace) {
    SetLogLevel(3);
    // Made here, so a warning can give the folder's own reason: opening a file in a folder
    // that could not be made only says "No such file or directory".
    std::error_code ec;
    std::filesystem::create_directories(LogDirectory(), ec);
    if (ec) folderError_ = "cannot make the folder " + LogDirectory() + ": " + ec.message();
  }
  if (verbose) {
    transcript_ = std::make_unique<VerboseTranscript>(stderr, several);
    SetPortObserver(transcript_.get());
  }
}

Tracing::~Tracing() {
  if (transcript_) SetPortObserver(nullptr);
  transcript_.reset();
  if (!trace_) return;
  if (TrafficLogFiles().empty() && TrafficLogFailures().empty())
    std::fprintf(stderr, "zorbent-fw: warning: no traffic log was written: no port was built\n");
  for (std::string failure : TrafficLogFailures()) {
    // "path: reason", the path inside the log folder; the folder's reason comes first.
    const std::size_t reason = failure.find(": ", LogDirectory().size());
    if (!folderError_.empty() && reason != std::string::npos)
      failure = failure.substr(0, reason + 2) + folderError_;
    std::fprintf(stderr, "zorbent-fw: warning: could not write the traffic log %s\n",
                 failure.c_str());
  }
  for (const std::string& file : TrafficLogFiles())
    std::fprintf(stderr, "Traffic log written to %s\n", file.c_str());
}

}  // namespace zorbent::cli
