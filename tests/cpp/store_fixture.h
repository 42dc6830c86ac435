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

#include "core/store_internals.h"
#include "korvane/korvane.h"

namespace korvane_test {

// Every record the store lists, copied out in store order.
inline std::vector<korvane_storage::Record> AllRecords(const korvane_core::Korvane& store) {
  std::vector<korvane_storage::Record> out;
  store.visit([&out](const korvane_core::RecordView& r) {
    out.push_back(korvane_storage::Record{std::string(r.id), {r.vector.begin(), r.vector.end()},
                                          r.metadata, r.timestamp});
    return true;
  });
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
