// The database file, as SQLite sees it:
//
//   CREATE TABLE records(id BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID
//
//   id     the record's id as raw UTF-8 bytes. Always bound as a BLOB: BLOBs compare with
//          memcmp and a prefix sorts first, which is the key order records are loaded in. (A
//          TEXT key would sort apart from BLOBs and miss lookups, so none is ever written.)
//   value  the row text of record.h, the id inside it included.
//
// Its pages are SQLite's 4096 bytes unless the open that makes the file is asked for another
// size (page_size_for in storage.h says which rows each suits); a file that has pages keeps
// theirs.
//
// The header's application_id and user_version may hold the store's settings (StoredSettings):
//
//   application_id  kApplicationId ("KVRN") when settings are saved; 0 when none are
//   user_version    bits 0-2: metric code + 1 (0: unset); bits 3-30: dim (0: unset); bit 31: 0
//
// They are written only when a caller saves settings, never by an open; a file whose
// application_id names another application keeps it (saving is refused). Older readers ignore
// both fields, where a table of settings would make them refuse the file.
//
// Nothing else is ours: no other table. A database that holds no
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
// Every write is BEGIN IMMEDIATE, one statement per operation, COMMIT; any failure rolls back
// before memory is touched, so a failed write leaves file and table() as they were.
#include "storage/storage.h"

#include <sqlite3.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/parallel_sort.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <fcntl.h>
#include <pthread.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <utility>

#include "storage/record_table.h"
#include "storage/sqlite_handle.h"

namespace korvane_storage {

std::string StorageError::display() const {
  const char* prefix = "";
  switch (kind) {
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
constexpr std::int32_t kApplicationId = 0x4B56524E;  // "KVRN"

// Rows are loaded in batches of about 1 MB of row text, a few batches in flight at once: one
// being read out of SQLite, some decoding on the worker pool, one being stored into the table.
// Batches of 4 MB cost 7 MB more peak memory at 100,000 x 384 and decoded no faster.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
constexpr std::size_t kBatchRows = 4096;
// A store whose rows all fit in less than this much text is loaded on the opening thread alone;
// starting the worker pool would cost more than it saves.
constexpr std::size_t kParallelBytes = std::size_t{256} << 10;

// Below this many vector components in a write its rows are encoded on the calling thread.
constexpr std::size_t kParallelEncodeFloats = std::size_t{1} << 15;
// A write is encoded and written in chunks of about this many components (some 3 MB of row
// text at dimension 384) or this many operations, whichever comes first.
constexpr std::size_t kChunkFloats = std::size_t{1} << 18;
constexpr std::size_t kChunkOps = 4096;
// A write of at least this many components (about 12 MB of row text at dimension 384) goes
// past the write-ahead log: the connection takes a rollback journal for it and the log again
// after it. Measured with 4.7 KB rows in one transaction (Python's sqlite3, same pragmas):
// 300,000 of them in key order 4.7 s against 13.0 s through the log (and 11.0 s in
// transactions of 10,000), 100,000 new random ids into 100,000 2.2 s against 3.2 s. The log
// must hold every page such a transaction writes and then be copied into the file, and looking
// a page up in it costs more the longer it grows; the journal holds only the pages that were in
// the file before, as they were. Each switch costs a checkpoint and a few syncs, which small
// writes should not pay (500 rows: 90 ms against 10).
std::atomic<std::size_t> direct_write_floats{std::size_t{1} << 20};
constexpr std::string_view kUseJournal = "PRAGMA journal_mode=TRUNCATE";

// A write of at least this many operations out of key order sorts them on the worker pool.
constexpr std::size_t kParallelSortOps = std::size_t{1} << 14;
// After a write has freed this much of its records' vectors, the allocator's free memory is
// given back to the system.
constexpr std::size_t kReturnFreedBytes = std::size_t{8} << 20;

void return_free_memory() {
#if defined(__GLIBC__)
  // Freed vectors of a batch lie in the middle of the heap, where free() keeps them.
  ::malloc_trim(0);
#endif
}

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

// The first bad row of an open in key order, whichever thread found it first.
class FirstFailure {
 public:
  void note(std::size_t row, StorageError error) {
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
  StorageError take() { return std::move(error_); }

 private:
  std::mutex mu_;
  bool failed_ = false;
  std::size_t first_bad_ = 0;
  StorageError error_{StorageError::Kind::Serialization, {}};
};

// One batch of an open: its rows as read, then decoded. The vectors' components go into one
// float buffer and the halves of their 8-bit copies into two more, all kept from batch to
// batch, so decoding allocates nothing per vector. Every row is decoded even after a failure, so
// the error kept is the one of the first bad row in key order, whichever thread found it.
class OpenBatch {
 public:
  RowBatch rows;
  std::size_t first_row = 0;  // the number of the batch's first row among all rows

  void decode(FirstFailure& failures) {
    const std::size_t n = rows.size();
    records_.resize(n);
    ends_.resize(n);
    floats_.clear();
    for (std::size_t i = 0; i < n; ++i) {
      Record& rec = records_[i];
      rec.metadata.reset();
      rec.timestamp.reset();
      auto decoded = decode_record_into(rows.row(i), rec, floats_);
      if (!decoded) {
        failures.note(first_row + i, {Kind::Serialization, std::move(decoded).error().message});
      } else if (rec.id != rows.key(i)) {
        // Lookups, replacements and deletes go by key; a record filed under another key could
        // be neither found nor removed, and a second row would be made for its id.
        failures.note(first_row + i, {Kind::InvalidFormat, "the row with key " +
                                                               key_literal(rows.key(i)) +
                                                               " holds a record with another id"});
      }
      ends_[i] = floats_.size();
    }
    if (failures.failed()) return;
    metas_.resize(n);
    coarse_.resize(n);
    half_ends_.resize(n);
    std::size_t halves = 0;
    for (std::size_t i = 0; i < n; ++i) {
      halves += (vector(i).size() + 1) / 2;
      half_ends_[i] = halves;
    }
    highs_.resize(halves);
    lows_.resize(halves);
    for (std::size_t i = 0; i < n; ++i) {
      CompactCopy::encode_halves(vector(i), highs_.data() + half_begin(i),
                                 lows_.data() + half_begin(i), metas_[i], coarse_[i]);
    }
  }

  std::size_t floats() const { return floats_.size(); }

  // Makes room in the table for the decoded rows.
  void reserve(RecordTable& table) const { table.reserve(records_.size(), floats_.size()); }
  // Moves the decoded rows into the table, in row order. REQUIRES: room reserved, no failure
  // noted.
  void store(RecordTable& table) {
    for (std::size_t i = 0; i < records_.size(); ++i) {
      Record& rec = records_[i];
      const std::size_t halves = half_ends_[i] - half_begin(i);
      const EncodedCopy copy{{highs_.data() + half_begin(i), halves},
                             {lows_.data() + half_begin(i), halves}, metas_[i], coarse_[i]};
      table.append(std::move(rec.id), vector(i), copy, std::move(rec.metadata), rec.timestamp);
    }
  }

 private:
  std::span<const float> vector(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return {floats_.data() + begin, ends_[i] - begin};
  }
  std::size_t half_begin(std::size_t i) const { return i == 0 ? 0 : half_ends_[i - 1]; }

  std::vector<Record> records_;
  std::vector<std::size_t> ends_;  // of each row's components in floats_
  std::vector<float> floats_;
  std::vector<CompactMeta> metas_;
  std::vector<std::size_t> half_ends_;  // of each row's packed halves in highs_ and lows_
  std::vector<std::uint8_t> highs_, lows_;
  std::vector<CoarseMeta> coarse_;
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

// What the file system says against opening file, before anything is created or changed.
//   A name that is not a regular file (a device, a pipe): SQLite would make a -journal beside it.
//   A file with several hard links: each name gets its own -wal, so changes acknowledged
//   through one name are missing, or later undone, when the store is opened through another.
//   A read-only file or folder: SQLite would say no more than "disk I/O error".
// Symbolic links are followed: the file they end at is checked, and its -wal is named after the
// link, which is as safe as long as every opener uses the same link.
std::optional<StorageError> refuse_before_open(const std::string& file) {
  struct stat st;
  const bool exists = ::stat(file.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return StorageError{Kind::Storage, "'" + file + "' is not a regular file"};
  }
  if (exists && S_ISREG(st.st_mode) && st.st_nlink > 1) {
    return StorageError{Kind::Storage,
                        "'" + file + "' has " + std::to_string(st.st_nlink) +
                            " hard links; a store file must have exactly one, since changes "
                            "made through one name would be lost through another"};
  }
  auto read_only = [](int error) { return error == EROFS || error == EACCES || error == EPERM; };
  if (exists && S_ISREG(st.st_mode) && ::access(file.c_str(), W_OK) != 0 && read_only(errno)) {
    return StorageError{Kind::Storage,
                        "'" + file + "' is read-only (" + std::strerror(errno) + ")"};
  }
  const std::size_t slash = file.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  if ((!exists || S_ISREG(st.st_mode)) && ::access(folder.c_str(), W_OK) != 0 &&
      read_only(errno)) {
    return StorageError{Kind::Storage, "the folder '" + folder + "' is read-only (" +
                                           std::strerror(errno) + ")"};
  }
  return std::nullopt;
}

}  // namespace

struct Storage::Impl {
  SqliteDb db;  // first, so that the statements below are finalized before it closes
  SqliteStatement begin_write;
  SqliteStatement commit;
  SqliteStatement rollback;
  SqliteStatement upsert;
  SqliteStatement remove;
  pid_t owner = ::getpid();  // the process that opened the connection
  bool off_log = false;  // a large write's journal is still in use (going back to the log failed)

  // Sets the journal mode (kUseWal or kUseJournal); true when the connection is in it after.
  bool journal_mode(std::string_view set, std::string_view want) {
    SqliteStatement pragma;
    if (pragma.prepare(db.get(), set) != SQLITE_OK) return false;
    if (sqlite3_step(pragma.get()) != SQLITE_ROW) return false;
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(pragma.get(), 0));
    return mode != nullptr && std::string_view(mode) == want;
  }
  // Back to the log after a large write; on failure the next write tries again. Either mode
  // commits durably, so nothing waits on this.
  void back_to_log() { off_log = !journal_mode(kUseWal, "wal"); }

  // For a copy inherited through fork(): closes the connection without a checkpoint (see
  // ~Storage). The table stays; the copy's writes are refused before they reach the file.
  void let_go_of_inherited() {
    if (db.get() == nullptr) return;
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    begin_write = SqliteStatement();
    commit = SqliteStatement();
    rollback = SqliteStatement();
    upsert = SqliteStatement();
    remove = SqliteStatement();
    db = SqliteDb();
  }

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

  // Every row, in key order, decoded into the table. Reads only.
  Result<void, StorageError> load(RecordTable& table);

  // The value of an integer pragma (application_id, user_version). Reads only.
  Result<std::int32_t, StorageError> read_pragma(const char* name);
  // The settings the header holds. Reads only.
  Result<StoredSettings, StorageError> read_settings();
};

Result<std::int32_t, StorageError> Storage::Impl::read_pragma(const char* name) {
  SqliteStatement pragma;
  if (pragma.prepare(db.get(), std::string("PRAGMA ") + name) != SQLITE_OK) {
    return error(Kind::Database);
  }
  if (sqlite3_step(pragma.get()) != SQLITE_ROW) return error(Kind::Database);
  return static_cast<std::int32_t>(sqlite3_column_int(pragma.get(), 0));
}

Result<StoredSettings, StorageError> Storage::Impl::read_settings() {
  auto application = read_pragma("application_id");
  if (!application) return std::move(application).error();
  if (*application != kApplicationId) return StoredSettings{};
  auto version = read_pragma("user_version");
  if (!version) return std::move(version).error();
  if (*version < 0) {
    return StorageError{Kind::InvalidFormat, "the header's settings (user_version " +
                                                 std::to_string(*version) + ") are not a store's"};
  }
  const auto bits = static_cast<std::uint32_t>(*version);
  StoredSettings settings;
  if ((bits & 7) != 0) settings.metric = static_cast<std::uint8_t>((bits & 7) - 1);
  if ((bits >> 3) != 0) settings.dim = bits >> 3;
  return settings;
}

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

Result<void, StorageError> Storage::Impl::load(RecordTable& table) {
  SqliteStatement scan;
  if (scan.prepare(db.get(), kScan) != SQLITE_OK) return error(Kind::Table);

  // The file's size bounds the row text, and the writer's components take at least four bytes
  // of it each ("0.0,"): room for that many, asked for once, spares the table's buffers their
  // regrowth (and its copies) while they fill. Room never touched costs no memory.
  std::size_t file_bytes = 0;
  if (auto pages = read_pragma("page_count"), page = read_pragma("page_size"); pages && page) {
    file_bytes = static_cast<std::size_t>(*pages) * static_cast<std::size_t>(*page);
    try {
      table.reserve(0, file_bytes / 4);
    } catch (const std::bad_alloc&) {
      // Only a hint: the table grows as it fills instead.
    }
  }

  FirstFailure failures;
  std::optional<StorageError> broke;  // the scan broke off
  std::size_t rows = 0;
  std::string previous_key;
  // Reads the next rows into batch; false once the scan has ended or broken off.
  auto read_batch = [&](OpenBatch& batch) {
    batch.rows.clear();
    batch.first_row = rows;
    while (batch.rows.text.size() < kBatchBytes && batch.rows.size() < kBatchRows) {
      const int rc = sqlite3_step(scan.get());
      if (rc != SQLITE_ROW) {
        // A scan that breaks off would hide the rows behind the break, so the open fails
        // instead. A bad row before the break still comes first.
        if (rc != SQLITE_DONE) broke = error(Kind::Storage);
        return false;
      }
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
        failures.note(row, {Kind::InvalidFormat,
                            std::string("the row with key '") +
                                (shown ? reinterpret_cast<const char*>(shown) : "NULL") +
                                "' has a key that is not a BLOB of its id's bytes"});
      } else if (row > 0 && key <= std::string_view(previous_key)) {
        // The table is a B-tree in key order; keys that do not rise mean a damaged file.
        failures.note(row, {Kind::InvalidFormat, "the row with key " + key_literal(key) +
                                                     " is out of key order; the file is damaged"});
      }
      previous_key.assign(key);
      RowBatch& out = batch.rows;
      out.keys.append(key);
      out.key_ends.push_back(out.keys.size());
      const void* data = sqlite3_column_blob(scan.get(), 1);
      const int size = sqlite3_column_bytes(scan.get(), 1);
      if (size > 0) out.text.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
      out.ends.push_back(out.text.size());
    }
    return true;
  };
  // Memory a process has never used costs a fault on its first write, the system zeroing it;
  // on some machines that costs as much as decoding the floats that go there. So the workers
  // have the system back the table's room for as many components as each decoded, ahead of the
  // stores that fill it (a store takes the lock alone only when the table must grow, which can
  // move its buffers).
  std::shared_mutex growth;
  std::atomic<std::size_t> populated{0};
  auto populate = [&](const OpenBatch& batch) {
    const std::size_t begin = populated.fetch_add(batch.floats(), std::memory_order_relaxed);
    std::shared_lock<std::shared_mutex> lock(growth);
    table.populate(begin, begin + batch.floats());
  };
  auto store = [&](OpenBatch& batch) {
    if (failures.failed()) return;
    if (table.holds(batch.floats())) {
      batch.reserve(table);
    } else {
      std::unique_lock<std::shared_mutex> lock(growth);
      batch.reserve(table);
    }
    batch.store(table);
  };

  OpenBatch first;
  const bool more = read_batch(first);
  // Rows as long as the first batch's would number about this many in the whole file (which
  // holds more than their text): room for them in the table's columns, asked for once, spares
  // the table the copies of its columns as it fills, and the memory of the old columns beside
  // the new while they are copied.
  if (more && !first.rows.text.empty()) {
    try {
      table.reserve_columns(first.rows.size() * (file_bytes / first.rows.text.size()));
    } catch (const std::bad_alloc&) {
      // Only a hint, as above.
    }
  }
  if (!more && first.rows.text.size() < kParallelBytes) {
    first.decode(failures);
    store(first);  // on this thread: nothing to gain from populating first
  } else {
    // A pipeline over a few batches: the opening thread and the workers each take whatever
    // stage is ready, so that reading rows out of SQLite (one batch at a time, in key order),
    // decoding them (any number of batches at once) and storing them into the table (one at a
    // time, in key order) keep every core busy. Once a bad row is found no further batch is
    // read, but every batch already read is decoded, so every row before the bad one is too.
    const std::size_t tokens =
        static_cast<std::size_t>(std::max(2, tbb::this_task_arena::max_concurrency())) + 2;
    std::vector<std::unique_ptr<OpenBatch>> batches;  // every batch made, owned here
    std::vector<OpenBatch*> spare;                    // those not in flight
    std::mutex spare_mu;
    batches.push_back(std::make_unique<OpenBatch>(std::move(first)));
    OpenBatch* pending = batches.back().get();
    bool last = !more;
    tbb::parallel_pipeline(
        tokens,
        tbb::make_filter<void, OpenBatch*>(
            tbb::filter_mode::serial_in_order,
            [&](tbb::flow_control& fc) -> OpenBatch* {
              if (pending != nullptr) return std::exchange(pending, nullptr);
              if (last || failures.failed()) {
                fc.stop();
                return nullptr;
              }
              OpenBatch* batch = nullptr;
              {
                std::lock_guard<std::mutex> lock(spare_mu);
                if (!spare.empty()) {
                  batch = spare.back();
                  spare.pop_back();
                } else {
                  batches.push_back(std::make_unique<OpenBatch>());
                  batch = batches.back().get();
                }
              }
              last = !read_batch(*batch);
              if (batch->rows.size() != 0) return batch;
              fc.stop();
              return nullptr;
            }) &
            tbb::make_filter<OpenBatch*, OpenBatch*>(tbb::filter_mode::parallel,
                                                     [&](OpenBatch* batch) {
                                                       batch->decode(failures);
                                                       populate(*batch);
                                                       return batch;
                                                     }) &
            tbb::make_filter<OpenBatch*, void>(tbb::filter_mode::serial_in_order,
                                               [&](OpenBatch* batch) {
                                                 store(*batch);
                                                 std::lock_guard<std::mutex> lock(spare_mu);
                                                 spare.push_back(batch);
                                               }));
    batches.clear();
    // The batches' buffers lie among the records' metadata, where free() keeps them.
    return_free_memory();
  }
  if (failures.failed()) return failures.take();
  if (broke) return std::move(*broke);
  return {};
}

namespace {

// Every connection open in this process, inherited ones included, so that an open in a forked
// child can first let go of what the child inherited (below). The mutex is taken around fork(),
// so that the child never inherits it held.
std::mutex g_connections_mu;
std::vector<Storage::Impl*> g_connections;

void lock_connections() { g_connections_mu.lock(); }
void unlock_connections() { g_connections_mu.unlock(); }

void register_connection(Storage::Impl* impl) {
  static const bool around_fork = [] {
    pthread_atfork(lock_connections, unlock_connections, unlock_connections);
    return true;
  }();
  static_cast<void>(around_fork);
  std::lock_guard<std::mutex> guard(g_connections_mu);
  g_connections.push_back(impl);
}

void forget_connection(Storage::Impl* impl) {
  std::lock_guard<std::mutex> guard(g_connections_mu);
  std::erase(g_connections, impl);
}

// In a forked child, the connections inherited from the parent: SQLite keeps the locks a
// connection believes it holds per process, so an inherited connection to a file refuses
// every new one to it ("database is locked") even once the parent has let go of the file.
void let_go_of_inherited_connections() {
  const pid_t here = ::getpid();
  std::lock_guard<std::mutex> guard(g_connections_mu);
  for (Storage::Impl* impl : g_connections) {
    if (impl->owner != here) impl->let_go_of_inherited();
  }
}

}  // namespace

Storage::Storage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  register_connection(impl_.get());
}

Storage::~Storage() {
  forget_connection(impl_.get());
  // A forked child's copy. Closing it as usual would checkpoint the owner's WAL into the file
  // and delete it under the owner's feet; without the checkpoint, the close only lets go of the
  // descriptors and of the lock the connection believes it holds (the owner's locks are the
  // owner's: a child never had them).
  if (impl_ && impl_->owner != ::getpid()) impl_->let_go_of_inherited();
}

Result<void, StorageError> Storage::check_writable() const {
  const pid_t here = ::getpid();
  if (impl_->owner == here) return {};
  return StorageError{Kind::Database,
                      "this store was opened by process " + std::to_string(impl_->owner) +
                          " and cannot be written from process " + std::to_string(here) +
                          " (a forked child); open the store again in this process to write"};
}


std::uint32_t page_size_for(std::size_t dim) {
  constexpr std::size_t kLargePageDim = 768;
  return dim != 0 && dim <= kLargePageDim ? 65536 : 0;
}

Result<std::unique_ptr<Storage>, StorageError> Storage::open(const std::string& path,
                                                             std::uint32_t new_page_size) {
  // Step 1: the file, its lock and the connection settings.
  if (path.empty() || path.find('\0') != std::string::npos) {
    return StorageError{Kind::Database, sqlite3_errstr(SQLITE_CANTOPEN)};
  }
  // The path names a file, always: SQLite would take ":memory:" for a private in-memory
  // database and, as built by most distributions, "file:..." for a URI with options.
  const std::string file = path == ":memory:" || path.starts_with("file:") ? "./" + path : path;
  if (auto refused = refuse_before_open(file)) return std::move(*refused);
  let_go_of_inherited_connections();
  OpenGuard guard(file);  // declared before the connection: it cleans up after the close
  std::unique_ptr<Storage> storage(new Storage(std::make_unique<Impl>()));
  Impl* impl = storage->impl_.get();
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
  // A file with no page yet, in it or in a -wal, takes its page size from the first write
  // transaction, which the lock below begins. In any other file the pragma would change
  // nothing: the size in its header wins.
  off_t file_size = 0, wal_size = 0;
  if (new_page_size != 0 && file_exists(file, &file_size) && file_size == 0 &&
      (!file_exists(file + "-wal", &wal_size) || wal_size == 0)) {
    const std::string set = "PRAGMA page_size=" + std::to_string(new_page_size);
    if (auto sized = impl->exec(set, Kind::Database); !sized) {
      return connect_failed(std::move(sized).error());
    }
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
  } end_transaction{impl};

  // Steps 2 to 10, reading: the schema, then every row.
  bool needs_table = false;
  if (auto checked = impl->check_schema(needs_table); !checked) return std::move(checked).error();
  if (!needs_table) {
    if (auto loaded = impl->load(storage->table_); !loaded) return std::move(loaded).error();
  }
  auto settings = impl->read_settings();
  if (!settings) return std::move(settings).error();
  storage->settings_ = *settings;
  if (auto committed = impl->commit_write_transaction(); !committed) {
    return std::move(committed).error();
  }

  // Accepted: now the file may change. The table goes into a database that holds none.
  if (auto wal = impl->exec(kUseWal, Kind::Database); !wal) return std::move(wal).error();
  // The log is copied into the file once it holds about 4 MB, whatever the page size: SQLite
  // counts 1,000 pages, 64 MB of 64 KB pages. (Measured: no commit got faster or slower.)
  if (auto page = impl->read_pragma("page_size"); !page) {
    return std::move(page).error();
  } else if (*page > 4096) {
    const std::string set = "PRAGMA wal_autocheckpoint=" + std::to_string(4096000 / *page);
    if (auto set_ok = impl->exec(set, Kind::Database); !set_ok) return std::move(set_ok).error();
  }
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
  return storage;
}

namespace {

// Ends the write transaction it was given unless commit() succeeded: whichever way a write
// leaves, the file keeps nothing of a write that did not commit.
// A large write's rollback journal (see direct_write_floats), from before its transaction
// begins until after it ends, committed or not.
class DirectWrite {
 public:
  explicit DirectWrite(Storage::Impl& impl) : impl_(impl) {
    if (impl_.journal_mode(kUseJournal, "truncate")) impl_.off_log = true;
  }
  DirectWrite(const DirectWrite&) = delete;
  DirectWrite& operator=(const DirectWrite&) = delete;
  ~DirectWrite() {
    if (impl_.off_log) impl_.back_to_log();
  }

 private:
  Storage::Impl& impl_;
};

class WriteTransaction {
 public:
  explicit WriteTransaction(Storage::Impl& impl) : impl_(impl) {}
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  ~WriteTransaction() {
    if (open_) impl_.abandon();
  }

  Result<void, StorageError> begin() {
    auto begun = impl_.begin_write_transaction();
    open_ = begun.ok();
    return begun;
  }
  Result<void, StorageError> commit() {
    open_ = false;
    return impl_.commit_write_transaction();  // rolls back itself when the commit fails
  }

 private:
  Storage::Impl& impl_;
  bool open_ = false;
};

}  // namespace

namespace {

// The order a write hands its operations to SQLite in: by id bytes, operations on one id in the
// caller's order. The records table is a B-tree on the id, and rows arriving in key order are
// written into neighbouring pages (at the end of the tree, filling each page, for ids above
// every stored one) where rows in no order split pages all over the file, which took twice the
// time with random ids. Operations on different ids commute and those on one id keep their
// order, so the file ends the same either way. Empty when the caller's order is key order
// already (rising ids), so that such a write pays one pass over its ids.
std::vector<std::size_t> key_order(const std::vector<WriteOp>& ops) {
  const auto id = [&](std::size_t i) -> std::string_view { return ops[i].record.id; };
  bool sorted = true;
  for (std::size_t i = 1; i < ops.size() && sorted; ++i) sorted = id(i - 1) <= id(i);
  if (sorted) return {};
  // The ids' first eight bytes, read once into the sort's own array, decide most comparisons
  // without touching the ids themselves.
  struct Key {
    std::uint64_t head;
    std::size_t index;
  };
  std::vector<Key> keys(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const std::string_view bytes = id(i);
    std::uint64_t head = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      head = head << 8 | (b < bytes.size() ? static_cast<unsigned char>(bytes[b]) : 0u);
    }
    keys[i] = {head, i};
  }
  // A total order (the index breaks ties), so an unstable sort gives the stable one.
  const auto before = [&](const Key& a, const Key& b) {
    if (a.head != b.head) return a.head < b.head;
    if (const int c = id(a.index).compare(id(b.index)); c != 0) return c < 0;
    return a.index < b.index;
  };
  if (keys.size() < kParallelSortOps) {
    std::sort(keys.begin(), keys.end(), before);
  } else {
    tbb::parallel_sort(keys.begin(), keys.end(), before);
  }
  std::vector<std::size_t> order(ops.size());
  for (std::size_t p = 0; p < keys.size(); ++p) order[p] = keys[p].index;
  return order;
}

// Moves every record's vector into its place in the table's reserved room (placed[i] floats past
// its start for operation i; placed has one entry more than ops) and frees its own memory, in
// the caller's order, returning the freed memory to the system as it goes. The records' vectors
// were allocated in that order: freed in any other (key order), they would leave a little of
// nearly every page of the heap in use until the last, and the batch would hold its vectors
// twice.
void move_vectors(std::vector<WriteOp>& ops, float* room, const std::vector<std::size_t>& placed) {
  constexpr std::size_t kSliceFloats = kReturnFreedBytes / sizeof(float);
  for (std::size_t first = 0; first < ops.size();) {
    std::size_t last = first;
    while (last < ops.size() && placed[last] - placed[first] < kSliceFloats) ++last;
    const auto move_range = [&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to; ++i) {
        std::vector<float>& vector = ops[i].record.vector;
        if (ops[i].kind == WriteOp::Kind::Remove) continue;
        if (!vector.empty()) std::memcpy(room + placed[i], vector.data(), vector.size() * sizeof(float));
        std::vector<float>().swap(vector);
      }
    };
    if (placed[last] - placed[first] < kParallelEncodeFloats) {
      move_range(first, last);
    } else {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(first, last, 64),
                        [&](const tbb::blocked_range<std::size_t>& r) { move_range(r.begin(), r.end()); });
    }
    if (placed[last] - placed[first] >= kSliceFloats) return_free_memory();
    first = last;
  }
}

// The vector of operation i: its record's own, or (moved) its place in the room.
std::span<const float> vector_of(const std::vector<WriteOp>& ops, std::size_t i, bool moved,
                                 const float* room, const std::vector<std::size_t>& placed) {
  if (!moved) return ops[i].record.vector;
  return {room + placed[i], placed[i + 1] - placed[i]};
}

// Rows of a range of positions in the write's order (order[p] is the operation at position p;
// order empty: the caller's order), encoded, with the first failure among them in the caller's
// order. A Remove has no row. The strings keep their capacity from chunk to chunk. In the
// caller's order each encoded vector is moved at once into its place in the room and its own
// memory freed, so that a large batch never holds its vectors twice; in key order the vectors
// are in the room already (move_vectors) and are encoded from there.
struct EncodedChunk {
  std::size_t begin = 0, end = 0;
  std::vector<std::string> rows;
  std::optional<StorageError> failure;
  std::exception_ptr thrown;  // std::bad_alloc from a worker, passed on to the caller

  // freed: the bytes of vectors freed since the last return_free_memory(); encodings run one at a
  // time.
  void encode(std::vector<WriteOp>& ops, const std::vector<std::size_t>& order, std::size_t first,
              std::size_t last, std::size_t floats, float* room,
              const std::vector<std::size_t>& placed, std::size_t& freed) {
    begin = first;
    end = last;
    failure.reset();
    if (rows.size() < last - first) rows.resize(last - first);
    std::mutex failure_mu;
    auto encode_range = [&](std::size_t from, std::size_t to) {
      for (std::size_t p = from; p < to; ++p) {
        const std::size_t i = order.empty() ? p : order[p];
        if (ops[i].kind == WriteOp::Kind::Remove) continue;
        auto encoded = encode_record_into(
            ops[i].record, vector_of(ops, i, !order.empty(), room, placed), rows[p - first]);
        if (encoded && !order.empty()) continue;
        if (encoded) {
          std::vector<float>& vector = ops[i].record.vector;
          if (!vector.empty()) {
            std::memcpy(room + placed[i], vector.data(), vector.size() * sizeof(float));
          }
          std::vector<float>().swap(vector);
          continue;
        }
        std::lock_guard<std::mutex> lock(failure_mu);
        if (!failure || i < *failure->index) {
          failure = StorageError{Kind::Serialization, std::move(encoded).error().message, i};
        }
      }
    };
    try {
      if (floats < kParallelEncodeFloats) {
        encode_range(first, last);
      } else {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(first, last, 16),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                            encode_range(r.begin(), r.end());
                          });
      }
      if (order.empty()) freed += floats * sizeof(float);
      if (freed >= kReturnFreedBytes) {
        return_free_memory();
        freed = 0;
      }
    } catch (...) {
      thrown = std::current_exception();
    }
  }

  std::string_view row(std::size_t p) const { return rows[p - begin]; }
};

// A write that stops at failure, found in a chunk of its key order, reports the first operation
// in the caller's order that cannot be encoded: this looks for one before failure's among the
// positions from `from` on, not encoded yet, and returns it, or failure.
StorageError first_failure(const std::vector<WriteOp>& ops, const std::vector<std::size_t>& order,
                           std::size_t from, const float* room,
                           const std::vector<std::size_t>& placed, StorageError failure) {
  if (order.empty()) return failure;  // the later positions hold later operations
  std::mutex failure_mu;
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(from, ops.size(), 64),
      [&](const tbb::blocked_range<std::size_t>& r) {
        std::string row;
        for (std::size_t p = r.begin(); p < r.end(); ++p) {
          const std::size_t i = order[p];
          if (ops[i].kind == WriteOp::Kind::Remove) continue;
          {
            std::lock_guard<std::mutex> lock(failure_mu);
            if (i > *failure.index) continue;
          }
          auto encoded = encode_record_into(ops[i].record, vector_of(ops, i, true, room, placed), row);
          if (encoded) continue;
          std::lock_guard<std::mutex> lock(failure_mu);
          if (i < *failure.index) {
            failure = StorageError{Kind::Serialization, std::move(encoded).error().message, i};
          }
        }
      });
  return failure;
}

// Waits for the encoding in flight whichever way the write loop leaves.
struct WaitForEncoding {
  tbb::task_group& group;
  ~WaitForEncoding() { group.wait(); }
};

}  // namespace

Result<std::size_t, StorageError> Storage::write(std::vector<WriteOp>& ops) {
  if (auto writable = check_writable(); !writable) return std::move(writable).error();
  Impl& d = *impl_;

  // placed[i]: where op i's vector goes in the table's room for the write's vectors.
  std::vector<std::size_t> placed(ops.size() + 1);
  std::size_t slots = 0, floats = 0;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    placed[i] = floats;
    if (ops[i].kind == WriteOp::Kind::Remove) continue;
    ++slots;
    floats += ops[i].record.vector.size();
  }
  placed[ops.size()] = floats;
  // The rows go to SQLite in key order (key_order); the table takes them in the caller's.
  const std::vector<std::size_t> order = key_order(ops);
  const auto op_at = [&](std::size_t p) { return order.empty() ? p : order[p]; };
  // The rows are encoded and written a chunk at a time inside the one transaction, so a batch
  // of any size holds only two chunks of row text: while the calling thread hands one chunk to
  // SQLite, the worker pool encodes the next. The table takes the memory the new records need
  // first, and each chunk's vectors move into it as they are encoded; they are counted in only
  // after the commit. The first chunk is encoded before the transaction begins (all of a small
  // write). A record that cannot be encoded fails the write with its index (the first such in
  // the caller's order); the transaction, if begun, is rolled back, so nothing of it remains.
  // A chunk is a range of positions in key order.
  auto chunk_end = [&](std::size_t begin, std::size_t& chunk_floats) {
    std::size_t end = begin;
    chunk_floats = 0;
    while (end < ops.size() && chunk_floats < kChunkFloats && end - begin < kChunkOps) {
      const std::size_t i = op_at(end++);
      chunk_floats += placed[i + 1] - placed[i];
    }
    return end;
  };
  table_.reserve(slots, floats);
  float* const room = table_.vector_room();
  if (!order.empty()) move_vectors(ops, room, placed);
  EncodedChunk chunks[2];
  std::size_t chunk_floats = 0, freed = 0;
  chunks[0].encode(ops, order, 0, chunk_end(0, chunk_floats), chunk_floats, room, placed, freed);
  if (chunks[0].thrown) std::rethrow_exception(chunks[0].thrown);
  if (chunks[0].failure) {
    return first_failure(ops, order, chunks[0].end, room, placed, std::move(*chunks[0].failure));
  }
  sqlite3_stmt* upsert = d.statement(d.upsert, kUpsert);
  if (!upsert) return d.error(Kind::Table);
  sqlite3_stmt* remove = d.statement(d.remove, kRemove);
  if (!remove) return d.error(Kind::Table);

  if (d.off_log) d.back_to_log();
  std::optional<DirectWrite> direct;
  if (floats >= direct_write_floats.load(std::memory_order_relaxed)) direct.emplace(d);
  WriteTransaction txn(d);
  if (auto begun = txn.begin(); !begun) return std::move(begun).error();
  for (int current = 0;; current = 1 - current) {
    EncodedChunk& chunk = chunks[current];
    EncodedChunk& next = chunks[1 - current];
    tbb::task_group encoding;
    {
      WaitForEncoding wait{encoding};
      if (chunk.end < ops.size()) {
        const std::size_t next_end = chunk_end(chunk.end, chunk_floats);
        encoding.run([&, first = chunk.end, next_end, next_floats = chunk_floats] {
          next.encode(ops, order, first, next_end, next_floats, room, placed, freed);
        });
      }
      for (std::size_t p = chunk.begin; p < chunk.end; ++p) {
        const WriteOp& op = ops[op_at(p)];
        sqlite3_stmt* stmt = op.kind == WriteOp::Kind::Remove ? remove : upsert;
        int rc = bind_bytes(stmt, 1, op.record.id);
        if (rc == SQLITE_OK && op.kind != WriteOp::Kind::Remove) rc = bind_bytes(stmt, 2, chunk.row(p));
        if (rc != SQLITE_OK) {
          StorageError failed = d.error(Kind::Storage);
          sqlite3_clear_bindings(stmt);
          return failed;
        }
        if (auto done = d.run(stmt, Kind::Storage); !done) return std::move(done).error();
      }
    }
    if (chunk.end == ops.size()) break;
    if (next.thrown) std::rethrow_exception(next.thrown);
    if (next.failure) {
      return first_failure(ops, order, next.end, room, placed, std::move(*next.failure));
    }
  }
  if (auto committed = txn.commit(); !committed) return std::move(committed).error();

  // Committed: from here on nothing may fail, and nothing does (the room is reserved and holds
  // the vectors).
  std::size_t removed = 0;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    WriteOp& op = ops[i];
    if (op.kind != WriteOp::Kind::Insert) removed += table_.remove(op.record.id);
    if (op.kind == WriteOp::Kind::Remove) continue;
    table_.append_placed(std::move(op.record.id), placed[i + 1] - placed[i],
                         std::move(op.record.metadata), op.record.timestamp);
  }
  if (removed > 0 && table_.should_compact()) table_.compact();
  return removed;
}

void Storage::set_direct_write_floats(std::size_t floats) {
  direct_write_floats.store(floats, std::memory_order_relaxed);
}

Result<void, StorageError> Storage::append(Record record) {
  std::vector<WriteOp> ops;
  ops.push_back({WriteOp::Kind::Insert, std::move(record)});
  auto written = write(ops);
  if (!written) return std::move(written).error();
  return {};
}

Result<bool, StorageError> Storage::delete_(std::string_view id) {
  std::vector<WriteOp> ops;
  ops.push_back({WriteOp::Kind::Remove, Record{std::string(id), {}, {}, {}}});
  auto written = write(ops);
  if (!written) return std::move(written).error();
  return *written > 0;
}

Result<void, StorageError> Storage::save_settings(const StoredSettings& settings) {
  if (auto writable = check_writable(); !writable) return std::move(writable).error();
  Impl& d = *impl_;
  std::uint32_t bits = 0;
  if (settings.metric) bits |= static_cast<std::uint32_t>(*settings.metric + 1) & 7;
  if (settings.dim) bits |= *settings.dim << 3;
  WriteTransaction txn(d);
  if (auto begun = txn.begin(); !begun) return std::move(begun).error();
  auto application = d.read_pragma("application_id");
  if (!application) return std::move(application).error();
  if (*application != 0 && *application != kApplicationId) {
    return StorageError{Kind::Table, "the database's application_id " +
                                         std::to_string(*application) +
                                         " belongs to another application; not saving settings"};
  }
  const std::string set = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                          ";PRAGMA user_version=" + std::to_string(bits);
  if (auto written = d.exec(set, Kind::Storage); !written) return std::move(written).error();
  if (auto committed = txn.commit(); !committed) return std::move(committed).error();
  settings_ = settings;
  return {};
}

std::optional<std::size_t> Storage::newest_position(std::string_view id) const {
  return table_.newest(id);
}

}  // namespace korvane_storage
