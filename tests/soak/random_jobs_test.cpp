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
// Past this a job is taken to never return, well inside ctest's time-out.
constexpr double kNeverReturnsSeconds = 3 * kJobBoundSeconds;

using Options = sim::SimulatorOptions;
struct Job;

// Where a fault strikes: nowhere in particular, at a record, or at a command (a lost answer).
enum class Place { kNone, kRecord, kRecordTimes, kCommand };

// The simulator's faults, each with what it does to the simulated adapter.
struct FaultKind {
  const char* name;
  bool onRead;  // a read job can meet it: a read sends no records
  Place place;
  void (*apply)(Options&, const Job&);
};

struct Job {
  int index = 0;
  int model = 0;
  bool tcp = false;
  bool update = true;
  int records = 8;
  int fault = 0;  // index in kFaults
  int at = 0;     // record or command number the fault hits
  int times = 0;  // how often a record fault strikes

  std::string Describe() const;
};

constexpr FaultKind kFaults[] = {
    {"none", true, Place::kNone, [](Options&, const Job&) {}},
    {"silent", true, Place::kNone, [](Options& o, const Job&) { o.link.silent = true; }},
    {"lose-answer", true, Place::kCommand,
     [](Options& o, const Job& j) { o.link.loseAnswerAt = j.at; }},
    {"rep-pack", false, Place::kRecordTimes,
     [](Options& o, const Job& j) { o.faults.repPack[j.at] = j.times; }},
    {"rep-block", false, Place::kRecordTimes,
     [](Options& o, const Job& j) { o.faults.repBlock[j.at] = j.times; }},
    {"err02", false, Place::kRecordTimes,
     [](Options& o, const Job& j) { o.faults.err02[j.at] = j.times; }},
    {"split", true, Place::kNone, [](Options& o, const Job&) { o.link.splitAnswers = true; }},
    {"garbage", true, Place::kNone,
     [](Options& o, const Job&) { o.link.garbageAfterPrompt = true; }},
    {"nul-bytes", true, Place::kNone, [](Options& o, const Job&) { o.link.nulBytes = true; }},
    {"disconnect", false, Place::kRecord,
     [](Options& o, const Job& j) { o.faults.disconnectAtRecord = j.at; }},
    {"flood", true, Place::kNone, [](Options& o, const Job&) { o.link.floodWithoutPrompt = true; }},
    {"power-loss", false, Place::kRecord,
     [](Options& o, const Job& j) { o.faults.powerLossAtRecord = j.at; }},
};
constexpr int kFaultCount = static_cast<int>(std::size(kFaults));
// A fault-free link must not fail a job.
bool SoundLink(int fault) {
  return fault == 0 || std::string_view(kFaults[fault].name) == "split";
}

std::string Job::Describe() const {
  std::string text = "job " + std::to_string(index) + ": model " + std::to_string(model) +
                     (tcp ? " tcp " : " pty ") + (update ? "update" : "read") + " of " +
                     std::to_string(records) + " records, fault " + kFaults[fault].name;
  if (at > 0) text += " at " + std::to_string(at);
  if (times > 0) text += " x" + std::to_string(times);
  return text;
}

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
    job.fault = pick(0, kFaultCount - 1);
  } else {
    std::vector<int> readFaults;
    for (int f = 0; f < kFaultCount; ++f)
      if (kFaults[f].onRead) readFaults.push_back(f);
    job.fault = readFaults[static_cast<std::size_t>(pick(0, int(readFaults.size()) - 1))];
  }
  switch (kFaults[job.fault].place) {
    case Place::kCommand:
      // Before, during or after the download; a read sends only a few commands.
      job.at = job.update ? pick(1, job.records + 12) : pick(1, 4);
      break;
    case Place::kRecordTimes:
      job.at = pick(1, job.records);
      job.times = pick(1, 6);  // past the flows' repeat limits now and then
      break;
    case Place::kRecord:
      job.at = pick(1, job.records);
      break;
    case Place::kNone:
      break;
  }
  return job;
}

Options OptionsFor(const Job& job) {
  Options options = AdapterOf(job.model);
  options.tcp = job.tcp;
  kFaults[job.fault].apply(options, job);
  return options;
}

enum class Verdict { kSucceeded, kFailedCleanly, kWrong };

struct Outcome {
  Verdict verdict = Verdict::kWrong;
  std::string why;  // for a wrong outcome, with what the user was told and the transcript
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
      {run.result < 0 && SoundLink(job.fault), "failed on a sound link"}};
  Outcome outcome;
  outcome.verdict = run.result >= 0 ? Verdict::kSucceeded : Verdict::kFailedCleanly;
  for (const auto& [broken, why] : rules) {
    if (!broken) continue;
    outcome.verdict = Verdict::kWrong;
    outcome.why = why + "\n" + run.text + "\n--- transcript\n" + adapter.TranscriptText();
    break;
  }
  return outcome;
}

Outcome RunOne(const Job& job, bool verbose = false) {
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

// Runs the jobs, `threads` at once. A job that never returns cannot be joined: the run ends
// naming it, so ZORBENT_SOAK_JOB can replay it.
std::vector<Outcome> RunAll(const std::vector<Job>& jobs, int threads) {
  std::vector<Outcome> outcomes(jobs.size());
  std::vector<std::optional<Clock::time_point>> running(jobs.size());
  std::mutex mutex;  // guards running, next and done
  std::condition_variable finished;
  std::size_t next = 0;
  std::size_t done = 0;
  std::vector<std::thread> workers;
  for (int w = 0; w < threads; ++w) {
    workers.emplace_back([&] {
      std::unique_lock lock(mutex);
      for (std::size_t i = next++; i < jobs.size(); i = next++) {
        running[i] = Clock::now();
        lock.unlock();
        Outcome outcome = RunOne(jobs[i]);
        lock.lock();
        outcomes[i] = std::move(outcome);
        running[i].reset();
        ++done;
        finished.notify_all();
      }
    });
  }
  const auto neverReturns = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(kNeverReturnsSeconds));
  std::unique_lock lock(mutex);
  while (done < jobs.size()) {
    auto oldest = Clock::time_point::max();
    for (const auto& began : running)
      if (began) oldest = std::min(oldest, *began);
    if (oldest != Clock::time_point::max() && Clock::now() - oldest > neverReturns) {
      for (std::size_t i = 0; i < jobs.size(); ++i)
        if (running[i] == oldest) std::printf("never returned: %s\n", jobs[i].Describe().c_str());
      std::fflush(stdout);
      std::_Exit(1);
    }
    if (oldest == Clock::time_point::max())
      finished.wait(lock);
    else
      finished.wait_until(lock, oldest + neverReturns);
  }
  lock.unlock();
  for (std::thread& worker : workers) worker.join();
  return outcomes;
}

TEST(Soak, RandomJobsSucceedExactlyOrFailCleanly) {
  const auto seed =
      static_cast<std::uint32_t>(EnvNumber("ZORBENT_SOAK_SEED").value_or(kDefaultSeed));
  if (const std::optional<long> only = EnvNumber("ZORBENT_SOAK_JOB")) {
    const Outcome outcome = RunOne(MakeJob(seed, static_cast<int>(*only)), true);
    EXPECT_NE(outcome.verdict, Verdict::kWrong) << outcome.why;
    return;
  }
  const int count = static_cast<int>(EnvNumber("ZORBENT_SOAK_JOBS").value_or(kDefaultJobs));
  const int threads = static_cast<int>(
      std::clamp(EnvNumber("ZORBENT_SOAK_THREADS").value_or(kDefaultThreads), 1L, 64L));
  const bool list = EnvNumber("ZORBENT_SOAK_LIST").value_or(0) != 0;
  std::vector<Job> jobs;
  for (int i = 0; i < count; ++i) jobs.push_back(MakeJob(seed, i));
  const auto start = Clock::now();
  const std::vector<Outcome> outcomes = RunAll(jobs, threads);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  int verdicts[3] = {};
  int hung = 0;  // past the bound
  double longest = 0.0;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Outcome& outcome = outcomes[i];
    longest = std::max(longest, outcome.seconds);
    ++verdicts[static_cast<std::size_t>(outcome.verdict)];
    static constexpr const char* kVerdicts[] = {"succeeded", "failed cleanly", "WRONG"};
    if (list) std::printf("%s: %s\n", jobs[i].Describe().c_str(), kVerdicts[int(outcome.verdict)]);
    if (outcome.verdict == Verdict::kWrong)
      ADD_FAILURE() << jobs[i].Describe() << ": " << outcome.why;
    if (outcome.seconds <= kJobBoundSeconds) continue;
    ++hung;
    ADD_FAILURE() << "hung past " << kJobBoundSeconds << " s: " << jobs[i].Describe();
  }
  std::printf("%d jobs: %d succeeded, %d failed cleanly, %d wrong, %d hung\n", count, verdicts[0],
              verdicts[1], verdicts[2], hung);
  std::printf("seed %u (ZORBENT_SOAK_SEED=%u replays it), %d at once, %.1f s, longest job %.1f s\n",
              seed, seed, threads, seconds, longest);
  EXPECT_EQ(verdicts[2], 0);
}

}  // namespace
}  // namespace zorbent::testing
