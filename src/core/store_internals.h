// The store as the core's own units and its tests see it: the layers below korvane.h by their
// names, the one conversion of a storage error into the store's error, and StoreInternals, the
// way to the store's records table, storage and graph that korvane.h keeps to itself.
//
// Nothing outside src/ and tests/ includes this header; what callers need of these parts is in
// korvane.h (visit, index_info, check_writable).
#pragma once

#include "index/hnsw.h"
#include "korvane/korvane.h"
#include "storage/record.h"
#include "storage/record_table.h"
#include "storage/storage.h"

namespace korvane_core {

using korvane_index::hnsw::HnswIndex;
using korvane_storage::Record;
using korvane_storage::RecordTable;
using korvane_storage::StorageError;

// The store's error for a failure of the storage layer: Storage (OutOfMemory when the database
// ran out of memory), the storage error's display text as the message but without a second
// "Storage error: " prefix, and the failing operation as the item.
KorvaneError storage_failure(const StorageError& error);

struct StoreInternals {
  // Every slot of the store, live and dead. Valid while the caller holds the store.
  static const RecordTable& table(const Korvane& store) { return store.storage_->table(); }
  static const korvane_storage::Storage& storage(const Korvane& store) { return *store.storage_; }
  // The index, rebuilt first when stale; null when none. Tests may set its word source.
  static HnswIndex* hnsw(const Korvane& store) { return const_cast<HnswIndex*>(store.hnsw()); }
};

}  // namespace korvane_core
