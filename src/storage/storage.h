// Storage: the database file and every record in memory (a RecordTable).
//
// One SQLite file holds one table, `records`: the key is the id's UTF-8 bytes (compared as
// bytes), the value is the record's row text (record.h). The file is locked exclusively for the
// life of the Storage. open() loads every row into the table in key order; write() commits a list
// of operations in one durable write transaction and changes the table only after the commit
// succeeded, so a failed write leaves both the file and memory as they were.
//
// The in-memory table may hold several records with one id (an id inserted again while open:
// the newest is last); the file holds only the newest.
//
// A Storage belongs to the process that opened it. A forked child inherits the connection but
// must never use it: SQLite's state is not shared across processes, so writes from both sides
// corrupt the file, and a child closing it would checkpoint and delete the parent's -wal. In any
// other process every write fails without touching the file, table() still reads fine, and
// destroying the Storage closes the connection without a checkpoint, so that the file, its
// -wal and the owner's lock stay as they are and the child can open the store anew once the
// owner has let go of it. An open in the child first closes every inherited connection that
// way (the inherited copies keep reading their tables), so it need not wait for their
// destruction.
//
// open() refuses, before it creates or changes anything, a name that is not a regular file, a
// file with more than one hard link, and a read-only file or folder.
//
// Thread safety: none of its own. Writes need exclusive access; any number of threads may read
// table() while no write runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/record.h"
#include "storage/record_table.h"
#include "korvane/result.h"

namespace korvane_storage {

struct StorageError {
  enum class Kind { Serialization, Database, Transaction, Table, Commit, Storage, InvalidFormat };
  Kind kind;
  std::string message;  // the wrapped error's own text
  // For a write of several operations: the one that could not be encoded.
  std::optional<std::size_t> index = std::nullopt;
  // SQLite ran out of memory; the module raises MemoryError for such an error.
  bool out_of_memory = false;

  // "Commit error: " + message, and so on for each kind. Open refusals: Table for a database
  // that is not a store, InvalidFormat for a row filed under a key that is not its id (or keys
  // out of order), Serialization for a row that does not decode.
  std::string display() const;
};

// The settings a store keeps in its file's header, outside the records table: the metric's
// one-byte code (korvane_index::Metric) and the required vector length. Either may be unset;
// a file that never had settings saved has neither.
struct StoredSettings {
  std::optional<std::uint8_t> metric;
  std::optional<std::uint32_t> dim;
  friend bool operator==(const StoredSettings&, const StoredSettings&) = default;
};

// The largest dimension the header can hold.
inline constexpr std::uint32_t kMaxStoredDim = (std::uint32_t{1} << 28) - 1;

// The page size for a new store whose vectors will have dim components (0: not known), or 0 for
// SQLite's default. A row that fits its B-tree leaf page is written and read as one piece; one
// that does not keeps about a quarter of a page there and puts the rest on overflow pages of its
// own, the last one partly empty. So 4096-byte pages hold rows of up to about 1,000 bytes whole
// and waste little on long rows (under a page each), and 65536-byte pages hold rows of up to
// about 16,400 bytes whole but waste up to a page on each longer one. Row text takes about 12.5
// bytes a component: 65536 for a dim up to 768, which leaves some 6 KB of room for metadata;
// the default otherwise, and when the dim is not known.
std::uint32_t page_size_for(std::size_t dim);

// One operation of a write. Insert adds the record as the newest with its id; Remove removes
// every record with record.id (the rest of the record is unused); Upsert is Remove then Insert.
struct WriteOp {
  enum class Kind : std::uint8_t { Insert, Remove, Upsert };
  Kind kind;
  Record record;
};

class Storage {
 public:
  struct Impl;

  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage();  // closes the database and releases its lock (in the owning process only)

  // Opens or creates the database file at path and loads every record. An existing database
  // must hold exactly the store's table and nothing else; a database without any table gets it.
  // An open that fails leaves an existing file as it found it, and removes a file it created.
  // A file that holds nothing yet (one the open creates, or an empty one) is made with pages of
  // new_page_size bytes (0: SQLite's default, 4096); any other keeps the page size it has.
  // REQUIRES: new_page_size 0 or a power of two from 512 to 65536.
  static Result<std::unique_ptr<Storage>, StorageError> open(const std::string& path,
                                                             std::uint32_t new_page_size = 0);

  // Applies ops in order in one transaction: all of them, in the file and in the table, or none.
  // (SQLite is handed them sorted by id, those on one id in order, which ends the same.)
  // Returns the number of records removed from the table. A record that cannot be encoded fails
  // the write with its operation's index, the first such in ops. The records are consumed on
  // success; on failure their vectors may have been.
  // Throws std::bad_alloc when the table cannot take the new records; nothing has changed then.
  // Once the write has committed nothing can fail; the table may compact afterwards, which
  // renumbers its slots.
  Result<std::size_t, StorageError> write(std::vector<WriteOp>& ops);

  // A write of at least this many vector components takes a rollback journal instead of the
  // write-ahead log, for speed; the file ends the same. For tests, which lower it.
  static void set_direct_write_floats(std::size_t floats);

  // Fails unless this is the process that opened the store. write() calls it first.
  Result<void, StorageError> check_writable() const;

  // Writes of one operation: append() inserts, delete_() removes and returns whether a row
  // existed (it commits also when none did).
  Result<void, StorageError> append(Record record);
  Result<bool, StorageError> delete_(std::string_view id);

  const RecordTable& table() const { return table_; }

  // The settings found in the header at open, or saved since.
  const StoredSettings& settings() const { return settings_; }
  // Writes settings into the header in one durable transaction; the rows are not touched.
  // REQUIRES: metric below 8 and dim at most kMaxStoredDim when set. Refused (Table) when the
  // header already names another application.
  Result<void, StorageError> save_settings(const StoredSettings& settings);

  // Slot of the newest record with this id, if any.
  std::optional<std::size_t> newest_position(std::string_view id) const;

 private:
  explicit Storage(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
  RecordTable table_;
  StoredSettings settings_;
};

}  // namespace korvane_storage
