#include "index/scorer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "index/metric_kernels.h"
#include "index/scorer_kernels.h"

namespace korvane_index {
namespace {

using kernels::Sum;
using kernels::Wide;

// The metric a selector names, folded to the four kinds (anything above Euclidean is Manhattan).
Metric kind_of(Metric m) {
  return static_cast<std::uint8_t>(m) > 2 ? Metric::Manhattan : m;
}

Sum sum_for(Metric kind) {
  switch (kind) {
    case Metric::Cosine: return Sum::kDotNorm;
    case Metric::Dot: return Sum::kDot;
    default: return Sum::kSqDiff;
  }
}

// The one-pair table's kernels, pair after pair: the same sums for tables that have no
// interleaved version.
struct PairWise {
  const kernels::Table* t;

  float one(Sum sum, const float* q, const float* v, std::size_t blocks, float* norm) const {
    switch (sum) {
      case Sum::kDot: return t->dot(q, v, blocks);
      case Sum::kDotNorm: {
        const kernels::CosineSums s = t->dot_norm(q, v, blocks);
        *norm = s.nb;
        return s.d;
      }
      case Sum::kSqDiff: return t->sqdiff(q, v, blocks);
    }
    return 0.0f;
  }
};

// The interleaved kernels that go with a table: its own where there are some.
const Wide* wide_for(const kernels::Table& t) {
#if defined(__x86_64__)
  if (std::strcmp(t.name, "avx2") == 0) return kernels::wide_avx2();
#endif
  (void)t;
  return nullptr;
}

// kernels::cosine_from(d, na, nb) from the roots of na and nb: each is 0 exactly when its sum
// is, and the quotient is the same.
inline float cosine_of(float d, float a_norm, float b_norm) {
  if (a_norm == 0.0f) return 0.0f;
  if (b_norm == 0.0f) return 0.0f;
  return d / (a_norm * b_norm);
}

}  // namespace

Scorer::Scorer(Metric metric, Vec query)
    : metric_(kind_of(metric)),
      query_(query),
      table_(&kernels::active()),
      wide_(wide_for(*table_)),
      blocks_(query.size() / 8) {
  if (metric_ == Metric::Cosine) {
    query_norm_ = norm(query);
  }
}

Scorer::Scorer(Metric metric, Vec query, float query_norm)
    : metric_(kind_of(metric)),
      query_(query),
      table_(&kernels::active()),
      wide_(wide_for(*table_)),
      blocks_(query.size() / 8) {
  if (metric_ == Metric::Cosine) {
    query_norm_ = query_norm;
  }
}

float Scorer::norm(Vec v) { return std::sqrt(self_dot(v)); }

float Scorer::self_dot(Vec v) {
  const kernels::Table& t = kernels::active();
  float total = t.dot(v.data(), v.data(), v.size() / 8);
  for (std::size_t j = v.size() / 8 * 8; j < v.size(); ++j) total += v[j] * v[j];
  return total;
}

float Scorer::general(Vec v) const {
  switch (metric_) {
    case Metric::Cosine: return kernels::cosine(*table_, query_, v);
    case Metric::Dot: return kernels::dot(*table_, query_, v);
    case Metric::Euclidean: return kernels::euclidean(*table_, query_, v);
    default: return kernels::manhattan(*table_, query_, v);
  }
}

namespace {

// The metric from the whole-block sum of a pair of the query's length, tail not yet added
// (v_norm: v's whole-block sum of squares, Cosine only; q_norm: Scorer::norm(q)).
inline float finish_pair(Metric metric, Vec q, Vec v, float sum, float v_norm, float q_norm) {
  const std::size_t start = q.size() / 8 * 8;
  switch (metric) {
    case Metric::Cosine:
      for (std::size_t j = start; j < q.size(); ++j) {
        sum += q[j] * v[j];
        v_norm += v[j] * v[j];
      }
      // kernels::cosine_from with the query's root taken once (q_norm is 0 exactly when its
      // sum of squares is).
      if (q_norm == 0.0f) return 0.0f;
      if (v_norm == 0.0f) return 0.0f;
      return sum / (q_norm * std::sqrt(v_norm));
    case Metric::Dot:
      for (std::size_t j = start; j < q.size(); ++j) sum += q[j] * v[j];
      return sum;
    default:
      for (std::size_t j = start; j < q.size(); ++j) {
        const float diff = q[j] - v[j];
        sum += diff * diff;
      }
      return std::sqrt(sum);
  }
}

}  // namespace

float Scorer::score(Vec v) const {
  if (v.size() != query_.size() || metric_ == Metric::Manhattan) return general(v);
  float norm = 0.0f;
  const float sum = PairWise{table_}.one(sum_for(metric_), query_.data(), v.data(), blocks_, &norm);
  return finish_pair(metric_, query_, v, sum, norm, query_norm_);
}

void Scorer::score_many(std::span<const Vec> vs, float* out) const { many(vs, nullptr, out); }

void Scorer::score_many(std::span<const Vec> vs, const float* norms, float* out) const {
  many(vs, norms, out);
}

void Scorer::many(std::span<const Vec> vs, const float* norms, float* out) const {
  const Wide* wide = wide_;
  if (wide == nullptr || metric_ == Metric::Manhattan) {
    for (std::size_t i = 0; i < vs.size(); ++i) {
      out[i] = norms ? score_with_norm(vs[i], norms[i]) : score(vs[i]);
    }
    return;
  }
  // With the vectors' norms at hand, Cosine needs only the dot products.
  const bool known_norms = norms != nullptr && metric_ == Metric::Cosine;
  const Sum sum = known_norms ? Sum::kDot : sum_for(metric_);
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
      out[i] = general(vs[i]);  // score_with_norm() too takes this path for other lengths
      ++i;
      continue;
    }
    float sums[Wide::kVectors], norms_out[Wide::kVectors];
    wide->vectors(sum, query_.data(), group, n, blocks_, sums, norms_out);
    if (known_norms) {
      for (std::size_t j = 0; j < n; ++j) {
        float d = sums[j];
        for (std::size_t t = blocks_ * 8; t < query_.size(); ++t) d += query_[t] * vs[i + j][t];
        out[i + j] = cosine_of(d, query_norm_, norms[i + j]);
      }
      i += n;
      continue;
    }
    for (std::size_t j = 0; j < n; ++j) {
      out[i + j] = finish_pair(metric_, query_, vs[i + j], sums[j],
                               sum == Sum::kDotNorm ? norms_out[j] : 0.0f, query_norm_);
    }
    i += n;
  }
}

float Scorer::score_with_norm(Vec v, float v_norm) const {
  if (metric_ != Metric::Cosine || v.size() != query_.size()) return score(v);
  float d = table_->dot(query_.data(), v.data(), blocks_);
  for (std::size_t j = blocks_ * 8; j < v.size(); ++j) d += query_[j] * v[j];
  return cosine_of(d, query_norm_, v_norm);
}

BatchScorer::BatchScorer(std::span<const Scorer> scorers) : scorers_(scorers) {
  for (const Scorer& s : scorers_) {
    if (s.query_.size() != scorers_[0].query_.size()) same_length_ = false;
  }
}

void BatchScorer::scores(Vec v, float* out) const {
  if (scorers_.empty()) return;
  const Scorer& first = scorers_[0];
  const Wide* wide = first.wide_;
  if (wide == nullptr || !same_length_ || v.size() != first.query_.size() ||
      first.metric_ == Metric::Manhattan) {
    for (std::size_t i = 0; i < scorers_.size(); ++i) out[i] = scorers_[i].score(v);
    return;
  }
  const Metric metric = first.metric_;
  const std::size_t blocks = first.blocks_;
  float norm = 0.0f, root = 0.0f;
  bool have_norm = false;
  for (std::size_t i = 0; i < scorers_.size(); i += Wide::kQueries) {
    const std::size_t n = std::min(Wide::kQueries, scorers_.size() - i);
    const float* group[Wide::kQueries];
    for (std::size_t j = 0; j < n; ++j) group[j] = scorers_[i + j].query_.data();
    float sums[Wide::kQueries];
    // v's own sum of squares is the same for every query: the first group takes it.
    Sum sum = sum_for(metric);
    if (sum == Sum::kDotNorm && have_norm) sum = Sum::kDot;
    wide->queries(sum, group, n, v.data(), blocks, sums, &norm);
    if (metric == Metric::Cosine) {
      if (!have_norm) {
        // v's whole sum of squares and its root, once for all queries (finish_pair's steps).
        for (std::size_t t = blocks * 8; t < v.size(); ++t) norm += v[t] * v[t];
        root = std::sqrt(norm);
      }
      for (std::size_t j = 0; j < n; ++j) {
        const Scorer& s = scorers_[i + j];
        float d = sums[j];
        for (std::size_t t = blocks * 8; t < v.size(); ++t) d += s.query_[t] * v[t];
        out[i + j] = cosine_of(d, s.query_norm_, root);
      }
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        const Scorer& s = scorers_[i + j];
        out[i + j] = finish_pair(metric, s.query_, v, sums[j], 0.0f, s.query_norm_);
      }
    }
    have_norm = true;
  }
}

}  // namespace korvane_index
