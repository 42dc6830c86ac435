// Timing helpers the C++ benchmark drivers share.
#pragma once

#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace korvane_bench {

inline double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

inline double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// As bench/floor.cc: one contiguous share per core, many accumulators.
inline float floor_sum(const std::vector<float>& x) {
  const std::size_t parts =
      static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  std::vector<float> sums(parts);
  tbb::parallel_for(
      std::size_t{0}, parts,
      [&](std::size_t p) {
        const float* a = x.data() + x.size() * p / parts;
        const std::size_t n = x.size() * (p + 1) / parts - x.size() * p / parts;
        float acc[32] = {};
        std::size_t i = 0;
        for (; i + 32 <= n; i += 32) {
          for (std::size_t j = 0; j < 32; ++j) acc[j] += a[i + j];
        }
        for (; i < n; ++i) acc[0] += a[i];
        for (float v : acc) sums[p] += v;
      },
      tbb::static_partitioner());
  float total = 0;
  for (float s : sums) total += s;
  return total;
}

}  // namespace korvane_bench
