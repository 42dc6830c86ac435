// The scanning path of a search.
//
// The answer is defined as: keep the records that pass the filters, score each, apply the decay,
// sort stably best first and cut to k. Instead of scoring into full results and sorting them
// all, each contiguous run of records keeps only its best min(k, run length) (score, position)
// pairs; the runs' winners are merged, and ids and metadata are copied for the final k alone.
// Because ties are broken by position, the best k under that order are exactly the first k of
// the stable sort, whatever the runs and however they are joined.
//
// search_batch runs the same scan for a block of queries at once: each record's vector is
// read once and measured against every query of the block (BatchScorer), and each query keeps
// its own top lists per run, so its answer is exactly that of its own search.
//
// NaN scores are incomparable, so a stable sort would leave them wherever its algorithm happens
// to; here they have one fixed place instead: after every number, in record order among
// themselves.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/store_internals.h"
#include "index/metric.h"
#include "index/compact.h"
#include "index/scorer.h"
#include "core/prefilter.h"

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

// How a scan splits n records of dimension about d into runs: one (the calling thread alone)
// when the work is too small to share.
std::size_t run_count(std::size_t n, std::size_t d) {
  const std::size_t work = n * (d + kPerRecordWork);
  if (work < kSerialWork) return 1;
  const std::size_t threads =
      static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  return std::clamp<std::size_t>(work / kRunWork, 1, std::min(n, threads * kRunsPerThread));
}

// Runs scan_run(begin, end) over `runs` contiguous runs of [0, n) on the pool (or inline for one
// run) and hands each run's winners, a sorted list, to merge in run order.
template <class ScanRun, class Merge>
void run_scan(std::size_t n, std::size_t runs, const ScanRun& scan_run, const Merge& merge) {
  using Part = decltype(scan_run(std::size_t{0}, std::size_t{0}));
  if (runs == 1) {
    merge(scan_run(0, n));
    return;
  }
  std::vector<Part> per_run(runs);
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, runs, 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t run = range.begin(); run != range.end(); ++run) {
          per_run[run] = scan_run(n * run / runs, n * (run + 1) / runs);
        }
      },
      tbb::simple_partitioner());
  for (Part& part : per_run) merge(std::move(part));
}

// The final k of the runs' winners, best first.
std::vector<Candidate> merge_runs(std::vector<std::vector<Candidate>>& parts, std::size_t k,
                                  BestFirst order) {
  if (parts.size() == 1) return std::move(parts[0]);
  std::size_t offered = 0;
  for (const auto& part : parts) offered += part.size();
  if (offered == 0) return {};
  TopK top(std::min(k, offered), order);
  for (const auto& part : parts) {
    for (const Candidate& c : part) top.offer(c);
  }
  return std::move(top).take_sorted();
}

// Stretches of a run that the scan walks side by side.
constexpr std::size_t kLanes = 4;
// Queries a batch scan carries through one pass over the vectors: their floats should stay in
// the core's second-level cache beside the vectors passing through.
constexpr std::size_t kBatchQueryBytes = 256 * 1024;
constexpr std::size_t kBatchMaxQueries = 64;
// 8-bit planes per query in a batch's first pass (compact.h).
constexpr int kBatchPlanes = 1;

}  // namespace

std::vector<SearchResult> SearchBuilder::scan() const {
  const RecordTable& table = store_->storage_->table();
  // Runs cover slots, dead ones included, which are skipped; a slot's number is its place in
  // store order. With a list of slots, runs cover the list instead.
  const std::size_t n = slots_ ? slots_->size() : table.slot_count();
  if (table.empty() || k_ == 0 || n == 0) return {};
  auto slot_at = [this](std::size_t i) { return slots_ ? (*slots_)[i] : i; };
  // Never more results than records, whatever k says; nothing below is sized by k itself.
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(k_, table.size()));

  const Metric metric = store_->metric_;
  const BestFirst order(korvane_index::is_distance(metric));
  const korvane_index::Scorer scorer(metric, query_);

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
  // Scans records [begin, end) into a top list. The run is cut into kLanes
  // stretches walked side by side, one vector of each at a time, measured together: their sums
  // then overlap, and each stretch is still read front to back, a stream of its own far enough
  // from the others for the processor to fetch each ahead. (Neighbouring vectors side by side
  // were measured slower than one at a time: streams that close defeat the fetching ahead.)
  // The top list's answer does not depend on the order records are offered in.
  auto scan_plain = [&](std::size_t begin, std::size_t end, TopK& top) {
    std::size_t cursor[kLanes], stop[kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      cursor[lane] = begin + (end - begin) * lane / kLanes;
      stop[lane] = begin + (end - begin) * (lane + 1) / kLanes;
    }
    korvane_index::Vec vectors[kLanes];
    std::size_t slots[kLanes];
    float scores[kLanes];
    for (;;) {
      std::size_t m = 0;
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        std::size_t& i = cursor[lane];
        while (i < stop[lane] && !(table.live(slot_at(i)) && passes(slot_at(i)))) ++i;
        if (i == stop[lane]) continue;
        vectors[m] = table.vector(slot_at(i));
        slots[m] = slot_at(i);
        ++m;
        ++i;
      }
      if (m == 0) break;
      scorer.score_many({vectors, m}, scores);
      for (std::size_t j = 0; j < m; ++j) top.offer({decayed(scores[j], slots[j]), slots[j]});
    }
  };
  // First the 8-bit copy's guaranteed intervals, where they can be had (prefilter.h).
  const korvane_index::compact::CompactQuery compact(metric, query_);
  prefilter::SharedFloor floor;
  std::atomic<bool> weak{false};
  auto factor = [this, &table](std::size_t slot) {
    if (!decay_ || !now_) return 1.0f;
    const std::optional<std::uint64_t> timestamp = table.timestamp(slot);
    if (!timestamp || *now_ <= *timestamp) return 1.0f;
    const float days = static_cast<float>(*now_ - *timestamp) / 86400.0f;
    return ::powf(*decay_, days);
  };
  auto scan_run = [&](std::size_t begin, std::size_t end) {
    TopK top(std::min(k, end - begin), order);
    // Over a filter's own slot list (few records) the plain scan serves: the first pass walks
    // every slot in order.
    if (!slots_ && compact.usable() && prefilter::enabled()) {
      prefilter::scan_run(
          table, compact, begin, end, k, korvane_index::is_distance(metric), floor, weak, passes,
          factor,
          [&](std::size_t i) {
            const float score = decayed(scorer.score(table.vector(i)), i);
            top.offer({score, i});
            return score;
          },
          [&](std::size_t from) { scan_plain(from, end, top); });
    } else {
      scan_plain(begin, end, top);
    }
    return std::move(top).take_sorted();
  };

  std::vector<std::vector<Candidate>> parts;
  run_scan(n, run_count(n, query_.size()), scan_run,
           [&](std::vector<Candidate> part) { parts.push_back(std::move(part)); });
  const std::vector<Candidate> winners = merge_runs(parts, k, order);

  std::vector<SearchResult> results;
  results.reserve(winners.size());
  for (const Candidate& c : winners) {
    results.push_back(
        SearchResult{std::string(table.id(c.position)), c.score, table.metadata(c.position)});
  }
  return results;
}

Result<std::vector<std::vector<SearchResult>>, KorvaneError> Korvane::search_batch(
    std::span<const std::span<const float>> queries, std::uint64_t k) const {
  const Hold held = hold(Mode::Shared);
  std::vector<std::vector<SearchResult>> answers(queries.size());
  if (queries.empty()) return answers;
  if (hnsw_) {
    // The index path answers each query on its own walk; the walks run side by side.
    tbb::parallel_for(std::size_t{0}, queries.size(), [&](std::size_t i) {
      answers[i] = SearchBuilder(*this, std::vector<float>(queries[i].begin(), queries[i].end()), k)
                       .through_index();
    });
    return answers;
  }
  const RecordTable& table = storage_->table();
  // Runs cover slots, dead ones included, which are skipped.
  const std::size_t n = table.slot_count();
  if (table.empty() || k == 0) return answers;
  const std::size_t kk = static_cast<std::size_t>(std::min<std::uint64_t>(k, table.size()));
  const BestFirst order(korvane_index::is_distance(metric_));

  std::vector<korvane_index::Scorer> scorers;
  scorers.reserve(queries.size());
  for (auto q : queries) scorers.emplace_back(metric_, q);

  // Queries go through the records a block at a time; each record's vector is read once per
  // block and measured against every query of it.
  std::size_t first = 0;
  while (first < queries.size()) {
    std::size_t count = 0, bytes = 0;
    while (first + count < queries.size() && count < kBatchMaxQueries &&
           (count == 0 || bytes + queries[first + count].size_bytes() <= kBatchQueryBytes)) {
      bytes += queries[first + count].size_bytes();
      ++count;
    }
    const korvane_index::BatchScorer batch({scorers.data() + first, count});

    // The block's queries on the 8-bit copy first, when every one of them can be bounded.
    std::vector<korvane_index::compact::CompactQuery> compact;
    compact.reserve(count);
    bool bounded = prefilter::enabled();
    for (std::size_t q = 0; q < count && bounded; ++q) {
      compact.emplace_back(metric_, queries[first + q], kBatchPlanes);
      bounded = compact.back().usable() && compact.back().length() == compact[0].length();
    }
    const korvane_index::compact::QueryBlock block(
        bounded ? std::span<const korvane_index::compact::CompactQuery>(compact)
                : std::span<const korvane_index::compact::CompactQuery>());
    std::vector<prefilter::SharedFloor> floors(count);
    std::atomic<bool> weak{false};

    auto scan_run = [&](std::size_t begin, std::size_t end) {
      std::vector<TopK> tops;
      tops.reserve(count);
      for (std::size_t q = 0; q < count; ++q) tops.emplace_back(std::min(kk, end - begin), order);
      auto scan_plain = [&](std::size_t from) {
        std::vector<float> scores(count);
        for (std::size_t i = from; i < end; ++i) {
          if (!table.live(i)) continue;
          batch.scores(table.vector(i), scores.data());
          for (std::size_t q = 0; q < count; ++q) tops[q].offer({scores[q], i});
        }
      };
      if (bounded) {
        prefilter::scan_batch_run(
            table, compact, block, begin, end, kk, korvane_index::is_distance(metric_), floors.data(),
            weak,
            [&](std::size_t q, std::size_t i) {
              const float score = scorers[first + q].score(table.vector(i));
              tops[q].offer({score, i});
              return score;
            },
            scan_plain);
      } else {
        scan_plain(begin);
      }
      std::vector<std::vector<Candidate>> out;
      out.reserve(count);
      for (TopK& top : tops) out.push_back(std::move(top).take_sorted());
      return out;
    };
    std::vector<std::vector<std::vector<Candidate>>> parts(count);
    run_scan(n, run_count(n, bytes / sizeof(float)), scan_run,
             [&](std::vector<std::vector<Candidate>> part) {
               for (std::size_t q = 0; q < count; ++q) parts[q].push_back(std::move(part[q]));
             });
    for (std::size_t q = 0; q < count; ++q) {
      const std::vector<Candidate> winners = merge_runs(parts[q], kk, order);
      std::vector<SearchResult>& results = answers[first + q];
      results.reserve(winners.size());
      for (const Candidate& c : winners) {
        results.push_back(SearchResult{std::string(table.id(c.position)), c.score,
                                       table.metadata(c.position)});
      }
    }
    first += count;
  }
  return answers;
}

}  // namespace korvane_core
