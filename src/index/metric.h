// The four similarity metrics over vectors of 32-bit floats.
//
// Cosine and Dot are similarities (greater is nearer), Euclidean and Manhattan distances
// (smaller is nearer); the operation is called distance() in all four. The order of the
// floating-point operations is part of each metric's definition, so scores and result orders
// are reproducible bit for bit:
//
//   blocked sum of a term t(x, y), used by Dot, Cosine and Euclidean:
//     c = min(len(a) / 8, len(b) / 8) whole blocks; eight accumulators acc0..acc7 from +0.0;
//     acc[j] += t(a[8i + j], b[8i + j]) for every block i, lane j;
//     total = (((acc0 + acc1) + acc2) + acc3) + (((acc4 + acc5) + acc6) + acc7);
//     then r = min(len(a) % 8, len(b) % 8) tail pairs, each vector's tail starting after its own
//     last whole block, added to total one at a time.
//   Dot:       blocked sum of x * y.
//   Cosine:    d, na, nb = blocked sums of x * y, x * x, y * y; 0 if na == 0 or nb == 0,
//              else d / (sqrtf(na) * sqrtf(nb)).
//   Euclidean: sqrtf(blocked sum of (x - y) * (x - y)).
//   Manhattan: |a[i] - b[i]| over i < min(len(a), len(b)), summed strictly in index order.
//
// Every product and sum is rounded to float on its own (the project compiles with
// -ffp-contract=off; no fused multiply-add). Metrics allocate nothing, never fail, are symmetric
// and are safe to call from any number of threads. The fast versions use the widest vector
// instructions the processor has, chosen once at first use, and equal the scalar versions in
// namespace `scalar` bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "korvane/result.h"  // Metric

namespace korvane_index {

// Every enumerator of Metric names one entry of the metrics' table (metric.cc); a byte that
// names none is refused where it comes in, by metric_from_code(), and never reaches the code
// below.

// The metric a byte names, or nothing when no metric has that code.
std::optional<Metric> metric_from_code(std::uint8_t code);
// The metric settings call `name` ("cosine", "dot", "euclidean", "manhattan"), or nothing.
std::optional<Metric> metric_from_name(std::string_view name);

// For the functions below and everything that takes a Metric, REQUIRES: m is an enumerator (a
// selector made from any other byte stops the process).
// The metric's name as settings give it.
const char* name_of(Metric m);
// Euclidean and Manhattan are distances (smaller is nearer), Cosine and Dot similarities.
bool is_distance(Metric m);

using Vec = std::span<const float>;

class SimilarityMetric {
 public:
  virtual ~SimilarityMetric() = default;
  virtual float distance(Vec a, Vec b) const = 0;
};

class CosineMetric final : public SimilarityMetric {
 public:
  float distance(Vec a, Vec b) const override;
};
class DotMetric final : public SimilarityMetric {
 public:
  float distance(Vec a, Vec b) const override;
};
class EuclideanMetric final : public SimilarityMetric {
 public:
  float distance(Vec a, Vec b) const override;
};
class ManhattanMetric final : public SimilarityMetric {
 public:
  float distance(Vec a, Vec b) const override;
};

// The implementation a selector names.
const SimilarityMetric& metric_for(Metric m);

// distance() of the selected metric, without a virtual call; for hot loops.
float distance(Metric m, Vec a, Vec b);

// The plain reference implementations: the definition the fast paths must equal bit for bit.
namespace scalar {
float cosine(Vec a, Vec b);
float dot(Vec a, Vec b);
float euclidean(Vec a, Vec b);
float manhattan(Vec a, Vec b);
}  // namespace scalar

}  // namespace korvane_index
