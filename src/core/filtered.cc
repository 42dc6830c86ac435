// The operations that take a Filter: count, select, remove_where, and filtered searches.
//
// Every one starts from the matching slots. When the fields' value lists can narrow the filter
// down (equality, $in, ranges, $exists: true, $contains, and any $and holding one of them), only
// the slots they list are tested; otherwise every record's metadata is.
//
// A filtered search with a graph index (and no decay or old-style filters) chooses between two
// paths by their expected cost. Scoring the matches reads each of their vectors once. A walk
// that may return matching nodes only, but routes through all, has to expand about 1 / s times
// as many nodes as an unfiltered one (s the share of records that match) to gather its ef
// matching ones, so its width is widened by that factor (and doubled). The walk is taken only when it is
// expected to read fewer vectors than the scan, and it falls back to the scan whenever it found
// fewer than min(k, matches) results, so that a filtered search never comes back short.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/field_index.h"
#include "core/search_path.h"
#include "core/store_internals.h"

namespace korvane_core {
namespace {

// Slots per piece when every record's metadata is tested on the pool.
constexpr std::size_t kTestGrain = 4096;
// How many vectors a widened walk reads per node of its width, relative to a scan reading one
// per match (scattered reads cost more than a scan's streams).
constexpr double kWalkReadsPerWidth = 24.0;
// A filtered walk keeps this many times the store's search width of matching nodes: the walk
// then finds the filtered neighbours at least as well as an unfiltered search finds the plain
// ones, which at the default width falls short of 0.95 of them on embedding-like data.
constexpr double kFilteredWidening = 2.0;

}  // namespace


const FieldIndex& Korvane::fields() const {
  if (!fields_stale_.load(std::memory_order_acquire)) return *fields_;
  std::lock_guard<std::mutex> lock(fields_mu_);
  if (fields_stale_.load(std::memory_order_acquire)) {
    fields_ = std::make_unique<FieldIndex>(FieldIndex::build(storage_->table()));
    fields_stale_.store(false, std::memory_order_release);
  }
  return *fields_;
}

void Korvane::follow_fields(std::size_t first_new, std::size_t added) noexcept {
  if (!fields_ || fields_stale_.load(std::memory_order_relaxed)) return;
  const RecordTable& table = storage_->table();
  // A compaction renumbered the slots: the lists are rebuilt when next needed.
  if (table.slot_count() != first_new + added) {
    fields_stale_.store(true, std::memory_order_release);
    return;
  }
  try {
    for (std::size_t slot = first_new; slot < table.slot_count(); ++slot) {
      fields_->add(slot, table.metadata(slot));
    }
  } catch (...) {
    fields_stale_.store(true, std::memory_order_release);
  }
}

std::vector<std::size_t> Korvane::matching_slots(const Filter& filter) const {
  const RecordTable& table = storage_->table();
  std::vector<std::size_t> out;
  if (filter.matches_everything()) {
    out.reserve(table.size());
    for (std::size_t slot : table.live_slots()) out.push_back(slot);
    return out;
  }
  auto passes = [&](std::size_t slot) {
    return slot < table.slot_count() && table.live(slot) && filter.matches(table.metadata(slot));
  };
  const FieldIndex& lists = fields();
  if (auto candidates = lists.candidates(filter.root())) {
    // When the lists answer the filter outright, only liveness is left to test.
    if (FieldIndex::lists_exactly(filter.root())) {
      for (std::size_t slot : *candidates) {
        if (slot < table.slot_count() && table.live(slot)) out.push_back(slot);
      }
      return out;
    }
    for (std::size_t slot : *candidates) {
      if (passes(slot)) out.push_back(slot);
    }
    return out;
  }
  const std::size_t n = table.slot_count();
  const std::size_t pieces = (n + kTestGrain - 1) / kTestGrain;
  std::vector<std::vector<std::size_t>> found(pieces);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces), [&](const auto& range) {
    for (std::size_t p = range.begin(); p != range.end(); ++p) {
      for (std::size_t slot = p * kTestGrain; slot < std::min(n, (p + 1) * kTestGrain); ++slot) {
        if (passes(slot)) found[p].push_back(slot);
      }
    }
  });
  for (const auto& piece : found) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

std::size_t Korvane::count(const Filter& filter) const {
  const Hold held = hold(Mode::Shared);
  if (filter.matches_everything()) return size();
  return matching_slots(filter).size();
}

std::vector<SearchResult> Korvane::select(const Filter& filter, std::size_t limit) const {
  const Hold held = hold(Mode::Shared);
  const RecordTable& table = storage_->table();
  const std::vector<std::size_t> slots = matching_slots(filter);
  std::vector<SearchResult> out;
  out.reserve(std::min(limit, slots.size()));
  for (std::size_t slot : slots) {
    if (out.size() == limit) break;
    out.push_back(search_path::result_at(table, slot, 0.0f));
  }
  return out;
}

Result<std::size_t, KorvaneError> Korvane::remove_where(const Filter& filter) {
  // One exclusive hold over finding the matches and removing them: no write comes between.
  const Hold held = hold(Mode::Exclusive);
  const RecordTable& table = storage_->table();
  WriteBatch batch;
  std::unordered_set<std::string_view> seen;
  for (std::size_t slot : matching_slots(filter)) {
    if (seen.insert(table.id(slot)).second) batch.remove(std::string(table.id(slot)));
  }
  const std::size_t before = size();
  if (auto written = write(std::move(batch)); !written) return std::move(written).error();
  return before - size();
}

SearchBuilder& SearchBuilder::where(const Filter& filter) {
  if (!filter.matches_everything()) where_ = std::make_shared<const Filter>(filter);
  return *this;
}

namespace {

// The walk's width for a search of k when `matches` of `records` pass, or nothing when scoring
// the matches is expected to be cheaper.
std::optional<std::size_t> walk_width(std::size_t k, std::size_t ef_search, std::size_t matches,
                                      std::size_t records) {
  if (matches == 0 || records == 0) return std::nullopt;
  const double share = static_cast<double>(matches) / static_cast<double>(records);
  const double width = kFilteredWidening * static_cast<double>(std::max(k, ef_search)) / share;
  if (width * kWalkReadsPerWidth >= static_cast<double>(matches)) return std::nullopt;
  return static_cast<std::size_t>(width);
}

}  // namespace

std::optional<std::vector<SearchResult>> SearchBuilder::walk(std::size_t matches,
                                                             NodeTest accept) const {
  if (!index_applies() || k_ == 0) return std::nullopt;
  const RecordTable& table = store_->storage_->table();
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(k_, matches));
  store_->refresh_index();
  const HnswIndex& index = *store_->hnsw_;
  const auto width = walk_width(k, index.config().ef_search, matches, table.size());
  if (!width) return std::nullopt;
  auto pairs =
      index.search(query_, k, *width, search_path::vector_access(table), store_->metric_, accept);
  // Short when the reachable matches were fewer than k: the caller scores the matches instead.
  if (pairs.size() < k) return std::nullopt;
  return search_path::results_of(table, pairs);
}

std::vector<SearchResult> SearchBuilder::through_filter() {
  const RecordTable& table = store_->storage_->table();
  if (index_applies() && !table.empty()) {
    // When the value lists give the number of matches outright (one field's condition, and few
    // dead slots to overcount), the walk tests the filter only on the nodes it reaches.
    const auto e = store_->fields().estimate(where_->root(), table.size());
    if (e.exact && table.dead_count() * 10 <= table.size()) {
      const Filter& filter = *where_;
      auto accept = [&](std::size_t node) {
        return node < table.slot_count() && table.live(node) && filter.matches(table.metadata(node));
      };
      if (auto found = walk(std::min(e.count, table.size()), accept)) return std::move(*found);
    }
  }
  return through_matches(store_->matching_slots(*where_));
}

std::vector<SearchResult> SearchBuilder::through_matches(const std::vector<std::size_t>& matches) {
  if (matches.empty() || k_ == 0) return {};
  const RecordTable& table = store_->storage_->table();
  if (index_applies() &&
      walk_width(static_cast<std::size_t>(std::min<std::uint64_t>(k_, matches.size())),
                 store_->hnsw_->config().ef_search, matches.size(), table.size())) {
    std::vector<std::uint8_t> taken(table.slot_count(), 0);
    for (std::size_t slot : matches) taken[slot] = 1;
    auto accept = [&taken](std::size_t node) { return node < taken.size() && taken[node] != 0; };
    if (auto found = walk(matches.size(), accept)) return std::move(*found);
  }
  slots_ = &matches;
  std::vector<SearchResult> results = scan();
  slots_ = nullptr;
  return results;
}

Result<std::vector<std::vector<SearchResult>>, KorvaneError> Korvane::search_batch(
    std::span<const std::span<const float>> queries, std::uint64_t k, const Filter& filter) const {
  if (filter.matches_everything()) return search_batch(queries, k);
  const Hold held = hold(Mode::Shared);
  const std::vector<std::size_t> matches = matching_slots(filter);
  std::vector<std::vector<SearchResult>> answers(queries.size());
  tbb::parallel_for(std::size_t{0}, queries.size(), [&](std::size_t i) {
    answers[i] = search_builder(queries[i], k).through_matches(matches);
  });
  return answers;
}

}  // namespace korvane_core
