// The memory floor of an exhaustive search: one streaming read of every float of a matrix on all
// cores, summed so that nothing can be skipped, and nothing more. Loaded by bench/search.py
// (ctypes) and called with the same bytes that the store scans.
//
//   double korvane_floor_sum(const float* x, size_t n)
//
// Each core takes one contiguous share, as the scan's runs do. The pool is the one the store
// uses, so its wake-up cost is in both figures.
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

// 32 independent accumulators: the compiler keeps them in vector registers, and the loop is
// bound by loads, not by the latency of additions.
double sum_range(const float* x, std::size_t n) {
  float acc[32] = {};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (std::size_t j = 0; j < 32; ++j) acc[j] += x[i + j];
  }
  double total = 0.0;
  for (; i < n; ++i) total += x[i];
  for (float a : acc) total += a;
  return total;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) double korvane_floor_sum(const float* x, std::size_t n) {
  const std::size_t parts =
      static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  if (n < (1u << 16) || parts == 1) return sum_range(x, n);
  std::vector<double> sums(parts);
  tbb::parallel_for(
      std::size_t{0}, parts,
      [&](std::size_t p) { sums[p] = sum_range(x + n * p / parts, n * (p + 1) / parts - n * p / parts); },
      tbb::static_partitioner());
  double total = 0.0;
  for (double s : sums) total += s;
  return total;
}
