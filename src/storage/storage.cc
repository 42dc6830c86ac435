// The database file, as SQLite sees it:
//
//   CREATE TABLE records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID
//
//   id     the record's id as raw UTF-8 bytes. Always bound as a BLOB: BLOBs compare with
//          memcmp and a prefix sorts first, which is the key order records are loaded in. (A
//          TEXT key would sort apart from BLOBs and miss lookups, so none is ever written.)
//   value  the row text of record.h, the id inside it included.
//
// Nothing else is ours: no other table, no user_version, no header. The connection runs with
//   locking_mode=EXCLUSIVE  the file stays locked from open until the Storage goes, and a second
//                           open fails at once with "database is locked" (busy timeout 0);
//   journal_mode=WAL        one fsync per commit. With the exclusive lock SQLite keeps the WAL
//                           index in heap memory, so there is no -shm file;
//   synchronous=FULL        a commit is on disk when it returns.
//
// Every write is BEGIN IMMEDIATE, one statement, COMMIT; any failure rolls back before memory is
// touched, so a failed write leaves file and records() as they were.
#include "storage/storage.h"

#include <sqlite3.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "storage/sqlite_handle.h"

namespace korvane_storage {

std::string StorageError::display() const {
  const char* prefix = "";
  switch (kind) {
    case Kind::Io: prefix = "IO error: "; break;
    case Kind::Serialization: prefix = "Serialization error: "; break;
    case Kind::Database: prefix = "Database error: "; break;
    case Kind::Transaction: prefix = "Transaction error: "; break;
    case Kind::Table: prefix = "Table error: "; break;
    case Kind::Commit: prefix = "Commit error: "; break;
    case Kind::Storage: prefix = "Storage error: "; break;
    case Kind::InvalidFormat: prefix = "Invalid format: "; break;
  }
  return prefix + message;
}

namespace {

using Kind = StorageError::Kind;

// The lock is part of opening: a file held elsewhere, or one that is not a database, fails here
// and nothing below runs. The empty transaction takes the exclusive lock in every journal mode.
constexpr std::string_view kConnect =
    "PRAGMA locking_mode=EXCLUSIVE;"
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "BEGIN IMMEDIATE;"
    "COMMIT;";
constexpr std::string_view kCreateTable =
    "CREATE TABLE IF NOT EXISTS records("
    "id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID";
constexpr std::string_view kBeginWrite = "BEGIN IMMEDIATE";
constexpr std::string_view kBeginRead = "BEGIN";
constexpr std::string_view kCommit = "COMMIT";
constexpr std::string_view kRollback = "ROLLBACK";
constexpr std::string_view kScan = "SELECT value FROM records ORDER BY id";
constexpr std::string_view kUpsert = "INSERT OR REPLACE INTO records(id, value) VALUES(?1, ?2)";
constexpr std::string_view kRemove = "DELETE FROM records WHERE id = ?1";

// Rows are loaded in batches so that only a few MB of row text is in memory at any time; while
// the workers decode one batch the opening thread reads the next out of SQLite.
constexpr std::size_t kBatchBytes = std::size_t{4} << 20;
constexpr std::size_t kBatchRows = 4096;
// Below this much text a batch decodes on the opening thread; handing it out costs more.
constexpr std::size_t kParallelBytes = std::size_t{256} << 10;

// A zero-length BLOB needs a non-null pointer; a null one binds SQL NULL.
int bind_bytes(sqlite3_stmt* stmt, int index, std::string_view bytes) {
  static const char kEmpty[1] = {0};
  const char* data = bytes.empty() ? kEmpty : bytes.data();
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return SQLITE_TOOBIG;
  return sqlite3_bind_blob(stmt, index, data, static_cast<int>(bytes.size()), SQLITE_STATIC);
}

// Row texts of one batch, back to back.
struct RowBatch {
  std::string text;
  std::vector<std::size_t> ends;

  std::size_t size() const { return ends.size(); }
  std::string_view row(std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(text).substr(begin, ends[i] - begin);
  }
  void clear() {
    text.clear();
    ends.clear();
  }
};

// Decodes batch into out[0, batch.size()); first_row numbers the batch's first row among all
// rows. Every row is decoded even after a failure, so the error kept is the one of the first bad
// row in key order, whichever thread found it.
class BatchDecoder {
 public:
  void decode(const RowBatch& batch, std::size_t first_row, Record* out) {
    auto decode_rows = [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        auto decoded = decode_record(batch.row(i));
        if (!decoded) {
          note_failure(first_row + i, std::move(decoded).error());
          continue;
        }
        Record& record = *decoded;
        if (record.vector.capacity() != record.vector.size()) record.vector.shrink_to_fit();
        out[i] = std::move(record);
      }
    };
    if (batch.text.size() < kParallelBytes) {
      decode_rows(0, batch.size());
      return;
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, batch.size(), 8),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        decode_rows(r.begin(), r.end());
                      });
  }

  bool failed() const { return failed_; }
  JsonError take_error() { return std::move(error_); }

 private:
  void note_failure(std::size_t row, JsonError error) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!failed_ || row < first_bad_) {
      failed_ = true;
      first_bad_ = row;
      error_ = std::move(error);
    }
  }

  std::mutex mu_;
  bool failed_ = false;
  std::size_t first_bad_ = 0;
  JsonError error_;
};

}  // namespace

// The positions of the newest record of every id, found by the id they point at. Holding
// positions rather than copies of the ids keeps the index small, and a position stays valid
// while records only grow at the end.
class IdIndex {
 public:
  explicit IdIndex(const std::vector<Record>* records)
      : set_(0, Hash{records}, Equal{records}), records_(records) {}

  // The record at pos is now the newest with its id.
  void note(std::size_t pos) {
    auto it = set_.find(std::string_view((*records_)[pos].id));
    if (it != set_.end()) set_.erase(it);
    set_.insert(pos);
  }

  void rebuild() {
    set_.clear();
    set_.reserve(records_->size());
    for (std::size_t pos = 0; pos < records_->size(); ++pos) note(pos);
  }

  std::optional<std::size_t> find(std::string_view id) const {
    auto it = set_.find(id);
    if (it == set_.end()) return std::nullopt;
    return *it;
  }

 private:
  struct Hash {
    using is_transparent = void;
    const std::vector<Record>* records;
    std::size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
    std::size_t operator()(std::size_t pos) const { return (*this)(std::string_view((*records)[pos].id)); }
  };
  struct Equal {
    using is_transparent = void;
    const std::vector<Record>* records;
    std::string_view id(std::size_t pos) const { return (*records)[pos].id; }
    bool operator()(std::size_t a, std::size_t b) const { return id(a) == id(b); }
    bool operator()(std::string_view a, std::size_t b) const { return a == id(b); }
    bool operator()(std::size_t a, std::string_view b) const { return id(a) == b; }
  };

  std::unordered_set<std::size_t, Hash, Equal> set_;
  const std::vector<Record>* records_;
};

struct Storage::Impl {
  SqliteDb db;  // first, so that the statements below are finalized before it closes
  SqliteStatement begin_write;
  SqliteStatement commit;
  SqliteStatement rollback;
  SqliteStatement upsert;
  SqliteStatement remove;
  std::optional<IdIndex> index;  // set by the Storage, which owns the records it points into

  StorageError error(Kind kind) const { return {kind, db.errmsg()}; }

  // The statement in slot, prepared on first use. nullptr when it cannot be prepared.
  sqlite3_stmt* statement(SqliteStatement& slot, std::string_view sql) {
    if (!slot && slot.prepare(db.get(), sql) != SQLITE_OK) return nullptr;
    return slot.get();
  }

  // Steps a statement that returns no rows and makes it ready for the next use. The error text
  // is taken before the reset so that nothing can replace it.
  Result<void, StorageError> run(sqlite3_stmt* stmt, Kind kind) {
    int rc = sqlite3_step(stmt);
    std::optional<StorageError> failed;
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) failed = error(kind);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (failed) return std::move(*failed);
    return {};
  }

  Result<void, StorageError> run(SqliteStatement& slot, std::string_view sql, Kind kind) {
    sqlite3_stmt* stmt = statement(slot, sql);
    if (!stmt) return error(kind);
    return run(stmt, kind);
  }

  Result<void, StorageError> begin_write_transaction() {
    return run(begin_write, kBeginWrite, Kind::Transaction);
  }

  // Ends an open transaction without keeping anything. SQLite may already have rolled back on
  // its own after an I/O error; then there is nothing left to end.
  void abandon() {
    if (sqlite3_get_autocommit(db.get())) return;
    if (!run(rollback, kRollback, Kind::Transaction)) {
      sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }

  Result<void, StorageError> commit_write_transaction() {
    auto committed = run(commit, kCommit, Kind::Commit);
    if (!committed) abandon();
    return committed;
  }

  // Steps 6 to 10 of an open: every row, in key order, decoded into records.
  Result<void, StorageError> load(std::vector<Record>& records);
};

Result<void, StorageError> Storage::Impl::load(std::vector<Record>& records) {
  SqliteStatement begin_read;
  if (auto begun = run(begin_read, kBeginRead, Kind::Transaction); !begun) return begun;
  // Whatever happens below, the read transaction ends with the load.
  struct EndRead {
    Impl* impl;
    ~EndRead() { impl->abandon(); }
  } end_read{this};

  // Preparing the scan is where SQLite opens the table; a missing or unreadable table fails here.
  SqliteStatement scan;
  if (scan.prepare(db.get(), kScan) != SQLITE_OK) return error(Kind::Table);

  RowBatch reading, decoding;
  BatchDecoder decoder;
  tbb::task_group workers;
  bool decoding_busy = false;
  // Waits for the batch in flight; false when it held a bad row.
  auto finish_decoding = [&]() {
    if (decoding_busy) {
      workers.wait();
      decoding_busy = false;
    }
    return !decoder.failed();
  };
  auto start_decoding = [&]() {
    std::size_t base = records.size();
    records.resize(base + decoding.size());
    Record* out = records.data() + base;
    // A small store (or the tail of a large one) is decoded right here: starting the worker
    // pool would cost more than it saves.
    if (decoding.text.size() < kParallelBytes) {
      decoder.decode(decoding, base, out);
      return;
    }
    decoding_busy = true;
    workers.run([&decoder, &decoding, base, out] { decoder.decode(decoding, base, out); });
  };

  for (;;) {
    int rc = sqlite3_step(scan.get());
    if (rc == SQLITE_ROW) {
      const void* data = sqlite3_column_blob(scan.get(), 0);
      int size = sqlite3_column_bytes(scan.get(), 0);
      if (size > 0) reading.text.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
      reading.ends.push_back(reading.text.size());
      if (reading.text.size() < kBatchBytes && reading.size() < kBatchRows) continue;
    } else if (rc != SQLITE_DONE) {
      // A scan that breaks off would hide the rows behind the break, so the open fails instead.
      // A bad row before the break still comes first.
      StorageError failed = error(Kind::Storage);
      if (!finish_decoding()) break;
      return failed;
    }
    if (!finish_decoding()) break;
    if (reading.size() != 0) {
      std::swap(reading, decoding);
      reading.clear();
      start_decoding();
    }
    if (rc == SQLITE_DONE) break;
  }
  finish_decoding();
  if (decoder.failed()) return StorageError{Kind::Serialization, decoder.take_error().message};
  return {};
}

Storage::Storage(std::unique_ptr<Impl> impl, std::vector<Record> records)
    : impl_(std::move(impl)), records_(std::move(records)) {
  impl_->index.emplace(&records_);
  impl_->index->rebuild();
}

Storage::~Storage() = default;

Result<std::unique_ptr<Storage>, StorageError> Storage::open(const std::string& path) {
  auto impl = std::make_unique<Impl>();

  // Step 1: the file, its lock and the connection settings.
  if (path.empty() || path.find('\0') != std::string::npos) {
    return StorageError{Kind::Database, sqlite3_errstr(SQLITE_CANTOPEN)};
  }
  // The path names a file, always: SQLite would take ":memory:" for a private in-memory
  // database and, as built by most distributions, "file:..." for a URI with options.
  const std::string file = path == ":memory:" || path.starts_with("file:") ? "./" + path : path;
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  impl->db = SqliteDb(raw);
  if (rc != SQLITE_OK) return impl->error(Kind::Database);
  if (sqlite3_exec(raw, std::string(kConnect).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    return impl->error(Kind::Database);
  }

  // Steps 2 to 4: the table exists afterwards, on every open.
  if (auto begun = impl->begin_write_transaction(); !begun) return std::move(begun).error();
  {
    SqliteStatement create;
    if (create.prepare(raw, kCreateTable) != SQLITE_OK) {
      StorageError failed = impl->error(Kind::Table);
      impl->abandon();
      return failed;
    }
    if (auto created = impl->run(create.get(), Kind::Table); !created) {
      impl->abandon();
      return std::move(created).error();
    }
  }
  if (auto committed = impl->commit_write_transaction(); !committed) {
    return std::move(committed).error();
  }

  // Steps 5 to 10.
  std::vector<Record> records;
  if (auto loaded = impl->load(records); !loaded) return std::move(loaded).error();
  records.shrink_to_fit();
  return std::unique_ptr<Storage>(new Storage(std::move(impl), std::move(records)));
}

Result<void, StorageError> Storage::append(Record record) {
  Impl& d = *impl_;
  if (auto begun = d.begin_write_transaction(); !begun) return begun;
  auto fail = [&d](StorageError e) {
    d.abandon();
    return e;
  };

  sqlite3_stmt* upsert = d.statement(d.upsert, kUpsert);
  if (!upsert) return fail(d.error(Kind::Table));
  auto text = encode_record(record);
  if (!text) return fail({Kind::Serialization, std::move(text).error().message});
  if (bind_bytes(upsert, 1, record.id) != SQLITE_OK || bind_bytes(upsert, 2, *text) != SQLITE_OK) {
    StorageError failed = d.error(Kind::Storage);
    sqlite3_clear_bindings(upsert);
    return fail(std::move(failed));
  }
  if (auto written = d.run(upsert, Kind::Storage); !written) return fail(std::move(written).error());
  if (auto committed = d.commit_write_transaction(); !committed) return committed;

  records_.push_back(std::move(record));
  d.index->note(records_.size() - 1);
  return {};
}

Result<bool, StorageError> Storage::delete_(std::string_view id) {
  Impl& d = *impl_;
  if (auto begun = d.begin_write_transaction(); !begun) return std::move(begun).error();
  auto fail = [&d](StorageError e) {
    d.abandon();
    return e;
  };

  sqlite3_stmt* remove = d.statement(d.remove, kRemove);
  if (!remove) return fail(d.error(Kind::Table));
  if (bind_bytes(remove, 1, id) != SQLITE_OK) {
    StorageError failed = d.error(Kind::Storage);
    sqlite3_clear_bindings(remove);
    return fail(std::move(failed));
  }
  if (auto removed = d.run(remove, Kind::Storage); !removed) return fail(std::move(removed).error());
  const bool existed = sqlite3_changes(d.db.get()) > 0;
  if (auto committed = d.commit_write_transaction(); !committed) return std::move(committed).error();

  if (existed) {
    std::erase_if(records_, [id](const Record& r) { return r.id == id; });
    d.index->rebuild();
  }
  return existed;
}

std::optional<std::size_t> Storage::newest_position(std::string_view id) const {
  return impl_->index->find(id);
}

}  // namespace korvane_storage
