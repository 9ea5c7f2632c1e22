// A firmware repository of 1,000 targets, made by the publisher (repo init, add, publish) and
// served by the loopback https server (tests/support/http_server.py): a first refresh (every
// root, timestamp, snapshot and targets checked) and one target downloaded and verified, as
// update --latest does from an empty trusted store. The baseline fetches the same files, byte
// for byte, with no check at all, so the ratio is the price of the checks. Counters: bytes
// fetched per round.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "firmware/tuf/directory_store.h"
#include "firmware/tuf/platform_fetcher.h"
#include "firmware/tuf/publisher.h"
#include "firmware/tuf/updater.h"
#include "platform/files.h"
#include "sim/image/image_builder.h"
#include "tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;
using namespace zorbent;

constexpr int kTargets = 1000;
constexpr int kImageRecords = 8;
constexpr int kRounds = 10;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Counts what the client fetched.
class CountingFetcher : public tuf::Fetcher {
 public:
  explicit CountingFetcher(FetchLimits limits) : inner_(std::move(limits)) {}
  FetchResult Fetch(std::string_view url, std::size_t maxBytes) override {
    FetchResult result = inner_.Fetch(url, maxBytes);
    bytes += static_cast<std::int64_t>(result.body.size());
    urls.emplace_back(url);
    return result;
  }
  std::int64_t bytes = 0;
  std::vector<std::string> urls;

 private:
  tuf::PlatformFetcher inner_;
};

// The repository and its server, for the whole run.
struct Repository {
  std::string dir, url, error;
  FetchLimits limits;
  std::unique_ptr<test::SpawnedProgram> server;

  Repository() {
    ::setenv("no_proxy", "*", 1);
    char folder[] = "/tmp/zorbent-repo-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
      error = "no temporary folder";
      return;
    }
    dir = folder;
    tuf::RepositoryPlaces places;
    tuf::Written written;
    if (!tuf::PlacesOf(dir + "/www/repo", dir + "/keys", places, error)) return;
    tuf::Publisher publisher(places, Now());
    std::vector<tuf::NewTarget> files;
    for (int i = 0; i < kTargets; ++i) {
      sim::BlockImageOptions options;
      options.records = kImageRecords;
      options.seed = static_cast<std::uint32_t>(i + 1);
      const std::string text = sim::BuildBlockImage(options).text;
      files.push_back({"KTR558", "block", "2.4." + std::to_string(i),
                       "ktr558-" + std::to_string(i) + ".txt", "",
                       std::vector<std::uint8_t>(text.begin(), text.end())});
    }
    if (!publisher.Init({}, written, error) || !publisher.Add(files, written, error) ||
        !publisher.Publish(written, error))
      return;
    server = std::make_unique<test::SpawnedProgram>(
        std::vector<std::string>{ZORBENT_PYTHON, ZORBENT_HTTP_SERVER, dir});
    int port = 0;
    std::sscanf(server->ReadLine(60000).c_str(), "https=%d", &port);
    if (port == 0) {
      error = "the https server did not start (needs python3 and openssl)";
      return;
    }
    url = "https://127.0.0.1:" + std::to_string(port) + "/repo";
    limits.caFile = dir + "/ca.pem";
  }
  ~Repository() {
    server.reset();
    std::error_code ignored;
    if (!dir.empty()) fs::remove_all(dir, ignored);
  }
  // A client's first refresh and one download from an empty store; false with why.
  bool RefreshAndDownload(CountingFetcher& fetcher, std::string& why) const {
    std::error_code ignored;
    fs::remove_all(dir + "/trusted", ignored);
    fs::create_directories(dir + "/trusted");
    tuf::DirectoryStore store(dir + "/trusted");
    std::string root;
    if (!ReadSmallFile(dir + "/www/repo/metadata/1.root.json", 1 << 20, root, why) ||
        !store.Save("root", root, why))
      return false;
    tuf::Updater updater({url + "/metadata/", url + "/targets/", Now(), {}}, fetcher, store);
    tuf::Problem problem;
    tuf::Target target;
    std::vector<std::uint8_t> bytes;
    const bool done = updater.Refresh(problem) &&
                      updater.FindTarget("KTR558/ktr558-500.txt", target, problem) &&
                      updater.DownloadTarget(target, bytes, problem);
    why = problem.detail;
    return done;
  }
};

const Repository& Published() {
  static const Repository repository;
  return repository;
}

void BM_RepositoryRefreshAndDownload(benchmark::State& state) {
  const Repository& repository = Published();
  if (!repository.error.empty()) {
    state.SkipWithError(repository.error.c_str());
    return;
  }
  std::int64_t bytes = 0;
  for (auto _ : state) {
    CountingFetcher fetcher(repository.limits);
    std::string why;
    if (!repository.RefreshAndDownload(fetcher, why)) {
      state.SkipWithError(why.c_str());
      return;
    }
    bytes = fetcher.bytes;
  }
  state.counters["bytes_fetched"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RepositoryRefreshAndDownload)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kRounds);

// The same requests, each body taken as it comes.
void BM_RepositoryPlainFetchBaseline(benchmark::State& state) {
  const Repository& repository = Published();
  CountingFetcher first(repository.limits);
  std::string why;
  if (!repository.error.empty() || !repository.RefreshAndDownload(first, why)) {
    state.SkipWithError(repository.error.empty() ? why.c_str() : repository.error.c_str());
    return;
  }
  std::int64_t bytes = 0;
  for (auto _ : state) {
    tuf::PlatformFetcher plain(repository.limits);
    bytes = 0;
    for (const std::string& url : first.urls)
      bytes += static_cast<std::int64_t>(plain.Fetch(url, 64 << 20).body.size());
  }
  state.counters["bytes_fetched"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RepositoryPlainFetchBaseline)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kRounds);

}  // namespace

BENCHMARK_MAIN();
