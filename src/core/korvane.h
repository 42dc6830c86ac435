// Korvane: the core store. One Storage (the database file and every record in memory), the
// store's Metric, and an optional graph index over the records' vectors.
//
// Every change is committed to the database file first; records and the index change only after
// the commit succeeded, so a failed insert or delete changes nothing. A search scores every
// record on the worker pool (the scanning path) unless the store has an index and the request
// carries neither filters nor decay (the index path).
//
// Thread safety: none of its own. insert, insert_with_time, delete_ and enable_hnsw need
// exclusive access; get, get_all and search may run together from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/hnsw.h"
#include "index/metric.h"
#include "storage/result.h"
#include "storage/storage.h"
#include "storage/value.h"

namespace korvane_core {

using korvane_index::Metric;
using korvane_index::hnsw::HnswConfig;
using korvane_index::hnsw::HnswIndex;
using korvane_storage::Record;
using korvane_storage::Result;
using korvane_storage::StorageError;
using korvane_storage::Value;

struct KorvaneError {
  enum class Kind { Storage, Serialization };
  Kind kind;
  std::string message;  // the wrapped error's display text
  // The database ran out of memory: the module raises MemoryError rather than RuntimeError.
  bool out_of_memory = false;

  static KorvaneError from(const StorageError& e) {
    KorvaneError k{Kind::Storage, e.display()};
    k.out_of_memory = e.out_of_memory;
    return k;
  }
  // "Storage error: " or "Serialization error: " followed by message.
  std::string display() const;
};

struct SearchResult {
  std::string id;
  float score = 0.0f;
  std::optional<Value> metadata;
};

class SearchBuilder;

class Korvane {
 public:
  Korvane(const Korvane&) = delete;
  Korvane& operator=(const Korvane&) = delete;

  // Opens or creates the store at path; no index, metric Cosine. The metric overload is for
  // callers of the core that score with another metric.
  static Result<std::unique_ptr<Korvane>, KorvaneError> open(const std::string& path);
  static Result<std::unique_ptr<Korvane>, KorvaneError> open(const std::string& path,
                                                             Metric metric);

  Result<void, KorvaneError> insert(std::string_view id, std::vector<float> vector,
                                    std::optional<Value> metadata);
  Result<void, KorvaneError> insert_with_time(std::string_view id, std::vector<float> vector,
                                              std::optional<Value> metadata,
                                              std::optional<std::uint64_t> timestamp);

  // The newest record with this id (score 0.0), or nothing.
  std::optional<SearchResult> get(std::string_view id) const;
  const std::vector<Record>& get_all() const { return storage_->records(); }

  // Removes every record with this id; rebuilds the index when it removed something.
  Result<void, KorvaneError> delete_(std::string_view id);

  // The best k records for the query, by the store's metric, with no filter or decay.
  Result<std::vector<SearchResult>, KorvaneError> search(std::span<const float> query,
                                                         std::uint64_t k) const;
  // A request that a caller may add filters, decay and a reference time to.
  SearchBuilder search_builder(std::span<const float> query, std::uint64_t k) const;

  // Builds a graph index over every record and installs it. Cannot fail.
  void enable_hnsw(HnswConfig config);

  Metric metric() const { return metric_; }
  const HnswIndex* hnsw() const { return hnsw_ ? &*hnsw_ : nullptr; }
  const korvane_storage::Storage& storage() const { return *storage_; }

 private:
  Korvane(std::unique_ptr<korvane_storage::Storage> storage, Metric metric);
  friend class SearchBuilder;

  std::optional<HnswIndex> hnsw_;
  std::unique_ptr<korvane_storage::Storage> storage_;
  Metric metric_;
};

// One search request over a store; lives only for the call. execute() takes the index path when
// the store has an index and no filter or decay is set, and the scanning path otherwise.
class SearchBuilder {
 public:
  SearchBuilder(const Korvane& store, std::vector<float> query, std::uint64_t k)
      : store_(&store), query_(std::move(query)), k_(k) {}

  // Keep only records whose metadata object holds key with a value equal to value. All filters
  // must hold. key must outlive the builder.
  SearchBuilder& filter(std::string_view key, Value value) {
    filters_.emplace_back(key, std::move(value));
    return *this;
  }
  // Multiply each score by factor ^ (age in days), age = now - timestamp when now > timestamp.
  SearchBuilder& decay(float factor) {
    decay_ = factor;
    return *this;
  }
  SearchBuilder& now(std::uint64_t seconds) {
    now_ = seconds;
    return *this;
  }

  Result<std::vector<SearchResult>, KorvaneError> execute() &&;

 private:
  std::vector<SearchResult> scan() const;
  std::vector<SearchResult> through_index() const;

  const Korvane* store_;
  std::vector<float> query_;
  std::uint64_t k_;
  std::vector<std::pair<std::string_view, Value>> filters_;
  std::optional<float> decay_;
  std::optional<std::uint64_t> now_;
};

}  // namespace korvane_core
