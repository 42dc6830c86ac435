// The database file, as SQLite sees it:
//
//   CREATE TABLE records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID
//
//   id     the record's id as raw UTF-8 bytes. Always bound as a BLOB: BLOBs compare with
//          memcmp and a prefix sorts first, which is the key order records are loaded in. (A
//          TEXT key would sort apart from BLOBs and miss lookups, so none is ever written.)
//   value  the row text of record.h, the id inside it included.
//
// Nothing else is ours: no other table, no user_version, no header. A database that holds no
// table at all gets this one; any other database must hold exactly this table (the same
// statement, up to case and white space) and nothing besides SQLite's own sqlite_* tables, and
// every row's key must be the id inside its value. Anything else is refused before the open
// writes a byte: the checks and the load run first, in the transaction that takes the lock, and
// only then does the connection switch the file to WAL or create the table. A refused file,
// and a -wal beside it, are left exactly as they were. The connection runs with
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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Settings that change nothing in the file. The journal mode is set only once the file has
// been accepted: switching a rollback-journal database to WAL rewrites its header.
constexpr std::string_view kConnect =
    "PRAGMA locking_mode=EXCLUSIVE;"
    "PRAGMA synchronous=FULL;";
constexpr std::string_view kUseWal = "PRAGMA journal_mode=WAL";
constexpr std::string_view kCreateTable =
    "CREATE TABLE records("
    "id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID";
constexpr std::string_view kSchema = "SELECT type, name, sql FROM sqlite_master";
constexpr std::string_view kBeginWrite = "BEGIN IMMEDIATE";
constexpr std::string_view kCommit = "COMMIT";
constexpr std::string_view kRollback = "ROLLBACK";
constexpr std::string_view kScan = "SELECT id, value FROM records ORDER BY id";
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

// Keys and row texts of one batch, each back to back.
struct RowBatch {
  std::string keys;
  std::vector<std::size_t> key_ends;
  std::string text;
  std::vector<std::size_t> ends;

  std::size_t size() const { return ends.size(); }
  std::string_view key(std::size_t i) const { return slice(keys, key_ends, i); }
  std::string_view row(std::size_t i) const { return slice(text, ends, i); }
  void clear() {
    keys.clear();
    key_ends.clear();
    text.clear();
    ends.clear();
  }

 private:
  static std::string_view slice(const std::string& s, const std::vector<std::size_t>& ends,
                                std::size_t i) {
    std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(s).substr(begin, ends[i] - begin);
  }
};

// A key as an SQL literal, for messages: x'6162' for bytes, shortened when long.
std::string key_literal(std::string_view key) {
  constexpr std::size_t kShown = 32;
  static const char kHex[] = "0123456789abcdef";
  std::string out = "x'";
  for (std::size_t i = 0; i < key.size() && i < kShown; ++i) {
    const auto byte = static_cast<unsigned char>(key[i]);
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  out += '\'';
  if (key.size() > kShown) out += " (" + std::to_string(key.size()) + " bytes, shortened)";
  return out;
}

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
          note_failure(first_row + i,
                       {StorageError::Kind::Serialization, std::move(decoded).error().message});
          continue;
        }
        Record& record = *decoded;
        // Lookups, replacements and deletes go by key; a record filed under another key could
        // be neither found nor removed, and a second row would be made for its id.
        if (record.id != batch.key(i)) {
          note_failure(first_row + i, {StorageError::Kind::InvalidFormat,
                                       "the row with key " + key_literal(batch.key(i)) +
                                           " holds a record with another id"});
          continue;
        }
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

  void note_failure(std::size_t row, StorageError error) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!failed_ || row < first_bad_) {
      failed_ = true;
      first_bad_ = row;
      error_ = std::move(error);
    }
  }

  bool failed() {
    std::lock_guard<std::mutex> lock(mu_);
    return failed_;
  }
  StorageError take_error() { return std::move(error_); }

 private:
  std::mutex mu_;
  bool failed_ = false;
  std::size_t first_bad_ = 0;
  StorageError error_{StorageError::Kind::Serialization, {}};
};

// The statement a table was created with, reduced to what SQLite reads from it: without white
// space and with ASCII letters in lower case.
std::string normalized_sql(std::string_view sql) {
  std::string out;
  for (char c : sql) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') continue;
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

bool is_out_of_memory(int rc) { return (rc & 0xff) == SQLITE_NOMEM; }

bool file_exists(const std::string& path, off_t* size = nullptr) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (size != nullptr) *size = st.st_size;
  return true;
}

// What an open found on disk, so that a failed open takes away exactly what it added: the
// database file when the open created it, and a -wal or -journal that appeared beside it.
// The file is created here, exclusively, when missing: a file that appears at the same moment
// belongs to someone else.
class OpenGuard {
 public:
  explicit OpenGuard(std::string file) : file_(std::move(file)) {
    wal_existed_ = file_exists(file_ + "-wal");
    journal_existed_ = file_exists(file_ + "-journal");
    int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      created_ = true;
      ::close(fd);
    }
  }
  OpenGuard(const OpenGuard&) = delete;
  OpenGuard& operator=(const OpenGuard&) = delete;
  // Runs after the connection has closed.
  ~OpenGuard() {
    if (kept_ || !created_) return;
    if (!wal_existed_) ::unlink((file_ + "-wal").c_str());
    if (!journal_existed_) ::unlink((file_ + "-journal").c_str());
    ::unlink(file_.c_str());
  }

  // Reading a WAL-mode database makes an empty -wal. Removed while the lock is still held, so
  // that no other connection can have started to use it.
  void drop_new_empty_wal() {
    off_t size = 0;
    const std::string wal = file_ + "-wal";
    if (!kept_ && !wal_existed_ && file_exists(wal, &size) && size == 0) ::unlink(wal.c_str());
  }

  void keep() { kept_ = true; }

 private:
  std::string file_;
  bool created_ = false;
  bool kept_ = false;
  bool wal_existed_ = false;
  bool journal_existed_ = false;
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
  pid_t owner = ::getpid();      // the process that opened the connection

  StorageError error(Kind kind) const {
    StorageError e{kind, db.errmsg()};
    e.out_of_memory = db.get() == nullptr || is_out_of_memory(sqlite3_errcode(db.get()));
    return e;
  }

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

  Result<void, StorageError> exec(std::string_view sql, Kind kind) {
    if (sqlite3_exec(db.get(), std::string(sql).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      return error(kind);
    }
    return {};
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

  // Whether the database is one this store may use. Sets needs_table when it holds no table
  // yet. Reads only.
  Result<void, StorageError> check_schema(bool& needs_table);

  // Every row, in key order, decoded into records. Reads only.
  Result<void, StorageError> load(std::vector<Record>& records);
};

Result<void, StorageError> Storage::Impl::check_schema(bool& needs_table) {
  SqliteStatement schema;
  if (schema.prepare(db.get(), kSchema) != SQLITE_OK) return error(Kind::Table);
  auto text = [&](int column) {
    const unsigned char* t = sqlite3_column_text(schema.get(), column);
    return std::string(t ? reinterpret_cast<const char*>(t) : "");
  };
  auto refuse = [](std::string why) { return StorageError{Kind::Table, std::move(why)}; };

  bool found = false, named = false;
  std::optional<StorageError> refused;
  std::size_t objects = 0;
  int rc;
  while ((rc = sqlite3_step(schema.get())) == SQLITE_ROW) {
    const std::string type = text(0), name = text(1);
    // SQLite's own tables (statistics, sequences) are no one's data.
    if (normalized_sql(name).starts_with("sqlite_")) continue;
    ++objects;
    if (normalized_sql(name) != "records") {
      if (!refused) {
        refused = refuse("the database holds " + type + " \"" + name +
                         "\", which is not part of a store; not opening a file of another "
                         "application");
      }
      continue;
    }
    named = true;
    if (type != "table") {
      refused = refuse("\"records\" is a " + type + ", not the store's table");
      continue;
    }
    found = true;
    if (normalized_sql(text(2)) != normalized_sql(kCreateTable)) {
      refused = refuse("table \"records\" does not have the store's shape (id BLOB PRIMARY KEY, "
                       "value BLOB, WITHOUT ROWID): " + text(2));
    }
  }
  if (rc != SQLITE_DONE) return error(Kind::Table);
  if (!named && objects > 0) {
    return refuse("the database has tables but no \"records\" table; not opening a file of "
                  "another application");
  }
  if (refused) return std::move(*refused);
  needs_table = !found;
  return {};
}

Result<void, StorageError> Storage::Impl::load(std::vector<Record>& records) {
  SqliteStatement scan;
  if (scan.prepare(db.get(), kScan) != SQLITE_OK) return error(Kind::Table);

  RowBatch reading, decoding;
  BatchDecoder decoder;
  tbb::task_group workers;
  bool decoding_busy = false;
  std::size_t rows = 0;
  std::string previous_key;
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
      const std::size_t row = rows++;
      // Asked first: reading the key as bytes converts a key of another type.
      const int key_type = sqlite3_column_type(scan.get(), 0);
      const void* key_data = sqlite3_column_blob(scan.get(), 0);
      const int key_size = sqlite3_column_bytes(scan.get(), 0);
      const std::string_view key(static_cast<const char*>(key_data),
                                 key_data ? static_cast<std::size_t>(key_size) : 0);
      // Every key is written as a BLOB; a key of another type sorts apart from them, so a
      // lookup by id never reaches it.
      if (key_type != SQLITE_BLOB) {
        const unsigned char* shown = sqlite3_column_text(scan.get(), 0);
        decoder.note_failure(row, {Kind::InvalidFormat,
                                   std::string("the row with key '") +
                                       (shown ? reinterpret_cast<const char*>(shown) : "NULL") +
                                       "' has a key that is not a BLOB of its id's bytes"});
      } else if (row > 0 && key <= std::string_view(previous_key)) {
        // The table is a B-tree in key order; keys that do not rise mean a damaged file.
        decoder.note_failure(row, {Kind::InvalidFormat, "the row with key " + key_literal(key) +
                                                            " is out of key order; the file is "
                                                            "damaged"});
      }
      previous_key.assign(key);
      reading.keys.append(key);
      reading.key_ends.push_back(reading.keys.size());
      const void* data = sqlite3_column_blob(scan.get(), 1);
      int size = sqlite3_column_bytes(scan.get(), 1);
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
  if (decoder.failed()) return decoder.take_error();
  return {};
}

Storage::Storage(std::unique_ptr<Impl> impl, std::vector<Record> records)
    : impl_(std::move(impl)), records_(std::move(records)) {
  impl_->index.emplace(&records_);
  impl_->index->rebuild();
}

Storage::~Storage() {
  // A forked child's copy: closing would checkpoint the owner's WAL into the file and delete
  // it under the owner's feet. The handle, its statements and their memory stay as they are.
  if (impl_ && impl_->owner != ::getpid()) static_cast<void>(impl_.release());
}

Result<void, StorageError> Storage::check_writable() const {
  const pid_t here = ::getpid();
  if (impl_->owner == here) return {};
  return StorageError{Kind::Database,
                      "this store was opened by process " + std::to_string(impl_->owner) +
                          " and cannot be written from process " + std::to_string(here) +
                          " (a forked child); open the store again in this process to write"};
}

Result<std::unique_ptr<Storage>, StorageError> Storage::open(const std::string& path) {
  // Step 1: the file, its lock and the connection settings.
  if (path.empty() || path.find('\0') != std::string::npos) {
    return StorageError{Kind::Database, sqlite3_errstr(SQLITE_CANTOPEN)};
  }
  // The path names a file, always: SQLite would take ":memory:" for a private in-memory
  // database and, as built by most distributions, "file:..." for a URI with options.
  const std::string file = path == ":memory:" || path.starts_with("file:") ? "./" + path : path;
  OpenGuard guard(file);  // declared before the connection: it cleans up after the close
  auto impl = std::make_unique<Impl>();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  impl->db = SqliteDb(raw);
  if (rc != SQLITE_OK) return impl->error(Kind::Database);
  // Until the file is accepted, closing must not checkpoint a -wal found beside it into it.
  sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  // A damaged WAL-mode file fails in the first statements that read, after the lock was taken
  // and a -wal made; a file held by another connection fails before, and its -wal is that
  // connection's.
  auto connect_failed = [&](StorageError e) {
    const int rc = sqlite3_errcode(raw) & 0xff;
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) guard.drop_new_empty_wal();
    return e;
  };
  if (auto connected = impl->exec(kConnect, Kind::Database); !connected) {
    return connect_failed(std::move(connected).error());
  }
  // The lock is part of opening: a file held elsewhere, or one that is not a database, fails
  // here. Everything up to the commit below only reads.
  if (auto locked = impl->exec(kBeginWrite, Kind::Database); !locked) {
    return connect_failed(std::move(locked).error());
  }
  struct DropNewWal {
    OpenGuard* guard;
    ~DropNewWal() { guard->drop_new_empty_wal(); }
  } drop_new_wal{&guard};
  struct EndTransaction {
    Impl* impl;
    ~EndTransaction() { impl->abandon(); }
  } end_transaction{impl.get()};

  // Steps 2 to 10, reading: the schema, then every row.
  bool needs_table = false;
  if (auto checked = impl->check_schema(needs_table); !checked) return std::move(checked).error();
  std::vector<Record> records;
  if (!needs_table) {
    if (auto loaded = impl->load(records); !loaded) return std::move(loaded).error();
  }
  if (auto committed = impl->commit_write_transaction(); !committed) {
    return std::move(committed).error();
  }

  // Accepted: now the file may change. The table goes into a database that holds none.
  if (auto wal = impl->exec(kUseWal, Kind::Database); !wal) return std::move(wal).error();
  if (needs_table) {
    if (auto begun = impl->begin_write_transaction(); !begun) return std::move(begun).error();
    if (auto created = impl->exec(kCreateTable, Kind::Table); !created) {
      impl->abandon();
      return std::move(created).error();
    }
    if (auto committed = impl->commit_write_transaction(); !committed) {
      return std::move(committed).error();
    }
  }
  sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  guard.keep();
  records.shrink_to_fit();
  return std::unique_ptr<Storage>(new Storage(std::move(impl), std::move(records)));
}

Result<void, StorageError> Storage::append(Record record) {
  if (auto writable = check_writable(); !writable) return writable;
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
  if (auto writable = check_writable(); !writable) return std::move(writable).error();
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
