#include "storage/storage.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "faulty_vfs.h"

extern char** environ;

namespace korvane_storage {
namespace {

using korvane_test::FaultyVfs;
using Kind = StorageError::Kind;

// The child half of the cross-process lock test: a fresh process (so that SQLite has no
// in-process knowledge of the parent's lock) opens the file the parent holds.
constexpr char kChildOpenEnv[] = "KORVANE_STORAGE_TEST_OPEN_HELD";

Record make(std::string id, std::vector<float> vector, std::optional<Value> metadata = {},
            std::optional<std::uint64_t> timestamp = {}) {
  return Record{std::move(id), std::move(vector), std::move(metadata), timestamp};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Direct access to the file, bypassing Storage, for planting rows and reading keys back.
class RawDb {
 public:
  explicit RawDb(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  }
  ~RawDb() { sqlite3_close(db_); }
  void exec(const char* sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
  }
  void put(const std::string& key, const std::string& value) {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO records VALUES(?1, ?2)", -1, &stmt,
                                 nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_blob(stmt, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
  }
  std::vector<std::string> keys() {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, "SELECT id FROM records ORDER BY id", -1, &stmt, nullptr),
              SQLITE_OK);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const char* data = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
      out.emplace_back(data ? data : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

class StorageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { FaultyVfs::install(); }

  void SetUp() override {
    char dir[] = "/tmp/korvane-storage-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/store.db";
    Reopen();
  }
  void TearDown() override {
    vfs().disarm();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }

  static FaultyVfs& vfs() { return FaultyVfs::install(); }

  void Reopen() {
    store_.reset();
    auto opened = Storage::open(path_);
    ASSERT_TRUE(opened) << opened.error().display();
    store_ = std::move(*opened);
  }
  void Close() { store_.reset(); }

  void Append(Record record) {
    auto appended = store_->append(std::move(record));
    ASSERT_TRUE(appended) << appended.error().display();
  }

  // Every live record, in store order.
  std::vector<Record> Records() const {
    std::vector<Record> out;
    for (std::size_t slot : store_->table().live_slots()) out.push_back(store_->table().record(slot));
    return out;
  }

  std::vector<std::string> Ids() const {
    std::vector<std::string> ids;
    for (std::size_t slot : store_->table().live_slots()) ids.emplace_back(store_->table().id(slot));
    return ids;
  }

  // The keys in the file. Closes the store: the file is locked while it is open.
  std::vector<std::string> RowKeys() {
    Close();
    return RawDb(path_).keys();
  }

  std::string dir_;
  std::string path_;
  std::unique_ptr<Storage> store_;
};

TEST_F(StorageTest, NewFileIsCreatedEmptyAndReopensEmpty) {
  EXPECT_TRUE(std::filesystem::exists(path_));
  EXPECT_TRUE(store_->table().empty());
  Reopen();
  EXPECT_TRUE(store_->table().empty());
  EXPECT_TRUE(RowKeys().empty());
}

TEST_F(StorageTest, RecordsKeepInsertOrderUntilReopenedThenFollowKeyOrder) {
  Value meta = Value::object();
  meta.set("tag", Value::string("x"));
  Append(make("b", {1.0f, 2.0f}));
  Append(make("a", {0.1f, -2.5f, 1e-7f}, meta, 18446744073709551615u));
  Append(make("c", {}));
  EXPECT_EQ(Ids(), (std::vector<std::string>{"b", "a", "c"}));

  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"a", "b", "c"}));
  const Record a = Records()[0];
  EXPECT_EQ(a.vector, (std::vector<float>{0.1f, -2.5f, 1e-7f}));
  ASSERT_TRUE(a.metadata.has_value());
  EXPECT_EQ(*a.metadata, meta);
  EXPECT_EQ(a.timestamp, 18446744073709551615u);
  EXPECT_EQ(Records()[1].vector, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_FALSE(Records()[1].metadata.has_value());
  EXPECT_TRUE(Records()[2].vector.empty());
}

// A TEXT key, or a comparison that stops at a NUL byte, would get this order wrong.
TEST_F(StorageTest, KeysOrderByTheirBytes) {
  const std::string nul_inside("a\0b", 3);
  for (std::string id : {std::string("ab"), std::string("\xC3\xA9"), nul_inside, std::string("a"),
                         std::string("B"), std::string("")}) {
    Append(make(id, {1.0f}));
  }
  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"", "B", "a", nul_inside, "ab", "\xC3\xA9"}));
  EXPECT_EQ(store_->newest_position(nul_inside), 3u);
  EXPECT_EQ(store_->newest_position("a"), 2u);

  // The empty id is a key like any other.
  EXPECT_EQ(store_->newest_position(""), 0u);
  auto removed = store_->delete_("");
  ASSERT_TRUE(removed);
  EXPECT_TRUE(*removed);
  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"B", "a", nul_inside, "ab", "\xC3\xA9"}));
}

TEST_F(StorageTest, ReinsertedIdIsTwiceInMemoryOnceInTheFile) {
  Append(make("x", {1.0f}));
  Append(make("y", {5.0f}));
  Append(make("x", {2.0f}));
  EXPECT_EQ(Ids(), (std::vector<std::string>{"x", "y", "x"}));
  EXPECT_EQ(store_->newest_position("x"), 2u);
  EXPECT_EQ(store_->newest_position("y"), 1u);
  EXPECT_EQ(store_->newest_position("z"), std::nullopt);

  EXPECT_EQ(RowKeys(), (std::vector<std::string>{"x", "y"}));
  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(Records()[0].vector, std::vector<float>{2.0f});
  EXPECT_EQ(store_->newest_position("x"), 0u);
}

TEST_F(StorageTest, DeleteRemovesEveryCopyAndClosesTheGap) {
  Append(make("a", {1.0f}));
  Append(make("x", {2.0f}));
  Append(make("b", {3.0f}));
  Append(make("x", {4.0f}));
  Append(make("c", {5.0f}));

  auto removed = store_->delete_("x");
  ASSERT_TRUE(removed) << removed.error().display();
  EXPECT_TRUE(*removed);
  EXPECT_EQ(Ids(), (std::vector<std::string>{"a", "b", "c"}));
  // Positions behind the removed records moved; an index left stale would still say 4.
  EXPECT_EQ(store_->newest_position("c"), 2u);
  EXPECT_EQ(store_->newest_position("x"), std::nullopt);

  auto again = store_->delete_("x");
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again);
  auto never = store_->delete_("never stored");
  ASSERT_TRUE(never);
  EXPECT_FALSE(*never);
  EXPECT_EQ(Ids(), (std::vector<std::string>{"a", "b", "c"}));

  auto first = store_->delete_("a");
  ASSERT_TRUE(first);
  EXPECT_TRUE(*first);
  EXPECT_EQ(Ids(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(store_->newest_position("b"), 0u);
  EXPECT_EQ(Records()[1].vector, std::vector<float>{5.0f});

  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"b", "c"}));
}

TEST_F(StorageTest, RecordThatCouldNotBeReadBackIsRefused) {
  Append(make("keep", {1.0f}));
  Value deep = Value::array();
  for (int i = 0; i < 200; ++i) deep = Value::array({std::move(deep)});
  for (Record bad : {make("nan", {1.0f, std::nanf("")}),
                     make("inf", {std::numeric_limits<float>::infinity()}),
                     make("deep", {1.0f}, deep)}) {
    auto appended = store_->append(std::move(bad));
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().kind, Kind::Serialization) << appended.error().display();
  }
  EXPECT_EQ(Ids(), std::vector<std::string>{"keep"});
  EXPECT_EQ(RowKeys(), std::vector<std::string>{"keep"});
}

TEST_F(StorageTest, SecondOpenFailsAtOnceUntilTheFirstIsGone) {
  Append(make("a", {1.0f}));
  auto second = Storage::open(path_);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, Kind::Database);
  EXPECT_EQ(second.error().display(), "Database error: database is locked");

  // Another process: run this test binary again with only the child test selected.
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=StorageChild.OpenOfAFileHeldByTheParentFails";
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  env_strings.push_back(std::string(kChildOpenEnv) + "=" + path_);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  char* argv[] = {exe.data(), filter.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

  Reopen();
  EXPECT_EQ(Ids(), std::vector<std::string>{"a"});
}

TEST(StorageChild, OpenOfAFileHeldByTheParentFails) {
  const char* path = std::getenv(kChildOpenEnv);
  if (!path) GTEST_SKIP() << "runs only as the child of SecondOpenFailsAtOnceUntilTheFirstIsGone";
  auto opened = Storage::open(path);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().display(), "Database error: database is locked");
}

TEST_F(StorageTest, FileThatIsNotADatabaseFailsAndIsLeftAlone) {
  Close();
  std::string junk;
  for (int i = 0; i < 300; ++i) junk += "not a database, line " + std::to_string(i) + "\n";
  { std::ofstream(path_, std::ios::binary | std::ios::trunc) << junk; }

  auto opened = Storage::open(path_);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().display(), "Database error: file is not a database");
  EXPECT_EQ(read_file(path_), junk);
  // No journal or WAL left beside it either.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);

  auto nowhere = Storage::open(dir_ + "/missing/store.db");
  ASSERT_FALSE(nowhere);
  EXPECT_EQ(nowhere.error().display(), "Database error: unable to open database file");
}

// Names SQLite would read as something other than a file.
TEST_F(StorageTest, EveryPathNamesAFile) {
  auto empty = Storage::open("");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, Kind::Database);

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  for (const std::string name : {":memory:", "file:uri.db?mode=memory"}) {
    {
      auto opened = Storage::open(name);
      ASSERT_TRUE(opened) << opened.error().display();
      auto appended = (*opened)->append(make("a", {1.0f}));
      ASSERT_TRUE(appended) << appended.error().display();
    }
    auto reopened = Storage::open(name);
    ASSERT_TRUE(reopened) << reopened.error().display();
    EXPECT_EQ((*reopened)->table().size(), 1u) << name;
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/" + name)) << name;
  }
  std::filesystem::current_path(cwd);
}

// Rows planted with the C API. Wide rows make load batches big enough to be decoded in parallel;
// narrow ones, in the reader's short array form, keep them on the opening thread.
std::string row_text(const std::string& id, int i, int components) {
  std::string vector = "[";
  for (int j = 0; j < components; ++j) {
    if (j) vector += ',';
    vector += std::to_string(i + j);
    vector += ".25";
  }
  vector += ']';
  if (components == 1) return "[\"" + id + "\"," + vector + ",null,null]";
  return "{\"id\":\"" + id + "\",\"vector\":" + vector + ",\"metadata\":{\"n\":" +
         std::to_string(i) + "},\"timestamp\":null}";
}
std::string row_key(int i) {
  char key[16];
  std::snprintf(key, sizeof key, "r%05d", i);
  return key;
}

TEST_F(StorageTest, LoadsEveryRowInKeyOrderAndFailsOnTheFirstBadOne) {
  constexpr int kRows = 20000;
  for (int components : {24, 1}) {
    SCOPED_TRACE(components);
    path_ = dir_ + "/rows-" + std::to_string(components) + ".db";
    Reopen();
    Close();
    {
      RawDb raw(path_);
      raw.exec("BEGIN");
      for (int i = kRows - 1; i >= 0; --i) raw.put(row_key(i), row_text(row_key(i), i, components));
      raw.exec("COMMIT");
    }
    Reopen();
    ASSERT_EQ(store_->table().size(), static_cast<std::size_t>(kRows));
    for (int i = 0; i < kRows; ++i) {
      const Record r = store_->table().record(static_cast<std::size_t>(i));
      ASSERT_EQ(r.id, row_key(i));
      ASSERT_EQ(r.vector.size(), static_cast<std::size_t>(components));
      ASSERT_EQ(r.vector.back(), static_cast<float>(i + components - 1) + 0.25f);
      ASSERT_EQ(r.vector.capacity(), r.vector.size());
    }
    EXPECT_EQ(store_->newest_position("r12345"), 12345u);
    {
      // The open makes the compact copies on its workers: byte for byte what writes make.
      RecordTable written;
      written.reserve(kRows, std::size_t{kRows} * components);
      for (int i = 0; i < kRows; ++i) written.append(store_->table().record(i));
      const CompactCopy& a = store_->table().compact_copy();
      const CompactCopy& b = written.compact_copy();
      const std::size_t halves = (std::size_t{kRows} * components + kRows) / 2;
      EXPECT_EQ(std::memcmp(a.highs(), b.highs(), halves), 0);
      EXPECT_EQ(std::memcmp(a.lows(), b.lows(), halves), 0);
      EXPECT_EQ(std::memcmp(&a.meta(0), &b.meta(0), kRows * sizeof(CompactMeta)), 0);
      EXPECT_EQ(std::memcmp(&a.coarse(0), &b.coarse(0), kRows * sizeof(CoarseMeta)), 0);
    }

    // Load batches hold a few thousand rows. Two bad rows side by side near the end of one
    // batch, and one near the start of the next: the first in key order is reported, whichever
    // worker or batch gets to a bad row first.
    const std::string first_bad = "{\"id\":\"x\"}";
    Close();
    {
      RawDb raw(path_);
      raw.put(row_key(4095), "{}");
      raw.put(row_key(4094), first_bad);
      raw.put(row_key(4097), "not json");
    }
    auto expected = decode_record(first_bad);
    ASSERT_FALSE(expected);
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto opened = Storage::open(path_);
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().kind, Kind::Serialization);
      EXPECT_EQ(opened.error().display(), "Serialization error: " + expected.error().message);
    }
  }
}

// --- Injected faults: every failed write leaves memory and file as they were. ---

TEST_F(StorageTest, AppendFailingAtCommitChangesNothing) {
  Append(make("a", {1.0f}));
  for (FaultyVfs::Op op : {FaultyVfs::Op::Write, FaultyVfs::Op::Sync}) {
    vfs().fail(op);
    auto appended = store_->append(make("b", {2.0f}));
    EXPECT_FALSE(vfs().armed(op)) << "the fault never fired";
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().kind, Kind::Commit);
    EXPECT_EQ(appended.error().display(), "Commit error: disk I/O error");
    EXPECT_EQ(Ids(), std::vector<std::string>{"a"});
    EXPECT_EQ(store_->newest_position("b"), std::nullopt);
  }
  // The handle is still usable, and only what committed is in the file.
  Append(make("c", {3.0f}));
  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"a", "c"}));
}

TEST_F(StorageTest, DeleteFailingAtCommitChangesNothing) {
  Append(make("a", {1.0f}));
  Append(make("b", {2.0f}));
  for (FaultyVfs::Op op : {FaultyVfs::Op::Write, FaultyVfs::Op::Sync}) {
    vfs().fail(op);
    auto removed = store_->delete_("a");
    EXPECT_FALSE(vfs().armed(op)) << "the fault never fired";
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().kind, Kind::Commit);
    EXPECT_EQ(Ids(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(store_->newest_position("b"), 1u);
  }
  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"a", "b"}));
}

// A record larger than SQLite's page cache spills to the file while the row is being written,
// before the commit; a failure there is a row-writing (Storage) failure.
TEST_F(StorageTest, AppendFailingWhileWritingTheRowChangesNothing) {
  Append(make("a", {1.0f}));
  Value big = Value::object();
  big.set("blob", Value::string(std::string(8 << 20, 'q')));
  vfs().fail(FaultyVfs::Op::Write);
  auto appended = store_->append(make("big", {1.0f}, big));
  EXPECT_FALSE(vfs().armed(FaultyVfs::Op::Write)) << "the fault never fired";
  ASSERT_FALSE(appended);
  EXPECT_EQ(appended.error().kind, Kind::Storage) << appended.error().display();
  EXPECT_EQ(Ids(), std::vector<std::string>{"a"});
  Reopen();
  EXPECT_EQ(Ids(), std::vector<std::string>{"a"});
}

// Removing a large row walks its overflow pages; after a reopen most of them are no longer
// cached, so a failed read surfaces while the row is being removed.
TEST_F(StorageTest, DeleteFailingWhileRemovingTheRowChangesNothing) {
  Value big = Value::object();
  big.set("blob", Value::string(std::string(8 << 20, 'q')));
  Append(make("big", {1.0f}, big));
  Append(make("small", {1.0f}));
  Reopen();
  vfs().fail(FaultyVfs::Op::Read);
  auto removed = store_->delete_("big");
  EXPECT_FALSE(vfs().armed(FaultyVfs::Op::Read)) << "the fault never fired";
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind, Kind::Storage) << removed.error().display();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"big", "small"}));
  Reopen();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"big", "small"}));
  EXPECT_EQ(Records()[0].metadata, big);
}

TEST_F(StorageTest, OpenFailingMidScanFailsInsteadOfDroppingRows) {
  std::vector<float> wide(1000, 0.5f);
  for (int i = 0; i < 200; ++i) Append(make(row_key(i), wide));
  Close();
  // A clean open counts the reads; the fault goes three quarters of the way in, inside the scan.
  long before = vfs().calls(FaultyVfs::Op::Read);
  Reopen();
  long reads = vfs().calls(FaultyVfs::Op::Read) - before;
  ASSERT_GT(reads, 100);
  Close();

  vfs().fail(FaultyVfs::Op::Read, reads * 3 / 4);
  auto opened = Storage::open(path_);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind, Kind::Storage);
  EXPECT_EQ(opened.error().display(), "Storage error: disk I/O error");
  Reopen();
  EXPECT_EQ(store_->table().size(), 200u);

  // A bad row before the break comes first, also among the rows read just before it.
  Close();
  RawDb(path_).put(row_key(5), "{}");
  before = vfs().calls(FaultyVfs::Op::Read);
  auto bad = Storage::open(path_);
  reads = vfs().calls(FaultyVfs::Op::Read) - before;
  ASSERT_FALSE(bad);
  vfs().fail(FaultyVfs::Op::Read, reads * 3 / 4);
  auto broken = Storage::open(path_);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().kind, Kind::Serialization) << broken.error().display();
  EXPECT_EQ(broken.error().display(), bad.error().display());
}

TEST_F(StorageTest, OpenFailingToLockOrCreateTheTableReportsTheStep) {
  Close();
  vfs().fail(FaultyVfs::Op::Lock);
  auto locked = Storage::open(path_);
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().kind, Kind::Database) << locked.error().display();

  // A new file gets its table from the first commit, and a commit's last write is its own. A
  // clean open of another new file shows how many writes an open makes.
  long before = vfs().calls(FaultyVfs::Op::Write);
  auto counted = Storage::open(dir_ + "/counted.db");
  long writes = vfs().calls(FaultyVfs::Op::Write) - before;
  ASSERT_TRUE(counted);
  ASSERT_GT(writes, 0);
  const std::string fresh = dir_ + "/fresh.db";
  vfs().fail(FaultyVfs::Op::Write, writes - 1);
  auto created = Storage::open(fresh);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().kind, Kind::Commit) << created.error().display();
  EXPECT_FALSE(vfs().armed(FaultyVfs::Op::Write));
  auto retried = Storage::open(fresh);
  ASSERT_TRUE(retried) << retried.error().display();
  EXPECT_TRUE((*retried)->table().empty());
}

}  // namespace
}  // namespace korvane_storage
