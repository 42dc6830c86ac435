// Times the scanning search from C++ on a database file made by bench/search.py (Cosine, k 10):
// one query per call, with a metadata filter, a batch of queries against as many single calls,
// and the memory floor (every vector's floats read once on all cores, nothing more).
//
//   built by `make bench` (the CMake option KORVANE_BUILD_BENCH) as build/bench/bench/search_bench
//   search_bench <db file> [queries=30] [batch=32]
//
// Medians, the methods interleaved round by round. Nothing is asserted.
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "timing.h"
#include "core/store_internals.h"
#include "korvane/korvane.h"

namespace {

using korvane_core::StoreInternals;

using korvane_bench::floor_sum;
using korvane_bench::median;
using korvane_bench::ms_since;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <db file> [queries] [batch]\n", argv[0]);
    return 2;
  }
  const int reps = argc > 2 ? std::atoi(argv[2]) : 30;
  const std::size_t batch_size = argc > 3 ? std::atoi(argv[3]) : 32;
  auto opened = korvane_core::Korvane::open(argv[1]);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().display().c_str());
    return 1;
  }
  const auto& store = **opened;
  const auto& records = StoreInternals::table(store);
  if (records.empty()) return 1;
  const std::size_t d = records.vector(*records.live_slots().begin()).size();
  std::vector<float> flat;
  flat.reserve(records.size() * d);
  for (std::size_t slot : records.live_slots()) {
    const auto v = records.vector(slot);
    flat.insert(flat.end(), v.begin(), v.end());
  }

  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> queries(std::max<std::size_t>(reps, batch_size),
                                          std::vector<float>(d));
  for (auto& q : queries) for (float& x : q) x = normal(rng);
  const std::vector<std::span<const float>> batch(queries.begin(), queries.begin() + batch_size);

  volatile float sink = 0;
  std::vector<double> search, filtered, floor, batched, singles;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    sink = store.search(queries[i], 10)->front().score;
    search.push_back(ms_since(t0));

    // Records carry {"group": position % 10}: the filter keeps one in ten and the rest cost no
    // scoring, only the metadata lookup.
    t0 = std::chrono::steady_clock::now();
    auto builder = store.search_builder(queries[i], 10);
    builder.filter("group", korvane_core::Value::uinteger(3));
    auto found = std::move(builder).execute();
    sink = found->empty() ? 0.0f : found->front().score;
    filtered.push_back(ms_since(t0));

    t0 = std::chrono::steady_clock::now();
    sink = floor_sum(flat);
    floor.push_back(ms_since(t0));

    if (i < std::max(3, reps / 6)) {
      t0 = std::chrono::steady_clock::now();
      sink = store.search_batch(batch, 10)->back().front().score;
      batched.push_back(ms_since(t0));
      t0 = std::chrono::steady_clock::now();
      for (auto q : batch) sink = store.search(q, 10)->front().score;
      singles.push_back(ms_since(t0));
    }
  }
  const double mb = static_cast<double>(flat.size()) * 4 / 1e6;
  const double s = median(search), f = median(floor), b = median(batched), o = median(singles);
  std::printf("records %zu, d %zu, %.0f MB of vectors\n", records.size(), d, mb);
  std::printf("search                   %8.3f ms  %6.1f GB/s  %.2fx floor\n", s, mb / s, s / f);
  std::printf("search, filter 1 in 10   %8.3f ms\n", median(filtered));
  std::printf("floor (all cores)        %8.3f ms  %6.1f GB/s\n", f, mb / f);
  std::printf("search_batch of %-3zu      %8.3f ms  (%zu searches %.3f ms; ratio %.3f)\n",
              batch_size, b, batch_size, o, b / o);
  return sink == 12345 ? 1 : 0;
}
