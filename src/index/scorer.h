// Scorer: one query prepared for measuring many vectors with one Metric.
//
// Every value it returns equals distance(metric, query, v) bit for bit. What it saves is the
// work that does not depend on v: the kernel table is chosen once, the cosine's sum of squares
// of the query (and its root) is taken once, and vectors as long as the query (the usual case)
// skip the general shape arithmetic. Several vectors, or several queries against one vector,
// can be measured together: their sums then run side by side instead of one dependent chain of
// additions at a time. From memory that pays when each vector comes from a stream of its own far
// from the others (neighbouring vectors side by side were measured slower than one at a time).
// Each sum is still added in exactly its own defined order.
//
// The query is borrowed: it must outlive the Scorer. A Scorer is immutable once made and may be
// used from any number of threads.
#pragma once

#include <cstddef>
#include <span>

#include "index/metric.h"

namespace korvane_index {

namespace kernels {
struct Descriptor;
struct Table;
}

class Scorer {
 public:
  Scorer(Metric metric, Vec query);
  // The same, for a query whose norm() the caller already holds.
  Scorer(Metric metric, Vec query, float query_norm);

  Metric metric() const;
  Vec query() const { return query_; }

  // distance(metric, query, v).
  float score(Vec v) const;

  // score(vs[i]) into out[i] for every i.
  void score_many(std::span<const Vec> vs, float* out) const;
  // score_with_norm(vs[i], norms[i]) into out[i] for every i.
  void score_many(std::span<const Vec> vs, const float* norms, float* out) const;

  // score(v) for a v whose norm() the caller already holds: under Cosine, for a v as long as
  // the query, only the dot product of the pair is left to compute.
  float score_with_norm(Vec v, float v_norm) const;

  // The blocked sum of v * v, in the order a cosine's sum of squares takes it for a partner of
  // v's length.
  static float self_dot(Vec v);
  // Its square root: the length the cosine divides by. (A sum of squares is never below +0, so
  // it is 0 exactly when the sum is, and the cosine's zero tests can be made on it.)
  static float norm(Vec v);

 private:
  void many(std::span<const Vec> vs, const float* norms, float* out) const;

  const kernels::Descriptor* info_;
  Vec query_;
  const kernels::Table* table_;  // with its interleaved kernels, if any
  std::size_t blocks_;
  float query_norm_ = 0.0f;  // a normalized metric's (Cosine's): norm(query)

  friend class BatchScorer;
};

// Several prepared queries of one metric, measured against each vector in one pass over it: a
// vector is read once for all of them. scores(v, out) writes scorers[i].score(v) to out[i].
// The scorers are borrowed and must outlive this object; all use the same metric.
class BatchScorer {
 public:
  explicit BatchScorer(std::span<const Scorer> scorers);

  std::size_t size() const { return scorers_.size(); }
  void scores(Vec v, float* out) const;

 private:
  std::span<const Scorer> scorers_;
  bool same_length_ = true;  // every query has the first one's length
};

}  // namespace korvane_index
