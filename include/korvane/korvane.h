// korvane's C++ API: the core store (Korvane), its write batch, its search requests and their
// results, its settings and errors, the metadata filter a caller compiles, and the graph index's
// settings (korvane/result.h). Metadata values and their JSON text are korvane/value.h. Nothing
// here shows how the store is made: its records, file and index are reached through the calls
// below only.
//
// Korvane: the core store. The database file and every record in memory, the store's Metric,
// and an optional graph index over the records.
//
// Every change is a WriteBatch committed to the database file first; records and the index
// change only after the commit succeeded, and nothing after the commit can fail, so a failed
// write changes nothing and a successful one is complete. A search scores every record on the
// worker pool (the scanning path) unless the store has an index and the request carries neither
// filters nor decay (the index path).
//
// The index follows inserts at once. A write that removed records only marks it stale; it is
// rebuilt over the remaining records, once however many writes marked it, by the next search
// that takes the index path (or by index_info()). It then equals a fresh build over those
// records.
//
// Thread safety: every method may be called from any number of threads at once. The store
// owns a fair reader-writer lock (see hold()): write, insert, insert_with_time, delete_ and
// enable_hnsw take it exclusively, get, visit, size, contains, index_info, search,
// search_batch and SearchBuilder::execute share it (a stale index is rebuilt by one reader
// while the others wait). The views visit() passes are valid during the visit, and beyond it
// while the caller holds the store. A forked child may go on reading its copy; the lock does
// not remember the parent's threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvane/result.h"
#include "korvane/value.h"

// What the store is made of, known here by name only.
namespace korvane_storage {
class Storage;
}
namespace korvane_index::hnsw {
class HnswIndex;
class NodeFilter;
}

namespace korvane_core {

using korvane_index::Metric;
using korvane_index::hnsw::HnswConfig;
using korvane_index::hnsw::Neighbors;
using korvane_storage::Result;
using korvane_storage::Value;

struct SearchResult {
  std::string id;
  float score = 0.0f;
  std::optional<Value> metadata;
};

// The settings a store keeps in its file (in its header, not in the rows): the metric it scores
// by and the length every vector must have. Unset means Cosine, any length.
struct Settings {
  // The longest vector length a file can require.
  static constexpr std::size_t kMaxDim = (std::size_t{1} << 28) - 1;
  std::optional<Metric> metric;
  std::optional<std::size_t> dim;
};

// One record as the store holds it, seen during Korvane::visit. The views point into the store.
struct RecordView {
  std::string_view id;
  std::span<const float> vector;
  const std::optional<Value>& metadata;
  std::optional<std::uint64_t> timestamp;
};

// The metric's name as settings give it: "cosine", "dot", "euclidean" or "manhattan".
const char* metric_name(Metric metric);
// The metric settings call `name`, or nothing when no metric has that name.
std::optional<Metric> metric_from_name(std::string_view name);

class SearchBuilder;
class Filter;
class FieldIndex;
class FairLock;
struct StoreInternals;

// A list of writes applied by Korvane::write in one SQLite transaction, all or nothing in the
// file and in memory. Operations apply in the order added.
class WriteBatch {
 public:
  // As Korvane::insert / insert_with_time: the record replaces every record with its id, as
  // upsert() does, so a store never holds two records with one id.
  void insert(std::string id, std::vector<float> vector, std::optional<Value> metadata,
              std::optional<std::uint64_t> timestamp = std::nullopt) {
    upsert(std::move(id), std::move(vector), std::move(metadata), timestamp);
  }
  // As Korvane::delete_: removes every record with this id.
  void remove(std::string id) { ops_.push_back(Op{Op::Kind::Remove, std::move(id), {}, {}, {}}); }
  // Replaces every record with this id by this one: the same result as remove(id) then
  // insert(...) (in memory the old records go, the new one is appended last), as one operation.
  void upsert(std::string id, std::vector<float> vector, std::optional<Value> metadata,
              std::optional<std::uint64_t> timestamp = std::nullopt) {
    ops_.push_back(Op{Op::Kind::Upsert, std::move(id), std::move(vector), std::move(metadata),
                      timestamp});
  }

  // Room for n operations in all, so that adding them never regrows the list.
  void reserve(std::size_t n) { ops_.reserve(n); }
  std::size_t size() const { return ops_.size(); }
  bool empty() const { return ops_.empty(); }
  void clear() { ops_.clear(); }

 private:
  friend class Korvane;
  struct Op {
    enum class Kind : std::uint8_t { Remove, Upsert };
    Kind kind;
    std::string id;
    std::vector<float> vector;
    std::optional<Value> metadata;
    std::optional<std::uint64_t> timestamp;
  };
  std::vector<Op> ops_;
};

struct IndexChange;

class Korvane {
 public:
  Korvane(const Korvane&) = delete;
  Korvane& operator=(const Korvane&) = delete;
  ~Korvane();

  // Holds the store's lock across several calls from one thread: Exclusive alone, Shared with
  // other readers. Waiting is fair: a reader waits only for writers that were queued before it,
  // a writer only for callers that were queued before it. While a hold lives, this thread's
  // calls on the store run inside it without locking again (a writing call inside a Shared
  // hold is a programming error and throws std::logic_error). Holds end in reverse order.
  enum class Mode { Shared, Exclusive };
  class Hold {
   public:
    Hold(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    Hold& operator=(Hold&&) = delete;
    ~Hold();

   private:
    friend class Korvane;
    friend class SearchBuilder;
    Hold(const Korvane& store, Mode mode, bool wait);
    const Korvane* store_;
    Mode mode_;
    bool taken_ = false;     // this hold took the lock (it is not nested in another)
    std::uint64_t generation_ = 0;
  };
  // Waits for the lock.
  [[nodiscard]] Hold hold(Mode mode) const { return Hold(*this, mode, true); }
  // Nothing when the lock cannot be had at once.
  std::optional<Hold> try_hold(Mode mode) const;

  // Opens or creates the store at path, with no index, using the settings saved in its file
  // (metric Cosine and any length when none are). The metric overload is for callers of the
  // core that score with another metric; it saves nothing, and a file saved with another metric
  // is refused (Config).
  static Result<std::unique_ptr<Korvane>, KorvaneError> open(const std::string& path);
  static Result<std::unique_ptr<Korvane>, KorvaneError> open(const std::string& path,
                                                             Metric metric);
  // As open(path), for a caller that wants these settings: a field set in `wanted` that differs
  // from the saved one is refused (Config, naming both; the file untouched); one not saved yet
  // is saved into the file (a dim only after every record was checked to have that length).
  // dim must be 1 to Settings::kMaxDim. A file the open makes (or finds empty) is made with 64 KB
  // pages when dim is 768 or less, SQLite's 4 KB otherwise; any other file keeps its page size.
  static Result<std::unique_ptr<Korvane>, KorvaneError> open(const std::string& path,
                                                             const Settings& wanted);

  // Applies the batch's operations in order, in one transaction: all of them or, on failure,
  // none (file and memory as before). A record that cannot be encoded, or of another length than
  // the store's dim, fails the batch with the error's item set to its operation's position. An
  // empty batch changes nothing.
  Result<void, KorvaneError> write(WriteBatch batch);

  // Batches of one. An existing id is replaced: its records go, the new one is last in store
  // order (as WriteBatch::upsert), in memory as in the file.
  Result<void, KorvaneError> insert(std::string_view id, std::vector<float> vector,
                                    std::optional<Value> metadata);
  Result<void, KorvaneError> insert_with_time(std::string_view id, std::vector<float> vector,
                                              std::optional<Value> metadata,
                                              std::optional<std::uint64_t> timestamp);

  // The newest record with this id (score 0.0), or nothing.
  std::optional<SearchResult> get(std::string_view id) const;
  // Calls visit with every record in store order, holding the store shared meanwhile, until
  // visit returns false. Store order is the order of the file's ids at open, then the order
  // records were written (a replaced record goes last).
  void visit(const std::function<bool(const RecordView&)>& visit) const;
  // Calls visit with the newest record with this id; false, without a call, when there is none.
  bool visit(std::string_view id, const std::function<void(const RecordView&)>& visit) const;
  // The number of records visit() passes.
  std::size_t size() const;
  // Whether some record has this id.
  bool contains(std::string_view id) const;

  // Removes every record with this id; the index marks the record's node deleted.
  Result<void, KorvaneError> delete_(std::string_view id);

  // The best k records for the query, by the store's metric, with no filter or decay.
  Result<std::vector<SearchResult>, KorvaneError> search(std::span<const float> query,
                                                         std::uint64_t k) const;
  // search(queries[i], k) for every query, each answer exactly as that call would give it. The
  // scanning path reads each record's vector once per block of queries instead of once per
  // query.
  Result<std::vector<std::vector<SearchResult>>, KorvaneError> search_batch(
      std::span<const std::span<const float>> queries, std::uint64_t k) const;
  // search_batch over the records that pass filter only; each answer is that of
  // search_builder(query, k).where(filter).execute().
  Result<std::vector<std::vector<SearchResult>>, KorvaneError> search_batch(
      std::span<const std::span<const float>> queries, std::uint64_t k, const Filter& filter) const;
  // A request that a caller may add filters, decay and a reference time to.
  SearchBuilder search_builder(std::span<const float> query, std::uint64_t k) const;

  // Builds a graph index over every record and installs it. Refuses (and changes nothing) a
  // configuration the index cannot hold: levels too high to keep lists for, or more records
  // than its links can number. The build runs on config.threads threads (0: every core); with
  // 1 it is sequential and its graph the same bit for bit every time for the same levels.
  // Writes then keep the index: a removed or replaced record's node is marked deleted (walks
  // pass through it, results never hold it), new records are inserted, and the whole index is
  // built again, at the write, only once the deleted nodes since the build pass half the
  // records.
  Result<void, KorvaneError> enable_hnsw(HnswConfig config);
  // enable_hnsw, calling progress(done, total) from the calling thread after every `every`
  // records are in the new index and once when all are. When progress returns false the build
  // stops and the store keeps the index it had (or none): the result then is Cancelled.
  using Progress = std::function<bool(std::size_t done, std::size_t total)>;
  enum class Build : std::uint8_t { Installed, Cancelled };
  Result<Build, KorvaneError> enable_hnsw(HnswConfig config, std::size_t every,
                                          const Progress& progress);

  // The records that pass filter (see Filter): how many, and the first `limit` of them in store
  // order (score 0.0). Their cost follows the records the filter can match where the fields'
  // value lists can name them, and every record's metadata otherwise.
  std::size_t count(const Filter& filter) const;
  std::vector<SearchResult> select(const Filter& filter,
                                   std::size_t limit = static_cast<std::size_t>(-1)) const;
  // Removes, in one transaction, every record with the id of a record that passes filter;
  // returns how many records were removed.
  Result<std::size_t, KorvaneError> remove_where(const Filter& filter);

  // The saved index. While the store has an index, save_index() writes it to
  // index_path(path) beside the store's file: its configuration, a digest of the records it
  // covers (ids, vectors and their order as the next open will load them) and the graph, under
  // a checksum, through a temporary file that is synced and renamed over the old one, so a
  // crash leaves the old saved index or the new one. A stale index is saved as its
  // configuration alone; an index unchanged since it was loaded or saved is not written again.
  // Deleted nodes are first purged from the index in memory (their neighbours relinked), so the
  // saved graph is the one the store answers with from then on; hence save_index() holds the
  // store exclusively. open() loads a saved index only when its checksum verifies and its
  // digest equals that of the records just loaded, under the same metric; otherwise it builds
  // the index afresh with the saved configuration. Without an index save_index() does nothing.
  // Fails in a process that did not open the store, or when the file cannot be written.
  Result<void, KorvaneError> save_index() const;
  // Fails (Storage) unless this is the process that opened the store: a forked child's copy
  // may read but never write.
  Result<void, KorvaneError> check_writable() const;
  static std::string index_path(const std::string& store_path) { return store_path + ".index"; }
  // How the index came to be: enable_hnsw, loaded at open, or rebuilt at open because the saved
  // one did not describe the records.
  enum class IndexSource : std::uint8_t { Built, Loaded, Rebuilt };
  IndexSource index_source() const { return index_source_; }
  // What the index is: its settings, the records it covers, the deleted ones it still routes
  // through, and how it came to be. Nothing without an index; a stale one is rebuilt first
  // (which may throw std::bad_alloc).
  struct IndexInfo {
    HnswConfig config;
    std::size_t nodes = 0;
    std::size_t deleted = 0;
    IndexSource source = IndexSource::Built;
  };
  std::optional<IndexInfo> index_info() const;
  // The search width of the index path, changed without touching the graph. REQUIRES: an index
  // and exclusive access.
  void set_ef_search(std::size_t ef);

  bool has_index() const { return hnsw_ != nullptr; }
  Metric metric() const { return metric_; }
  // The length every vector must have, when the store has one; write() refuses others (Config,
  // with the operation's position as its item).
  std::optional<std::size_t> dim() const { return dim_; }

 private:
  using HnswIndex = korvane_index::hnsw::HnswIndex;
  Korvane(std::unique_ptr<korvane_storage::Storage> storage, Metric metric);
  friend class SearchBuilder;
  friend struct StoreInternals;

  // The live slots whose records pass filter, in store order.
  std::vector<std::size_t> matching_slots(const Filter& filter) const;
  // The fields' value lists, built first when there are none or they are stale.
  const FieldIndex& fields() const;
  // After a committed write that appended slots [first_new, ...) for `added` operations: the
  // value lists follow the appends, or are marked stale when slots were renumbered.
  void follow_fields(std::size_t first_new, std::size_t added) noexcept;
  static Result<std::unique_ptr<Korvane>, KorvaneError> open(const std::string& path,
                                                             const Settings& wanted, bool save);

  // The index over every record, for a configuration already checked, on config.threads.
  HnswIndex build_index(HnswConfig config) const;
  // The same, calling *progress as enable_hnsw describes when it is not null; nothing when
  // progress returned false.
  std::optional<HnswIndex> build_index(HnswConfig config, std::size_t every,
                                       const Progress* progress) const;
  // After a committed write: the index follows its removals, appends and any compaction of the
  // table (korvane.cc); false when it cannot tell which nodes are which.
  bool follow_index(const IndexChange& change, std::size_t first_new, std::size_t removed);
  // Rebuilds a stale index. Safe to call from several searching threads at once.
  void refresh_index() const;
  // At open: installs the saved index, or rebuilds one from its configuration, or neither.
  void load_saved_index();

  // The index, rebuilt first when stale (which may throw std::bad_alloc); null when none.
  const HnswIndex* hnsw() const;

  // The index (null when none) and whether it must be rebuilt before use. Only a write sets
  // stale (with exclusive access); readers clear it under index_mu_.
  mutable std::unique_ptr<HnswIndex> hnsw_;
  mutable std::atomic<bool> index_stale_{false};
  mutable std::mutex index_mu_;
  // Built by the first filtered read; writes extend it or mark it stale like the index.
  mutable std::unique_ptr<FieldIndex> fields_;
  mutable std::atomic<bool> fields_stale_{true};
  mutable std::mutex fields_mu_;
  std::unique_ptr<korvane_storage::Storage> storage_;
  Metric metric_;
  std::optional<std::size_t> dim_;
  std::unique_ptr<FairLock> lock_;
  std::string path_;
  IndexSource index_source_ = IndexSource::Built;
  // The index file holds exactly the index in memory (loaded or saved since its last change),
  // so save_index() need not write it again. Changed with exclusive access or under index_mu_.
  mutable bool index_saved_ = false;
};

// Filter: a condition over a record's metadata, compiled once from its JSON form.
//
// The language is a JSON object:
//   {"field": value}                 equality; several fields in one object must all hold
//   {"field": {"$op": operand, ...}} $eq $ne $gt $gte $lt $lte, $in / $nin (array operand),
//                                    $exists (true or false), $contains (the field is an array
//                                    holding an element equal to the operand); all must hold
//   {"$and": [f, ...]}, {"$or": [f, ...]}, {"$not": f}
// A field's condition is an operator object when every key of it begins with `$`; an object
// without such keys (the empty one included) is a value compared for equality. Fields are the
// top-level keys of a metadata object; other metadata, or none, has no fields.
//
// Equality compares whole values, numbers by value: 1 equals 1.0, and integers beyond 2^53
// compare exactly, never through a double. Ranges compare two numbers by value or two strings
// by byte order; any other pair does not match. A missing field matches $ne, $nin and
// {"$exists": false} only; $not inverts whatever its filter gives. `{}` matches everything.
//
// (SearchBuilder::filter keeps its own, stricter equality, where 1 and 1.0 differ.)
//
// A Filter is immutable and cheap to copy (copies share the compiled form); any number of
// threads may use one at once.
class Filter {
 public:
  // Compiles filter. Fails with a Filter error naming the key or operand at fault: a filter that
  // is not an object, an unknown `$` key, an operand of the wrong kind ($in or $nin without an
  // array, $and or $or without a non-empty array of objects, $not without an object, a range
  // with an array or object, $exists without a boolean), or a condition object that mixes `$`
  // keys with plain ones.
  static Result<Filter, KorvaneError> compile(const Value& filter);

  // Whether a record with this metadata passes.
  bool matches(const std::optional<Value>& metadata) const;
  // Whether the filter is `{}` (or only ever matches everything that way).
  bool matches_everything() const;

  // The compiled form; its layout is private to the core.
  struct Node;
  const Node& root() const { return *root_; }

 private:
  explicit Filter(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
  std::shared_ptr<const Node> root_;
};

// One search request over a store; lives only for the call. execute() takes the index path when
// the store has an index and no filter or decay is set, and the scanning path otherwise.
class SearchBuilder {
 public:
  SearchBuilder(const Korvane& store, std::vector<float> query, std::uint64_t k)
      : store_(&store), query_(std::move(query)), k_(k) {}

  // Keep only records whose metadata object holds key with a value equal to value. All filters
  // must hold.
  SearchBuilder& filter(std::string key, Value value) {
    filters_.emplace_back(std::move(key), std::move(value));
    return *this;
  }
  // Keep only records that pass filter (Filter above), beside any filter() above. With an index
  // and no decay the search may take a filtered walk of the graph, when that is expected to cost
  // less than scoring the matches.
  SearchBuilder& where(const Filter& filter);
  // Multiply each score by factor ^ (age in days), age = now - timestamp when now > timestamp.
  SearchBuilder& decay(float factor) {
    decay_ = factor;
    return *this;
  }
  SearchBuilder& now(std::uint64_t seconds) {
    now_ = seconds;
    return *this;
  }
  // The index path's search width for this request instead of the configured one.
  SearchBuilder& ef(std::size_t width) {
    ef_ = width;
    return *this;
  }

  Result<std::vector<SearchResult>, KorvaneError> execute() &&;

 private:
  friend class Korvane;
  // Whether the graph index may answer: the store has one and the request has neither
  // equality filters nor decay.
  bool index_applies() const;
  // gave_up, when given, says whether the compact first pass found its bounds too weak.
  std::vector<SearchResult> scan(bool* gave_up = nullptr) const;
  std::vector<SearchResult> through_index() const;
  using NodeTest = korvane_index::hnsw::NodeFilter;
  // The filtered search (filtered.cc): a walk of the graph returning nodes that pass accept,
  // when the store has an index and the walk is expected to cost less than scoring the
  // matches, and it came back full; otherwise a scan of the matching slots.
  std::vector<SearchResult> through_filter();
  std::vector<SearchResult> through_matches(const std::vector<std::size_t>& matches);
  std::optional<std::vector<SearchResult>> walk(std::size_t matches, NodeTest accept) const;

  const Korvane* store_;
  std::vector<float> query_;
  std::uint64_t k_;
  std::vector<std::pair<std::string, Value>> filters_;
  std::optional<float> decay_;
  std::optional<std::uint64_t> now_;
  std::shared_ptr<const Filter> where_;
  // When set, the scan covers only these slots (ascending) instead of every slot.
  const std::vector<std::size_t>* slots_ = nullptr;
  std::optional<std::size_t> ef_;
};

}  // namespace korvane_core
