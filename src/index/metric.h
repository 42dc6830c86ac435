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
#include <span>

#include "korvane/result.h"  // Metric

namespace korvane_index {

// Cosine and Dot are similarities; every other selector value is a distance.
inline bool is_distance(Metric m) { return static_cast<std::uint8_t>(m) > 1; }

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

// The implementation a selector names: 0 Cosine, 1 Dot, 2 Euclidean, anything else Manhattan.
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
