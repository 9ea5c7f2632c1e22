// Cost of the firmware file check on large files of both families: the bytes-per-second
// figures of the 1 MB and 10 MB files should agree (linear cost), and the fitted complexity
// should read O(N). A plain byte sum over the same data is the baseline.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <span>
#include <string>
#include <utility>

#include "engine/image_format.h"
#include "sim/image/image_builder.h"

namespace {

constexpr std::int64_t kMegabyte = 1 << 20;
// Characters per line: 248 digits for a 121-byte block record, 136 for a line record, + CR LF.
constexpr std::int64_t kBlockLineChars = 2 * (2 + zorbent::sim::kMaxBlockRecordLen + 1) + 2;
constexpr std::int64_t kLineLineChars = 2 * zorbent::sim::kLineRecordBytes + 2;

const std::string& Image(bool block, std::int64_t bytes) {
  static std::map<std::pair<bool, std::int64_t>, std::string> cache;
  auto& text = cache[{block, bytes}];
  if (!text.empty()) return text;
  zorbent::sim::BuiltImage built;
  if (block) {
    zorbent::sim::BlockImageOptions o;
    o.recordLen = zorbent::sim::kMaxBlockRecordLen;
    o.records = static_cast<int>(bytes / kBlockLineChars);
    built = zorbent::sim::BuildBlockImage(o);
  } else {
    zorbent::sim::LineImageOptions o;
    o.records = static_cast<int>(bytes / kLineLineChars);
    built = zorbent::sim::BuildLineImage(o);
  }
  if (!built.ok()) {
    std::fprintf(stderr, "image builder refused: %s\n", built.error.c_str());
    std::abort();
  }
  text = std::move(built.text);
  return text;
}

void CheckImage(benchmark::State& state, bool block) {
  const std::string& text = Image(block, state.range(0) * kMegabyte);
  const std::span<const std::uint8_t> bytes = zorbent::Bytes(text);
  std::int32_t records = 0;
  for (auto _ : state) {
    const zorbent::ImageFacts facts = zorbent::CheckImage(bytes);
    const std::int32_t result = facts.result;
    records = facts.recordCount;
    if (result != 1) {
      state.SkipWithError("the builder's image was refused");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.SetComplexityN(static_cast<std::int64_t>(text.size()));
  state.counters["records"] = records;
}

// Baseline for the same run: one pass adding up every byte of the 10 MB block file, the least
// any check must do. The check's bytes per second divided by this is its relative cost.
void BM_SumBytesBaseline(benchmark::State& state) {
  const std::string& text = Image(true, 10 * kMegabyte);
  for (auto _ : state) {
    std::uint32_t total = 0;
    for (const char c : text) total += static_cast<unsigned char>(c);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_CheckBlockImage(benchmark::State& state) {
  CheckImage(state, true);
}
void BM_CheckLineImage(benchmark::State& state) {
  CheckImage(state, false);
}

}  // namespace

BENCHMARK(BM_SumBytesBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckBlockImage)
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_CheckLineImage)
    ->Arg(1)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
