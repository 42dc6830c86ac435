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
// When the bounds prune little (all-equal scores, vectors the copy cannot bound, data without
// structure at the copy's resolution) the run notices within a window and finishes as the plain
// scan, and tells the runs that follow to start plain.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
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

// Records checked between two looks at how many got through; and the share beyond which the
// pass stops paying (a survivor costs a random read of its floats besides its codes).
constexpr std::size_t kWindow = 256;
inline bool too_weak(std::size_t checked, std::size_t survived, std::size_t k) {
  return survived > checked / 4 + k;
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
  void offer(double key) {
    if (keys_.size() < k_) {
      keys_.push_back(key);
      std::push_heap(keys_.begin(), keys_.end(), std::greater<>());
    } else if (key > keys_.front()) {
      std::pop_heap(keys_.begin(), keys_.end(), std::greater<>());
      keys_.back() = key;
      std::push_heap(keys_.begin(), keys_.end(), std::greater<>());
    }
  }

 private:
  std::size_t k_;
  std::vector<double> keys_;
};

inline CodeMeta meta_of(const korvane_storage::CompactMeta& m) {
  return CodeMeta{m.offset, m.step, m.residual, m.norm};
}

// The upper key of a score interval.
inline double upper_key(Interval b, bool distance) { return distance ? -b.lo : b.hi; }

// The score interval of slot i for one prepared query, before decay.
inline Interval bound_of(const RecordTable& table, const CompactQuery& cq, std::size_t i,
                         const std::int32_t* dots) {
  return cq.bound(dots, meta_of(table.compact_copy().meta(i)));
}

// One run [begin, end) of a single query's scan.
//   keep(i):   whether slot i takes part (live and passing the filters)
//   factor(i): the float slot i's score is multiplied by (1 when no decay applies)
//   exact(i):  measures slot i exactly, offers it to the run's top list, returns its score
//   plain(i):  finishes the run from slot i on as the plain scan
template <class Keep, class Factor, class Exact, class Plain>
void scan_run(const RecordTable& table, const CompactQuery& cq, std::size_t begin,
              std::size_t end, std::size_t k, bool distance, SharedFloor& shared,
              std::atomic<bool>& weak, const Keep& keep, const Factor& factor, const Exact& exact,
              const Plain& plain) {
  if (weak.load(std::memory_order_relaxed)) return plain(begin);
  const std::uint8_t* codes = table.compact_copy().codes();
  const std::size_t n = cq.length();
  const int planes = cq.planes();
  const std::int8_t* gs[CompactQuery::kMaxPlanes];
  for (int p = 0; p < planes; ++p) gs[p] = cq.plane(p);
  const korvane_index::compact::QueryBlock block({&cq, 1});
  KeyFloor floor(k);
  std::size_t checked = 0, survived = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (!table.live(i) || !keep(i)) continue;
    if (++checked % kWindow == 0 &&
        (weak.load(std::memory_order_relaxed) || too_weak(checked, survived, k))) {
      weak.store(true, std::memory_order_relaxed);
      return plain(i);
    }
    if (table.vector(i).size() == n) {
      std::int32_t dots[CompactQuery::kMaxPlanes];
      korvane_index::compact::code_dots(codes + table.offset(i), gs,
                                        static_cast<std::size_t>(planes), n, dots);
      const float f = factor(i);
      double key;
      if (f == 1.0f) {  // no decay: the division-free form
        block.upper_keys(dots, meta_of(table.compact_copy().meta(i)), &key);
      } else {
        key = upper_key(CompactQuery::scaled(bound_of(table, cq, i, dots), f), distance);
      }
      if (key < std::max(floor.floor(), shared.get())) continue;
    }
    ++survived;
    const float s = exact(i);
    if (std::isnan(s)) continue;
    floor.offer(distance ? -static_cast<double>(s) : static_cast<double>(s));
    if (floor.floor() > kNoFloor) shared.raise(floor.floor());
  }
}

// One run of a block of queries with neither filters nor decay; `block` is made from `cqs`.
//   exact(q, i): measures slot i exactly for query q, offers it to q's top list, returns it
//   plain(i):    finishes the run from slot i on as the plain batch scan
template <class Exact, class Plain>
void scan_batch_run(const RecordTable& table, std::span<const CompactQuery> cqs,
                    const korvane_index::compact::QueryBlock& block, std::size_t begin,
                    std::size_t end, std::size_t k, bool distance, SharedFloor* shared,
                    std::atomic<bool>& weak, const Exact& exact, const Plain& plain) {
  if (weak.load(std::memory_order_relaxed)) return plain(begin);
  const std::uint8_t* codes = table.compact_copy().codes();
  const std::size_t count = cqs.size();
  const std::size_t n = cqs[0].length();
  const int planes = cqs[0].planes();
  std::vector<const std::int8_t*> gs;
  for (std::size_t q = 0; q < count; ++q) {
    for (int p = 0; p < planes; ++p) gs.push_back(cqs[q].plane(p));
  }
  std::vector<std::int32_t> dots(gs.size());
  std::vector<double> keys(count), floors(count);
  for (std::size_t q = 0; q < count; ++q) floors[q] = shared[q].get();
  std::vector<KeyFloor> found(count, KeyFloor(k));
  std::size_t checked = 0, survived = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (!table.live(i)) continue;
    if (++checked % kWindow == 0 && (weak.load(std::memory_order_relaxed) ||
                                     too_weak(checked * count, survived, k * count))) {
      weak.store(true, std::memory_order_relaxed);
      return plain(i);
    }
    if (checked % 32 == 0) {
      for (std::size_t q = 0; q < count; ++q) floors[q] = std::max(floors[q], shared[q].get());
    }
    if (table.vector(i).size() == n) {
      korvane_index::compact::code_dots(codes + table.offset(i), gs.data(), gs.size(), n,
                                        dots.data());
      block.upper_keys(dots.data(), meta_of(table.compact_copy().meta(i)), keys.data());
    } else {
      std::fill(keys.begin(), keys.end(), std::numeric_limits<double>::infinity());
    }
    for (std::size_t q = 0; q < count; ++q) {
      if (keys[q] < floors[q]) continue;
      ++survived;
      const float s = exact(q, i);
      if (std::isnan(s)) continue;
      found[q].offer(distance ? -static_cast<double>(s) : static_cast<double>(s));
      if (found[q].floor() > floors[q]) {
        floors[q] = found[q].floor();
        shared[q].raise(floors[q]);
      }
    }
  }
}

}  // namespace korvane_core::prefilter
