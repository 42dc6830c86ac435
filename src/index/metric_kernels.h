// The per-instruction-set kernels behind metric.h, internal to korvane_index, the scan in
// korvane_core and their tests.
//
// A kernel covers only the part of a metric that vector instructions speed up: the whole blocks
// of a blocked sum (combined in the fixed order) or Manhattan's absolute differences. Tails,
// square roots and the cosine's zero tests are shared code in metric.cc, so every table gives the
// same bits by construction once its block part does. Arrays are read only; `a` and `b` each
// hold at least 8 * blocks (or n) floats.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "index/metric.h"

namespace korvane_index::kernels {

struct CosineSums {
  float d = 0.0f;   // sum of a * b
  float na = 0.0f;  // sum of a * a
  float nb = 0.0f;  // sum of b * b
};

struct Table {
  const char* name;
  // Combined totals of `blocks` whole blocks; no tail.
  float (*dot)(const float* a, const float* b, std::size_t blocks);
  CosineSums (*cosine)(const float* a, const float* b, std::size_t blocks);
  // cosine() without na, which a scan computes once for its query: d and nb; na stays 0.
  CosineSums (*dot_norm)(const float* a, const float* b, std::size_t blocks);
  float (*sqdiff)(const float* a, const float* b, std::size_t blocks);
  // Sum of |a[i] - b[i]| for i < n, added in index order.
  float (*manhattan)(const float* a, const float* b, std::size_t n);
};

// The portable table, built from the reference's loops, exists everywhere; the others only on
// their processor (x86-64: SSE2 and AVX2; AArch64: NEON).
extern const Table kGeneric;
#if defined(__x86_64__)
extern const Table kSse2;
extern const Table kAvx2;
#elif defined(__aarch64__)
extern const Table kNeon;
#endif

// The widest table this processor runs; chosen on the first call.
const Table& active();
// Every table this processor runs, narrowest first.
std::span<const Table* const> supported();

// The metrics computed with the given table (metric.h's distance() uses active()).
float cosine(const Table& t, Vec a, Vec b);
float dot(const Table& t, Vec a, Vec b);
float euclidean(const Table& t, Vec a, Vec b);
float manhattan(const Table& t, Vec a, Vec b);

// The cosine from its three sums: 0 when na or nb is zero, else d / (sqrt(na) * sqrt(nb)).
inline float cosine_from(float d, float na, float nb) {
  if (na == 0.0f) return 0.0f;
  if (nb == 0.0f) return 0.0f;
  return d / (std::sqrt(na) * std::sqrt(nb));
}

// Combines eight accumulators in the fixed order.
inline float combine8(const float* acc) {
  return (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
}

}  // namespace korvane_index::kernels
