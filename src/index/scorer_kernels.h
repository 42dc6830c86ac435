// Kernels that measure several vectors against one query, or several queries against one
// vector, in a single pass; private to scorer.cc and its tests.
//
// Each pair's sums are exactly those of the one-pair kernels in metric_kernels.h: eight
// accumulators per sum, block after block, combined in the fixed order. Only the pairs are
// interleaved, so the independent chains of additions overlap instead of waiting on each other.
// Like the one-pair kernels they cover whole blocks only; the caller adds the tails.
#pragma once

#include <cstddef>

#include "index/metric_kernels.h"

namespace korvane_index::kernels {

struct Wide {
  // Most vectors, and most queries, one call takes.
  static constexpr std::size_t kVectors = 4;
  static constexpr std::size_t kQueries = 8;
  // For i < n <= kVectors: sums[i] over q and v[i]; under kDotNorm also norms[i], v[i]'s sum of
  // squares.
  void (*vectors)(Sum sum, const float* q, const float* const* v, std::size_t n,
                  std::size_t blocks, float* sums, float* norms);
  // For i < n <= kQueries: sums[i] over q[i] and v; under kDotNorm also *norm, v's sum of
  // squares (once).
  void (*queries)(Sum sum, const float* const* q, std::size_t n, const float* v,
                  std::size_t blocks, float* sums, float* norm);
};

#if defined(__x86_64__)
// The AVX2 versions (scorer_avx2.cc, built on x86-64 only), which kAvx2 carries.
extern const Wide kWideAvx2;
#endif

}  // namespace korvane_index::kernels
