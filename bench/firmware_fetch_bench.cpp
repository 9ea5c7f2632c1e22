// Getting a 1 MB block-mode firmware image the way update --latest does: the signed manifest
// and its signature fetched and checked, then the file downloaded from the loopback https
// server (tests/support/http_server.py), its size and SHA-256 checked and kept in an empty
// cache. bench/run sets the time against the update's own.

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
#include "platform/digest.h"
#include "platform/signature.h"
#include "sim/image/image_builder.h"
#include "tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kImageBytes = 1 << 20;
// Characters per line of a 121-byte block record, CR LF included.
constexpr std::int64_t kBlockLineChars = 2 * (2 + zorbent::sim::kMaxBlockRecordLen + 1) + 2;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

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
    fs::create_directories(dir + "/www");
    const std::string openssl = "cd " + dir + " && openssl ";
    if (std::system((openssl + "ecparam -name prime256v1 -genkey -noout -out key.pem && " +
                     openssl + "ec -in key.pem -pubout -out key.pub 2>/dev/null")
                        .c_str()) != 0) {
      error = "openssl could not make a key";
      return;
    }
    zorbent::sim::BlockImageOptions options;
    options.recordLen = zorbent::sim::kMaxBlockRecordLen;
    options.records = static_cast<int>(kImageBytes / kBlockLineChars);
    const std::string image = zorbent::sim::BuildBlockImage(options).text;
    Write(dir + "/www/big.txt", image);
    zorbent::Manifest manifest;
    manifest.publisher = "bench";
    manifest.published = "2026-12-09T10:00:00Z";
    manifest.builds.push_back({"KTR558", zorbent::Family::kBlock, "2.4.01", "big.txt",
                               static_cast<std::int64_t>(image.size()),
                               zorbent::Sha256Hex(Bytes(image)), ""});
    const std::string json = zorbent::ManifestJson(manifest);
    std::ostringstream key;
    key << std::ifstream(dir + "/key.pem").rdbuf();
    std::vector<std::uint8_t> signature;
    if (!zorbent::SignP256(Bytes(json), key.str(), signature, error)) return;
    Write(dir + "/www/m.json", json);
    Write(dir + "/www/m.json.sig", std::string(signature.begin(), signature.end()));
    server = std::make_unique<zorbent::test::SpawnedProgram>(
        std::vector<std::string>{ZORBENT_PYTHON, ZORBENT_HTTP_SERVER, dir});
    int port = 0;
    std::sscanf(server->ReadLine(60000).c_str(), "https=%d", &port);
    if (port == 0) {
      error = "the https server did not start (needs python3 and openssl)";
      return;
    }
    source.manifestUrl = "https://127.0.0.1:" + std::to_string(port) + "/m.json";
    source.caFile = dir + "/ca.pem";
    if (!zorbent::AddTrustedKeyFile(source, dir + "/key.pub", error)) return;
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
    state.ResumeTiming();
    zorbent::VerifiedManifest verified;
    std::string problem;
    std::string path;
    if (!zorbent::FetchVerifiedManifest(release.source, verified, problem) ||
        !zorbent::FetchBuild(verified, verified.manifest.builds.front(), release.source, path,
                             problem)) {
      state.SkipWithError(problem.c_str());
      return;
    }
    bytes += verified.manifest.builds.front().size;
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_FetchVerifiedBuild)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
