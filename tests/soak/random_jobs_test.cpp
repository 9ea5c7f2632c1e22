// Seeded random update and read jobs over every model, both links and the simulator's faults,
// many at once, each with its own engine and simulated adapter. Every job ends either in
// success with exactly the file on the adapter, or in a reported failure; never in success
// with another image, never past the bound its time-outs allow.
//
// ZORBENT_SOAK_JOBS=N     jobs to run (default 300)
// ZORBENT_SOAK_SEED=S     seed of the job list (default 20240601): the same seed, the same jobs
// ZORBENT_SOAK_THREADS=T  jobs running at once (default 24)
// ZORBENT_SOAK_JOB=I      runs job I of the list alone and prints its transcript
// ZORBENT_SOAK_LIST=1     prints every job with how it ended

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim_job.h"

namespace zorbent::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The jobs mostly wait on time-outs, so sanitizer builds run as many in about the same time.
constexpr int kDefaultJobs = 300;
constexpr std::uint32_t kDefaultSeed = 20240601;
constexpr int kDefaultThreads = 24;
// The longest one job may take. The worst chain of waits one fault can cause is a block-mode
// power loss: three 5 s record time-outs, three 2 s ends, the 2 s restart pause and a 2 s
// version query, about 30 s; twice that leaves room for a loaded machine.
constexpr double kJobBoundSeconds = 60.0;

enum class Fault {
  kNone,
  kSilent,
  kLoseAnswer,
  kRepPack,
  kRepBlock,
  kErr02,
  kSplitAnswers,
  kGarbageAfterPrompt,
  kNulBytes,
  kDisconnect,
  kFlood,
  kPowerLoss,
  kCount
};

constexpr const char* kFaultNames[] = {
    "none",  "silent",  "lose-answer", "rep-pack",   "rep-block", "err02",
    "split", "garbage", "nul-bytes",   "disconnect", "flood",     "power-loss",
};
static_assert(std::size(kFaultNames) == static_cast<std::size_t>(Fault::kCount));

// Faults a read job can meet: a read sends no records.
constexpr Fault kReadFaults[] = {Fault::kNone,
                                 Fault::kSilent,
                                 Fault::kLoseAnswer,
                                 Fault::kSplitAnswers,
                                 Fault::kGarbageAfterPrompt,
                                 Fault::kNulBytes,
                                 Fault::kFlood};

struct Job {
  int index = 0;
  int model = 0;
  bool tcp = false;
  bool update = true;
  int records = 8;
  Fault fault = Fault::kNone;
  int at = 0;     // record or command number the fault hits
  int times = 0;  // how often a record fault strikes

  std::string Describe() const {
    std::string text = "job " + std::to_string(index) + ": model " + std::to_string(model) +
                       (tcp ? " tcp " : " pty ") + (update ? "update" : "read") + " of " +
                       std::to_string(records) + " records, fault " +
                       kFaultNames[static_cast<int>(fault)];
    if (at > 0) text += " at " + std::to_string(at);
    if (times > 0) text += " x" + std::to_string(times);
    return text;
  }
};

// Each job draws from its own generator, so a job is the same whatever ran before it.
Job MakeJob(std::uint32_t seed, int index) {
  std::seed_seq sequence{seed, static_cast<std::uint32_t>(index)};
  std::mt19937 random(sequence);
  auto pick = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  Job job;
  job.index = index;
  job.model = pick(0, sim::kModelCount - 1);
  job.tcp = pick(0, 1) == 1;
  job.update = pick(0, 4) != 0;  // four updates to one read
  job.records = pick(4, 16);
  if (job.update) {
    job.fault = static_cast<Fault>(pick(0, static_cast<int>(Fault::kCount) - 1));
  } else {
    job.fault = kReadFaults[pick(0, static_cast<int>(std::size(kReadFaults)) - 1)];
  }
  switch (job.fault) {
    case Fault::kLoseAnswer:
      // Before, during or after the download; a read sends only a few commands.
      job.at = job.update ? pick(1, job.records + 12) : pick(1, 4);
      break;
    case Fault::kRepPack:
    case Fault::kRepBlock:
    case Fault::kErr02:
      job.at = pick(1, job.records);
      job.times = pick(1, 6);  // past the flows' repeat limits now and then
      break;
    case Fault::kDisconnect:
    case Fault::kPowerLoss:
      job.at = pick(1, job.records);
      break;
    default:
      break;
  }
  return job;
}

using Options = sim::SimulatorOptions;
// What each fault does to the simulated adapter, in the order of Fault.
constexpr void (*kApply[])(Options&, const Job&) = {
    [](Options&, const Job&) {},
    [](Options& o, const Job&) { o.link.silent = true; },
    [](Options& o, const Job& j) { o.link.loseAnswerAt = j.at; },
    [](Options& o, const Job& j) { o.faults.repPack[j.at] = j.times; },
    [](Options& o, const Job& j) { o.faults.repBlock[j.at] = j.times; },
    [](Options& o, const Job& j) { o.faults.err02[j.at] = j.times; },
    [](Options& o, const Job&) { o.link.splitAnswers = true; },
    [](Options& o, const Job&) { o.link.garbageAfterPrompt = true; },
    [](Options& o, const Job&) { o.link.nulBytes = true; },
    [](Options& o, const Job& j) { o.faults.disconnectAtRecord = j.at; },
    [](Options& o, const Job&) { o.link.floodWithoutPrompt = true; },
    [](Options& o, const Job& j) { o.faults.powerLossAtRecord = j.at; }};
static_assert(std::size(kApply) == static_cast<std::size_t>(Fault::kCount));

Options OptionsFor(const Job& job) {
  Options options = AdapterOf(job.model);
  options.tcp = job.tcp;
  kApply[static_cast<int>(job.fault)](options, job);
  return options;
}

enum class Verdict { kSucceeded, kFailedCleanly, kWrong };

struct Outcome {
  Verdict verdict = Verdict::kWrong;
  std::string why;  // for a wrong outcome
  std::string details;
  double seconds = 0.0;
};

Outcome Judge(const Job& job, const JobRun& run, const sim::AdapterSimulator& adapter,
              const sim::BuiltImage& image) {
  const bool exact = sim::RecordsMatchImage(adapter.Records(), image, IsBlockModel(job.model));
  const int flashes = adapter.Flashes();
  // The first rule broken makes the outcome wrong. A line pair that failed and went through
  // when sent again leaves its "**Failed** ..." line behind; what counts is the end.
  const std::pair<bool, std::string> rules[] = {
      {run.result >= 0 && job.update && !run.Finished(),
       "success without \"File download finished!\""},
      {run.result >= 0 && job.update && !exact, "success, but the adapter holds a different image"},
      {run.result >= 0 && job.update && flashes != 1,
       "success, but the adapter took " + std::to_string(flashes) + " downloads as firmware"},
      {run.result >= 0 && !job.update && !run.Said("device version:") &&
           !run.Said("Adapter version:"),
       "read succeeded without reporting a version"},
      {run.result < 0 && !run.Failed(), "failure without a \"**Failed** \" message"},
      {run.result < 0 && run.Finished(), "failure after \"File download finished!\""},
      {run.result < 0 && flashes > 0 && !exact, "the adapter took a different image as firmware"},
      // A fault-free link must not fail a job.
      {run.result < 0 && (job.fault == Fault::kNone || job.fault == Fault::kSplitAnswers),
       "failed on a sound link"}};
  Outcome outcome;
  outcome.verdict = run.result >= 0 ? Verdict::kSucceeded : Verdict::kFailedCleanly;
  for (const auto& [broken, why] : rules) {
    if (!broken) continue;
    outcome.verdict = Verdict::kWrong;
    outcome.why = why;
    outcome.details = run.text + "\n--- transcript\n" + adapter.TranscriptText();
    break;
  }
  return outcome;
}

Outcome RunOne(const Job& job, bool verbose) {
  const auto start = Clock::now();
  const sim::BuiltImage image = ImageFor(job.model, job.records);
  Started adapter(OptionsFor(job));
  Outcome outcome;
  if (!image.ok() || !adapter.started) {
    outcome.why = image.ok() ? "simulator: " + adapter.error : "image: " + image.error;
    return outcome;
  }
  const FirmwareFile file(image.text);
  UpdateEngine engine;
  const JobRun run =
      RunJob(engine, adapter.simulator.ConfigString(), job.update ? file.Path() : "", job.update);
  adapter.simulator.Stop();
  outcome = Judge(job, run, adapter.simulator, image);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (verbose) {
    std::printf("%s\n%s\n--- transcript\n%s", job.Describe().c_str(), run.text.c_str(),
                adapter.simulator.TranscriptText().c_str());
  }
  return outcome;
}

std::optional<long> EnvNumber(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0) return std::nullopt;
  return value;
}

// Workers take jobs in order; a watchdog marks any job that runs past the bound as hung.
class Soak {
 public:
  Soak(std::uint32_t seed, int jobs, int threads) : seed_(seed), threads_(threads) {
    for (int i = 0; i < jobs; ++i) jobs_.push_back(MakeJob(seed, i));
    outcomes_.resize(jobs_.size());
    slots_.resize(static_cast<std::size_t>(threads));
  }

  void Run() {
    std::vector<std::thread> workers;
    for (int w = 0; w < threads_; ++w) workers.emplace_back([this, w] { Work(w); });
    Watch();
    for (std::thread& worker : workers) worker.join();
  }

  const std::vector<Job>& Jobs() const { return jobs_; }
  const std::vector<Outcome>& Outcomes() const { return outcomes_; }
  const std::vector<int>& Hung() const { return hung_; }

 private:
  struct Slot {
    int job = -1;  // running job, -1 when idle
    Clock::time_point since;
    bool reported = false;
  };

  void Work(int worker) {
    const auto w = static_cast<std::size_t>(worker);
    while (true) {
      int index = 0;
      {
        std::lock_guard lock(mutex_);
        if (next_ >= static_cast<int>(jobs_.size())) break;
        index = next_++;
        slots_[w] = {index, Clock::now(), false};
      }
      Outcome outcome = RunOne(jobs_[static_cast<std::size_t>(index)], false);
      std::lock_guard lock(mutex_);
      outcomes_[static_cast<std::size_t>(index)] = std::move(outcome);
      slots_[w].job = -1;
      ++done_;
      changed_.notify_all();
    }
  }

  void Watch() {
    std::unique_lock lock(mutex_);
    while (done_ < static_cast<int>(jobs_.size())) {
      changed_.wait_for(lock, std::chrono::seconds(1));
      const auto now = Clock::now();
      for (Slot& slot : slots_) {
        if (slot.job < 0) continue;
        const double seconds = std::chrono::duration<double>(now - slot.since).count();
        if (!slot.reported && seconds > kJobBoundSeconds) {
          slot.reported = true;
          hung_.push_back(slot.job);
          std::printf("hung: %s\n", jobs_[static_cast<std::size_t>(slot.job)].Describe().c_str());
          std::fflush(stdout);
        }
        // A job that never returns would hold the run for ever: end it with what is known.
        if (seconds > 3 * kJobBoundSeconds) {
          std::printf("%zu hung jobs never returned; seed %u\n", hung_.size(), seed_);
          std::fflush(stdout);
          std::_Exit(1);
        }
      }
    }
  }

  std::uint32_t seed_;
  int threads_;
  std::vector<Job> jobs_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<Outcome> outcomes_;
  std::vector<Slot> slots_;
  std::vector<int> hung_;
  int next_ = 0;
  int done_ = 0;
};

TEST(Soak, RandomJobsSucceedExactlyOrFailCleanly) {
  const auto seed =
      static_cast<std::uint32_t>(EnvNumber("ZORBENT_SOAK_SEED").value_or(kDefaultSeed));
  if (const std::optional<long> only = EnvNumber("ZORBENT_SOAK_JOB")) {
    const Job job = MakeJob(seed, static_cast<int>(*only));
    const Outcome outcome = RunOne(job, true);
    EXPECT_NE(outcome.verdict, Verdict::kWrong) << outcome.why;
    return;
  }
  const int jobs = static_cast<int>(EnvNumber("ZORBENT_SOAK_JOBS").value_or(kDefaultJobs));
  const int threads = static_cast<int>(
      std::clamp(EnvNumber("ZORBENT_SOAK_THREADS").value_or(kDefaultThreads), 1L, 64L));
  const bool list = EnvNumber("ZORBENT_SOAK_LIST").value_or(0) != 0;
  const auto start = Clock::now();
  Soak soak(seed, jobs, threads);
  soak.Run();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  int succeeded = 0;
  int failed = 0;
  int wrong = 0;
  double longest = 0.0;
  constexpr auto kFaults = static_cast<std::size_t>(Fault::kCount);
  std::array<int, kFaults> runs{};
  std::array<int, kFaults> successes{};
  for (std::size_t i = 0; i < soak.Jobs().size(); ++i) {
    const Job& job = soak.Jobs()[i];
    const Outcome& outcome = soak.Outcomes()[i];
    longest = std::max(longest, outcome.seconds);
    if (list) {
      static constexpr const char* kVerdicts[] = {"succeeded", "failed cleanly", "WRONG"};
      std::printf("%s: %s\n", job.Describe().c_str(), kVerdicts[static_cast<int>(outcome.verdict)]);
    }
    const auto f = static_cast<std::size_t>(job.fault);
    ++runs[f];
    switch (outcome.verdict) {
      case Verdict::kSucceeded:
        ++succeeded;
        ++successes[f];
        break;
      case Verdict::kFailedCleanly:
        ++failed;
        break;
      case Verdict::kWrong:
        ++wrong;
        ADD_FAILURE() << job.Describe() << ": " << outcome.why << "\n" << outcome.details;
        break;
    }
  }
  const int hung = static_cast<int>(soak.Hung().size());
  for (const int index : soak.Hung())
    ADD_FAILURE() << "hung past " << kJobBoundSeconds
                  << " s: " << soak.Jobs()[static_cast<std::size_t>(index)].Describe();

  std::printf("%d jobs: %d succeeded, %d failed cleanly, %d wrong, %d hung\n", jobs, succeeded,
              failed, wrong, hung);
  std::printf("seed %u (ZORBENT_SOAK_SEED=%u replays it), %d at once, %.1f s, longest job %.1f s\n",
              seed, seed, threads, seconds, longest);
  for (std::size_t f = 0; f < kFaults; ++f)
    std::printf("  %-11s %3d jobs, %3d succeeded\n", kFaultNames[f], runs[f], successes[f]);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(hung, 0);
}

}  // namespace
}  // namespace zorbent::testing
