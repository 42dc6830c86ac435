// The scanning path of a search.
//
// The answer is defined as: keep the records that pass the filters, score each, apply the decay,
// sort stably best first and cut to k. Instead of scoring into full results and sorting them
// all, each contiguous run of records keeps only its best min(k, run length) (score, position)
// pairs; the runs' winners are merged, and ids and metadata are copied for the final k alone.
// Because ties are broken by position, the best k under that order are exactly the first k of
// the stable sort, whatever the runs and however they are joined.
//
// NaN scores are incomparable, so a stable sort would leave them wherever its algorithm happens
// to; here they have one fixed place instead: after every number, in record order among
// themselves.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/korvane.h"
#include "index/metric.h"
#include "index/metric_kernels.h"

namespace korvane_core {
namespace {

// Below this much work (floats read, plus a per-record allowance) the pool's wake-up and join
// cost more than they save, so the calling thread scans alone.
constexpr std::size_t kSerialWork = 1 << 16;
// Work per run at least; more runs than the pool has threads balance uneven filters and decay.
constexpr std::size_t kRunWork = 1 << 16;
constexpr std::size_t kRunsPerThread = 16;
constexpr std::size_t kPerRecordWork = 32;

struct Candidate {
  float score;
  std::size_t position;
};

// Best first: the metric's direction on scores, then record position; NaN after all numbers.
class BestFirst {
 public:
  explicit BestFirst(bool smaller_is_better) : smaller_is_better_(smaller_is_better) {}

  bool operator()(const Candidate& x, const Candidate& y) const {
    const bool x_nan = std::isnan(x.score);
    const bool y_nan = std::isnan(y.score);
    if (x_nan || y_nan) return x_nan == y_nan ? x.position < y.position : y_nan;
    if (x.score != y.score) return smaller_is_better_ ? x.score < y.score : x.score > y.score;
    return x.position < y.position;
  }

 private:
  bool smaller_is_better_;
};

// The best `limit` candidates of those offered. Stays a plain list until it is full, then
// becomes a heap with the worst kept candidate on top, so a candidate that cannot make it costs
// one comparison.
// REQUIRES: limit > 0, and limit no larger than the number of candidates that can be offered
// (it is reserved up front).
class TopK {
 public:
  TopK(std::size_t limit, BestFirst order) : limit_(limit), order_(order) { kept_.reserve(limit); }

  void offer(Candidate c) {
    if (kept_.size() < limit_) {
      kept_.push_back(c);
      if (kept_.size() == limit_) std::make_heap(kept_.begin(), kept_.end(), order_);
    } else if (order_(c, kept_.front())) {
      std::pop_heap(kept_.begin(), kept_.end(), order_);
      kept_.back() = c;
      std::push_heap(kept_.begin(), kept_.end(), order_);
    }
  }

  std::vector<Candidate> take_sorted() && {
    std::sort(kept_.begin(), kept_.end(), order_);
    return std::move(kept_);
  }

 private:
  std::size_t limit_;
  BestFirst order_;
  std::vector<Candidate> kept_;
};

// Scores records against the query with the store's metric, bit for bit as distance() does.
// Records as long as the query (the usual case) share its block layout, so for them the kernel
// table and the tail are settled once per search, and Cosine takes the query's own sum of
// squares, and its root, from here instead of summing it again for every record.
class Scorer {
 public:
  Scorer(Metric metric, korvane_index::Vec query)
      : metric_(metric),
        query_(query),
        table_(korvane_index::kernels::active()),
        blocks_(query.size() / 8) {
    if (metric_ == Metric::Cosine) {
      query_norm_ = table_.cosine(query_.data(), query_.data(), blocks_).na;
      for (std::size_t j = 8 * blocks_; j < query_.size(); ++j) query_norm_ += query_[j] * query_[j];
      query_root_ = std::sqrt(query_norm_);
    }
  }

  float operator()(korvane_index::Vec v) const {
    if (v.size() == query_.size()) {
      if (metric_ == Metric::Cosine) return cosine(v);
      if (metric_ == Metric::Dot) return dot(v);
    }
    return korvane_index::distance(metric_, query_, v);
  }

 private:
  float cosine(korvane_index::Vec v) const {
    korvane_index::kernels::CosineSums s = table_.dot_norm(query_.data(), v.data(), blocks_);
    for (std::size_t j = 8 * blocks_; j < v.size(); ++j) {
      s.d += query_[j] * v[j];
      s.nb += v[j] * v[j];
    }
    if (query_norm_ == 0.0f) return 0.0f;
    if (s.nb == 0.0f) return 0.0f;
    return s.d / (query_root_ * std::sqrt(s.nb));
  }

  float dot(korvane_index::Vec v) const {
    float total = table_.dot(query_.data(), v.data(), blocks_);
    for (std::size_t j = 8 * blocks_; j < v.size(); ++j) total += query_[j] * v[j];
    return total;
  }

  Metric metric_;
  korvane_index::Vec query_;
  const korvane_index::kernels::Table& table_;
  std::size_t blocks_;
  float query_norm_ = 0.0f;
  float query_root_ = 0.0f;
};

}  // namespace

std::vector<SearchResult> SearchBuilder::scan() const {
  const RecordTable& table = store_->storage_->table();
  // Runs cover slots, dead ones included, which are skipped; a slot's number is its place in
  // store order.
  const std::size_t n = table.slot_count();
  if (table.empty() || k_ == 0) return {};
  // Never more results than records, whatever k says; nothing below is sized by k itself.
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(k_, table.size()));

  const Metric metric = store_->metric_;
  const BestFirst order(korvane_index::is_distance(metric));
  const korvane_index::Vec query(query_);
  const Scorer score(metric, query);

  auto passes = [this, &table](std::size_t slot) {
    if (filters_.empty()) return true;
    const std::optional<Value>& metadata = table.metadata(slot);
    if (!metadata) return false;
    for (const auto& [key, value] : filters_) {
      const Value* held = metadata->find(key);  // null also when metadata is not an object
      if (held == nullptr || !(*held == value)) return false;
    }
    return true;
  };
  auto decayed = [this, &table](float score, std::size_t slot) {
    if (!decay_ || !now_) return score;
    const std::optional<std::uint64_t> timestamp = table.timestamp(slot);
    if (!timestamp || *now_ <= *timestamp) return score;
    const float days = static_cast<float>(*now_ - *timestamp) / 86400.0f;
    return score * ::powf(*decay_, days);
  };
  // Scans records [begin, end) into a top list of its own.
  auto scan_run = [&](std::size_t begin, std::size_t end) {
    TopK top(std::min(k, end - begin), order);
    for (std::size_t i = begin; i < end; ++i) {
      if (!table.live(i) || !passes(i)) continue;
      top.offer({decayed(score(table.vector(i)), i), i});
    }
    return std::move(top).take_sorted();
  };

  const std::size_t work = n * (query.size() + kPerRecordWork);
  std::size_t runs = 1;
  if (work >= kSerialWork) {
    const std::size_t threads =
        static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
    runs = std::clamp<std::size_t>(work / kRunWork, 1, std::min(n, threads * kRunsPerThread));
  }
  std::vector<Candidate> winners;
  if (runs == 1) {
    winners = scan_run(0, n);
  } else {
    std::vector<std::vector<Candidate>> per_run(runs);
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, runs, 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
          for (std::size_t run = range.begin(); run != range.end(); ++run) {
            per_run[run] = scan_run(n * run / runs, n * (run + 1) / runs);
          }
        },
        tbb::simple_partitioner());
    std::size_t offered = 0;
    for (const auto& part : per_run) offered += part.size();
    if (offered > 0) {
      TopK top(std::min(k, offered), order);
      for (const auto& part : per_run) {
        for (const Candidate& c : part) top.offer(c);
      }
      winners = std::move(top).take_sorted();
    }
  }

  std::vector<SearchResult> results;
  results.reserve(winners.size());
  for (const Candidate& c : winners) {
    results.push_back(
        SearchResult{std::string(table.id(c.position)), c.score, table.metadata(c.position)});
  }
  return results;
}

}  // namespace korvane_core
