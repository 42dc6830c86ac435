#include "korvane/korvane.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "core/fair_lock.h"
#include "core/field_index.h"
#include "core/search_path.h"
#include "core/store_internals.h"
#include "core/store_settings.h"

namespace korvane_core {
namespace {

// The stores this thread holds, innermost last, with how.
struct Held {
  const Korvane* store;
  Korvane::Mode mode;
};
thread_local std::vector<Held> t_held;

const Held* held_here(const Korvane* store) {
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (it->store == store) return &*it;
  }
  return nullptr;
}

// The whole index is built again once this many nodes per live record were deleted since it
// was built. Repairs and purges keep the graph as good as a fresh build's well beyond that: with
// 25 % to 300 % deleted, recall@10 at each ef was within 0.003 of a fresh build's or above it,
// and a walk measured 0.93-1.21x its vectors at equal recall, with no trend (`upkeep_bench
// wear`). So the rebuild is a safety net for drift not measured, and kept rare.
constexpr double kRebuildAfterDeleted = 2.0;

}  // namespace

// What a write does to the index, worked out before the write consumes its records: the
// indexed slots it removes, and which of the slots it appends survive the batch (a later
// operation on the same id removes an earlier one's record).
struct IndexChange {
  std::vector<std::size_t> removed;   // ascending
  std::vector<std::uint8_t> kept;     // per appended slot, in order
  std::size_t removed_appended = 0;   // appended slots the batch itself removes

  IndexChange(const RecordTable& table, const std::vector<korvane_storage::WriteOp>& ops) {
    using Kind = korvane_storage::WriteOp::Kind;
    for (const auto& op : ops) {
      if (op.kind == Kind::Insert) continue;
      if (auto slot = table.newest(op.record.id)) removed.push_back(*slot);
    }
    std::sort(removed.begin(), removed.end());
    removed.erase(std::unique(removed.begin(), removed.end()), removed.end());
    std::unordered_set<std::string_view> later;
    for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
      if (it->kind != Kind::Remove) kept.push_back(!later.contains(it->record.id));
      if (it->kind != Kind::Insert) later.insert(it->record.id);
    }
    std::reverse(kept.begin(), kept.end());
    for (const std::uint8_t k : kept) removed_appended += k == 0;
  }
};

Korvane::Hold::Hold(const Korvane& store, Mode mode, bool wait) : store_(&store), mode_(mode) {
  if (const Held* outer = held_here(store_)) {
    if (mode == Mode::Exclusive && outer->mode == Mode::Shared) {
      throw std::logic_error("a thread that holds the store for reading cannot write to it");
    }
    store_ = nullptr;  // nested: the outer hold covers it
    return;
  }
  generation_ = FairLock::generation();
  FairLock& lock = *store.lock_;
  if (mode == Mode::Exclusive) {
    if (wait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      store_ = nullptr;
      return;
    }
  } else if (wait) {
    lock.lock_shared();
  } else if (!lock.try_lock_shared()) {
    store_ = nullptr;
    return;
  }
  taken_ = true;
  t_held.push_back(Held{store_, mode});
}

Korvane::Hold::Hold(Hold&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)),
      mode_(other.mode_),
      taken_(std::exchange(other.taken_, false)),
      generation_(other.generation_) {}

Korvane::Hold::~Hold() {
  if (!taken_) return;
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (it->store == store_) {
      t_held.erase(std::next(it).base());
      break;
    }
  }
  if (mode_ == Mode::Exclusive) {
    store_->lock_->unlock(generation_);
  } else {
    store_->lock_->unlock_shared(generation_);
  }
}

std::optional<Korvane::Hold> Korvane::try_hold(Mode mode) const {
  Hold hold(*this, mode, false);
  if (!hold.taken_ && held_here(this) == nullptr) return std::nullopt;
  return hold;
}

KorvaneError storage_failure(const StorageError& error) {
  // A storage error of the storage kind already is what display() adds: keep one prefix.
  std::string message =
      error.kind == StorageError::Kind::Storage ? error.message : error.display();
  return KorvaneError{error.out_of_memory ? KorvaneError::Code::OutOfMemory
                                          : KorvaneError::Code::Storage,
                      std::move(message), error.index};
}

Korvane::Korvane(std::unique_ptr<korvane_storage::Storage> storage, Metric metric)
    : storage_(std::move(storage)), metric_(metric), lock_(std::make_unique<FairLock>()) {}

Korvane::~Korvane() = default;

Result<std::unique_ptr<Korvane>, KorvaneError> Korvane::open(const std::string& path) {
  return open(path, Settings{}, false);
}

Result<std::unique_ptr<Korvane>, KorvaneError> Korvane::open(const std::string& path,
                                                             Metric metric) {
  return open(path, Settings{metric, std::nullopt}, false);
}

Result<std::unique_ptr<Korvane>, KorvaneError> Korvane::open(const std::string& path,
                                                             const Settings& wanted) {
  return open(path, wanted, true);
}

Result<void, KorvaneError> Korvane::write(WriteBatch batch) {
  if (batch.empty()) return {};
  const Hold held = hold(Mode::Exclusive);
  if (dim_) {
    for (std::size_t i = 0; i < batch.ops_.size(); ++i) {
      const auto& op = batch.ops_[i];
      if (op.kind == WriteBatch::Op::Kind::Remove || op.vector.size() == *dim_) continue;
      KorvaneError error = length_error(op.vector.size(), *dim_);
      error.item = i;
      return error;
    }
  }
  const std::size_t first_new = storage_->table().slot_count();
  if (hnsw_) {
    // Checked before the write: once it is committed the index must be able to take it.
    std::size_t added = 0;
    for (const auto& op : batch.ops_) added += op.kind != WriteBatch::Op::Kind::Remove;
    if (added > HnswIndex::kMaxNodes - std::min(first_new, HnswIndex::kMaxNodes)) {
      return KorvaneError{KorvaneError::Code::Config,
                          "the graph index holds at most " +
                              std::to_string(HnswIndex::kMaxNodes) + " records"};
    }
  }
  std::size_t appended = 0;
  std::vector<korvane_storage::WriteOp> ops;
  ops.reserve(batch.ops_.size());
  for (auto& op : batch.ops_) {
    const bool remove = op.kind == WriteBatch::Op::Kind::Remove;
    appended += !remove;
    ops.push_back({remove ? korvane_storage::WriteOp::Kind::Remove
                          : korvane_storage::WriteOp::Kind::Upsert,
                   Record{std::move(op.id), std::move(op.vector), std::move(op.metadata),
                          op.timestamp}});
  }
  // The moved-from operations are dead weight through the write (some 130 bytes a record).
  std::vector<WriteBatch::Op>().swap(batch.ops_);
  const bool follow = hnsw_ && !index_stale_.load(std::memory_order_relaxed);
  std::optional<IndexChange> change;
  if (follow) change.emplace(storage_->table(), ops);
  auto written = storage_->write(ops);
  if (!written) return storage_failure(written.error());
  follow_fields(first_new, appended);
  // Committed. The index follows the write; when it cannot (no memory), it is rebuilt here, or
  // at worst marked stale and rebuilt before its next use.
  index_saved_ = false;
  if (!follow) return {};
  try {
    if (!follow_index(*change, first_new, *written)) {
      *hnsw_ = build_index(hnsw_->config());
    } else if (hnsw_->deleted_total() >
               kRebuildAfterDeleted * static_cast<double>(storage_->table().size())) {
      *hnsw_ = build_index(hnsw_->config());
    }
  } catch (...) {
    try {
      *hnsw_ = build_index(hnsw_->config());
    } catch (...) {
      index_stale_.store(true, std::memory_order_release);
    }
  }
  return {};
}

// Node numbers are slot numbers. A write removes records by marking their slots dead, and the
// table may then compact (Storage::write), moving every live slot down over the dead ones in
// order. So after a write:
//   - without compaction, each removed record's node is marked deleted, and the appended
//     records that survive the batch are inserted at their slots;
//   - with compaction, every indexed slot that was live just before it (indexed, not deleted,
//     not removed by this write) and every surviving appended slot took the next new number in
//     order: the deleted nodes are purged (their vectors are gone from the table), the graph is
//     renumbered to match, and the appended records are inserted at their new slots.
// False when the table does not hold what this account expects (its counts disagree): the
// caller then builds the index afresh.
bool Korvane::follow_index(const IndexChange& change, std::size_t first_new,
                           std::size_t removed) {
  const RecordTable& table = storage_->table();
  HnswIndex& index = *hnsw_;
  if (removed != change.removed.size() + change.removed_appended) return false;
  const std::size_t appended = change.kept.size();
  const std::size_t threads = index.config().threads;
  std::vector<std::size_t> added;
  added.reserve(appended - change.removed_appended);
  if (table.slot_count() == first_new + appended) {
    const auto access = search_path::vector_access(table);
    index.mark_deleted(change.removed);
    index.repair_around(change.removed, access, metric_);
    for (std::size_t j = 0; j < appended; ++j) {
      if (change.kept[j] != 0) added.push_back(first_new + j);
    }
    index.insert_all(added, access, metric_, threads);
    return true;
  }
  std::vector<std::uint32_t> new_number(first_new + appended, HnswIndex::kNoNode);
  std::uint32_t next = 0;
  auto gone = change.removed.begin();
  for (std::size_t slot = 0; slot < first_new; ++slot) {
    const bool removed_here = gone != change.removed.end() && *gone == slot;
    gone += removed_here;
    if (index.contains(slot) && !index.is_deleted(slot) && !removed_here) new_number[slot] = next++;
  }
  for (std::size_t j = 0; j < appended; ++j) {
    if (change.kept[j] != 0) {
      added.push_back(next);
      new_number[first_new + j] = next++;
    }
  }
  if (next != table.slot_count()) return false;
  // The live nodes' vectors, read at their new slots while the graph still has the old numbers.
  auto moved = [&](std::size_t node) { return table.vector(new_number[node]); };
  index.mark_deleted(change.removed);
  index.purge(moved, metric_);
  index.renumber(new_number, table.slot_count());
  const auto access = search_path::vector_access(table);
  index.insert_all(added, access, metric_, threads);
  return true;
}

Result<void, KorvaneError> Korvane::insert(std::string_view id, std::vector<float> vector,
                                           std::optional<Value> metadata) {
  return insert_with_time(id, std::move(vector), std::move(metadata), std::nullopt);
}

Result<void, KorvaneError> Korvane::insert_with_time(std::string_view id,
                                                     std::vector<float> vector,
                                                     std::optional<Value> metadata,
                                                     std::optional<std::uint64_t> timestamp) {
  WriteBatch batch;
  batch.insert(std::string(id), std::move(vector), std::move(metadata), timestamp);
  return write(std::move(batch));
}

std::size_t Korvane::size() const {
  const Hold held = hold(Mode::Shared);
  return storage_->table().size();
}

bool Korvane::contains(std::string_view id) const {
  const Hold held = hold(Mode::Shared);
  return storage_->newest_position(id).has_value();
}

namespace {

RecordView view_of(const RecordTable& table, std::size_t slot) {
  return RecordView{table.id(slot), table.vector(slot), table.metadata(slot),
                    table.timestamp(slot)};
}

}  // namespace

void Korvane::visit(const std::function<bool(const RecordView&)>& visit) const {
  const Hold held = hold(Mode::Shared);
  const RecordTable& table = storage_->table();
  for (std::size_t slot : table.live_slots()) {
    if (!visit(view_of(table, slot))) return;
  }
}

bool Korvane::visit(std::string_view id,
                    const std::function<void(const RecordView&)>& visit) const {
  const Hold held = hold(Mode::Shared);
  auto slot = storage_->newest_position(id);
  if (!slot) return false;
  visit(view_of(storage_->table(), *slot));
  return true;
}

std::optional<SearchResult> Korvane::get(std::string_view id) const {
  const Hold held = hold(Mode::Shared);
  auto slot = storage_->newest_position(id);
  if (!slot) return std::nullopt;
  return search_path::result_at(storage_->table(), *slot, 0.0f);
}

Result<void, KorvaneError> Korvane::delete_(std::string_view id) {
  WriteBatch batch;
  batch.remove(std::string(id));
  return write(std::move(batch));
}

HnswIndex Korvane::build_index(HnswConfig config) const {
  return *build_index(config, 0, nullptr);
}

std::optional<HnswIndex> Korvane::build_index(HnswConfig config, std::size_t every,
                                              const Progress* progress) const {
  HnswIndex index(config);
  const RecordTable& table = storage_->table();
  const auto access = search_path::vector_access(table);
  const std::size_t total = table.size();
  const std::vector<std::size_t> slots(table.live_slots().begin(), table.live_slots().end());
  auto report = [&](std::size_t done) { return (*progress)(done, total); };
  if (!index.insert_all(slots, access, metric_, config.threads, progress != nullptr ? every : 0,
                        report)) {
    return std::nullopt;
  }
  if (progress != nullptr && !(*progress)(total, total)) return std::nullopt;
  return index;
}

Result<void, KorvaneError> Korvane::enable_hnsw(HnswConfig config) {
  auto built = enable_hnsw(config, 0, [](std::size_t, std::size_t) { return true; });
  if (!built) return std::move(built).error();
  return {};
}

Result<Korvane::Build, KorvaneError> Korvane::enable_hnsw(HnswConfig config, std::size_t every,
                                                          const Progress& progress) {
  const Hold held = hold(Mode::Exclusive);
  if (auto fits = HnswIndex::check(config, storage_->table().slot_count()); !fits) {
    return std::move(fits).error();
  }
  std::optional<HnswIndex> index = build_index(config, every, &progress);
  if (!index) return Build::Cancelled;
  hnsw_ = std::make_unique<HnswIndex>(std::move(*index));
  index_stale_.store(false, std::memory_order_release);
  index_source_ = IndexSource::Built;
  index_saved_ = false;
  return Build::Installed;
}

void Korvane::refresh_index() const {
  if (!index_stale_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(index_mu_);
  if (!index_stale_.load(std::memory_order_acquire)) return;
  HnswIndex fresh = build_index(hnsw_->config());
  *hnsw_ = std::move(fresh);
  index_stale_.store(false, std::memory_order_release);
  index_saved_ = false;
}

const HnswIndex* Korvane::hnsw() const {
  const Hold held = hold(Mode::Shared);
  if (!hnsw_) return nullptr;
  refresh_index();
  return hnsw_.get();
}

std::optional<Korvane::IndexInfo> Korvane::index_info() const {
  const Hold held = hold(Mode::Shared);
  const HnswIndex* index = hnsw();
  if (index == nullptr) return std::nullopt;
  return IndexInfo{index->config(), storage_->table().size(), index->deleted_count(), index_source_};
}

void Korvane::set_ef_search(std::size_t ef) {
  hnsw_->set_ef_search(ef);
  index_saved_ = false;
}

Result<void, KorvaneError> Korvane::check_writable() const {
  if (auto writable = storage_->check_writable(); !writable) {
    return storage_failure(writable.error());
  }
  return {};
}

SearchBuilder Korvane::search_builder(std::span<const float> query, std::uint64_t k) const {
  return SearchBuilder(*this, std::vector<float>(query.begin(), query.end()), k);
}

Result<std::vector<SearchResult>, KorvaneError> Korvane::search(std::span<const float> query,
                                                                std::uint64_t k) const {
  return search_builder(query, k).execute();
}

Result<std::vector<SearchResult>, KorvaneError> SearchBuilder::execute() && {
  const Korvane::Hold held = store_->hold(Korvane::Mode::Shared);
  if (where_) return through_filter();
  if (index_applies()) return through_index();
  return scan();
}

bool SearchBuilder::index_applies() const {
  return filters_.empty() && !decay_ && store_->hnsw_ != nullptr;
}

std::vector<SearchResult> SearchBuilder::through_index() const {
  store_->refresh_index();
  const RecordTable& table = store_->storage_->table();
  // k beyond the machine word cannot be held anyway; the index returns at most its node count.
  const std::size_t k = static_cast<std::size_t>(k_);
  const std::size_t ef = ef_.value_or(store_->hnsw_->config().ef_search);
  return search_path::results_of(
      table, store_->hnsw_->search(query_, k, ef, search_path::vector_access(table),
                                   store_->metric_));
}

}  // namespace korvane_core
