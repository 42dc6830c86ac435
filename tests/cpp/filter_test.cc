// Filtered search with the graph index: the walk that returns matching nodes only, and the
// store's choice between it and scoring the matches, against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "storage/json.h"
#include "store_fixture.h"

namespace korvane_core {
namespace {

constexpr std::size_t kRecords = 3000;
constexpr std::size_t kDim = 16;
constexpr std::size_t kK = 10;

class FilterTest : public korvane_test::StoreTest {
 protected:
  // Points around 30 centres, as embeddings cluster; record i holds {"b": i % 1000}.
  void Fill() {
    std::mt19937 rng(15);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    std::vector<std::vector<float>> centres(30, std::vector<float>(kDim));
    for (auto& c : centres) {
      for (float& x : c) x = noise(rng) * 4.0f;
    }
    WriteBatch batch;
    for (std::size_t i = 0; i < kRecords; ++i) {
      std::vector<float> v = centres[rng() % centres.size()];
      for (float& x : v) x += noise(rng);
      vectors_.push_back(v);
      Value meta = Value::object();
      meta.set("b", Value::uinteger(i % 1000));
      batch.insert("r" + std::to_string(i), v, meta);
    }
    ASSERT_TRUE(store_->write(std::move(batch)));
  }

  // The index follows the inserts, drawing its levels from a fixed sequence: the same graph on
  // every run.
  void IndexThenFill() {
    ASSERT_TRUE(store_->enable_hnsw(HnswConfig{16, 16, 32, 200, 128, 1.0f / std::log(16.0f)}));
    StoreInternals::hnsw(*store_)->set_word_source([rng = std::mt19937(9)]() mutable {
      return static_cast<std::uint32_t>(rng());
    });
    Fill();
  }

  static Filter Compile(const char* text) {
    auto parsed = korvane_storage::parse_json(text);
    EXPECT_TRUE(parsed);
    auto compiled = Filter::compile(*parsed);
    EXPECT_TRUE(compiled) << compiled.error().display();
    return *compiled;
  }

  // The best k ids among the records whose "b" is below `below`, by brute force.
  std::set<std::size_t> Exact(const std::vector<float>& q, std::size_t below) const {
    std::vector<std::pair<float, std::size_t>> scored;
    for (std::size_t i = 0; i < kRecords; ++i) {
      if (i % 1000 < below) scored.emplace_back(-korvane_index::scalar::cosine(q, vectors_[i]), i);
    }
    std::sort(scored.begin(), scored.end());
    std::set<std::size_t> best;
    for (std::size_t j = 0; j < std::min(kK, scored.size()); ++j) best.insert(scored[j].second);
    return best;
  }

  std::vector<std::vector<float>> vectors_;
};

TEST_F(FilterTest, FilteredSearchKeepsRecallAndComesBackFullAtEverySelectivity) {
  Open(Metric::Cosine);
  IndexThenFill();
  std::mt19937 rng(3);
  for (std::size_t below : {1000u, 300u, 10u, 1u}) {  // 100 %, 30 %, 1 %, 0.1 % of the records
    const Filter filter = Compile(("{\"b\": {\"$lt\": " + std::to_string(below) + "}}").c_str());
    std::size_t hits = 0, wanted = 0;
    for (int t = 0; t < 30; ++t) {
      const std::vector<float>& q = vectors_[rng() % kRecords];
      SearchBuilder builder = store_->search_builder(q, kK);
      auto found = std::move(builder.where(filter)).execute();
      ASSERT_TRUE(found);
      const std::set<std::size_t> exact = Exact(q, below);
      ASSERT_EQ(found->size(), exact.size()) << below;
      for (const SearchResult& r : *found) hits += exact.count(std::stoul(r.id.substr(1)));
      wanted += exact.size();
    }
    EXPECT_GE(static_cast<double>(hits) / static_cast<double>(wanted), 0.95) << below;
  }
}

// The walk itself, where the store would score the matches instead: with its width widened by
// the inverse of the share that matches, it still finds the filtered neighbours.
TEST_F(FilterTest, WidenedWalkRoutesThroughNodesItDoesNotReturn) {
  Open(Metric::Cosine);
  IndexThenFill();
  const HnswIndex& index = *StoreInternals::hnsw(*store_);
  const RecordTable& table = StoreInternals::table(*store_);
  auto access = [&table](std::size_t node) { return table.vector(node); };
  std::mt19937 rng(4);
  for (std::size_t below : {500u, 50u, 10u}) {  // 50 %, 5 %, 1 %
    auto accept = [below](std::size_t node) { return node % 1000 < below; };
    const std::size_t width = 128 * 1000 / below;
    std::size_t hits = 0, wanted = 0;
    for (int t = 0; t < 30; ++t) {
      const std::vector<float>& q = vectors_[rng() % kRecords];
      auto pairs = index.search(q, kK, width, access, Metric::Cosine, accept);
      const std::set<std::size_t> exact = Exact(q, below);
      ASSERT_EQ(pairs.size(), kK);
      for (const auto& [node, score] : pairs) {
        ASSERT_TRUE(accept(node));
        hits += exact.count(node);
      }
      wanted += exact.size();
    }
    EXPECT_GE(static_cast<double>(hits) / static_cast<double>(wanted), 0.95) << below;
  }
}

}  // namespace
}  // namespace korvane_core
