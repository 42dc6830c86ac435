// A store open across fork(): the child inherits the connection, but only the process that
// opened the store may write through it or close it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "storage/storage.h"

namespace korvane_storage {
namespace {

Record make(const std::string& id, float x) { return Record{id, {x, 1.0f}, std::nullopt, std::nullopt}; }

class ForkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/korvane-fork-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/store.db";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs body in a child process; its return value is the exit status. gtest assertions in the
  // child would report nowhere, so the child reports by status only.
  template <class Body>
  static int in_child(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::unique_ptr<Storage> Open() {
    auto opened = Storage::open(path_);
    EXPECT_TRUE(opened) << opened.error().display();
    return opened ? std::move(*opened) : nullptr;
  }

  std::string dir_;
  std::string path_;
};

// The child frees its copy as a normal exit would. Closing it would checkpoint the WAL and
// delete it, and the parent's later commits would go to an unlinked file; the parent then
// dies without closing, and only what is in the files on disk counts.
TEST_F(ForkTest, ChildFreeingItsCopyLeavesTheOwnersFilesAlone) {
  const int status = in_child([&] {
    auto store = Open();
    if (!store || !store->append(make("before", 1.0f))) return 10;
    const int child = in_child([&] {
      store.reset();
      return 0;
    });
    if (child != 0) return 11;
    if (!std::filesystem::exists(path_ + "-wal")) return 12;
    for (int i = 0; i < 10; ++i) {
      if (!store->append(make("after" + std::to_string(i), static_cast<float>(i)))) return 13;
    }
    _exit(0);  // a crash: no destructor, no checkpoint
  });
  ASSERT_EQ(status, 0);
  auto store = Open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->table().size(), 11u);
}

TEST_F(ForkTest, ChildCanReadButNotWrite) {
  auto store = Open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->append(make("a", 1.0f)));
  const int status = in_child([&] {
    auto appended = store->append(make("child", 2.0f));
    if (appended) return 1;
    const StorageError& e = appended.error();
    if (e.kind != StorageError::Kind::Database) return 2;
    if (e.message.find("open the store again in this process") == std::string::npos) return 3;
    auto removed = store->delete_("a");
    if (removed || removed.error().kind != StorageError::Kind::Database) return 4;
    // Memory is the child's own copy and reads fine.
    if (store->table().size() != 1 || store->newest_position("a") != 0u) return 5;
    return 0;
  });
  EXPECT_EQ(status, 0);
  // The parent's handle is untouched: it writes, and the file holds exactly its records.
  ASSERT_TRUE(store->append(make("b", 3.0f)));
  ASSERT_TRUE(store->delete_("a"));
  store.reset();
  store = Open();
  ASSERT_TRUE(store);
  ASSERT_EQ(store->table().size(), 1u);
  EXPECT_EQ(store->table().id(*store->table().live_slots().begin()), "b");
}

}  // namespace
}  // namespace korvane_storage
