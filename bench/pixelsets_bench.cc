// Micro-benchmarks of the parts of a run: loading the source, the draw into
// set files, and the gather of the draw alone. bench/run.py times the whole
// program.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include <variant>

#include "pixelsets/draw.h"
#include "pixelsets/load_source.h"

namespace {

// A temporary pixel list of `records` lines like "17 203 96 2".
std::FILE* MakeSource(std::int64_t records) {
  std::FILE* file = std::tmpfile();
  std::mt19937 rng(7);
  std::string block = "4\n";
  for (std::int64_t i = 0; i < records; ++i) {
    block += std::to_string(rng() & 255) + ' ' + std::to_string(rng() & 255) +
             ' ' + std::to_string(rng() & 255) + ' ' +
             std::to_string(rng() % 10) + '\n';
    if (block.size() > (1 << 20)) {
      std::fwrite(block.data(), 1, block.size(), file);
      block.clear();
    }
  }
  std::fwrite(block.data(), 1, block.size(), file);
  std::fflush(file);
  return file;
}

std::uint64_t SizeOf(std::FILE* file) {
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  std::rewind(file);
  return static_cast<std::uint64_t>(size);
}

void BM_Load(benchmark::State& state) {
  std::FILE* source = MakeSource(state.range(0));
  const std::uint64_t size = SizeOf(source);
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    std::rewind(source);
    pixelsets::Source loaded;
    std::string err;
    if (!pixelsets::LoadSource(source, size, {}, &loaded, &err))
      state.SkipWithError(err.c_str());
    benchmark::DoNotOptimize(loaded.records());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::fclose(source);
}
BENCHMARK(BM_Load)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond);

// Times the draw of 70 % for training and 30 % for test from a pool of
// state.range(0) records into /dev/null. With `gather_only`, the gather
// alone, as the second pass of the draw does it: the offsets are shuffled
// once, and a generator of zeros then makes the first pass draw them in that
// order while it touches only the two ends of the index, so nearly all the
// time measured is the gather's.
void TimeDraw(benchmark::State& state, bool gather_only,
              const pixelsets::DrawOptions& options = {}) {
  std::FILE* source = MakeSource(state.range(0));
  pixelsets::Source loaded;
  std::string err;
  pixelsets::LoadOptions in_memory;
  in_memory.path = pixelsets::SourcePath::kInMemory;
  pixelsets::LoadSource(source, SizeOf(source), in_memory, &loaded, &err);
  std::fclose(source);
  auto& index =
      std::get<0>(std::get<pixelsets::InMemorySource>(loaded.held).cadenas);
  if (gather_only) std::shuffle(index.begin(), index.end(), std::mt19937(3));
  std::FILE* sink = std::fopen("/dev/null", "w");
  const auto n = static_cast<std::int32_t>(loaded.records());
  const auto offsets = index;
  const pixelsets::Generator zeros = [](int* values, std::size_t count) {
    std::fill(values, values + count, 0);
  };
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    state.PauseTiming();
    index = offsets;
    const pixelsets::Generator rand =
        gather_only ? zeros : pixelsets::SeededRand(1);
    state.ResumeTiming();
    if (!pixelsets::Partition(&loaded, n / 10 * 7, n - n / 10 * 7, rand,
                              {{sink, "sink"}, {sink, "sink"}}, options, &err))
      state.SkipWithError(err.c_str());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::fclose(sink);
}

void BM_Partition(benchmark::State& state) { TimeDraw(state, false); }
BENCHMARK(BM_Partition)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond);

void BM_Gather(benchmark::State& state) { TimeDraw(state, true); }
BENCHMARK(BM_Gather)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
