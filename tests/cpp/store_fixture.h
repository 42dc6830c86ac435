// A fixture for tests of the core store: a database file of the test's own, opened (and
// reopened) with the metric the test asks for, and short helpers to insert and search.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvane/korvane.h"

namespace korvane_test {

// Every record the store lists, copied out of its slots in store order.
inline std::vector<korvane_storage::Record> AllRecords(const korvane_core::Korvane& store) {
  std::vector<korvane_storage::Record> out;
  const korvane_core::RecordTable& table = store.get_all();
  for (std::size_t slot : table.live_slots()) out.push_back(table.record(slot));
  return out;
}

class StoreTest : public ::testing::Test {
 protected:
  using Korvane = korvane_core::Korvane;
  using SearchResult = korvane_core::SearchResult;
  using Value = korvane_core::Value;

  void SetUp() override {
    path_ = ::testing::TempDir() + "korvane_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db";
    std::remove(path_.c_str());
  }
  void TearDown() override {
    store_.reset();
    std::remove(path_.c_str());
  }

  // (Re)opens the file with the given metric; the previous store goes first (file lock).
  Korvane& Open(korvane_core::Metric metric) {
    store_.reset();
    auto opened = Korvane::open(path_, metric);
    EXPECT_TRUE(opened) << opened.error().display();
    store_ = std::move(*opened);
    return *store_;
  }

  void Insert(const std::string& id, std::vector<float> v, std::optional<Value> meta = {},
              std::optional<std::uint64_t> ts = {}) {
    auto done = store_->insert_with_time(id, std::move(v), std::move(meta), ts);
    ASSERT_TRUE(done) << done.error().display();
  }

  std::vector<SearchResult> Search(std::vector<float> q, std::uint64_t k) {
    auto found = store_->search(q, k);
    EXPECT_TRUE(found);
    return found ? std::move(*found) : std::vector<SearchResult>{};
  }

  static std::vector<std::string> Ids(const std::vector<SearchResult>& results) {
    std::vector<std::string> ids;
    for (const auto& r : results) ids.push_back(r.id);
    return ids;
  }

  std::string path_;
  std::unique_ptr<Korvane> store_;
};

}  // namespace korvane_test
