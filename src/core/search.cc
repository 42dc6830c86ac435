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
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/store_internals.h"
#include "index/metric.h"
#include "index/compact.h"
#include "index/scorer.h"
#include "core/prefilter.h"
#include "core/search_path.h"

namespace korvane_core {
namespace {

// Below this much work (floats read, plus a per-record allowance) the pool's wake-up and join
// cost more than they save, so the calling thread scans alone.
constexpr std::size_t kSerialWork = 1 << 16;
// Work per run at least; more runs than the pool has threads balance uneven filters and decay.
constexpr std::size_t kRunWork = 1 << 16;
constexpr std::size_t kRunsPerThread = 16;
constexpr std::size_t kPerRecordWork = 32;

using search_path::BestFirst;
using search_path::Candidate;
using search_path::TopK;

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

// The best k of each of `queries` queries over [0, n), by `runs` runs:
// scan_run(begin, end, tops) offers the records of [begin, end) to tops[q], query q's top list
// for the run. Each run's lists are merged, in run order, into one list per query.
template <class ScanRun>
std::vector<std::vector<Candidate>> collect(std::size_t n, std::size_t runs, std::size_t queries,
                                            std::size_t k, BestFirst order,
                                            const ScanRun& scan_run) {
  std::vector<std::vector<std::vector<Candidate>>> parts(queries);
  run_scan(
      n, runs,
      [&](std::size_t begin, std::size_t end) {
        std::vector<TopK> tops;
        tops.reserve(queries);
        for (std::size_t q = 0; q < queries; ++q) tops.emplace_back(std::min(k, end - begin), order);
        scan_run(begin, end, std::span<TopK>(tops));
        std::vector<std::vector<Candidate>> out;
        out.reserve(queries);
        for (TopK& top : tops) out.push_back(std::move(top).take_sorted());
        return out;
      },
      [&](std::vector<std::vector<Candidate>> part) {
        for (std::size_t q = 0; q < queries; ++q) parts[q].push_back(std::move(part[q]));
      });
  std::vector<std::vector<Candidate>> winners(queries);
  for (std::size_t q = 0; q < queries; ++q) winners[q] = merge_runs(parts[q], k, order);
  return winners;
}

// Which records a request's scan takes and how their scores decay: the builder's equality
// filters, and its decay factor with its reference time.
class RecordRule {
 public:
  RecordRule(const RecordTable& table, const std::vector<std::pair<std::string, Value>>& filters,
             std::optional<float> decay, std::optional<std::uint64_t> now)
      : table_(table), filters_(filters), decay_(decay), now_(now) {}

  bool passes(std::size_t slot) const {
    if (filters_.empty()) return true;
    const std::optional<Value>& metadata = table_.metadata(slot);
    if (!metadata) return false;
    for (const auto& [key, value] : filters_) {
      const Value* held = metadata->find(key);  // null also when metadata is not an object
      if (held == nullptr || !(*held == value)) return false;
    }
    return true;
  }
  // The float slot's score is multiplied by (1 when no decay applies to it).
  float factor(std::size_t slot) const { return power(slot).value_or(1.0f); }
  float decayed(float score, std::size_t slot) const {
    const std::optional<float> p = power(slot);
    return p ? score * *p : score;
  }

 private:
  // decay ^ (age in days), when there is a decay, a reference time, a timestamp, and the
  // record is older than the reference time.
  std::optional<float> power(std::size_t slot) const {
    if (!decay_ || !now_) return std::nullopt;
    const std::optional<std::uint64_t> timestamp = table_.timestamp(slot);
    if (!timestamp || *now_ <= *timestamp) return std::nullopt;
    const float days = static_cast<float>(*now_ - *timestamp) / 86400.0f;
    return ::powf(*decay_, days);
  }

  const RecordTable& table_;
  const std::vector<std::pair<std::string, Value>>& filters_;
  std::optional<float> decay_;
  std::optional<std::uint64_t> now_;
};

// Stretches of a run that the scan walks side by side.
constexpr std::size_t kLanes = 4;
// Queries a batch scan carries through one pass over the vectors: their floats should stay in
// the core's second-level cache beside the vectors passing through.
constexpr std::size_t kBatchQueryBytes = 256 * 1024;
constexpr std::size_t kBatchMaxQueries = 64;
// 8-bit planes per query in a batch's first pass (compact.h).
constexpr int kBatchPlanes = 1;

}  // namespace

std::vector<SearchResult> SearchBuilder::scan(bool* gave_up) const {
  const RecordTable& table = store_->storage_->table();
  // Runs cover slots, dead ones included, which are skipped; a slot's number is its place in
  // store order. With a list of slots, runs cover the list instead.
  const std::size_t n = slots_ ? slots_->size() : table.slot_count();
  // Nothing below is sized by k itself.
  const std::size_t k = search_path::scan_limit(table, k_);
  if (k == 0 || n == 0) return {};
  auto slot_at = [this](std::size_t i) { return slots_ ? (*slots_)[i] : i; };

  const Metric metric = store_->metric_;
  const BestFirst order(metric);
  const korvane_index::Scorer scorer(metric, query_);
  const RecordRule rule(table, filters_, decay_, now_);
  auto passes = [&rule](std::size_t slot) { return rule.passes(slot); };
  auto factor = [&rule](std::size_t slot) { return rule.factor(slot); };

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
        while (i < stop[lane] && !(table.live(slot_at(i)) && rule.passes(slot_at(i)))) ++i;
        if (i == stop[lane]) continue;
        vectors[m] = table.vector(slot_at(i));
        slots[m] = slot_at(i);
        ++m;
        ++i;
      }
      if (m == 0) break;
      scorer.score_many({vectors, m}, scores);
      for (std::size_t j = 0; j < m; ++j) top.offer({rule.decayed(scores[j], slots[j]), slots[j]});
    }
  };
  // First the 8-bit copy's guaranteed intervals, where they can be had (prefilter.h).
  const korvane_index::compact::CompactQuery compact(metric, query_);
  const prefilter::CoarseStage coarse(metric, query_);
  prefilter::SharedFloor floor;
  std::atomic<bool> weak{false}, coarse_weak{false};
  auto scan_run = [&](std::size_t begin, std::size_t end, std::span<TopK> tops) {
    TopK& top = tops[0];
    auto exact = [&](std::size_t i) {
      const float score = rule.decayed(scorer.score(table.vector(i)), i);
      top.offer({score, i});
      return score;
    };
    auto plain = [&](std::size_t from) { scan_plain(from, end, top); };
    // Over a filter's own slot list (few records) the plain scan serves: the first pass walks
    // every slot in order.
    if (slots_ || !compact.usable() || !prefilter::enabled()) {
      scan_plain(begin, end, top);
    } else if (metric == Metric::Manhattan) {
      prefilter::scan_run_manhattan(table, compact, begin, end, k, floor, weak, passes, factor,
                                    exact, plain);
    } else {
      prefilter::scan_run(table, compact, coarse.usable() ? &coarse : nullptr, begin, end, k,
                          korvane_index::is_distance(metric), floor, weak, coarse_weak, passes,
                          factor, exact, plain);
    }
  };
  const auto winners = collect(n, run_count(n, query_.size()), 1, k, order, scan_run);
  if (gave_up != nullptr) *gave_up = weak.load();
  return search_path::results_of(table, winners[0]);
}

Result<std::vector<std::vector<SearchResult>>, KorvaneError> Korvane::search_batch(
    std::span<const std::span<const float>> queries, std::uint64_t k) const {
  const Hold held = hold(Mode::Shared);
  std::vector<std::vector<SearchResult>> answers(queries.size());
  if (queries.empty()) return answers;
  if (hnsw_) {
    // The index path answers each query on its own walk; the walks run side by side.
    tbb::parallel_for(std::size_t{0}, queries.size(), [&](std::size_t i) {
      answers[i] = search_builder(queries[i], k).through_index();
    });
    return answers;
  }
  const RecordTable& table = storage_->table();
  // Runs cover slots, dead ones included, which are skipped.
  const std::size_t n = table.slot_count();
  const std::size_t kk = search_path::scan_limit(table, k);
  if (kk == 0) return answers;
  const BestFirst order(metric_);

  // Manhattan's interval has no products to share across a block of queries, but one query's
  // first pass reads a byte a component where the block reads four: the queries take it one
  // after another, until one finds the bounds too weak; the rest then go through blocks.
  std::size_t first = 0;
  if (metric_ == Metric::Manhattan && prefilter::enabled()) {
    bool gave_up = false;
    while (first < queries.size() && !gave_up) {
      answers[first] = search_builder(queries[first], k).scan(&gave_up);
      ++first;
    }
  }

  std::vector<korvane_index::Scorer> scorers;
  scorers.reserve(queries.size());
  for (auto q : queries) scorers.emplace_back(metric_, q);

  // Queries go through the records a block at a time; each record's vector is read once per
  // block and measured against every query of it.
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
      bounded = compact.back().usable() && compact.back().length() == compact[0].length() &&
                metric_ != Metric::Manhattan;
    }
    const korvane_index::compact::QueryBlock block(
        bounded ? std::span<const korvane_index::compact::CompactQuery>(compact)
                : std::span<const korvane_index::compact::CompactQuery>());
    // Its coarse look, where the kernels have one.
    std::optional<korvane_index::compact::HalvesBlock> halves;
    if (bounded && kBatchPlanes == 1 && korvane_index::compact::HalvesBlock::available()) {
      halves.emplace(compact);
    }
    std::vector<prefilter::SharedFloor> floors(count);
    std::atomic<bool> weak{false}, coarse_weak{false};

    auto scan_run = [&](std::size_t begin, std::size_t end, std::span<TopK> tops) {
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
            table, compact, block, halves ? &*halves : nullptr, begin, end, kk,
            korvane_index::is_distance(metric_), floors.data(), weak, coarse_weak,
            [&](std::size_t q, std::size_t i) {
              const float score = scorers[first + q].score(table.vector(i));
              tops[q].offer({score, i});
              return score;
            },
            scan_plain);
      } else {
        scan_plain(begin);
      }
    };
    const auto winners = collect(n, run_count(n, bytes / sizeof(float)), count, kk, order, scan_run);
    for (std::size_t q = 0; q < count; ++q) {
      answers[first + q] = search_path::results_of(table, winners[q]);
    }
    first += count;
  }
  return answers;
}

}  // namespace korvane_core
