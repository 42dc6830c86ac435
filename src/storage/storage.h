// Storage: the database file and the in-memory list of every record.
//
// One SQLite file holds one table, `records`: the key is the id's UTF-8 bytes (compared as
// bytes), the value is the record's row text (record.h). The file is locked exclusively for the
// life of the Storage. open() loads every row into `records` in key order; append() and
// delete_() commit one durable write transaction each and change `records` only after the commit
// succeeded, so a failed write leaves both the file and memory as they were.
//
// `records` may hold several records with one id (an id inserted again while open: the newest is
// last); the table holds only the newest. newest_position() finds the newest without a scan.
//
// A Storage belongs to the process that opened it. A forked child inherits the connection but
// must never use it: SQLite's state is not shared across processes, so writes from both sides
// corrupt the file, and a child closing it would checkpoint and delete the parent's -wal. In any
// other process append() and delete_() fail without touching the file, records() still reads
// fine, and destroying the Storage leaks the connection instead of closing it.
//
// Thread safety: none of its own. append() and delete_() need exclusive access; any number of
// threads may read records() while no write runs.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/record.h"
#include "storage/result.h"

namespace korvane_storage {

struct StorageError {
  enum class Kind { Io, Serialization, Database, Transaction, Table, Commit, Storage, InvalidFormat };
  Kind kind;
  std::string message;  // the wrapped error's own text
  // SQLite ran out of memory; the module raises MemoryError for such an error.
  bool out_of_memory = false;

  // "Commit error: " + message, and so on for each kind. Open refusals: Table for a database
  // that is not a store, InvalidFormat for a row filed under a key that is not its id (or keys
  // out of order), Serialization for a row that does not decode.
  std::string display() const;
};

class Storage {
 public:
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage();  // closes the database and releases its lock (in the owning process only)

  // Opens or creates the database file at path and loads every record. An existing database
  // must hold exactly the store's table and nothing else; a database without any table gets it.
  // An open that fails leaves an existing file as it found it, and removes a file it created.
  static Result<std::unique_ptr<Storage>, StorageError> open(const std::string& path);

  // Fails unless this is the process that opened the store. append() and delete_() call it
  // first; any new write path must too.
  Result<void, StorageError> check_writable() const;

  // Writes the record under its id (replacing a row with that id), then adds it at the end of
  // records(). The record is consumed also on failure.
  Result<void, StorageError> append(Record record);

  // Removes the row with this id; when there was one, also every record with this id from
  // records(). Returns whether a row existed. Commits also when none did.
  Result<bool, StorageError> delete_(std::string_view id);

  const std::vector<Record>& records() const { return records_; }

  // Position in records() of the newest record with this id, if any.
  std::optional<std::size_t> newest_position(std::string_view id) const;

 private:
  struct Impl;
  explicit Storage(std::unique_ptr<Impl> impl, std::vector<Record> records);

  std::unique_ptr<Impl> impl_;
  std::vector<Record> records_;
};

}  // namespace korvane_storage
