// What every path of a search shares: the order of its answers, the top list that keeps the
// best of them, how a record becomes a SearchResult, and how the graph index reads vectors.
//
// The order: the metric's direction on scores, then store order (slot number); a NaN score
// after every number, in store order among themselves.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "korvane/korvane.h"

namespace korvane_core::search_path {

struct Candidate {
  float score;
  std::size_t position;  // the slot
};

// Best first under the order above.
class BestFirst {
 public:
  explicit BestFirst(Metric metric) : smaller_is_better_(korvane_index::is_distance(metric)) {}

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

// How many results a scan of the table gives for k: never more than there are records.
inline std::size_t scan_limit(const RecordTable& table, std::uint64_t k) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(k, table.size()));
}

// The answer for a record: copies of its id and metadata, with its score.
inline SearchResult result_at(const RecordTable& table, std::size_t slot, float score) {
  return SearchResult{std::string(table.id(slot)), score, table.metadata(slot)};
}

inline std::pair<std::size_t, float> slot_and_score(const Candidate& c) {
  return {c.position, c.score};
}
// As the graph index reports them: (node, metric value), a node being a slot.
inline std::pair<std::size_t, float> slot_and_score(const std::pair<std::size_t, float>& p) {
  return p;
}

// The answers for what a scan or a walk found, in its order.
template <class Found>
std::vector<SearchResult> results_of(const RecordTable& table, const Found& found) {
  std::vector<SearchResult> results;
  results.reserve(found.size());
  for (const auto& f : found) {
    const auto [slot, score] = slot_and_score(f);
    results.push_back(result_at(table, slot, score));
  }
  return results;
}

// The graph index's view of the records: node n is slot n. The table must outlive the callable.
inline auto vector_access(const RecordTable& table) {
  return [&table](std::size_t node) { return table.vector(node); };
}

}  // namespace korvane_core::search_path
