// The table of metrics and the per-instruction-set kernels behind metric.h, internal to
// korvane_index, the scan in korvane_core and their tests.
//
// A metric is one Descriptor: its name, its direction, its reference, how a pair is measured
// with a kernel table, and, for the metrics built on a blocked sum, which sum the table's and the
// interleaved kernels take and how a score is finished from it. Scorer, the index and the scan
// read only the descriptor, so a new metric is a new entry (metric.cc) and its kernels.
//
// A kernel covers only the part of a metric that vector instructions speed up: the whole blocks
// of a blocked sum (combined in the fixed order) or Manhattan's absolute differences. Tails,
// square roots and the cosine's zero rule are shared code in metric.cc, so every table gives the
// same bits by construction once its block part does. Arrays are read only; `a` and `b` each
// hold at least 8 * blocks (or n) floats.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "index/metric.h"

namespace korvane_index::kernels {

// The blocked sums the kernels compute.
enum class Sum {
  kDot,      // sum of x * y
  kDotNorm,  // sum of x * y, and of y * y (the vector's own sum of squares)
  kSqDiff,   // sum of (x - y) * (x - y)
};

struct CosineSums {
  float d = 0.0f;   // sum of a * b
  float na = 0.0f;  // sum of a * a
  float nb = 0.0f;  // sum of b * b
};

struct Wide;  // scorer_kernels.h

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
  // The interleaved kernels of the same instruction set (scorer_kernels.h), if it has some.
  const Wide* wide;
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

// The cosine's zero rule, in the form every path takes it: d / (a_norm * b_norm), but 0 when
// either norm is 0. A norm is the root of a sum of squares, which is never below +0, so it is 0
// exactly when its sum is.
inline float scaled_by_norms(float d, float a_norm, float b_norm) {
  if (a_norm == 0.0f) return 0.0f;
  if (b_norm == 0.0f) return 0.0f;
  return d / (a_norm * b_norm);
}

// Combines eight accumulators in the fixed order.
inline float combine8(const float* acc) {
  return (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
}

struct Descriptor {
  Metric selector;
  const char* name;  // as settings give it
  bool distance;     // smaller is nearer
  float (*reference)(Vec a, Vec b);
  // The metric of any two vectors, with a table's kernels.
  float (*pair)(const Table& t, Vec a, Vec b);
  // Built on a blocked sum: for vectors of the query's length the table's kernel for `sum`, or
  // the interleaved ones, give the whole-block sum, and finish(q, v, s, v_squares, q_norm) adds
  // the tail (from q.size() / 8 * 8) and makes the score. v_squares is v's whole-block sum of
  // squares and q_norm the query's norm, for a normalized metric. Otherwise pair() alone serves.
  bool blocked;
  Sum sum;
  float (*finish)(Vec q, Vec v, float s, float v_squares, float q_norm);
  // Divides the dot product by both norms under the zero rule (scaled_by_norms), so that a
  // caller holding the norms needs only the dot product. Such a metric takes Sum::kDotNorm.
  bool normalized;
};

// The entry of a selector (REQUIRES: an enumerator; another value stops the process).
const Descriptor& describe(Metric m);
// Every entry, in selector order.
std::span<const Descriptor> descriptors();

}  // namespace korvane_index::kernels
