// Building the graph on several threads, and keeping it through deletes, purges and
// renumbering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "index/hnsw.h"

namespace korvane_index::hnsw {
namespace {

constexpr std::size_t kDim = 32;

// Vectors near a 6-dimensional subspace, as embeddings are: neighbours are meaningful.
std::vector<std::vector<float>> embedding_like(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  constexpr std::size_t latent = 6;
  std::vector<float> map(latent * kDim);
  for (float& x : map) x = normal(gen);
  std::vector<std::vector<float>> out(n, std::vector<float>(kDim, 0.0f));
  for (auto& v : out) {
    for (std::size_t i = 0; i < latent; ++i) {
      const float z = normal(gen);
      for (std::size_t j = 0; j < kDim; ++j) v[j] += z * map[i * kDim + j];
    }
    for (float& x : v) x += 0.1f * normal(gen);
  }
  return out;
}

HnswConfig config(std::size_t threads) {
  HnswConfig c{8, 8, 16, 64, 64, 1.0f / std::log(8.0f)};
  c.threads = threads;
  return c;
}

class Upkeep : public ::testing::Test {
 protected:
  static constexpr std::size_t kNodes = 3000;
  static constexpr std::size_t kQueries = 100;
  std::vector<std::vector<float>> data = embedding_like(kNodes * 2 + kQueries, 5);
  std::function<std::span<const float>(std::size_t)> lookup = [this](std::size_t n) {
    return std::span<const float>(data[n]);
  };
  VectorAccess access() const { return VectorAccess(lookup); }
  const std::vector<float>& query(std::size_t q) const { return data[2 * kNodes + q]; }

  HnswIndex build(std::size_t threads, std::size_t count = kNodes) {
    HnswIndex index(config(threads));
    std::mt19937 words(77);
    index.set_word_source([words]() mutable { return static_cast<std::uint32_t>(words()); });
    std::vector<std::size_t> nodes(count);
    for (std::size_t i = 0; i < count; ++i) nodes[i] = i;
    EXPECT_TRUE(index.insert_all(nodes, access(), Metric::Euclidean, threads));
    return index;
  }

  // Recall@10 over `live` nodes, checking that no answer is outside them and that answers come
  // back full.
  double recall(const HnswIndex& index, const std::set<std::size_t>& live, std::size_t ef) {
    std::size_t found = 0;
    for (std::size_t q = 0; q < kQueries; ++q) {
      std::vector<std::pair<float, std::size_t>> exact;
      for (const std::size_t n : live) exact.emplace_back(distance(Metric::Euclidean, query(q), data[n]), n);
      std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
      const auto got = index.search(query(q), 10, ef, access(), Metric::Euclidean);
      EXPECT_EQ(got.size(), 10u) << "query " << q;
      for (const auto& [node, value] : got) {
        EXPECT_TRUE(live.contains(node)) << "returned node " << node << ", not live";
        for (std::size_t i = 0; i < 10; ++i) found += exact[i].second == node;
      }
    }
    return static_cast<double>(found) / (kQueries * 10);
  }

  // Every list within its cap, free of itself, repeats and nodes outside the graph. Returns how
  // many nodes in the graph are not reachable on layer 0 from the entry point (a graph of
  // nearest links alone need not be connected).
  static std::size_t expect_sound(const HnswIndex& index, std::size_t slots) {
    std::size_t in_graph = 0;
    for (std::size_t n = 0; n < slots; ++n) {
      if (!index.contains(n)) continue;
      ++in_graph;
      for (std::size_t l = 0; l < index.node_layers(n); ++l) {
        const std::vector<std::size_t> list = *index.neighbors(n, l);
        EXPECT_LE(list.size(), l == 0 ? index.config().m_max0 : index.config().m_max);
        EXPECT_EQ(std::set<std::size_t>(list.begin(), list.end()).size(), list.size()) << n;
        for (const std::size_t x : list) {
          EXPECT_NE(x, n);
          EXPECT_GT(index.node_layers(x), l) << n << " links to " << x << " on layer " << l;
        }
      }
    }
    if (!index.entry_point()) {
      ADD_FAILURE() << "no entry point";
      return in_graph;
    }
    std::vector<char> seen(slots, 0);
    std::vector<std::size_t> todo{*index.entry_point()};
    seen[todo[0]] = 1;
    std::size_t reached = 1;
    while (!todo.empty()) {
      const std::size_t n = todo.back();
      todo.pop_back();
      const std::vector<std::size_t> list = *index.neighbors(n, 0);
      for (const std::size_t x : list) {
        if (!seen[x]) {
          seen[x] = 1;
          ++reached;
          todo.push_back(x);
        }
      }
    }
    return in_graph - reached;
  }
};

TEST_F(Upkeep, OneThreadIsTheSequentialBuildBitForBit) {
  HnswIndex sequential(config(1));
  std::mt19937 words(77);
  sequential.set_word_source([&] { return static_cast<std::uint32_t>(words()); });
  for (std::size_t i = 0; i < 500; ++i) sequential.insert(i, data[i], access(), Metric::Euclidean);
  const HnswIndex built = build(1, 500);
  for (std::size_t n = 0; n < 500; ++n) {
    ASSERT_EQ(built.node_layers(n), sequential.node_layers(n));
    for (std::size_t l = 0; l < built.node_layers(n); ++l) {
      EXPECT_EQ(built.neighbors(n, l), sequential.neighbors(n, l)) << n << " " << l;
    }
  }
  EXPECT_EQ(built.entry_point(), sequential.entry_point());
}

TEST_F(Upkeep, ConcurrentBuildIsSoundAndAsGood) {
  const HnswIndex one = build(1);
  const HnswIndex four = build(4);  // as many threads as the pool has
  for (std::size_t n = 0; n < kNodes; ++n) ASSERT_EQ(four.node_layers(n), one.node_layers(n));
  EXPECT_EQ(four.max_level(), one.max_level());
  EXPECT_LE(expect_sound(four, kNodes), expect_sound(one, kNodes) + 3);
  std::set<std::size_t> all;
  for (std::size_t n = 0; n < kNodes; ++n) all.insert(n);
  for (const std::size_t ef : {10, 40}) {
    EXPECT_NEAR(recall(four, all, ef), recall(one, all, ef), 0.02) << "ef " << ef;
  }
}

TEST_F(Upkeep, ProgressComesFromTheCallingThreadAndCanStop) {
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> nodes(kNodes);
  for (std::size_t i = 0; i < kNodes; ++i) nodes[i] = i;
  std::vector<std::size_t> reports;
  auto report = [&](std::size_t done) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    reports.push_back(done);
    return done < 1000;
  };
  HnswIndex index(config(3));
  EXPECT_FALSE(index.insert_all(nodes, access(), Metric::Euclidean, 3, 500, report));
  EXPECT_EQ(reports, (std::vector<std::size_t>{500, 1000}));

  reports.clear();
  HnswIndex whole(config(3));
  auto always = [&](std::size_t done) { return report(done) || true; };
  EXPECT_TRUE(whole.insert_all(nodes, access(), Metric::Euclidean, 3, 1000, always));
  EXPECT_EQ(reports, (std::vector<std::size_t>{1000, 2000}));  // never the total itself
}

// Deletes and replacements (a new node, the old one deleted) against the set of live nodes:
// answers never hold a deleted node, come back full and stay about as good as a fresh build's;
// a purge leaves a sound graph that answers the same way, and renumbering changes only names.
TEST_F(Upkeep, DeletesAndReplacementsAgainstTheLiveSet) {
  HnswIndex index = build(2);
  std::set<std::size_t> live;
  for (std::size_t n = 0; n < kNodes; ++n) live.insert(n);
  std::mt19937 gen(3);
  std::size_t next = kNodes;
  for (int round = 0; round < 6; ++round) {
    std::vector<std::size_t> gone;
    std::vector<std::size_t> added;
    for (int i = 0; i < 100; ++i) {
      auto it = live.begin();
      std::advance(it, gen() % live.size());
      gone.push_back(*it);
      live.erase(it);
      if (i % 4 != 0) added.push_back(next++);  // three in four are replacements
    }
    index.mark_deleted(gone);
    index.mark_deleted(gone);  // again: nothing more
    index.repair_around(gone, access(), Metric::Euclidean);
    index.insert_all(added, access(), Metric::Euclidean, 2);
    live.insert(added.begin(), added.end());
  }
  EXPECT_EQ(index.deleted_count(), 600u);
  EXPECT_EQ(index.deleted_total(), 600u);
  HnswIndex fresh(config(1));
  fresh.insert_all(std::vector<std::size_t>(live.begin(), live.end()), access(), Metric::Euclidean, 1);
  const double fresh_recall = recall(fresh, live, 20);
  EXPECT_GE(recall(index, live, 20), fresh_recall - 0.03);

  index.purge(access(), Metric::Euclidean);
  EXPECT_EQ(index.deleted_count(), 0u);
  EXPECT_EQ(index.deleted_total(), 600u);
  for (std::size_t n = 0; n < next; ++n) EXPECT_EQ(index.contains(n), live.contains(n)) << n;
  EXPECT_LE(expect_sound(index, next), 5u);
  EXPECT_GE(recall(index, live, 20), fresh_recall - 0.03);

  // Compacting the numbers as the record table does: the answers are the same, renamed.
  std::vector<std::uint32_t> number(next, HnswIndex::kNoNode);
  std::vector<std::size_t> old_of;
  for (const std::size_t n : live) {
    number[n] = static_cast<std::uint32_t>(old_of.size());
    old_of.push_back(n);
  }
  std::vector<std::vector<std::pair<std::size_t, float>>> before;
  for (std::size_t q = 0; q < kQueries; ++q) {
    before.push_back(index.search(query(q), 10, 20, access(), Metric::Euclidean));
  }
  index.renumber(number, old_of.size());
  auto renamed = [&](std::size_t n) { return std::span<const float>(data[old_of[n]]); };
  for (std::size_t q = 0; q < kQueries; ++q) {
    auto got = index.search(query(q), 10, 20, renamed, Metric::Euclidean);
    for (auto& [node, value] : got) node = old_of[node];
    EXPECT_EQ(got, before[q]) << "query " << q;
  }
}

TEST_F(Upkeep, PurgeMovesADeletedEntryPointAndEmptiesAnAllDeletedGraph) {
  HnswIndex index = build(1, 200);
  const std::size_t entry = *index.entry_point();
  const std::size_t top = index.max_level();
  index.mark_deleted(std::vector<std::size_t>{entry});
  ASSERT_EQ(index.search(query(0), 5, 10, access(), Metric::Euclidean).size(), 5u);
  index.purge(access(), Metric::Euclidean);
  ASSERT_TRUE(index.entry_point().has_value());
  EXPECT_NE(*index.entry_point(), entry);
  EXPECT_EQ(index.node_layers(*index.entry_point()), index.max_level() + 1);
  EXPECT_LE(index.max_level(), top);
  for (std::size_t n = 0; n < 200; ++n) EXPECT_LE(index.node_layers(n), index.max_level() + 1);
  EXPECT_LE(expect_sound(index, 200), 2u);

  std::vector<std::size_t> all;
  for (std::size_t n = 0; n < 200; ++n) all.push_back(n);
  index.mark_deleted(all);
  EXPECT_TRUE(index.search(query(0), 5, 10, access(), Metric::Euclidean).empty());
  index.purge(access(), Metric::Euclidean);
  EXPECT_FALSE(index.entry_point().has_value());
  index.insert(7, data[7], access(), Metric::Euclidean);
  EXPECT_EQ(index.search(query(0), 5, 10, access(), Metric::Euclidean).size(), 1u);
}

}  // namespace
}  // namespace korvane_index::hnsw
