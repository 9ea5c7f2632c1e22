// Getting a 1 MB block-mode firmware image the way update --latest does: the repository's
// metadata refreshed and checked from an empty store, then the file downloaded from the
// loopback https server (tests/support/http_server.py), its length and SHA-256 checked and
// kept in an empty cache. bench/run sets the time against the update's own.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "firmware/latest.h"
#include "sim/image/image_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/test_repository.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kImageBytes = 1 << 20;
// Characters per line of a 121-byte block record, CR LF included.
constexpr std::int64_t kBlockLineChars = 2 * (2 + zorbent::sim::kMaxBlockRecordLen + 1) + 2;

// The server and a published release, for the whole run.
struct Release {
  std::string dir;
  std::unique_ptr<zorbent::test::SpawnedProgram> server;
  zorbent::FirmwareSource source;
  std::string error;

  Release() {
    ::setenv("no_proxy", "*", 1);
    char folder[] = "/tmp/zorbent-fetch-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
      error = "no temporary folder";
      return;
    }
    dir = folder;
    ::setenv("ZORBENT_FW_CACHE_DIR", (dir + "/cache").c_str(), 1);
    ::setenv("ZORBENT_FW_DATA_DIR", (dir + "/data").c_str(), 1);
    zorbent::sim::BlockImageOptions options;
    options.recordLen = zorbent::sim::kMaxBlockRecordLen;
    options.records = static_cast<int>(kImageBytes / kBlockLineChars);
    zorbent::test::TestRepository repository(dir + "/www/fw");
    repository.Add("big.txt", zorbent::sim::BuildBlockImage(options).text);
    repository.Publish();
    error = repository.Error();
    if (!error.empty()) return;
    server = std::make_unique<zorbent::test::SpawnedProgram>(
        std::vector<std::string>{ZORBENT_PYTHON, ZORBENT_HTTP_SERVER, dir});
    int port = 0;
    std::sscanf(server->ReadLine(60000).c_str(), "https=%d", &port);
    if (port == 0) {
      error = "the https server did not start (needs python3 and openssl)";
      return;
    }
    source.repositoryUrl = "https://127.0.0.1:" + std::to_string(port) + "/fw";
    source.rootFile = repository.RootFile();
    source.caFile = dir + "/ca.pem";
  }
  ~Release() {
    server.reset();
    std::error_code ignored;
    if (!dir.empty()) fs::remove_all(dir, ignored);
  }
};

void BM_FetchVerifiedBuild(benchmark::State& state) {
  static Release release;
  if (!release.error.empty()) {
    state.SkipWithError(release.error.c_str());
    return;
  }
  std::int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::error_code ignored;
    fs::remove_all(release.dir + "/cache", ignored);  // every round downloads
    fs::remove_all(release.dir + "/data", ignored);   // and refreshes from the root
    state.ResumeTiming();
    zorbent::FirmwareRepository repository(release.source);
    std::string problem;
    std::string path;
    std::vector<std::uint8_t> image;
    if (!repository.Open(problem) || repository.Builds().empty() ||
        !repository.Download(repository.Builds().front(), path, image, problem)) {
      state.SkipWithError(problem.c_str());
      return;
    }
    bytes += static_cast<std::int64_t>(image.size());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_FetchVerifiedBuild)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
