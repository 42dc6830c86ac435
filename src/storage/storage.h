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
#include "storage/result.h"

namespace korvane_storage {

struct StorageError {
  enum class Kind { Serialization, Database, Transaction, Table, Commit, Storage, InvalidFormat };
  Kind kind;
  std::string message;  // the wrapped error's own text
  // For a write of several operations: the one that could not be encoded.
  std::optional<std::size_t> index = std::nullopt;

  // "Commit error: " + message, and so on for each kind.
  std::string display() const;
};

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
  ~Storage();  // closes the database and releases its lock

  // Opens or creates the database file at path and loads every record.
  static Result<std::unique_ptr<Storage>, StorageError> open(const std::string& path);

  // Applies ops in order in one transaction: all of them, in the file and in the table, or none.
  // Returns the number of records removed from the table. A record that cannot be encoded fails
  // the write with its operation's index. The records are consumed on success only.
  // Throws std::bad_alloc when the table cannot take the new records; nothing has changed then.
  // Once the write has committed nothing can fail; the table may compact afterwards, which
  // renumbers its slots.
  Result<std::size_t, StorageError> write(std::vector<WriteOp>& ops);

  // Writes of one operation: append() inserts, delete_() removes and returns whether a row
  // existed (it commits also when none did).
  Result<void, StorageError> append(Record record);
  Result<bool, StorageError> delete_(std::string_view id);

  const RecordTable& table() const { return table_; }

  // Slot of the newest record with this id, if any.
  std::optional<std::size_t> newest_position(std::string_view id) const;

 private:
  explicit Storage(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
  RecordTable table_;
};

}  // namespace korvane_storage
