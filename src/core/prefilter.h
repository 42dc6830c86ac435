// The compact first pass of a scan: records whose guaranteed score interval cannot reach the
// best k are skipped; every other record is measured exactly, as the plain scan would.
//
// Keys orient scores so that greater is better (the score for similarities, its negation for
// distances). The floor is the k-th greatest key of records already measured exactly, in this
// run or (through the shared floor) in any run: at least k distinct records score at least that
// well. A record whose upper key is below the floor has k records strictly better than itself,
// so it is in no run's best k that matters and cannot be in the answer. Every record that is not
// skipped is measured and offered exactly as the plain scan offers it, so each run's top list,
// and the merged answer, equal the plain scan's: ids, scores, order and ties. (A NaN score has no
// key; such a record is offered, and only numbers raise the floor.)
//
// A single query looks at the coarse copy first (the codes' high halves, half the bytes) and
// reads the low halves only of records its wider interval cannot rule out; the same argument
// holds for both, so a record either copy rules out is one the answer cannot hold. A batch does
// the same pair by pair: a (record, query) pair either copy rules out for that query's floor is
// not measured for that query.
//
// When the bounds prune little (all-equal scores, vectors the copy cannot bound, data without
// structure at the copy's resolution) the run notices within a window and finishes as the plain
// scan, and tells the runs that follow to start plain.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "index/compact.h"
#include "storage/record_table.h"

namespace korvane_core::prefilter {

using korvane_index::compact::CodeMeta;
using korvane_index::compact::CompactQuery;
using korvane_index::compact::Interval;
using korvane_storage::RecordTable;

// Whether scans take the first pass (on unless KORVANE_COMPACT=0 was set); a switch for
// measuring both ways in one process. The answers are the same either way.
bool enabled();
void set_enabled(bool on);

constexpr double kNoFloor = -std::numeric_limits<double>::infinity();

// Records checked between two looks at how many were measured in vain (got through and did not
// make the best k so far: while the floor rises, records that raise it are the pass working, not
// failing); and the share 1/`part` of those beyond which the pass stops paying. A single query's
// survivor costs a read of its floats, one by one, besides its codes, and the codes themselves
// cost over half a plain record (a run of vectors the bounds cannot hold, a sixth of the
// records, measured 1.5x the plain scan): an eighth.
// A batch's survivor costs one query's product, against the batch's pass over the codes for all
// of them: a quarter.
constexpr std::size_t kWindow = 256;
constexpr std::size_t kSinglePart = 8, kBatchPart = 4;
inline bool too_weak(std::size_t checked, std::size_t wasted, std::size_t k, std::size_t part) {
  return wasted > checked / part + k;
}

// The greatest floor any run has proven; read and raised without locks.
class SharedFloor {
 public:
  double get() const { return v_.load(std::memory_order_relaxed); }
  void raise(double x) {
    double cur = v_.load(std::memory_order_relaxed);
    while (x > cur && !v_.compare_exchange_weak(cur, x, std::memory_order_relaxed)) {
    }
  }

 private:
  std::atomic<double> v_{kNoFloor};
};

// The k greatest keys offered, a min-heap; floor() is the least of them once there are k.
class KeyFloor {
 public:
  explicit KeyFloor(std::size_t k) : k_(k) { keys_.reserve(k); }
  double floor() const { return keys_.size() == k_ ? keys_.front() : kNoFloor; }
  // Whether the key is among the k greatest so far.
  bool offer(double key) {
    if (keys_.size() < k_) {
      keys_.push_back(key);
      std::push_heap(keys_.begin(), keys_.end(), std::greater<>());
      return true;
    }
    if (!(key > keys_.front())) return false;
    std::pop_heap(keys_.begin(), keys_.end(), std::greater<>());
    keys_.back() = key;
    std::push_heap(keys_.begin(), keys_.end(), std::greater<>());
    return true;
  }

 private:
  std::size_t k_;
  std::vector<double> keys_;
};

// A single query's run counts one more record checked; at the end of each window, whether it
// should finish as the plain scan (another run found the bounds weak, or this one measured too
// many in vain), telling the other runs so.
inline bool give_up(std::size_t& checked, std::size_t wasted, std::size_t k,
                    std::atomic<bool>& weak) {
  if (++checked % kWindow != 0) return false;
  if (!weak.load(std::memory_order_relaxed) && !too_weak(checked, wasted, k, kSinglePart)) {
    return false;
  }
  weak.store(true, std::memory_order_relaxed);
  return true;
}

// Offers a record's exact score, as a key, to the run's floor, raising the shared one; a score
// that cannot be in the best k so far counts as measured in vain.
inline void offer_exact(float s, bool distance, KeyFloor& floor, SharedFloor& shared,
                        std::size_t& wasted) {
  if (std::isnan(s) || !floor.offer(distance ? -static_cast<double>(s) : static_cast<double>(s))) {
    ++wasted;
    return;
  }
  if (floor.floor() > kNoFloor) shared.raise(floor.floor());
}

inline CodeMeta meta_of(const korvane_storage::CompactMeta& m) {
  return CodeMeta{m.offset, m.step, m.residual, m.norm};
}

// The upper key of a score interval.
inline double upper_key(Interval b, bool distance) { return distance ? -b.lo : b.hi; }

// Records whose codes go through the kernels together.
constexpr std::size_t kChunk = 16;

// Where slot i's packed halves start in the copy's highs() and lows().
inline std::size_t halves_at(const RecordTable& table, std::size_t i) {
  return korvane_storage::CompactCopy::half_offset(i, table.offset(i));
}

// Slots [from, from + m) as rows of codes of length n for QueryBlock::dots, unpacked from their
// halves into `scratch` (m * n bytes), with their metas: a slot of another length reads `blank`
// (its keys are not used).
inline void gather_rows(const RecordTable& table, std::size_t from, std::size_t m, std::size_t n,
                        std::vector<std::uint8_t>& blank, std::uint8_t* scratch,
                        const std::uint8_t** rows, CodeMeta* metas) {
  const korvane_storage::CompactCopy& copy = table.compact_copy();
  for (std::size_t r = 0; r < m; ++r) {
    const std::size_t i = from + r;
    if (table.vector(i).size() == n) {
      const std::size_t at = halves_at(table, i);
      korvane_index::compact::unpack_halves(copy.highs() + at, copy.lows() + at, n,
                                            scratch + r * n);
      rows[r] = scratch + r * n;
    } else {
      if (blank.empty()) blank.assign(n, 128);
      rows[r] = blank.data();
    }
    if (metas != nullptr) metas[r] = meta_of(copy.meta(i));
  }
}

// A single query's coarse look (compact.h): its one-plane query, that plane split for the packed
// high halves of the codes, and the block that turns their products into keys. Not movable: the
// block points into the query.
// Manhattan has none (its query has no planes): usable() is false.
struct CoarseStage {
  CoarseStage(korvane_index::Metric metric, korvane_index::Vec query)
      : cq(metric, metric == korvane_index::Metric::Manhattan ? korvane_index::Vec() : query, 1),
        plane(cq.usable() ? cq.plane(0) : nullptr, cq.usable() ? cq.length() : 0),
        block(cq.usable() ? std::span<const CompactQuery>(&cq, 1)
                          : std::span<const CompactQuery>()) {}
  bool usable() const { return cq.usable(); }
  CoarseStage(const CoarseStage&) = delete;
  CoarseStage& operator=(const CoarseStage&) = delete;

  CompactQuery cq;
  korvane_index::compact::SplitPlane plane;
  korvane_index::compact::QueryBlock block;
};

inline CodeMeta coarse_meta_of(const korvane_storage::CompactCopy& copy, std::size_t i) {
  const korvane_storage::CompactMeta& m = copy.meta(i);
  const korvane_storage::CoarseMeta& c = copy.coarse(i);
  return CodeMeta{c.offset, 16.0f * m.step, c.residual, m.norm};
}

// Records the coarse look lets through although the codes then rule them out, beyond which it
// stops paying: such a record costs a read of its low halves out of the stream (prefetched),
// about two records' worth of the coarse look, which itself costs half the codes' pass: past an
// eighth the run goes on with the codes alone.
constexpr std::size_t kCoarsePart = 8;

// The products of one record's codes with a query's planes (the first split as `first`, the
// second, if any, as `second`) from the record's packed halves: 16 H + L, the codes being
// 16 h + l, H the products with its high halves (the first given: the coarse look has it) and L
// those with its low halves.
inline void halves_dots(const korvane_index::compact::SplitPlane& first,
                        const korvane_index::compact::SplitPlane* second, std::int32_t first_high,
                        const std::uint8_t* high, const std::uint8_t* low, std::int32_t* out) {
  std::int32_t low_dot = 0;
  first.dots(&low, 1, &low_dot);
  out[0] = 16 * first_high + low_dot;
  if (second != nullptr) {
    std::int32_t high_dot = 0;
    second->dots(&high, 1, &high_dot);
    second->dots(&low, 1, &low_dot);
    out[1] = 16 * high_dot + low_dot;
  }
}

// One run [begin, end) of a single query's scan; `coarse` the query's coarse look, or null.
//   keep(i):   whether slot i takes part (live and passing the filters)
//   factor(i): the float slot i's score is multiplied by (1 when no decay applies)
//   exact(i):  measures slot i exactly, offers it to the run's top list, returns its score
//   plain(i):  finishes the run from slot i on as the plain scan
// weak (coarse_weak): a run found the pass (the coarse look) not paying; the runs after it
// start without.
template <class Keep, class Factor, class Exact, class Plain>
void scan_run(const RecordTable& table, const CompactQuery& cq, const CoarseStage* coarse,
              std::size_t begin, std::size_t end, std::size_t k, bool distance,
              SharedFloor& shared, std::atomic<bool>& weak, std::atomic<bool>& coarse_weak,
              const Keep& keep, const Factor& factor, const Exact& exact, const Plain& plain) {
  if (weak.load(std::memory_order_relaxed)) return plain(begin);
  const std::size_t n = cq.length();
  const korvane_index::compact::QueryBlock block({&cq, 1});
  const std::size_t lanes = block.lanes();
  const korvane_storage::CompactCopy& copy = table.compact_copy();
  KeyFloor floor(k);
  std::size_t checked = 0, wasted = 0;
  bool coarse_on = coarse != nullptr && !coarse_weak.load(std::memory_order_relaxed);
  std::size_t coarse_checked = 0, coarse_wasted = 0;
  std::vector<std::uint8_t> blank, scratch(kChunk * n);
  const std::uint8_t* rows[kChunk];
  CodeMeta metas[kChunk];
  // A record the coarse look lets through gets its fine products from its halves (halves_dots())
  // when the coarse plane is the fine query's first: fewer instructions than joining the halves
  // into codes first, though at 100k x 384 the two measure alike (few records get that far).
  const bool shares_plane =
      coarse != nullptr && std::equal(cq.plane(0), cq.plane(0) + n, coarse->cq.plane(0));
  std::optional<korvane_index::compact::SplitPlane> second_plane;
  if (shares_plane && cq.planes() == 2) second_plane.emplace(cq.plane(1), n);
  std::int32_t dots[kChunk * CompactQuery::kMaxPlanes];
  double keys[kChunk];
  auto bar = [&] { return std::max(floor.floor(), shared.get()); };
  // The upper key of slot i from its products and meta, decayed by f.
  auto key_of = [&](const CompactQuery& q, const korvane_index::compact::QueryBlock& b,
                    const std::int32_t* d, const CodeMeta& meta, float f) {
    if (f != 1.0f) return upper_key(CompactQuery::scaled(q.bound(d, meta), f), distance);
    double key;  // without decay, the division-free form
    b.record_keys(d, &meta, 1, &key);
    return key;
  };
  for (std::size_t from = begin; from < end; from += kChunk) {
    const std::size_t m = std::min(kChunk, end - from);
    if (coarse_on && coarse_checked >= kWindow &&
        (coarse_weak.load(std::memory_order_relaxed) ||
         too_weak(coarse_checked, coarse_wasted, k, kCoarsePart))) {
      coarse_on = false;
      coarse_weak.store(true, std::memory_order_relaxed);
    }
    if (coarse_on) {
      for (std::size_t r = 0; r < m; ++r) {
        const std::size_t i = from + r;
        if (table.vector(i).size() == n) {
          rows[r] = copy.highs() + halves_at(table, i);
        } else {
          if (blank.size() < n) blank.assign(n, 128);
          rows[r] = blank.data();
        }
        metas[r] = coarse_meta_of(copy, i);
      }
      coarse->plane.dots(rows, m, dots);
      coarse->block.record_keys(dots, metas, m, keys);
      // The low halves of the records the coarse keys leave in, fetched while the rest go by.
      const double at = bar();
      for (std::size_t r = 0; r < m; ++r) {
        if (!(keys[r] >= at)) continue;
        const std::uint8_t* row = copy.lows() + halves_at(table, from + r);
        for (std::size_t b = 0; b < (n + 1) / 2; b += 64) __builtin_prefetch(row + b);
      }
    } else {
      gather_rows(table, from, m, n, blank, scratch.data(), rows, metas);
      block.dots(rows, m, dots);
      block.record_keys(dots, metas, m, keys);
    }
    for (std::size_t r = 0; r < m; ++r) {
      const std::size_t i = from + r;
      if (!table.live(i) || !keep(i)) continue;
      if (give_up(checked, wasted, k, weak)) return plain(i);
      if (table.vector(i).size() == n) {
        const float f = factor(i);
        if (coarse_on) {
          ++coarse_checked;
          const double key =
              f == 1.0f ? keys[r] : key_of(coarse->cq, coarse->block, dots + r, metas[r], f);
          if (key < bar()) continue;
          const std::size_t at = halves_at(table, i);
          std::int32_t fine[CompactQuery::kMaxPlanes];
          if (shares_plane) {
            halves_dots(coarse->plane, second_plane ? &*second_plane : nullptr, dots[r],
                        copy.highs() + at, copy.lows() + at, fine);
          } else {
            korvane_index::compact::unpack_halves(copy.highs() + at, copy.lows() + at, n,
                                                  scratch.data());
            const std::uint8_t* row = scratch.data();
            block.dots(&row, 1, fine);
          }
          if (key_of(cq, block, fine, meta_of(copy.meta(i)), f) < bar()) {
            ++coarse_wasted;
            continue;
          }
        } else {
          const double key = f == 1.0f ? keys[r] : key_of(cq, block, dots + r * lanes, metas[r], f);
          if (key < bar()) continue;
        }
      }
      offer_exact(exact(i), distance, floor, shared, wasted);
    }
  }
}

// One run of a Manhattan query's scan: scan_run() without the coarse look (its interval is too
// wide for sums of absolute differences), each record's codes joined from their halves and
// bounded by CompactQuery::manhattan_bound(). The arguments are scan_run()'s.
template <class Keep, class Factor, class Exact, class Plain>
void scan_run_manhattan(const RecordTable& table, const CompactQuery& cq, std::size_t begin,
                        std::size_t end, std::size_t k, SharedFloor& shared,
                        std::atomic<bool>& weak, const Keep& keep, const Factor& factor,
                        const Exact& exact, const Plain& plain) {
  if (weak.load(std::memory_order_relaxed)) return plain(begin);
  const std::size_t n = cq.length();
  const korvane_storage::CompactCopy& copy = table.compact_copy();
  KeyFloor floor(k);
  std::size_t checked = 0, wasted = 0;
  std::vector<std::uint8_t> codes(n);
  for (std::size_t i = begin; i < end; ++i) {
    if (!table.live(i) || !keep(i)) continue;
    if (give_up(checked, wasted, k, weak)) return plain(i);
    if (table.vector(i).size() == n) {
      const std::size_t at = halves_at(table, i);
      korvane_index::compact::unpack_halves(copy.highs() + at, copy.lows() + at, n, codes.data());
      Interval b = cq.manhattan_bound(codes.data(), meta_of(copy.meta(i)));
      const float f = factor(i);
      if (f != 1.0f) b = CompactQuery::scaled(b, f);
      if (upper_key(b, true) < std::max(floor.floor(), shared.get())) continue;
    }
    offer_exact(exact(i), true, floor, shared, wasted);
  }
}

// Pairs (record, query) a batch's coarse look lets through, beyond which it stops paying: such
// a pair costs the product of its low halves (half its coarse one) and an interval; past a
// quarter of a window's pairs the run takes the codes whole. A run's first window is not judged
// (its floors are still rising from nothing), and only a run that found the look paying at
// first and then not tells the others.
constexpr std::size_t kCoarseBatchPart = 4;

// One run of a block of queries with neither filters nor decay; `block` is made from `cqs`, and
// so is `halves`, the block's coarse look (null: none; it needs one plane a query).
//   exact(q, i): measures slot i exactly for query q, offers it to q's top list, returns it
//   plain(i):    finishes the run from slot i on as the plain batch scan
// weak (coarse_weak): a run found the pass (the coarse look) not paying; the runs after it
// start without.
// With the coarse look each record's high halves go against every query's plane; a pair whose
// coarse key reaches the query's floor gets the fine product from the low halves, and only a
// pair whose fine key reaches it too is measured.
template <class Exact, class Plain>
void scan_batch_run(const RecordTable& table, std::span<const CompactQuery> cqs,
                    const korvane_index::compact::QueryBlock& block,
                    const korvane_index::compact::HalvesBlock* halves, std::size_t begin,
                    std::size_t end, std::size_t k, bool distance, SharedFloor* shared,
                    std::atomic<bool>& weak, std::atomic<bool>& coarse_weak, const Exact& exact,
                    const Plain& plain) {
  if (weak.load(std::memory_order_relaxed)) return plain(begin);
  constexpr std::size_t kRows = 16;
  const std::size_t count = cqs.size();
  const std::size_t n = cqs[0].length();
  const std::size_t lanes = block.lanes();
  const korvane_storage::CompactCopy& copy = table.compact_copy();
  std::vector<std::uint8_t> blank(n, 128), scratch(kRows * n);
  const std::uint8_t* rows[kRows];
  std::vector<std::int32_t> dots(kRows * std::max(lanes, count));
  std::vector<double> keys(count), floors(count);
  std::vector<std::uint64_t> words((count + 63) / 64);
  for (std::size_t q = 0; q < count; ++q) floors[q] = shared[q].get();
  std::vector<KeyFloor> found(count, KeyFloor(k));
  std::size_t checked = 0, wasted = 0;
  bool coarse_on = halves != nullptr && !coarse_weak.load(std::memory_order_relaxed);
  std::size_t pairs = 0, passed = 0, windows = 0;
  for (std::size_t from = begin; from < end; from += kRows) {
    const std::size_t m = std::min(kRows, end - from);
    if (coarse_on && pairs >= kWindow * count) {
      if (windows > 0 && (coarse_weak.load(std::memory_order_relaxed) ||
                          passed > pairs / kCoarseBatchPart)) {
        coarse_on = false;
        if (windows > 1) coarse_weak.store(true, std::memory_order_relaxed);
      }
      ++windows;
      pairs = passed = 0;
    }
    if (coarse_on) {
      for (std::size_t r = 0; r < m; ++r) {
        const std::size_t i = from + r;
        rows[r] = table.vector(i).size() == n ? copy.highs() + halves_at(table, i) : blank.data();
      }
      halves->dots(rows, m, dots.data());
    } else {
      gather_rows(table, from, m, n, blank, scratch.data(), rows, nullptr);
      block.dots(rows, m, dots.data());
    }
    for (std::size_t r = 0; r < m; ++r) {
      const std::size_t i = from + r;
      if (!table.live(i)) continue;
      if (++checked % kWindow == 0 && (weak.load(std::memory_order_relaxed) ||
                                       too_weak(checked * count, wasted, k * count, kBatchPart))) {
        weak.store(true, std::memory_order_relaxed);
        return plain(i);
      }
      if (checked % 32 == 0) {
        for (std::size_t q = 0; q < count; ++q) floors[q] = std::max(floors[q], shared[q].get());
      }
      const bool sized = table.vector(i).size() == n;
      const bool coarse = coarse_on && sized;
      if (coarse) {
        block.reaching(dots.data() + r * count, coarse_meta_of(copy, i), floors.data(),
                       keys.data(), words.data());
        pairs += count;
      } else if (sized) {
        block.reaching(dots.data() + r * lanes, meta_of(copy.meta(i)), floors.data(), keys.data(),
                       words.data());
      } else {
        for (std::size_t q0 = 0; q0 < count; q0 += 64) {
          const std::size_t m = std::min<std::size_t>(64, count - q0);
          words[q0 / 64] = m == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << m) - 1;
        }
      }
      // Query q's pair past the coarse key: the fine key, and the measure if that reaches too.
      auto pair = [&](std::size_t q) {
        if (coarse) {
          ++passed;
          const std::int32_t fine =
              16 * dots[r * count + q] + halves->dot(q, copy.lows() + halves_at(table, i));
          if (upper_key(cqs[q].bound(&fine, meta_of(copy.meta(i))), distance) < floors[q]) {
            return;
          }
        }
        const float s = exact(q, i);
        if (std::isnan(s) ||
            !found[q].offer(distance ? -static_cast<double>(s) : static_cast<double>(s))) {
          ++wasted;
          return;
        }
        if (found[q].floor() > floors[q]) {
          floors[q] = found[q].floor();
          shared[q].raise(floors[q]);
        }
      };
      for (std::size_t q0 = 0; q0 < count; q0 += 64) {
        for (std::uint64_t w = words[q0 / 64]; w != 0; w &= w - 1) {
          pair(q0 + static_cast<std::size_t>(std::countr_zero(w)));
        }
      }
    }
  }
}

}  // namespace korvane_core::prefilter
