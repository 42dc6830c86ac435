// Owners for SQLite's two C handles: a connection and a prepared statement.
//
// Each owner releases its handle exactly once and cannot be copied; moving hands the handle over.
// A statement must go before the connection it was prepared on, so owners that hold both declare
// the connection first.
//
// Thread safety: none; an owner is used by one thread at a time, like the handle it wraps.
#pragma once

#include <sqlite3.h>

#include <string_view>
#include <utility>

namespace korvane_storage {

class SqliteDb {
 public:
  SqliteDb() = default;
  explicit SqliteDb(sqlite3* db) : db_(db) {}
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;
  SqliteDb(SqliteDb&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
  SqliteDb& operator=(SqliteDb&& other) noexcept {
    if (this != &other) {
      close();
      db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
  }
  ~SqliteDb() { close(); }

  sqlite3* get() const { return db_; }

  // The connection's last error text; also meaningful for a connection that failed to open.
  const char* errmsg() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

 private:
  void close() {
    // close_v2 rather than close: a statement still alive would make close fail and leak the
    // file lock, which would lock every later open of the file out.
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  sqlite3* db_ = nullptr;
};

class SqliteStatement {
 public:
  SqliteStatement() = default;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  SqliteStatement(SqliteStatement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}
  SqliteStatement& operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
      sqlite3_finalize(stmt_);
      stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
  }
  ~SqliteStatement() { sqlite3_finalize(stmt_); }

  // Prepares sql for reuse over the life of the connection. Returns an SQLite result code; on
  // failure the statement stays empty and the connection's errmsg says why.
  int prepare(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return rc;
    }
    sqlite3_finalize(stmt_);
    stmt_ = stmt;
    return SQLITE_OK;
  }

  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace korvane_storage
