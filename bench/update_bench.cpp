// Speed and scale of the updater against simulated adapters. Every figure is a ratio to a
// baseline measured in the same run; rows go out as CSV for bench/run.
//
//   update_bench --out FILE [--full] [--only GROUP]
//
// The update, cpu, growth and parallel rows run the zorbent-fw program as a child process
// against adapters simulated in this process, so the program's CPU time is its own. --full
// uses a 256 KB line-mode image at 115200 baud (about half a minute of wire time); the default
// run uses 64 KB there. The block-mode image is 256 KB in both runs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/jobs.h"
#include "engine/exchange.h"
#include "platform/open_files.h"
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
constexpr double kHostCpuPerExchangeGoalUs = 60;
constexpr std::size_t kOpenFilesWanted = 16384;  // 256 simulated adapters and their links

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
  Link link(port);
  return SendCommand(link, kCommand, reply, 2000, 2000) > 0;
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

// The zorbent-fw program run once as a child: its wall time and its own CPU time.
struct ProgramRun {
  int status = -1;  // exit status, -1 when it did not exit normally
  double wall = 0;
  double cpu = 0;
};

ProgramRun RunProgram(const std::vector<std::string>& args) {
  ProgramRun run;
  std::vector<std::string> copies = args;
  std::string program = ZORBENT_FW_PATH;
  std::vector<char*> argv{program.data()};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The runs' history goes to a folder of the bench's own, removed at exit, never the user's.
  struct HistoryFolder {
    std::string path;
    ~HistoryFolder() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };
  static const HistoryFolder history = [] {
    char folder[] = "/tmp/zorbent-bench-history-XXXXXX";
    return HistoryFolder{::mkdtemp(folder) != nullptr ? std::string(folder) : std::string()};
  }();
  if (!history.path.empty()) ::setenv("ZORBENT_FW_DATA_DIR", history.path.c_str(), 1);
  const auto t0 = Clock::now();
  const pid_t child = ::fork();
  if (child < 0) return run;
  if (child == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wall = Seconds(Clock::now() - t0);
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// A 115200 line is modelled full duplex: the echo crosses back while the command goes out,
// so an exchange needs the command's time, the adapter's processing and the answer's time.
double WireBound(const std::vector<sim::TranscriptEntry>& transcript) {
  double bound = 0;
  for (const sim::TranscriptEntry& e : transcript) {
    if (e.rate <= 0) continue;
    std::size_t answer = e.answer.size();
    if (!e.command.empty() && e.answer.starts_with(e.command)) answer -= e.command.size();
    bound += static_cast<double>(e.command.size() + answer) * 10.0 / e.rate;
    if (!e.command.empty()) bound += kProcessingUs / 1e6;
  }
  return bound;
}

sim::SimulatorOptions Modelled(int model, bool linkModel) {
  sim::SimulatorOptions options = testing::AdapterOf(model);
  options.linkModel = linkModel;
  options.processingUs = linkModel ? kProcessingUs : 0;
  options.rateLineDelayMs = sim::kRateLineDelayMs;  // an adapter's own timing, on a quiet machine
  return options;
}

struct UpdateRun {
  bool ok = false;
  int adapters = 0;
  double wall = 0;
  double bound = 0;  // the slowest adapter's wire time, restart wait included
  double hostCpu = 0;
  double simulatorCpu = 0;    // this process: the simulated adapters
  std::size_t exchanges = 0;  // of all adapters together
  std::size_t maxExchanges = 0;
};

// Updates `count` adapters at once with one zorbent-fw run.
UpdateRun ProgramUpdate(const sim::SimulatorOptions& options, const sim::BuiltImage& image,
                        bool blockMode, int count = 1) {
  UpdateRun run;
  run.adapters = count;
  if (!image.ok()) return run;
  testing::FirmwareFile file(image.text);
  std::vector<std::unique_ptr<sim::AdapterSimulator>> adapters;
  std::vector<std::string> args = {"update", "--quiet"};
  for (int i = 0; i < count; ++i) {
    adapters.push_back(std::make_unique<sim::AdapterSimulator>(options));
    std::string error;
    if (!adapters.back()->Start(&error)) {
      std::fprintf(stderr, "simulator %d of %d: %s\n", i + 1, count, error.c_str());
      return run;
    }
    args.push_back("--connect");
    args.push_back(adapters.back()->ConfigString());
  }
  args.push_back(file.Path());
  const double simulator0 = CpuSeconds(RUSAGE_SELF);
  const ProgramRun program = RunProgram(args);
  run.simulatorCpu = CpuSeconds(RUSAGE_SELF) - simulator0;
  run.wall = program.wall;
  run.hostCpu = program.cpu;
  int matched = 0;
  for (auto& adapter : adapters) {
    adapter->Stop();
    const auto transcript = adapter->Transcript();
    run.exchanges += transcript.size();
    run.maxExchanges = std::max(run.maxExchanges, transcript.size());
    run.bound = std::max(run.bound, WireBound(transcript) + (blockMode ? kBlockRestartWait : 0));
    matched += sim::RecordsMatchImage(adapter->Records(), image, blockMode) ? 1 : 0;
    if (const char* dump = std::getenv("UPDATE_BENCH_TRANSCRIPT")) {
      std::ofstream(dump, std::ios::app) << adapter->TranscriptText() << "\n";
    }
  }
  run.ok = program.status == 0 && matched == count;
  if (!run.ok) {
    std::fprintf(stderr, "update of %d adapter(s): exit %d, %d hold the image\n", count,
                 program.status, matched);
  }
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

double MicrosPerExchange(const UpdateRun& r) {
  return r.exchanges > 0 ? r.hostCpu / static_cast<double>(r.exchanges) * 1e6 : 0;
}

void AddHostCpuRows(Output& out, const std::string& what, const UpdateRun& r, bool withGoal) {
  const double perExchange = MicrosPerExchange(r);
  out.Add(
      {"cpu", what + ": host cpu per exchange", perExchange, kHostCpuPerExchangeGoalUs, "us",
       perExchange / kHostCpuPerExchangeGoalUs, withGoal ? "<=1" : "info",
       "zorbent-fw process; " + std::to_string(r.exchanges) + " exchanges; baseline is the goal"});
  out.Add({"cpu", what + ": host cpu share", r.hostCpu, r.wall, "s cpu", r.hostCpu / r.wall,
           withGoal ? "<0.05" : "info", "zorbent-fw process; share of one core"});
}

// bareRoundTrip (seconds, 0 when not measured) gives a second baseline: the wire bound plus one
// bare pseudo-terminal round trip per exchange, the hand-offs no program on this machine avoids.
void UpdateAgainstWire(Output& out, bool full, double bareRoundTrip) {
  const auto addWithHandOffs = [&](const char* metric, const UpdateRun& r) {
    if (bareRoundTrip <= 0) return;
    const double withHandOffs = r.bound + static_cast<double>(r.exchanges) * bareRoundTrip;
    out.Add({"update", metric, r.wall, withHandOffs, "s", r.wall / withHandOffs, "<=1.02",
             "bound + one bare pty round trip (" +
                 std::to_string(std::lround(bareRoundTrip * 1e6)) + " us) per exchange"});
  };
  const sim::BuiltImage line = LineImageOfBytes(full ? 256 * 1024 : 64 * 1024);
  const UpdateRun l = ProgramUpdate(Modelled(kLineModel, true), line, false);
  if (l.ok) {
    out.Add({"update", "line update vs wire time", l.wall, l.bound, "s", l.wall / l.bound, "<=1.02",
             "line mode 115200; " + Kb(line.text.size()) + " image; " +
                 std::to_string(l.exchanges) + " exchanges" + (full ? "" : "; --full for 256 KB")});
    addWithHandOffs("line update vs wire + hand-offs", l);
    AddHostCpuRows(out, "line 115200", l, true);
  }

  const sim::BuiltImage block = BlockImageOfBytes(256 * 1024);
  const UpdateRun b = ProgramUpdate(Modelled(kBlockModel, true), block, true);
  if (b.ok) {
    out.Add({"update", "block update vs wire time", b.wall, b.bound, "s", b.wall / b.bound,
             "<=1.02",
             "block mode 2000000; " + Kb(block.text.size()) + " image; " +
                 std::to_string(b.exchanges) + " exchanges; bound has the 2 s restart wait"});
    addWithHandOffs("block update vs wire + hand-offs", b);
    AddHostCpuRows(out, "block 2000000", b, false);
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
  Link link(*port);
  const std::int32_t r = SendCommand(link, kCommand, reply, 2000, 2000);
  const double wall = Seconds(Clock::now() - t0);
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  out.Add({"cpu", std::string("2 s wait on a silent adapter: ") + (tcp ? "tcp" : "pty"), cpu, wall,
           "s cpu", cpu / wall, "<0.01", r < 0 ? "timed out as it should" : "ANSWERED?"});
}

// Keeps the process on the core it runs on until destroyed: left free, the scheduler tends to
// move the engine and the simulator thread apart during a long run, and every exchange then
// pays a cross-core wake-up, which would show as growth that is not the program's.
class OneCore {
 public:
  OneCore() {
    CPU_ZERO(&before_);
    pinned_ = ::sched_getaffinity(0, sizeof before_, &before_) == 0;
    if (pinned_) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(::sched_getcpu() < 0 ? 0 : ::sched_getcpu(), &one);
      ::sched_setaffinity(0, sizeof one, &one);
    }
  }
  ~OneCore() {
    if (pinned_) ::sched_setaffinity(0, sizeof before_, &before_);
  }
  OneCore(const OneCore&) = delete;
  OneCore& operator=(const OneCore&) = delete;

 private:
  bool pinned_ = false;
  cpu_set_t before_;
};

// The engine's own cost: update time for 1x, 10x and 100x the records with the link model off,
// engine and simulator in this process. The sizes take turns, round after round, so a slow
// spell of the machine falls on all of them.
void GrowthWithoutLink(Output& out) {
  const OneCore pin;
  constexpr int kBase = 63;
  constexpr int kRounds = 5;
  const int counts[] = {kBase, kBase * 10 + 1, kBase * 100 + 1};  // odd: the trailer pairs up
  std::vector<sim::BuiltImage> images;
  for (const int count : counts) images.push_back(testing::ImageFor(kLineModel, count));
  double fastest[3] = {1e9, 1e9, 1e9};
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 3; ++i) {
      sim::AdapterSimulator adapter(Modelled(kLineModel, false));
      std::string error;
      if (!adapter.Start(&error)) return;
      testing::FirmwareFile file(images[i].text);
      const auto t0 = Clock::now();
      const testing::JobRun job = testing::RunUpdate(adapter.ConfigString(), file.Path());
      const double wall = Seconds(Clock::now() - t0);
      adapter.Stop();
      if (job.result < 0 || !sim::RecordsMatchImage(adapter.Records(), images[i], false)) return;
      // The fastest run: on a shared machine the others carry other programs' time.
      fastest[i] = std::min(fastest[i], wall);
    }
  }
  double perRecord[3] = {};
  for (int i = 0; i < 3; ++i) perRecord[i] = fastest[i] / counts[i];
  const char* names[] = {"10x / 1x", "100x / 10x", "100x / 1x"};
  const int pairs[][2] = {{1, 0}, {2, 1}, {2, 0}};
  for (int k = 0; k < 3; ++k) {
    const double a = perRecord[pairs[k][0]];
    const double b = perRecord[pairs[k][1]];
    out.Add({"growth", std::string("per-record time ") + names[k] + " (link off)", a * 1e6, b * 1e6,
             "us", a / b, "info",
             "engine in process; link model off; fastest of " + std::to_string(kRounds)});
  }
}

// Update time against the wire bound at 1x, 10x and 100x the records, link model on, as a
// user with a 115200 adapter sees it.
void Growth(Output& out) {
  constexpr int kBase = 31;
  for (const int count : {kBase, kBase * 10 + 1, kBase * 100 + 1}) {  // odd: the trailer pairs up
    const UpdateRun r =
        ProgramUpdate(Modelled(kLineModel, true), testing::ImageFor(kLineModel, count), false);
    if (!r.ok) return;
    out.Point("growth", count, r.wall);
    out.Add({"growth", "update of " + std::to_string(count) + " records vs wire time", r.wall,
             r.bound, "s", r.wall / r.bound, "<=1.02",
             "line mode 115200; link model on; " + std::to_string(r.exchanges) + " exchanges"});
  }
}

// N adapters updated by one zorbent-fw run, as --connect A --connect B ... does.
void Parallel(Output& out) {
  const std::size_t limit = RaiseOpenFileLimit(kOpenFilesWanted);
  const sim::BuiltImage image = testing::ImageFor(kLineModel, 41);
  double single = 0;
  for (const int n : {1, 4, 16, 64, 256}) {
    const UpdateRun r = ProgramUpdate(Modelled(kLineModel, true), image, false, n);
    const std::string name = "N=" + std::to_string(n);
    if (!r.ok) {
      out.Add({"parallel", name + " adapters vs N=1", 0, single, "s", 0, "info",
               "did not complete (open-file limit here " + std::to_string(limit) + ")"});
      continue;
    }
    if (n == 1) single = r.wall;
    out.Point("parallel", n, r.wall);
    const double share = r.hostCpu / r.wall;
    char note[240];
    std::snprintf(note, sizeof note,
                  "line mode 115200; link model on; %s image; host cpu %.0f%% of one core; "
                  "%.0f us per exchange; simulators %.0f%%%s",
                  Kb(image.text.size()).c_str(), share * 100.0, MicrosPerExchange(r),
                  r.simulatorCpu / r.wall * 100.0,
                  n == 256 ? ("; open-file limit " + std::to_string(limit)).c_str() : "");
    out.Add({"parallel", name + " adapters vs N=1", r.wall, single, "s", r.wall / single,
             n == 64 ? "<=1.05" : "info", note});
    if (n == 64) {
      out.Add({"parallel", name + " host cpu share", r.hostCpu, r.wall, "s cpu", share, "<0.25",
               "zorbent-fw process; share of one core"});
    }
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
  if (wanted("growth")) {
    Growth(out);
    GrowthWithoutLink(out);
  }
  if (wanted("parallel")) Parallel(out);
  return 0;
}
