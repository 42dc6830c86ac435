// Times the scanning search from C++ on a database file made by bench/search.py (Cosine, k 10),
// with and without a metadata filter,
// beside plain scoring of every record (no top-k) as loaded and over one contiguous copy of all
// vectors, on one thread and on the pool: how much the one-allocation-per-record layout costs.
// The one-thread loop is also run with software prefetch of the vector `ahead` records on (its
// first `floats` floats).
//
//   built by `make bench` (the CMake option KORVANE_BUILD_BENCH) as build/bench/bench/search_bench
//   search_bench <db file> [queries=30] [ahead=4] [floats=256]
//
// Medians over the queries. Nothing is asserted.
#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "core/korvane.h"
#include "index/metric.h"

namespace {

template <class F>
double median_ms(int reps, F f) {
  std::vector<double> t;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f(i);
    t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <db file> [queries]\n", argv[0]);
    return 2;
  }
  const int reps = argc > 2 ? std::atoi(argv[2]) : 30;
  const std::size_t ahead = argc > 3 ? std::atoi(argv[3]) : 4, cap = argc > 4 ? std::atoi(argv[4]) : 256;
  auto opened = korvane_core::Korvane::open(argv[1]);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().display().c_str());
    return 1;
  }
  const auto& store = **opened;
  const auto& records = store.get_all();
  const std::size_t d = records.empty() ? 0 : records.vector(*records.live_slots().begin()).size();
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> queries(reps, std::vector<float>(d));
  for (auto& q : queries) for (float& x : q) x = normal(rng);

  volatile float sink = 0;
  const double search = median_ms(reps, [&](int i) { sink = store.search(queries[i], 10)->front().score; });
  // Records carry {"group": position % 10}: the filter keeps one in ten and the rest cost no
  // scoring, only the metadata lookup.
  const double filtered = median_ms(reps, [&](int i) {
    auto builder = store.search_builder(queries[i], 10);
    builder.filter("group", korvane_core::Value::uinteger(3));
    auto found = std::move(builder).execute();
    sink = found->empty() ? 0.0f : found->front().score;
  });
  const double one_thread = median_ms(reps, [&](int i) {
    float best = -2;
    for (std::size_t slot : records.live_slots()) best = std::max(best, korvane_index::distance(korvane_index::Metric::Cosine, queries[i], records.vector(slot)));
    sink = best;
  });
  const double one_thread_prefetch = median_ms(reps, [&](int i) {
    float best = -2;
    const std::size_t n = records.size();
    for (std::size_t p = 0; p < n; ++p) {
      if (p + ahead < n) {
        const auto& v = records[p + ahead].vector;
        const std::size_t lines = std::min<std::size_t>(v.size(), cap);
        for (std::size_t j = 0; j < lines; j += 16) __builtin_prefetch(v.data() + j);
      }
      best = std::max(best, korvane_index::distance(korvane_index::Metric::Cosine, queries[i], records[p].vector));
    }
    sink = best;
  });
  std::vector<float> flat;
  flat.reserve(records.size() * d);
  for (const auto& r : records) flat.insert(flat.end(), r.vector.begin(), r.vector.end());
  const double flat_one = median_ms(reps, [&](int i) {
    float best = -2;
    for (std::size_t p = 0; p < records.size(); ++p)
      best = std::max(best, korvane_index::distance(korvane_index::Metric::Cosine, queries[i], {&flat[p * d], d}));
    sink = best;
  });
  // The same scoring on both threads, as loaded and contiguous: the layout's cost under the pool.
  auto pool_max = [&](const std::vector<float>& q, auto vector_at) {
    return tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, records.size(), 2048), -2.0f,
        [&](const tbb::blocked_range<std::size_t>& r, float best) {
          for (std::size_t p = r.begin(); p != r.end(); ++p) {
            best = std::max(best, korvane_index::distance(korvane_index::Metric::Cosine, q, vector_at(p)));
          }
          return best;
        },
        [](float x, float y) { return std::max(x, y); });
  };
  const double pool_loaded = median_ms(reps, [&](int i) {
    sink = pool_max(queries[i], [&](std::size_t p) { return korvane_index::Vec(records[p].vector); });
  });
  const double pool_flat = median_ms(reps, [&](int i) {
    sink = pool_max(queries[i], [&](std::size_t p) { return korvane_index::Vec(&flat[p * d], d); });
  });
  const double mb = records.size() * d * 4 / 1e6;
  std::printf("records %zu, d %zu, %.0f MB of vectors\n", records.size(), d, mb);
  std::printf("search (pool)            %8.3f ms  %6.1f GB/s\n", search, mb / search);
  std::printf("search, filter 1 in 10   %8.3f ms\n", filtered);
  std::printf("score all, one thread    %8.3f ms  %6.1f GB/s\n", one_thread, mb / one_thread);
  std::printf("score all, 1 thr, prefetch %7.3f ms  %6.1f GB/s\n", one_thread_prefetch, mb / one_thread_prefetch);
  std::printf("score all, pool          %8.3f ms  %6.1f GB/s\n", pool_loaded, mb / pool_loaded);
  std::printf("score all, pool, contig. %8.3f ms  %6.1f GB/s\n", pool_flat, mb / pool_flat);
  std::printf("score all, contiguous    %8.3f ms  %6.1f GB/s\n", flat_one, mb / flat_one);
  return sink == 12345 ? 1 : 0;
}
