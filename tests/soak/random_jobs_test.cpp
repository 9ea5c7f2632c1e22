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

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "tests/support/sim_job.h"

namespace zorbent::testing {
namespace {

using Clock = std::chrono::steady_clock;
using Options = sim::SimulatorOptions;

// The worst chain of waits one fault can cause is a block-mode power loss: three 5 s record
// time-outs, three 2 s ends, the 2 s restart pause and a 2 s version query, about 30 s; twice
// that leaves room for a loaded machine. Past three times the bound a job never returns.
constexpr double kJobBoundSeconds = 60.0;
constexpr double kNeverReturnsSeconds = 3 * kJobBoundSeconds;

// Where a fault strikes: nowhere in particular, at a record, or at a command (a lost answer).
enum class Place { kNone, kRecord, kRecordTimes, kCommand };

struct Job {
  int index = 0, model = 0;
  bool tcp = false, update = true;
  int records = 8;
  int fault = 0;  // index in kFaults
  int at = 0;     // record or command number the fault hits
  int times = 0;  // how often a record fault strikes
};

// The simulator's faults; onRead: a read job can meet it (a read sends no records).
struct FaultKind {
  const char* name;
  bool onRead;
  Place place;
  void (*apply)(Options&, const Job&);
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
constexpr int kSplit = 6;  // with "none", the fault-free links: they must not fail a job

std::string Describe(const Job& j) {
  std::string text = "job " + std::to_string(j.index) + ": model " + std::to_string(j.model) +
                     (j.tcp ? " tcp " : " pty ") + (j.update ? "update" : "read") + " of " +
                     std::to_string(j.records) + " records, fault " + kFaults[j.fault].name;
  if (j.at > 0) text += " at " + std::to_string(j.at);
  if (j.times > 0) text += " x" + std::to_string(j.times);
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
  const Place place = kFaults[job.fault].place;
  if (place == Place::kCommand) {
    // Before, during or after the download; a read sends only a few commands.
    job.at = job.update ? pick(1, job.records + 12) : pick(1, 4);
  } else if (place != Place::kNone) {
    job.at = pick(1, job.records);
    if (place == Place::kRecordTimes) job.times = pick(1, 6);  // past the repeat limits too
  }
  return job;
}

struct Outcome {
  int verdict = 2;  // index in kVerdicts
  std::string why;  // for a wrong outcome, with what the user was told and the transcript
  double seconds = 0.0;
};
constexpr const char* kVerdicts[] = {"succeeded", "failed cleanly", "WRONG"};

// The first rule broken makes the outcome wrong. A line pair that failed and went through
// when sent again leaves its "**Failed** ..." line behind; what counts is the end.
Outcome Judge(const Job& job, const JobRun& run, const sim::AdapterSimulator& adapter,
              const sim::BuiltImage& image) {
  const bool exact = sim::RecordsMatchImage(adapter.Records(), image, IsBlockModel(job.model));
  const int flashes = adapter.Flashes();
  const bool ok = run.result >= 0;
  const std::pair<bool, std::string> rules[] = {
      {ok && job.update && !run.Finished(), "success without \"File download finished!\""},
      {ok && job.update && !exact, "success, but the adapter holds a different image"},
      {ok && job.update && flashes != 1,
       "success, but the adapter took " + std::to_string(flashes) + " downloads as firmware"},
      {ok && !job.update && !run.Said("device version:") && !run.Said("Adapter version:"),
       "read succeeded without reporting a version"},
      {!ok && !run.Failed(), "failure without a \"**Failed** \" message"},
      {!ok && run.Finished(), "failure after \"File download finished!\""},
      {!ok && flashes > 0 && !exact, "the adapter took a different image as firmware"},
      {!ok && (job.fault == 0 || job.fault == kSplit), "failed on a sound link"}};
  Outcome outcome{ok ? 0 : 1, ""};
  for (const auto& [broken, why] : rules) {
    if (!broken) continue;
    outcome = {2, why + "\n" + run.text + "\n--- transcript\n" + adapter.TranscriptText()};
    break;
  }
  return outcome;
}

Outcome RunOne(const Job& job, bool verbose = false) {
  const auto start = Clock::now();
  const sim::BuiltImage image = ImageFor(job.model, job.records);
  Options options = AdapterOf(job.model);
  options.tcp = job.tcp;
  kFaults[job.fault].apply(options, job);
  Started adapter(options);
  if (!image.ok() || !adapter.started)
    return {2, image.ok() ? "simulator: " + adapter.error : "image: " + image.error};
  const FirmwareFile file(image.text);
  UpdateEngine engine;
  const JobRun run =
      RunJob(engine, adapter.simulator.ConfigString(), job.update ? file.Path() : "", job.update);
  adapter.simulator.Stop();
  Outcome outcome = Judge(job, run, adapter.simulator, image);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (verbose)
    std::printf("%s\n%s\n--- transcript\n%s", Describe(job).c_str(), run.text.c_str(),
                adapter.simulator.TranscriptText().c_str());
  return outcome;
}

std::optional<long> EnvNumber(const char* name) {
  const char* text = std::getenv(name);
  char* end = nullptr;
  const long value = text == nullptr ? -1 : std::strtol(text, &end, 10);
  if (value < 0 || *text == '\0' || *end != '\0') return std::nullopt;
  return value;
}

// Runs the jobs, `threads` at once. A job that never returns cannot be joined: the run ends
// naming it, so ZORBENT_SOAK_JOB can replay it.
std::vector<Outcome> RunAll(const std::vector<Job>& jobs, int threads) {
  std::vector<Outcome> outcomes(jobs.size());
  std::vector<std::optional<Clock::time_point>> running(jobs.size());
  std::mutex mutex;  // guards running, next and done
  std::condition_variable finished;
  std::size_t next = 0, done = 0;
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
    const auto oldest = std::min_element(running.begin(), running.end(),
                                         [](auto& a, auto& b) { return a && (!b || *a < *b); });
    if (!*oldest) {
      finished.wait(lock);
    } else if (Clock::now() - **oldest > neverReturns) {
      std::printf("never returned: %s\n", Describe(jobs[oldest - running.begin()]).c_str());
      std::fflush(stdout);
      std::_Exit(1);
    } else {
      finished.wait_until(lock, **oldest + neverReturns);
    }
  }
  lock.unlock();
  for (std::thread& worker : workers) worker.join();
  return outcomes;
}

TEST(Soak, RandomJobsSucceedExactlyOrFailCleanly) {
  const auto seed = static_cast<std::uint32_t>(EnvNumber("ZORBENT_SOAK_SEED").value_or(20240601));
  if (const std::optional<long> only = EnvNumber("ZORBENT_SOAK_JOB")) {
    const Outcome outcome = RunOne(MakeJob(seed, static_cast<int>(*only)), true);
    EXPECT_NE(outcome.verdict, 2) << outcome.why;
    return;
  }
  // The jobs mostly wait on time-outs, so sanitizer builds run as many in about the same time.
  const int count = static_cast<int>(EnvNumber("ZORBENT_SOAK_JOBS").value_or(300));
  const int threads =
      static_cast<int>(std::clamp(EnvNumber("ZORBENT_SOAK_THREADS").value_or(24), 1L, 64L));
  const bool list = EnvNumber("ZORBENT_SOAK_LIST").value_or(0) != 0;
  std::vector<Job> jobs;
  for (int i = 0; i < count; ++i) jobs.push_back(MakeJob(seed, i));
  const auto start = Clock::now();
  const std::vector<Outcome> outcomes = RunAll(jobs, threads);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  int verdicts[3] = {}, hung = 0;  // hung: past the bound
  double longest = 0.0;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Outcome& outcome = outcomes[i];
    longest = std::max(longest, outcome.seconds);
    ++verdicts[outcome.verdict];
    if (list) std::printf("%s: %s\n", Describe(jobs[i]).c_str(), kVerdicts[outcome.verdict]);
    if (outcome.verdict == 2) ADD_FAILURE() << Describe(jobs[i]) << ": " << outcome.why;
    if (outcome.seconds <= kJobBoundSeconds) continue;
    ++hung;
    ADD_FAILURE() << "hung past " << kJobBoundSeconds << " s: " << Describe(jobs[i]);
  }
  std::printf("%d jobs: %d succeeded, %d failed cleanly, %d wrong, %d hung\n", count, verdicts[0],
              verdicts[1], verdicts[2], hung);
  std::printf("seed %u (ZORBENT_SOAK_SEED=%u replays it), %d at once, %.1f s, longest job %.1f s\n",
              seed, seed, threads, seconds, longest);
  EXPECT_EQ(verdicts[2], 0);
}

}  // namespace
}  // namespace zorbent::testing
