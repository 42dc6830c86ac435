#include "index/scorer.h"

#include <algorithm>
#include <cmath>

#include "index/metric_kernels.h"
#include "index/scorer_kernels.h"

namespace korvane_index {
namespace {

using kernels::Sum;
using kernels::Wide;

// A table's kernel for one blocked sum, pair after pair: the same sums for tables that have no
// interleaved version. Under kDotNorm *norm receives v's sum of squares.
float one_sum(const kernels::Table& t, Sum sum, const float* q, const float* v, std::size_t blocks,
              float* norm) {
  switch (sum) {
    case Sum::kDot: return t.dot(q, v, blocks);
    case Sum::kDotNorm: {
      const kernels::CosineSums s = t.dot_norm(q, v, blocks);
      *norm = s.nb;
      return s.d;
    }
    case Sum::kSqDiff: return t.sqdiff(q, v, blocks);
  }
  return 0.0f;
}

// The dot product of q and v from its whole-block sum d: the tail added.
inline float dot_tail(Vec q, Vec v, std::size_t blocks, float d) {
  for (std::size_t t = blocks * 8; t < q.size(); ++t) d += q[t] * v[t];
  return d;
}

}  // namespace

Scorer::Scorer(Metric metric, Vec query)
    : Scorer(metric, query, kernels::describe(metric).normalized ? norm(query) : 0.0f) {}

Scorer::Scorer(Metric metric, Vec query, float query_norm)
    : info_(&kernels::describe(metric)),
      query_(query),
      table_(&kernels::active()),
      blocks_(query.size() / 8) {
  if (info_->normalized) query_norm_ = query_norm;
}

Metric Scorer::metric() const { return info_->selector; }

float Scorer::norm(Vec v) { return std::sqrt(self_dot(v)); }

float Scorer::self_dot(Vec v) {
  const kernels::Table& t = kernels::active();
  float total = t.dot(v.data(), v.data(), v.size() / 8);
  for (std::size_t j = v.size() / 8 * 8; j < v.size(); ++j) total += v[j] * v[j];
  return total;
}

float Scorer::score(Vec v) const {
  if (v.size() != query_.size() || !info_->blocked) return info_->pair(*table_, query_, v);
  float norm = 0.0f;
  const float sum = one_sum(*table_, info_->sum, query_.data(), v.data(), blocks_, &norm);
  return info_->finish(query_, v, sum, norm, query_norm_);
}

void Scorer::score_many(std::span<const Vec> vs, float* out) const { many(vs, nullptr, out); }

void Scorer::score_many(std::span<const Vec> vs, const float* norms, float* out) const {
  many(vs, norms, out);
}

void Scorer::many(std::span<const Vec> vs, const float* norms, float* out) const {
  const Wide* wide = table_->wide;
  if (wide == nullptr || !info_->blocked) {
    for (std::size_t i = 0; i < vs.size(); ++i) {
      out[i] = norms ? score_with_norm(vs[i], norms[i]) : score(vs[i]);
    }
    return;
  }
  // With the vectors' norms at hand, a normalized metric needs only the dot products.
  const bool known_norms = norms != nullptr && info_->normalized;
  const Sum sum = known_norms ? Sum::kDot : info_->sum;
  std::size_t i = 0;
  while (i < vs.size()) {
    // The longest run (up to a kernel's worth) of vectors as long as the query.
    const float* group[Wide::kVectors];
    std::size_t n = 0;
    while (n < Wide::kVectors && i + n < vs.size() && vs[i + n].size() == query_.size()) {
      group[n] = vs[i + n].data();
      ++n;
    }
    if (n == 0) {
      out[i] = info_->pair(*table_, query_, vs[i]);  // score_with_norm() too, for other lengths
      ++i;
      continue;
    }
    float sums[Wide::kVectors], norms_out[Wide::kVectors];
    wide->vectors(sum, query_.data(), group, n, blocks_, sums, norms_out);
    for (std::size_t j = 0; j < n; ++j) {
      out[i + j] = known_norms ? kernels::scaled_by_norms(
                                     dot_tail(query_, vs[i + j], blocks_, sums[j]), query_norm_,
                                     norms[i + j])
                               : info_->finish(query_, vs[i + j], sums[j],
                                               sum == Sum::kDotNorm ? norms_out[j] : 0.0f,
                                               query_norm_);
    }
    i += n;
  }
}

float Scorer::score_with_norm(Vec v, float v_norm) const {
  if (!info_->normalized || v.size() != query_.size()) return score(v);
  const float d = dot_tail(query_, v, blocks_, table_->dot(query_.data(), v.data(), blocks_));
  return kernels::scaled_by_norms(d, query_norm_, v_norm);
}

BatchScorer::BatchScorer(std::span<const Scorer> scorers) : scorers_(scorers) {
  for (const Scorer& s : scorers_) {
    if (s.query_.size() != scorers_[0].query_.size()) same_length_ = false;
  }
}

void BatchScorer::scores(Vec v, float* out) const {
  if (scorers_.empty()) return;
  const Scorer& first = scorers_[0];
  const kernels::Descriptor& info = *first.info_;
  const Wide* wide = first.table_->wide;
  if (wide == nullptr || !same_length_ || v.size() != first.query_.size() || !info.blocked) {
    for (std::size_t i = 0; i < scorers_.size(); ++i) out[i] = scorers_[i].score(v);
    return;
  }
  const std::size_t blocks = first.blocks_;
  float norm = 0.0f, root = 0.0f;
  bool have_norm = false;
  for (std::size_t i = 0; i < scorers_.size(); i += Wide::kQueries) {
    const std::size_t n = std::min(Wide::kQueries, scorers_.size() - i);
    const float* group[Wide::kQueries];
    for (std::size_t j = 0; j < n; ++j) group[j] = scorers_[i + j].query_.data();
    float sums[Wide::kQueries];
    // v's own sum of squares is the same for every query: the first group takes it.
    Sum sum = info.sum;
    if (sum == Sum::kDotNorm && have_norm) sum = Sum::kDot;
    wide->queries(sum, group, n, v.data(), blocks, sums, &norm);
    if (info.normalized) {
      if (!have_norm) {
        // v's whole sum of squares and its root, once for all queries (finish's steps).
        for (std::size_t t = blocks * 8; t < v.size(); ++t) norm += v[t] * v[t];
        root = std::sqrt(norm);
      }
      for (std::size_t j = 0; j < n; ++j) {
        const Scorer& s = scorers_[i + j];
        out[i + j] =
            kernels::scaled_by_norms(dot_tail(s.query_, v, blocks, sums[j]), s.query_norm_, root);
      }
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        const Scorer& s = scorers_[i + j];
        out[i + j] = info.finish(s.query_, v, sums[j], 0.0f, s.query_norm_);
      }
    }
    have_norm = true;
  }
}

}  // namespace korvane_index
