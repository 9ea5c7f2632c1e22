// Speed and scale of the updater against in-process simulated adapters. Every figure is a
// ratio to a baseline measured in the same run; rows go out as CSV for bench/run.
//
//   update_bench --out FILE [--full]
//
// --full uses a 256 KB line-mode image at 115200 baud (about a minute of wire time); the
// default run uses 64 KB there. The block-mode image is 256 KB in both runs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/jobs.h"
#include "engine/exchange.h"
#include "port/port_config.h"
#include "port/port_factory.h"
#include "tests/flows/flow_harness.h"

namespace {

using namespace zorbent;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kCommand = "ATI\r";
constexpr int kProcessingUs = 100;         // the simulated adapter's time per command
constexpr double kBlockRestartWait = 2.0;  // the block flow waits this long after the download
constexpr int kLineModel = 1;
constexpr int kBlockModel = 5;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double CpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

double Median(std::vector<double> values) {
  return Percentile(std::move(values), 0.5);
}

// One table row: measured against baseline, with the goal the ratio is held to.
struct Row {
  std::string group;
  std::string metric;
  double measured = 0;
  double baseline = 0;
  std::string unit;
  double ratio = 0;
  std::string goal;  // "<=1.05", "<0.05", "info"
  std::string note;
};

class Output {
 public:
  explicit Output(const std::string& path) : out_(path) {
    out_ << "group,metric,measured,baseline,unit,ratio,goal,met,note\n";
  }
  bool ok() const { return static_cast<bool>(out_); }
  void Add(const Row& r) {
    std::string met = "-";
    if (r.goal.size() > 2 && r.goal[0] == '<') {
      const bool orEqual = r.goal[1] == '=';
      const double limit = std::stod(r.goal.substr(orEqual ? 2 : 1));
      met = (orEqual ? r.ratio <= limit : r.ratio < limit) ? "yes" : "NO";
    }
    char line[512];
    std::snprintf(line, sizeof line, "%s,%s,%.6g,%.6g,%s,%.4f,%s,%s,%s\n", r.group.c_str(),
                  r.metric.c_str(), r.measured, r.baseline, r.unit.c_str(), r.ratio, r.goal.c_str(),
                  met.c_str(), r.note.c_str());
    out_ << line;
    out_.flush();
    std::fputs(line, stderr);
  }
  // Raw points for the plots: "point,<series>,<x>,<seconds>".
  void Point(const std::string& series, double x, double seconds) {
    out_ << "point," << series << "," << x << "," << seconds << ",,,,,\n";
    out_.flush();
  }

 private:
  std::ofstream out_;
};

std::unique_ptr<Port> OpenConnection(const std::string& connection) {
  ParsedConfig parsed;
  if (!ParseConfigString(connection, parsed)) return nullptr;
  bool opened = false;
  auto port = CreatePort(parsed.kind, parsed.config, opened);
  if (!opened) return nullptr;
  return port;
}

// Reads until the prompt ends a read; the answer is short enough that the prompt is always
// the last byte of the last read.
bool BareReadToPrompt(int fd) {
  std::array<char, 512> buffer{};
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) return false;
    if (buffer[static_cast<std::size_t>(n - 1)] == '>') return true;
  }
}

bool BareRoundTrip(int fd) {
  if (::write(fd, kCommand.data(), kCommand.size()) != static_cast<ssize_t>(kCommand.size()))
    return false;
  return BareReadToPrompt(fd);
}

bool PortRoundTrip(Port& port) {
  std::array<char, 256> reply{};
  return SendCommand(port, kCommand, reply, 2000, 2000) > 0;
}

void AddRoundTripRows(Output& out, const std::string& group, const std::vector<double>& port,
                      const std::vector<double>& bare, const std::string& note) {
  const double pm = Median(port) * 1e6;
  const double bm = Median(bare) * 1e6;
  const double p99 = Percentile(port, 0.99) * 1e6;
  const double b99 = Percentile(bare, 0.99) * 1e6;
  out.Add({group, "ATI round trip median", pm, bm, "us", bm > 0 ? pm / bm : 0, "<=1.05", note});
  out.Add({group, "ATI round trip p99", p99, b99, "us", b99 > 0 ? p99 / b99 : 0, "<=1.05", note});
}

// SendCommand through SerialPort against write/read on a second descriptor of the same
// pseudo-terminal, alternating one by one with the same simulator thread answering both.
// Returns the bare round trip's median in seconds (0 when it could not be measured).
double ExchangeOverPty(Output& out, int iterations) {
  sim::AdapterSimulator adapter(testing::AdapterOf(kLineModel));
  std::string error;
  if (!adapter.Start(&error)) {
    std::fprintf(stderr, "pty simulator: %s\n", error.c_str());
    return 0;
  }
  ParsedConfig parsed;
  ParseConfigString(adapter.ConfigString(), parsed);
  const std::string path = parsed.config.Get("name");
  const int bare = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  auto port = OpenConnection(adapter.ConfigString());  // sets the line raw for both
  if (bare < 0 || !port) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    if (bare >= 0) ::close(bare);
    return 0;
  }
  std::vector<double> portTimes;
  std::vector<double> bareTimes;
  for (int i = -100; i < iterations; ++i) {
    const bool portFirst = (i & 1) != 0;  // neither always follows the other
    double tp = 0;
    double tb = 0;
    for (int k = 0; k < 2; ++k) {
      const auto t0 = Clock::now();
      const bool ok = (k == 0) == portFirst ? PortRoundTrip(*port) : BareRoundTrip(bare);
      const double t = Seconds(Clock::now() - t0);
      if (!ok) {
        std::fprintf(stderr, "pty round trip failed\n");
        ::close(bare);
        return 0;
      }
      ((k == 0) == portFirst ? tp : tb) = t;
    }
    if (i >= 0) {
      portTimes.push_back(tp);
      bareTimes.push_back(tb);
    }
  }
  ::close(bare);
  AddRoundTripRows(out, "exchange", portTimes, bareTimes, "pty; baseline bare write/read");
  return Median(bareTimes);
}

int BareConnect(const std::string& connection) {
  ParsedConfig parsed;
  if (!ParseConfigString(connection, parsed)) return -1;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, parsed.config.Get("remote_ip").c_str(), &address.sin_addr);
  address.sin_port = htons(static_cast<std::uint16_t>(AtoiLike(parsed.config.Get("remote_port"))));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// The simulator serves one TCP host at a time, so TcpPort and the bare socket take turns in
// blocks; each block starts with a few unmeasured round trips on its fresh connection.
void ExchangeOverTcp(Output& out, int iterations) {
  sim::SimulatorOptions options = testing::AdapterOf(kLineModel);
  options.tcp = true;
  sim::AdapterSimulator adapter(options);
  std::string error;
  if (!adapter.Start(&error)) {
    std::fprintf(stderr, "tcp simulator: %s\n", error.c_str());
    return;
  }
  const std::string connection = adapter.ConfigString();
  constexpr int kBlock = 200;
  std::vector<double> portTimes;
  std::vector<double> bareTimes;
  for (int block = 0; block < 2 * ((iterations + kBlock - 1) / kBlock); ++block) {
    const bool usePort = (block & 1) == 0;
    std::unique_ptr<Port> port;
    int bare = -1;
    if (usePort) {
      port = OpenConnection(connection);
    } else {
      bare = BareConnect(connection);
    }
    if (!port && bare < 0) {
      std::fprintf(stderr, "tcp connect failed\n");
      return;
    }
    for (int i = -20; i < kBlock; ++i) {
      const auto t0 = Clock::now();
      const bool ok = usePort ? PortRoundTrip(*port) : BareRoundTrip(bare);
      const double t = Seconds(Clock::now() - t0);
      if (!ok) {
        std::fprintf(stderr, "tcp round trip failed\n");
        if (bare >= 0) ::close(bare);
        return;
      }
      if (i >= 0) (usePort ? portTimes : bareTimes).push_back(t);
    }
    if (bare >= 0) ::close(bare);
  }
  AddRoundTripRows(out, "exchange", portTimes, bareTimes,
                   "tcp; baseline bare socket; alternating blocks of 200");
}

struct UpdateRun {
  bool ok = false;
  double wall = 0;
  double bound = 0;       // wire time of every byte both ways plus per-command processing
  double threadCpu = 0;   // the updating thread (the whole host side of a pty update)
  double processCpu = 0;  // the whole process, the simulator's thread included
  std::size_t commands = 0;
};

double WireBound(const std::vector<sim::TranscriptEntry>& transcript, bool linkModel) {
  double bound = 0;
  for (const sim::TranscriptEntry& e : transcript) {
    if (e.rate > 0 && linkModel)
      bound += static_cast<double>(e.command.size() + e.answer.size()) * 10.0 / e.rate;
    if (!e.command.empty() && linkModel) bound += kProcessingUs / 1e6;
  }
  return bound;
}

sim::SimulatorOptions Modelled(int model, bool linkModel) {
  sim::SimulatorOptions options = testing::AdapterOf(model);
  options.linkModel = linkModel;
  options.processingUs = linkModel ? kProcessingUs : 0;
  return options;
}

UpdateRun TimedUpdate(const sim::SimulatorOptions& options, const sim::BuiltImage& image,
                      bool blockMode) {
  UpdateRun run;
  sim::AdapterSimulator adapter(options);
  std::string error;
  if (!image.ok() || !adapter.Start(&error)) {
    std::fprintf(stderr, "update setup: %s %s\n", image.error.c_str(), error.c_str());
    return run;
  }
  testing::FirmwareFile file(image.text);
  const double thread0 = CpuSeconds(RUSAGE_THREAD);
  const double process0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  const testing::JobRun job = testing::RunUpdate(adapter.ConfigString(), file.Path());
  run.wall = Seconds(Clock::now() - t0);
  run.threadCpu = CpuSeconds(RUSAGE_THREAD) - thread0;
  run.processCpu = CpuSeconds(RUSAGE_SELF) - process0;
  adapter.Stop();
  if (const char* dump = std::getenv("UPDATE_BENCH_TRANSCRIPT")) {
    std::ofstream(dump, std::ios::app) << adapter.TranscriptText() << "\n";
  }
  const auto transcript = adapter.Transcript();
  run.commands = transcript.size();
  run.bound = WireBound(transcript, options.linkModel);
  run.ok = job.result >= 0 && job.Finished() &&
           sim::RecordsMatchImage(adapter.Records(), image, blockMode);
  if (!run.ok) std::fprintf(stderr, "update failed:\n%s\n", job.text.c_str());
  return run;
}

sim::BuiltImage LineImageOfBytes(std::size_t bytes) {
  // A line of 68 bytes is 136 digits and CR LF; the trailer makes the line count even.
  int records = static_cast<int>(bytes / 138);
  if (records % 2 == 0) --records;
  return testing::ImageFor(kLineModel, records);
}

sim::BuiltImage BlockImageOfBytes(std::size_t bytes) {
  sim::BlockImageOptions options;
  options.deviceName = "zOrbent FS v2.2";
  options.recordLen = sim::kMaxBlockRecordLen;
  options.records = static_cast<int>(bytes / (6 + 2 * sim::kMaxBlockRecordLen + 2));
  return sim::BuildBlockImage(options);
}

std::string Kb(std::size_t bytes) {
  return std::to_string((bytes + 512) / 1024) + " KB";
}

// bareRoundTrip (seconds, 0 when not measured) gives a second baseline: the wire bound plus one
// bare pseudo-terminal round trip per exchange, the hand-offs no program on this machine avoids.
void UpdateAgainstWire(Output& out, bool full, double bareRoundTrip) {
  const auto addWithHandOffs = [&](const char* metric, const UpdateRun& r, double bound) {
    if (bareRoundTrip <= 0) return;
    const double withHandOffs = bound + static_cast<double>(r.commands) * bareRoundTrip;
    out.Add({"update", metric, r.wall, withHandOffs, "s", r.wall / withHandOffs, "<=1.02",
             "bound + one bare pty round trip (" +
                 std::to_string(std::lround(bareRoundTrip * 1e6)) + " us) per exchange"});
  };
  const sim::BuiltImage line = LineImageOfBytes(full ? 256 * 1024 : 64 * 1024);
  const UpdateRun l = TimedUpdate(Modelled(kLineModel, true), line, false);
  const std::string lineNote = "line mode 115200; " + Kb(line.text.size()) + " image; " +
                               std::to_string(l.commands) + " exchanges" +
                               (full ? "" : "; --full for 256 KB");
  if (l.ok) {
    out.Add({"update", "line update vs wire time", l.wall, l.bound, "s", l.wall / l.bound, "<=1.02",
             lineNote});
    addWithHandOffs("line update vs wire + hand-offs", l, l.bound);
    out.Add({"cpu", "line update: host thread", l.threadCpu, l.wall, "s cpu", l.threadCpu / l.wall,
             "<0.05", "115200; share of one core"});
    out.Add({"cpu", "line update: whole process", l.processCpu, l.wall, "s cpu",
             l.processCpu / l.wall, "info", "simulator thread included"});
  }

  const sim::BuiltImage block = BlockImageOfBytes(256 * 1024);
  const UpdateRun b = TimedUpdate(Modelled(kBlockModel, true), block, true);
  if (b.ok) {
    const double bound = b.bound + kBlockRestartWait;
    out.Add({"update", "block update vs wire time", b.wall, bound, "s", b.wall / bound, "<=1.02",
             "block mode 2000000; " + Kb(block.text.size()) + " image; " +
                 std::to_string(b.commands) + " exchanges; bound has the 2 s restart wait"});
    addWithHandOffs("block update vs wire + hand-offs", b, bound);
    out.Add({"cpu", "block update: host thread", b.threadCpu, b.wall, "s cpu", b.threadCpu / b.wall,
             "info", "2000000; share of one core"});
  }
}

// CPU of the whole process while SendCommand waits out its 2 s for an adapter that never
// answers (the simulator thread waits too, in poll).
void SilentWait(Output& out, bool tcp) {
  sim::SimulatorOptions options = testing::AdapterOf(kLineModel);
  options.link.silent = true;
  options.tcp = tcp;
  sim::AdapterSimulator adapter(options);
  std::string error;
  if (!adapter.Start(&error)) return;
  auto port = OpenConnection(adapter.ConfigString());
  if (!port) return;
  std::array<char, 256> reply{};
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  const std::int32_t r = SendCommand(*port, kCommand, reply, 2000, 2000);
  const double wall = Seconds(Clock::now() - t0);
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  out.Add({"cpu", std::string("2 s wait on a silent adapter: ") + (tcp ? "tcp" : "pty"), cpu, wall,
           "s cpu", cpu / wall, "<0.01", r < 0 ? "timed out as it should" : "ANSWERED?"});
}

// Update time for 1x, 10x and 100x the records, link model off: the engine's own cost. The
// sizes take turns, round after round, so a slow spell of the machine falls on all of them.
// The process is held on one core meanwhile: left free, the scheduler tends to move the host and
// the simulator thread apart during a long run, and every exchange then pays a cross-core
// wake-up, which would show as growth that is not the program's.
void Growth(Output& out) {
  cpu_set_t before;
  CPU_ZERO(&before);
  const bool pinned = ::sched_getaffinity(0, sizeof before, &before) == 0;
  if (pinned) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu() < 0 ? 0 : ::sched_getcpu(), &one);
    ::sched_setaffinity(0, sizeof one, &one);
  }
  struct Restore {
    bool pinned;
    cpu_set_t mask;
    ~Restore() {
      if (pinned) ::sched_setaffinity(0, sizeof mask, &mask);
    }
  } restore{pinned, before};
  constexpr int kBase = 63;
  constexpr int kRounds = 5;
  const int counts[] = {kBase, kBase * 10 + 1, kBase * 100 + 1};  // odd: the trailer pairs up
  std::vector<sim::BuiltImage> images;
  for (const int count : counts) images.push_back(testing::ImageFor(kLineModel, count));
  double fastest[3] = {1e9, 1e9, 1e9};
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 3; ++i) {
      const UpdateRun r = TimedUpdate(Modelled(kLineModel, false), images[i], false);
      if (!r.ok) return;
      // The fastest run: on a shared machine the others carry other programs' time.
      fastest[i] = std::min(fastest[i], r.wall);
    }
  }
  double perRecord[3] = {};
  for (int i = 0; i < 3; ++i) {
    perRecord[i] = fastest[i] / counts[i];
    out.Point("growth", counts[i], fastest[i]);
    out.Add({"growth", "update of " + std::to_string(counts[i]) + " records", fastest[i], 0, "s", 0,
             "info", "line mode; link model off; one core; fastest of " + std::to_string(kRounds)});
  }
  out.Add({"growth", "per-record time 10x / 1x", perRecord[1] * 1e6, perRecord[0] * 1e6, "us",
           perRecord[1] / perRecord[0], "<=1.1", "link model off; 1x carries the fixed steps"});
  out.Add({"growth", "per-record time 100x / 10x", perRecord[2] * 1e6, perRecord[1] * 1e6, "us",
           perRecord[2] / perRecord[1], "<=1.1", "link model off"});
  out.Add({"growth", "per-record time 100x / 1x", perRecord[2] * 1e6, perRecord[0] * 1e6, "us",
           perRecord[2] / perRecord[0], "<=1.1", "link model off"});
}

// N adapters updated by one RunJobs call, as zorbent-fw update --connect A --connect B does.
void Parallel(Output& out) {
  const sim::BuiltImage image = testing::ImageFor(kLineModel, 41);
  testing::FirmwareFile file(image.text);
  double single = 0;
  for (const int n : {1, 4, 16, 64}) {
    std::vector<std::unique_ptr<sim::AdapterSimulator>> adapters;
    cli::JobOptions options;
    options.firmwareFile = file.Path();
    options.update = true;
    options.quiet = true;
    for (int i = 0; i < n; ++i) {
      adapters.push_back(std::make_unique<sim::AdapterSimulator>(Modelled(kLineModel, true)));
      std::string error;
      if (!adapters.back()->Start(&error)) {
        std::fprintf(stderr, "simulator %d: %s\n", i, error.c_str());
        return;
      }
      options.connections.push_back(adapters.back()->ConfigString());
    }
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    const int status = cli::RunJobs(options);
    const double wall = Seconds(Clock::now() - t0);
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    int matched = 0;
    for (auto& a : adapters) {
      a->Stop();
      matched += sim::RecordsMatchImage(a->Records(), image, false) ? 1 : 0;
    }
    if (status != 0 || matched != n) {
      std::fprintf(stderr, "parallel %d: status %d, %d of %d hold the image\n", n, status, matched,
                   n);
      return;
    }
    if (n == 1) single = wall;
    out.Point("parallel", n, wall);
    char note[160];
    std::snprintf(note, sizeof note,
                  "link model on; line mode 115200; %s image; cpu %.0f%% of one core",
                  Kb(image.text.size()).c_str(), cpu / wall * 100.0);
    out.Add({"parallel", "N=" + std::to_string(n) + " adapters vs N=1", wall, single, "s",
             wall / single, n == 16 ? "<=1.2" : "info", note});
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string outPath;
  bool full = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      outPath = argv[++i];
    } else if (arg == "--full") {
      full = true;
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: update_bench --out FILE [--full] "
                   "[--only exchange|update|cpu|growth|parallel]\n");
      return 2;
    }
  }
  if (outPath.empty()) {
    std::fprintf(stderr, "update_bench: --out FILE is required\n");
    return 2;
  }
  // The simulators' sleeps are the modelled wire; the default 50 us timer slack would lengthen
  // every modelled answer. Threads started from here on inherit this.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  Output out(outPath);
  if (!out.ok()) {
    std::fprintf(stderr, "update_bench: cannot write %s\n", outPath.c_str());
    return 1;
  }
  const auto wanted = [&](const char* group) { return only.empty() || only == group; };
  double bareRoundTrip = 0;
  if (wanted("exchange")) {
    bareRoundTrip = ExchangeOverPty(out, 2000);
    ExchangeOverTcp(out, 2000);
  }
  if (wanted("update") || wanted("cpu")) UpdateAgainstWire(out, full, bareRoundTrip);
  if (wanted("cpu")) {
    SilentWait(out, false);
    SilentWait(out, true);
  }
  if (wanted("growth")) Growth(out);
  if (wanted("parallel")) Parallel(out);
  return 0;
}
