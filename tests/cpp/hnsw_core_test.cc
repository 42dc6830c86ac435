// The graph index inside the core store: built over the records in position order, extended by
// each insert, rebuilt by a delete that removed something, and used only by plain searches.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "faulty_vfs.h"
#include "store_fixture.h"

namespace korvane_core {
namespace {

using korvane_test::FaultyVfs;

constexpr std::uint32_t kLevel0Word = 0x80000000u;  // r = 0.5: level 0 for any ml below 1.4

HnswConfig small_config() { return HnswConfig{4, 4, 8, 16, 16, 1.0f / std::log(4.0f)}; }

class HnswCoreTest : public korvane_test::StoreTest {
 protected:
  static void SetUpTestSuite() { FaultyVfs::install(); }
  void TearDown() override {
    FaultyVfs::install().disarm();
    StoreTest::TearDown();
  }

  // Makes the installed index count its level draws, each giving level 0. A rebuilt index is a
  // new one and draws from the thread's own generator, so the count also tells whether the
  // index in place is still this one.
  void CountDraws() {
    draws_ = 0;
    StoreInternals::hnsw(*store_)->set_word_source([this] {
      ++draws_;
      return kLevel0Word;
    });
  }

  int draws_ = 0;
};

TEST_F(HnswCoreTest, NodesFollowPositionsThroughInsertAndDelete) {
  Korvane& store = Open(Metric::Euclidean);
  Insert("a", {0.0f, 0.0f});
  Insert("b", {3.0f, 4.0f});
  Insert("c", {1.0f, 0.0f});
  ASSERT_TRUE(store.enable_hnsw(small_config()));
  ASSERT_NE(StoreInternals::hnsw(store), nullptr);
  for (std::size_t n = 0; n < 3; ++n) EXPECT_GE(StoreInternals::hnsw(store)->node_layers(n), 1u) << n;
  EXPECT_EQ(StoreInternals::hnsw(store)->node_layers(3), 0u);

  auto results = Search({0.9f, 0.0f}, 3);
  EXPECT_EQ(Ids(results), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_FLOAT_EQ(results[2].score, std::sqrt(2.1f * 2.1f + 16.0f));

  // Position 0 goes: the table compacts and the graph is renumbered with it, settings kept.
  ASSERT_TRUE(store.delete_("a"));
  ASSERT_NE(StoreInternals::hnsw(store), nullptr);
  EXPECT_EQ(StoreInternals::hnsw(store)->node_layers(2), 0u);
  EXPECT_GE(StoreInternals::hnsw(store)->node_layers(1), 1u);
  EXPECT_EQ(StoreInternals::hnsw(store)->config().ef_search, small_config().ef_search);
  EXPECT_EQ(StoreInternals::hnsw(store)->config().m_max0, small_config().m_max0);
  EXPECT_EQ(Ids(Search({0.9f, 0.0f}, 3)), (std::vector<std::string>{"c", "b"}));

  // An insert adds the next position as a node.
  Insert("d", {0.8f, 0.0f});
  EXPECT_GE(StoreInternals::hnsw(store)->node_layers(2), 1u);
  EXPECT_EQ(Ids(Search({0.9f, 0.0f}, 1)), std::vector<std::string>{"d"});
}

TEST_F(HnswCoreTest, DeletesKeepTheIndexAndFailedWritesLeaveIt) {
  Korvane& store = Open(Metric::Cosine);
  Insert("a", {1.0f, 0.0f});
  Insert("b", {0.0f, 1.0f});
  ASSERT_TRUE(store.enable_hnsw(small_config()));
  CountDraws();

  ASSERT_TRUE(store.delete_("never-inserted"));
  Insert("c", {1.0f, 1.0f});
  EXPECT_EQ(draws_, 1) << "the index was replaced by a delete that removed nothing";

  FaultyVfs& vfs = FaultyVfs::install();
  vfs.fail(FaultyVfs::Op::Sync);
  EXPECT_FALSE(store.insert("x", {2.0f, 1.0f}, std::nullopt));
  ASSERT_FALSE(vfs.armed(FaultyVfs::Op::Sync)) << "the fault never fired";
  EXPECT_EQ(draws_, 1);
  EXPECT_EQ(StoreInternals::hnsw(store)->node_layers(3), 0u);

  vfs.fail(FaultyVfs::Op::Sync);
  EXPECT_FALSE(store.delete_("a"));
  ASSERT_FALSE(vfs.armed(FaultyVfs::Op::Sync)) << "the fault never fired";
  Insert("d", {1.0f, 2.0f});
  EXPECT_EQ(draws_, 2) << "the index was replaced by a failed delete";
  EXPECT_EQ(StoreInternals::hnsw(store)->node_layers(3), 1u);

  // A delete keeps the index (the table compacts here, and the graph is renumbered with it):
  // only e's level is drawn.
  ASSERT_TRUE(store.delete_("a"));
  Insert("e", {2.0f, 2.0f});
  EXPECT_EQ(draws_, 3) << "a delete rebuilt the index";
  EXPECT_EQ(StoreInternals::table(store).size(), 4u);
  EXPECT_GE(StoreInternals::hnsw(store)->node_layers(3), 1u);
  EXPECT_EQ(StoreInternals::hnsw(store)->node_layers(4), 0u);
}

// With m 0 the index links nothing, so its answer is the entry point alone: any longer answer
// must come from the scan.
TEST_F(HnswCoreTest, FiltersAndDecayTakeTheScan) {
  Korvane& store = Open(Metric::Dot);
  const char* ids[] = {"r0", "r1", "r2", "r3", "r4"};
  for (int i = 0; i < 5; ++i) {
    Value meta = Value::object();
    meta.set("tag", Value::string("x"));
    Insert(ids[i], {static_cast<float>(i)}, std::move(meta));
  }
  ASSERT_TRUE(store.enable_hnsw(HnswConfig{0, 4, 4, 8, 8, 0.0f}));

  const std::vector<float> q = {1.0f};
  EXPECT_EQ(Ids(Search(q, 3)), std::vector<std::string>{"r0"});

  auto filtered = store.search_builder(q, 3);
  filtered.filter("tag", Value::string("x"));
  auto by_filter = std::move(filtered).execute();
  ASSERT_TRUE(by_filter);
  EXPECT_EQ(Ids(*by_filter), (std::vector<std::string>{"r4", "r3", "r2"}));

  auto decayed = store.search_builder(q, 3);
  decayed.decay(0.5f).now(1000000);
  auto by_decay = std::move(decayed).execute();
  ASSERT_TRUE(by_decay);
  EXPECT_EQ(Ids(*by_decay), (std::vector<std::string>{"r4", "r3", "r2"}));
}

TEST_F(HnswCoreTest, EmptyStoreGetsEmptyIndex) {
  Korvane& store = Open(Metric::Cosine);
  ASSERT_TRUE(store.enable_hnsw(small_config()));
  ASSERT_NE(StoreInternals::hnsw(store), nullptr);
  EXPECT_FALSE(StoreInternals::hnsw(store)->entry_point());
  EXPECT_TRUE(Search({1.0f, 0.0f}, 5).empty());
  Insert("a", {1.0f, 0.0f}, Value::string("meta"));
  auto found = Search({1.0f, 0.0f}, 5);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, "a");
  EXPECT_EQ(found[0].score, 1.0f);
  EXPECT_EQ(found[0].metadata, Value::string("meta"));
}

// The index path against the scan on the same store: identical scores where they agree, and
// nearly the same records.
TEST_F(HnswCoreTest, IndexPathAgreesWithScan) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    Korvane& store = Open(metric);
    std::mt19937 gen(5);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    const std::size_t n = 1000, dim = 16, queries = 50, k = 10;
    if (StoreInternals::table(store).empty()) {
      for (std::size_t i = 0; i < n; ++i) {
        std::vector<float> v(dim);
        for (float& x : v) x = normal(gen);
        Insert("id" + std::to_string(i), std::move(v));
      }
    }
    std::vector<std::vector<float>> qs(queries, std::vector<float>(dim));
    std::vector<std::vector<SearchResult>> exact;
    for (auto& q : qs) {
      for (float& x : q) x = normal(gen);
      exact.push_back(Search(q, k));
    }
    ASSERT_TRUE(store.enable_hnsw(HnswConfig{8, 8, 16, 64, 32, 1.0f / std::log(8.0f)}));
    std::size_t found = 0;
    for (std::size_t i = 0; i < queries; ++i) {
      const auto approx = Search(qs[i], k);
      ASSERT_EQ(approx.size(), k);
      for (const auto& a : approx) {
        for (const auto& e : exact[i]) {
          if (e.id != a.id) continue;
          ++found;
          EXPECT_EQ(e.score, a.score) << a.id;
        }
      }
    }
    EXPECT_GE(found, queries * k * 95 / 100) << static_cast<int>(metric);
  }
}

// A configuration the index cannot hold is refused before anything is built; the store keeps
// scanning.
TEST_F(HnswCoreTest, EnableRefusesLevelsBeyondWhatTheGraphHolds) {
  Korvane& store = Open(Metric::Cosine);
  Insert("a", {1.0f, 0.0f});
  auto refused = store.enable_hnsw(HnswConfig{4, 4, 8, 16, 16, 1e30f});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, KorvaneError::Code::Config);
  EXPECT_EQ(refused.error().display().rfind("Configuration error: level multiplier", 0), 0u)
      << refused.error().display();
  EXPECT_EQ(StoreInternals::hnsw(store), nullptr);
  EXPECT_EQ(Ids(Search({1.0f, 0.0f}, 1)), (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace korvane_core
