#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "port/port_observer.h"

namespace zorbent::cli {

// `--verbose`: the conversation with each adapter as readable lines on a stream, each command
// and answer with CR and LF shown, the time since the line before it, and the connection in
// front when several adapters work at once. An answer is gathered until its prompt ('>'), the
// next command or the close, so it shows as one line however it was read.
class VerboseTranscript : public PortObserver {
 public:
  VerboseTranscript(std::FILE* out, bool showConnection);
  ~VerboseTranscript() override;

  void OnOpen(std::string_view connection) override;
  void OnClose(std::string_view connection) override;
  void OnData(std::string_view connection, Direction direction,
              std::span<const std::uint8_t> bytes) override;

  // "ATI\r" as text a person reads: CR and LF as \r and \n, other control bytes as \xNN.
  static std::string Readable(std::string_view bytes);

 private:
  struct Link {
    std::string answer;  // received, not shown yet
    std::chrono::steady_clock::time_point last;
    bool started = false;
  };
  void Line(std::string_view connection, Link& link, std::string_view text);
  void FlushAnswer(std::string_view connection, Link& link);

  std::FILE* out_;
  bool showConnection_;
  std::mutex lock_;
  std::map<std::string, Link, std::less<>> links_;
};

}  // namespace zorbent::cli

namespace zorbent::cli {

// What --trace and --verbose switch on for one run of jobs; at the end it says which traffic
// log files were written, or warns that one could not be.
class Tracing {
 public:
  Tracing(bool trace, bool verbose, bool several);
  ~Tracing();
  Tracing(const Tracing&) = delete;
  Tracing& operator=(const Tracing&) = delete;

 private:
  bool trace_;
  std::string folderError_;  // why the log folder could not be made, when it could not
  std::unique_ptr<VerboseTranscript> transcript_;
};

}  // namespace zorbent::cli
