#include "index/hnsw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvane_index::hnsw {
namespace {

using Nodes = std::vector<std::size_t>;
using Pairs = std::vector<std::pair<std::size_t, float>>;
using Vec = std::span<const float>;

// The 32-bit word whose top 23 bits give r (to within 2^-23).
std::uint32_t word_for(double r) {
  return static_cast<std::uint32_t>(r * 8388608.0) << 9;
}
const std::uint32_t kLevel0 = word_for(0.5);   // with ml 1: -ln 0.5 = 0.69
const std::uint32_t kLevel1 = word_for(0.3);   // 1.20
const std::uint32_t kLevel3 = word_for(0.03);  // 3.51

HnswConfig config(std::size_t m, std::size_t m_max, std::size_t m_max0, std::size_t ef_c,
                  float ml = 1.0f) {
  return HnswConfig{m, m_max, m_max0, ef_c, /*ef_search=*/0, ml};
}

// An index whose levels come from a scripted list of words, over vectors it keeps by node
// number, so that tests can insert node numbers in any order.
class Graph {
 public:
  Graph(HnswConfig c, Metric metric) : index(c), metric_(metric) {
    index.set_word_source([this] {
      EXPECT_FALSE(words_.empty()) << "more level draws than scripted";
      if (words_.empty()) return kLevel0;
      const std::uint32_t w = words_.front();
      words_.pop_front();
      return w;
    });
  }

  void add(std::size_t node, std::vector<float> v, std::uint32_t word = kLevel0) {
    vectors_[node] = std::move(v);
    words_.push_back(word);
    index.insert(node, vectors_[node], access(), metric_);
  }

  Pairs search(std::vector<float> q, std::size_t k, std::size_t ef) const {
    return index.search(q, k, ef, access(), metric_);
  }

  Nodes list(std::size_t node, std::size_t layer) const {
    return index.neighbors(node, layer).value_or(Nodes{999999});
  }

  HnswIndex index;

 private:
  // The lambda lives in the Graph, so the VectorAccess made from it stays valid.
  VectorAccess access() const { return VectorAccess(lookup_); }

  Metric metric_;
  std::map<std::size_t, std::vector<float>> vectors_;
  std::deque<std::uint32_t> words_;
  std::function<std::span<const float>(std::size_t)> lookup_ = [this](std::size_t n) {
    return std::span<const float>(vectors_.at(n));
  };
};

TEST(HnswLevel, DrawsFromTopBitsOfTheWord) {
  HnswIndex index(config(0, 0, 0, 0, 1.0f));
  std::deque<std::uint32_t> words;
  index.set_word_source([&] {
    const std::uint32_t w = words.front();
    words.pop_front();
    return w;
  });
  words = {0x80000000u, 512u, 0x80000000u | 511u};
  EXPECT_EQ(index.random_layer(), 0u);
  EXPECT_EQ(index.random_layer(), 15u);
  EXPECT_EQ(index.random_layer(), 0u);  // the low 9 bits do not count

  // r == 0 cannot be held as a level; that word is skipped and the next one decides.
  words = {0u, 511u, 512u};
  EXPECT_EQ(index.random_layer(), 15u);
  EXPECT_TRUE(words.empty());

  HnswIndex zero(config(0, 0, 0, 0, 0.0f));
  zero.set_word_source([] { return 0u; });  // NaN product: level 0, no redraw
  EXPECT_EQ(zero.random_layer(), 0u);

  HnswIndex negative(config(0, 0, 0, 0, -3.0f));
  negative.set_word_source([] { return 512u; });
  EXPECT_EQ(negative.random_layer(), 0u);

  HnswIndex huge(config(0, 0, 0, 0, 1e30f));
  huge.set_word_source([] { return 0x80000000u; });
  EXPECT_EQ(huge.random_layer(), std::numeric_limits<std::size_t>::max());
}

TEST(HnswLevel, OsSeededDrawsFollowTheGeometricLaw) {
  HnswIndex index(config(0, 0, 0, 0, 1.0f / std::log(16.0f)));
  std::size_t at_zero = 0;
  const int draws = 20000;
  for (int i = 0; i < draws; ++i) at_zero += index.random_layer() == 0;
  // P(level 0) = 1 - 1/16; 20000 draws put the count within a few standard deviations (~34).
  EXPECT_NEAR(static_cast<double>(at_zero), draws * 15.0 / 16.0, 250.0);
}

TEST(HnswSelect, StableNearestFirstAndNaNLast) {
  HnswIndex index(config(0, 0, 0, 0));
  std::vector<Candidate> c = {{0.5f, 7}, {0.2f, 3}, {0.5f, 1}};
  EXPECT_EQ(index.select_neighbors(c, 2), (Nodes{3, 7}));

  c = {{0.5f, 7}, {0.2f, 3}, {0.5f, 1}};
  EXPECT_TRUE(index.select_neighbors(c, 0).empty());
  EXPECT_EQ(c[0].node, 3u);  // sorted even when nothing is returned

  const float nan = std::numeric_limits<float>::quiet_NaN();
  c = {{nan, 4}, {0.3f, 5}, {nan, 2}, {-1.0f, 6}, {0.3f, 0}};
  EXPECT_EQ(index.select_neighbors(c, 10), (Nodes{6, 5, 0, 4, 2}));

  // Past the short-run path: a long input with many ties must still be a stable sort.
  c.clear();
  for (std::size_t i = 0; i < 100; ++i) c.push_back({static_cast<float>(i % 7), 1000 - i});
  std::vector<Candidate> expected = c;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Candidate& a, const Candidate& b) { return a.value < b.value; });
  const Nodes got = index.select_neighbors(c, 100);
  for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(got[i], expected[i].node) << i;
}

TEST(HnswInsert, FirstNodesLinkBothWays) {
  Graph g(config(1, 4, 4, 8), Metric::Euclidean);
  EXPECT_FALSE(g.index.entry_point());
  EXPECT_EQ(g.index.max_level(), 0u);
  EXPECT_TRUE(g.search({0.0f}, 0, 4).empty());

  g.add(0, {0.0f}, kLevel1);
  EXPECT_EQ(g.index.entry_point(), 0u);
  EXPECT_EQ(g.index.max_level(), 1u);
  EXPECT_EQ(g.list(0, 0), Nodes{});
  EXPECT_EQ(g.list(0, 1), Nodes{});

  g.add(1, {1.0f});
  EXPECT_EQ(g.list(1, 0), Nodes{0});
  EXPECT_EQ(g.list(0, 0), Nodes{1});
  EXPECT_EQ(g.list(0, 1), Nodes{});
  EXPECT_EQ(g.index.node_layers(1), 1u);
  EXPECT_FALSE(g.index.neighbors(1, 1));
  EXPECT_EQ(g.index.entry_point(), 0u);
}

TEST(HnswInsert, HigherLevelBecomesEntryEqualLevelDoesNot) {
  Graph g(config(4, 4, 8, 8), Metric::Euclidean);
  g.add(0, {0.0f}, kLevel1);
  g.add(1, {1.0f});
  g.add(2, {2.0f}, kLevel3);
  EXPECT_EQ(g.index.entry_point(), 2u);
  EXPECT_EQ(g.index.max_level(), 3u);
  EXPECT_EQ(g.index.node_layers(2), 4u);
  EXPECT_EQ(g.list(2, 3), Nodes{});
  EXPECT_EQ(g.list(2, 2), Nodes{});
  EXPECT_EQ(g.list(2, 1), Nodes{0});
  EXPECT_EQ(g.list(2, 0), (Nodes{1, 0}));

  g.add(3, {3.0f}, kLevel3);
  EXPECT_EQ(g.index.entry_point(), 2u);
  EXPECT_EQ(g.index.max_level(), 3u);
  EXPECT_EQ(g.list(3, 3), Nodes{2});
  EXPECT_EQ(g.list(2, 3), Nodes{3});
  EXPECT_EQ(g.list(3, 1), (Nodes{2, 0}));
}

// 1-D Euclidean, m_max0 2: node 0 at 0, 1 at 1, 2 at 3, then node 3 at 2 overflows all three.
TEST(HnswInsert, PruningKeepsNearestWithGreaterNodeFirstOnTies) {
  Graph g(config(3, 2, 2, 10), Metric::Euclidean);
  g.add(0, {0.0f});
  g.add(1, {1.0f});
  g.add(2, {3.0f});
  EXPECT_EQ(g.list(0, 0), (Nodes{1, 2}));
  EXPECT_EQ(g.list(2, 0), (Nodes{1, 0}));

  g.add(3, {2.0f});
  // The layer search's result heap array is (2,0),(1,1),(1,2); the stable sort keeps 1 before 2.
  EXPECT_EQ(g.list(3, 0), (Nodes{1, 2, 0}));
  EXPECT_EQ(g.list(0, 0), (Nodes{1, 3}));  // node at 3 dropped
  EXPECT_EQ(g.list(1, 0), (Nodes{3, 0}));  // 0 and 3 both at 1: the greater number first
  EXPECT_EQ(g.list(2, 0), (Nodes{3, 1}));
}

TEST(HnswInsert, ZeroCapReordersButNeverShortens) {
  Graph g(config(3, 0, 0, 10), Metric::Euclidean);
  g.add(0, {0.0f});
  g.add(1, {3.0f});
  g.add(2, {1.0f});
  EXPECT_EQ(g.list(0, 0), (Nodes{2, 1}));
  g.add(3, {2.0f});
  EXPECT_EQ(g.list(0, 0), (Nodes{2, 3, 1}));
  EXPECT_EQ(g.list(1, 0).size(), 3u);
}

TEST(HnswInsert, ZeroMLinksNothing) {
  Graph g(config(0, 4, 4, 10), Metric::Euclidean);
  for (std::size_t i = 0; i < 5; ++i) g.add(i, {static_cast<float>(i)});
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(g.list(i, 0), Nodes{}) << i;
  // Only the entry point is reachable.
  EXPECT_EQ(g.search({4.0f}, 5, 10), (Pairs{{0, 4.0f}}));
}

TEST(HnswInsert, ZeroEfConstructionLinksOneNodePerLayer) {
  Graph g(config(5, 8, 8, 0), Metric::Euclidean);
  g.add(0, {0.0f}, kLevel1);
  g.add(1, {10.0f}, kLevel1);
  g.add(2, {4.0f}, kLevel1);
  EXPECT_EQ(g.list(1, 1), Nodes{0});
  EXPECT_EQ(g.list(2, 1), Nodes{0});  // the walk from 0 sees only 1 at 10, which is farther
  EXPECT_EQ(g.list(2, 0), Nodes{0});
  g.add(3, {6.0f});
  EXPECT_EQ(g.list(3, 0), Nodes{2});  // from 0 the walk reaches 2 at 4, the nearest it saw
}

TEST(HnswSearch, TwoNodesUnderCosineAndEuclidean) {
  Graph cos(config(1, 4, 4, 10), Metric::Cosine);
  cos.add(0, {-1.0f, 0.0f});
  cos.add(1, {2.0f, 0.0f});
  EXPECT_EQ(cos.search({1.0f, 0.0f}, 2, 0), (Pairs{{1, 1.0f}, {0, -1.0f}}));
  EXPECT_EQ(cos.search({1.0f, 0.0f}, 1, 50), (Pairs{{1, 1.0f}}));
  EXPECT_TRUE(cos.search({1.0f, 0.0f}, 0, 50).empty());

  Graph euc(config(1, 4, 4, 10), Metric::Euclidean);
  euc.add(0, {3.0f, 4.0f});
  euc.add(1, {0.0f, 0.0f});
  EXPECT_EQ(euc.search({0.0f, 0.0f}, 5, 1), (Pairs{{1, 0.0f}, {0, 5.0f}}));
}

// Entry E at 3, then A and B both at distance 5 from the query, then C at distance 1, all on
// E's list in that order. With width 3, C's arrival overflows the result heap, which drops the
// greater node number of A and B; with width 4 the tie keeps the heap array's order.
TEST(HnswSearch, ResultHeapTiesFollowTheHeapArray) {
  for (bool a_first : {true, false}) {
    Graph g(config(10, 10, 10, 10), Metric::Euclidean);
    const std::size_t a = a_first ? 1 : 2;
    const std::size_t b = a_first ? 2 : 1;
    g.add(0, {3.0f});
    g.add(a, {5.0f});
    g.add(b, {-5.0f});
    g.add(3, {1.0f});
    ASSERT_EQ(g.list(0, 0), (Nodes{a, b, 3}));
    EXPECT_EQ(g.search({0.0f}, 3, 0), (Pairs{{3, 1.0f}, {0, 3.0f}, {1, 5.0f}}));
    EXPECT_EQ(g.search({0.0f}, 4, 0), (Pairs{{3, 1.0f}, {0, 3.0f}, {2, 5.0f}, {1, 5.0f}}));
  }
}

TEST(HnswSearch, NaNKeysNeitherCrashNorHideTheRest) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Graph g(config(4, 4, 4, 10), Metric::Euclidean);
  g.add(0, {0.0f});
  g.add(1, {nan});
  g.add(2, {1.0f});
  g.add(3, {nan});
  const Pairs r = g.search({0.0f}, 4, 10);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0], (std::pair<std::size_t, float>{0, 0.0f}));
  EXPECT_EQ(r[1], (std::pair<std::size_t, float>{2, 1.0f}));
  EXPECT_TRUE(std::isnan(r[2].second) && std::isnan(r[3].second));
}

TEST(HnswInsert, ReinsertedNodeGetsFreshLists) {
  Graph g(config(4, 4, 4, 10), Metric::Euclidean);
  g.add(0, {0.0f}, kLevel1);
  g.add(1, {1.0f}, kLevel1);
  g.add(2, {2.0f});
  g.add(1, {1.5f});  // node 1 again, now without layer 1 although 0 still links to it there
  EXPECT_EQ(g.index.node_layers(1), 1u);
  EXPECT_EQ(g.list(0, 1), Nodes{1});
  g.add(3, {1.4f}, kLevel1);  // reaches 1 on layer 1: linked one way only
  EXPECT_EQ(g.list(3, 1).front(), 1u);
  EXPECT_EQ(g.search({1.5f}, 1, 4), (Pairs{{1, 0.0f}}));
}

// The walks measure with their own copy of the metrics' shapes (blocks, tails, square roots);
// every reported value must still be the metric's bit for bit, over every tail length.
TEST(HnswSearch, ValuesAreTheMetricsOwnOverUnequalLengths) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  auto random_vector = [&](std::size_t len) {
    std::vector<float> v(len);
    for (float& x : v) x = uniform(gen);
    return v;
  };
  for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean, Metric::Manhattan}) {
    Graph g(config(64, 64, 64, 64), metric);
    std::vector<std::vector<float>> vs;
    for (std::size_t len = 0; len <= 40; ++len) {
      vs.push_back(random_vector(len));
      g.add(len, vs.back());
    }
    for (std::size_t qlen : {0, 1, 7, 8, 9, 17, 23, 40}) {
      const std::vector<float> q = random_vector(qlen);
      const Pairs got = g.search(q, 41, 64);
      ASSERT_EQ(got.size(), 41u);
      for (const auto& [node, value] : got) {
        const float want = distance(metric, q, vs[node]);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(want))
            << "metric " << static_cast<int>(metric) << " lengths " << qlen << ", " << node;
      }
    }
  }
}

// search() keeps its working state per thread: concurrent searches must answer exactly as the
// same searches one after another.
TEST(HnswSearch, ConcurrentSearchesAnswerAsSerialOnes) {
  const std::size_t n = 3000, dim = 8, queries = 200;
  std::mt19937 gen(8);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> data(n + queries, std::vector<float>(dim));
  for (auto& v : data)
    for (float& x : v) x = normal(gen);
  HnswIndex index(HnswConfig{8, 8, 16, 32, 32, 1.0f / std::log(8.0f)});
  auto access = [&](std::size_t i) { return std::span<const float>(data[i]); };
  for (std::size_t i = 0; i < n; ++i) index.insert(i, data[i], access, Metric::Euclidean);

  std::vector<Pairs> serial(queries);
  for (std::size_t q = 0; q < queries; ++q) {
    serial[q] = index.search(data[n + q], 10, 32, access, Metric::Euclidean);
  }
  std::vector<std::vector<Pairs>> answers(4, std::vector<Pairs>(queries));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (std::size_t q = 0; q < queries; ++q) {
          answers[t][q] = index.search(data[n + q], 10, 32, access, Metric::Euclidean);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < 4; ++t) EXPECT_EQ(answers[t], serial) << "thread " << t;
}

// A plain transcription of the graph algorithms (hash map of lists, hash-set visited marks, a
// heap kept exactly as described, full stable sorts, the public distance()), against which the
// index's flat storage, batching and partial sorts must agree link for link.
class ReferenceGraph {
 public:
  using Lists = std::vector<Nodes>;
  ReferenceGraph(HnswConfig c, Metric metric) : c_(c), metric_(metric) {}

  void insert(std::size_t u, std::size_t level, const std::function<Vec(std::size_t)>& vec) {
    nodes_[u] = Lists(level + 1);
    if (!entry_) {
      entry_ = u;
      top_ = level;
      return;
    }
    std::size_t ep = *entry_;
    for (std::size_t l = top_; l > level; --l) ep = greedy(vec(u), ep, l, vec);
    for (std::size_t l = std::min(level, top_) + 1; l-- > 0;) {
      std::vector<Candidate> w = layer(vec(u), ep, l, c_.ef_construction, vec);
      sort(w);
      const std::size_t cap = l == 0 ? c_.m_max0 : c_.m_max;
      for (std::size_t i = 0; i < std::min(c_.m, w.size()); ++i) {
        const std::size_t n = w[i].node;
        nodes_[u][l].push_back(n);
        if (nodes_[n].size() <= l) continue;
        Nodes& p = nodes_[n][l];
        p.push_back(u);
        if (p.size() <= cap) continue;
        std::vector<Candidate> heap;
        for (std::size_t x : p) push(heap, {-key(vec(n), vec(x)), x});
        p.clear();
        while (!heap.empty()) {
          p.push_back(pop(heap).node);
          if (p.size() == cap) break;
        }
      }
      ep = w[0].node;
    }
    if (level > top_) {
      top_ = level;
      entry_ = u;
    }
  }

  std::vector<std::pair<std::size_t, float>> search(Vec q, std::size_t k, std::size_t ef,
                                                    const std::function<Vec(std::size_t)>& vec) {
    if (!entry_) return {};
    std::size_t ep = *entry_;
    for (std::size_t l = top_; l > 0; --l) ep = greedy(q, ep, l, vec);
    std::vector<Candidate> w = layer(q, ep, 0, std::max(k, ef), vec);
    sort(w);
    std::vector<std::pair<std::size_t, float>> out;
    for (std::size_t i = 0; i < std::min(k, w.size()); ++i) {
      out.emplace_back(w[i].node, is_distance(metric_) ? w[i].value : -w[i].value);
    }
    return out;
  }

  std::optional<std::size_t> entry() const { return entry_; }
  std::size_t top() const { return top_; }
  const std::unordered_map<std::size_t, Lists>& nodes() const { return nodes_; }

 private:
  float key(Vec a, Vec b) const {
    const float v = distance(metric_, a, b);
    return is_distance(metric_) ? v : -v;
  }
  static bool less(const Candidate& a, const Candidate& b) {
    if (a.value < b.value) return true;
    if (b.value < a.value) return false;
    return a.node < b.node;
  }
  static void push(std::vector<Candidate>& h, Candidate c) {
    h.push_back(c);
    for (std::size_t i = h.size() - 1; i > 0 && less(h[(i - 1) / 2], h[i]); i = (i - 1) / 2) {
      std::swap(h[i], h[(i - 1) / 2]);
    }
  }
  static Candidate pop(std::vector<Candidate>& h) {
    Candidate last = h.back();
    h.pop_back();
    if (h.empty()) return last;
    Candidate top = h[0];
    std::size_t hole = 0;
    while (2 * hole + 2 < h.size()) {
      const std::size_t l = 2 * hole + 1, r = l + 1;
      const std::size_t up = less(h[r], h[l]) ? l : r;
      h[hole] = h[up];
      hole = up;
    }
    if (2 * hole + 1 == h.size() - 1) {
      h[hole] = h[2 * hole + 1];
      hole = 2 * hole + 1;
    }
    h[hole] = last;
    for (std::size_t i = hole; i > 0 && less(h[(i - 1) / 2], h[i]); i = (i - 1) / 2) {
      std::swap(h[i], h[(i - 1) / 2]);
    }
    return top;
  }
  static void sort(std::vector<Candidate>& w) {
    std::stable_sort(w.begin(), w.end(), [](const Candidate& a, const Candidate& b) {
      return a.value < b.value || (std::isnan(b.value) && !std::isnan(a.value));
    });
  }
  const Nodes* list(std::size_t n, std::size_t l) const {
    auto it = nodes_.find(n);
    return it == nodes_.end() || it->second.size() <= l ? nullptr : &it->second[l];
  }
  std::size_t greedy(Vec q, std::size_t c, std::size_t l,
                     const std::function<Vec(std::size_t)>& vec) const {
    float best = key(q, vec(c));
    for (bool changed = true; changed;) {
      changed = false;
      const Nodes* p = list(c, l);
      if (p == nullptr) break;
      std::size_t next = c;
      for (std::size_t x : *p) {
        const float d = key(q, vec(x));
        if (d < best) {
          best = d;
          next = x;
          changed = true;
        }
      }
      c = next;
    }
    return c;
  }
  std::vector<Candidate> layer(Vec q, std::size_t e, std::size_t l, std::size_t ef,
                               const std::function<Vec(std::size_t)>& vec) const {
    std::unordered_set<std::size_t> visited{e};
    std::vector<Candidate> cand, result;
    const float de = key(q, vec(e));
    push(cand, {-de, e});
    push(result, {de, e});
    while (!cand.empty()) {
      const Candidate c = pop(cand);
      if (result[0].value < -c.value) break;
      const Nodes* p = list(c.node, l);
      if (p == nullptr) continue;
      for (std::size_t x : *p) {
        if (!visited.insert(x).second) continue;
        const float d = key(q, vec(x));
        if (d < result[0].value || result.size() < ef) {
          push(cand, {-d, x});
          push(result, {d, x});
          if (result.size() > ef) pop(result);
        }
      }
    }
    return result;
  }

  HnswConfig c_;
  Metric metric_;
  std::optional<std::size_t> entry_;
  std::size_t top_ = 0;
  std::unordered_map<std::size_t, Lists> nodes_;
};

struct ModelCase {
  HnswConfig config;
  Metric metric;
  std::size_t dim;
  int spread;  // coordinates are integers in [-spread, spread]: small spreads make many ties
  std::size_t nan_every = 0;  // every so many vectors gets a NaN component
};

// Values by their bits, so that NaN equals itself.
std::vector<std::pair<std::size_t, std::uint32_t>> bits(const Pairs& pairs) {
  std::vector<std::pair<std::size_t, std::uint32_t>> out;
  for (const auto& [node, value] : pairs) out.emplace_back(node, std::bit_cast<std::uint32_t>(value));
  return out;
}

TEST(HnswModel, SameGraphAndAnswersAsThePlainAlgorithm) {
  const std::vector<ModelCase> cases = {
      {{6, 6, 12, 24, 0, 0.8f}, Metric::Euclidean, 5, 3},
      {{6, 6, 12, 24, 0, 0.8f}, Metric::Manhattan, 3, 2, 37},
      {{8, 3, 5, 10, 0, 1.0f}, Metric::Cosine, 4, 1, 53},  // m above both caps; zero vectors
      {{4, 4, 8, 0, 0, 0.6f}, Metric::Dot, 6, 3},      // ef_construction 0
      {{5, 0, 0, 16, 0, 0.7f}, Metric::Euclidean, 2, 4},  // caps of 0: lists only grow
      {{3, 40, 40, 50, 0, 0.9f}, Metric::Euclidean, 9, 50},  // few ties, long lists
  };
  for (std::size_t ci = 0; ci < cases.size(); ++ci) {
    const ModelCase& mc = cases[ci];
    const std::size_t n = mc.config.m_max0 == 0 ? 300 : 1500;
    std::mt19937 gen(100 + ci);
    std::uniform_int_distribution<int> coord(-mc.spread, mc.spread);
    std::vector<std::vector<float>> data(n + 50, std::vector<float>(mc.dim));
    for (auto& v : data)
      for (float& x : v) x = static_cast<float>(coord(gen));
    for (std::size_t i = 0; mc.nan_every && i < data.size(); i += mc.nan_every) {
      data[i][i % mc.dim] = std::numeric_limits<float>::quiet_NaN();
    }
    const std::function<Vec(std::size_t)> vec = [&](std::size_t i) { return Vec(data[i]); };

    HnswIndex index(mc.config);
    ReferenceGraph model(mc.config, mc.metric);
    std::uint32_t word = 0;
    index.set_word_source([&] { return word; });
    std::mt19937 words(7 + ci);
    for (std::size_t i = 0; i < n; ++i) {
      do word = static_cast<std::uint32_t>(words()); while ((word >> 9) == 0);
      const std::size_t level = index.random_layer();
      index.insert(i, data[i], vec, mc.metric);
      model.insert(i, level, vec);
    }
    SCOPED_TRACE("case " + std::to_string(ci));
    ASSERT_EQ(index.entry_point(), model.entry());
    ASSERT_EQ(index.max_level(), model.top());
    for (const auto& [node, lists] : model.nodes()) {
      ASSERT_EQ(index.node_layers(node), lists.size()) << node;
      for (std::size_t l = 0; l < lists.size(); ++l) {
        ASSERT_EQ(index.neighbors(node, l), lists[l]) << node << " layer " << l;
      }
    }
    for (std::size_t q = n; q < n + 50; ++q) {
      for (std::size_t k : {1, 10, 40}) {
        ASSERT_EQ(bits(index.search(data[q], k, 12, vec, mc.metric)),
                  bits(model.search(data[q], k, 12, vec)))
            << "query " << q << " k " << k;
      }
    }
  }
}

// On a line: b sits just past a, c on the other side. The nearest two are a and b; the Diverse
// choice drops b, which is nearer to a than to the new node, and takes c instead.
TEST(HnswDiverse, SkipsCandidatesNearerToAChosenLinkThanToTheNode) {
  for (Neighbors choice : {Neighbors::Nearest, Neighbors::Diverse}) {
    HnswConfig c = config(2, 8, 8, 16);
    c.neighbors = choice;
    Graph g(c, Metric::Euclidean);
    g.add(0, {1.0f, 0.0f});
    g.add(1, {1.1f, 0.0f});
    g.add(2, {-1.5f, 0.0f});
    g.add(3, {0.0f, 0.0f});
    EXPECT_EQ(g.list(3, 0), choice == Neighbors::Nearest ? (Nodes{0, 1}) : (Nodes{0, 2}));
  }
}

// A full list is thinned the Diverse way when a link back overflows it: node 0 holds 1 and 2,
// which crowd one side; 3 arrives from the other side, and 0 keeps 1 and 3 where the nearest
// would be 1 and 2.
TEST(HnswDiverse, LinkBackThinsAFullList) {
  for (Neighbors choice : {Neighbors::Nearest, Neighbors::Diverse}) {
    HnswConfig c = config(2, 2, 2, 16);
    c.neighbors = choice;
    Graph g(c, Metric::Euclidean);
    g.add(0, {0.0f});
    g.add(1, {1.0f});
    g.add(2, {1.2f});
    ASSERT_EQ(g.list(0, 0), (Nodes{1, 2}));
    g.add(3, {-1.5f});
    EXPECT_EQ(g.list(3, 0), choice == Neighbors::Nearest ? (Nodes{0, 1}) : (Nodes{0}));
    EXPECT_EQ(g.list(0, 0), choice == Neighbors::Nearest ? (Nodes{1, 2}) : (Nodes{1, 3}));
  }
}

// Well separated clusters: where links to the nearest crowd into one cluster, the Diverse choice
// keeps the bridges between them.
TEST(HnswDiverse, RecallOnSeparatedClusters) {
  const std::size_t dim = 16, clusters = 100, per = 60, queries = 200, k = 10;
  const std::size_t n = clusters * per;
  std::mt19937 gen(4);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(dim));
  for (auto& c : centres) for (float& x : c) x = 10.0f * normal(gen);
  std::vector<std::vector<float>> data(n + queries, std::vector<float>(dim));
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto& c = centres[gen() % clusters];
    for (std::size_t j = 0; j < dim; ++j) data[i][j] = c[j] + normal(gen);
  }
  auto access = [&](std::size_t i) { return std::span<const float>(data[i]); };
  HnswConfig c{8, 8, 16, 64, 32, 1.0f / std::log(8.0f)};
  c.neighbors = Neighbors::Diverse;
  HnswIndex index(c);
  std::mt19937 level_words(5);
  index.set_word_source([&] { return static_cast<std::uint32_t>(level_words()); });
  for (std::size_t i = 0; i < n; ++i) index.insert(i, data[i], access, Metric::Euclidean);

  std::size_t found = 0;
  for (std::size_t q = n; q < n + queries; ++q) {
    std::vector<std::pair<float, std::size_t>> exact(n);
    for (std::size_t i = 0; i < n; ++i) exact[i] = {scalar::euclidean(data[q], data[i]), i};
    std::partial_sort(exact.begin(), exact.begin() + k, exact.end());
    for (const auto& [node, value] : index.search(data[q], k, 32, access, Metric::Euclidean)) {
      EXPECT_EQ(value, scalar::euclidean(data[q], data[node]));
      for (std::size_t i = 0; i < k; ++i) found += exact[i].second == node;
    }
  }
  const double recall = static_cast<double>(found) / (queries * k);
  RecordProperty("recall", std::to_string(recall));
  EXPECT_GE(recall, 0.97);
}

// Limits hold in release builds: nothing is allocated for a node the links cannot number or a
// level the graph does not hold.
TEST(HnswLimits, CheckAndInsertRefuseWhatCannotBeHeld) {
  const HnswConfig usual{16, 16, 32, 200, 64, 1.0f / std::log(16.0f)};
  EXPECT_TRUE(HnswIndex::check(usual, 1000));
  EXPECT_TRUE(HnswIndex::check(usual, HnswIndex::kMaxNodes));
  EXPECT_FALSE(HnswIndex::check(usual, HnswIndex::kMaxNodes + 1));
  for (float ml : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), 60.0f}) {
    EXPECT_TRUE(HnswIndex::check(config(4, 4, 8, 8, ml), 10)) << ml;  // all draw level 0 or few
  }
  for (float ml : {70.0f, 1e30f, std::numeric_limits<float>::infinity()}) {
    EXPECT_FALSE(HnswIndex::check(config(4, 4, 8, 8, ml), 10)) << ml;
  }

  HnswIndex index(config(4, 4, 8, 8, 1e30f));
  index.set_word_source([] { return word_for(0.5); });
  std::vector<float> v = {1.0f};
  auto access = [&](std::size_t) { return std::span<const float>(v); };
  EXPECT_THROW(index.insert(0, v, access, Metric::Euclidean), std::length_error);
  EXPECT_THROW(index.insert(HnswIndex::kMaxNodes, v, access, Metric::Euclidean), std::length_error);
  EXPECT_FALSE(index.entry_point());
  EXPECT_EQ(index.node_layers(0), 0u);
}

// Recall against exact search on random data, with the parameters a caller would pick. The
// vectors are a 12-dimensional gaussian seen through a random linear map into 64 dimensions:
// embeddings have a low intrinsic dimension, while independent noise in all 64 dimensions is out
// of reach of a beam of 64 for any graph of this kind (recall@10 near 0.8).
struct RecallCase {
  Metric metric;
  const char* name;
};

class HnswRecall : public ::testing::TestWithParam<RecallCase> {};

TEST_P(HnswRecall, AtLeast95PercentAt10) {
  const Metric metric = GetParam().metric;
  const std::size_t n = 20000, dim = 64, queries = 200, k = 10;
  const std::size_t latent = 12;
  std::mt19937 gen(12345);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> map(latent * dim);
  for (float& x : map) x = normal(gen);
  std::vector<std::vector<float>> data(n + queries, std::vector<float>(dim, 0.0f));
  std::vector<float> z(latent);
  for (auto& v : data) {
    for (float& x : z) x = normal(gen);
    for (std::size_t i = 0; i < latent; ++i)
      for (std::size_t j = 0; j < dim; ++j) v[j] += z[i] * map[i * dim + j];
  }

  const float ml = 1.0f / std::log(16.0f);
  HnswIndex index(HnswConfig{16, 16, 32, 200, 64, ml});
  std::mt19937 level_words(99);
  index.set_word_source([&] { return static_cast<std::uint32_t>(level_words()); });
  auto access = [&](std::size_t i) { return std::span<const float>(data[i]); };
  for (std::size_t i = 0; i < n; ++i) index.insert(i, data[i], access, metric);

  std::size_t found = 0;
  for (std::size_t q = 0; q < queries; ++q) {
    const std::vector<float>& query = data[n + q];
    std::vector<std::pair<float, std::size_t>> exact(n);
    for (std::size_t i = 0; i < n; ++i) {
      const float v = distance(metric, query, data[i]);
      exact[i] = {is_distance(metric) ? v : -v, i};
    }
    std::partial_sort(exact.begin(), exact.begin() + k, exact.end());
    const auto got = index.search(query, k, index.config().ef_search, access, metric);
    ASSERT_EQ(got.size(), k);
    for (std::size_t i = 0; i + 1 < k; ++i) {
      const float a = got[i].second, b = got[i + 1].second;
      ASSERT_TRUE(is_distance(metric) ? a <= b : a >= b) << "not nearest first at " << i;
    }
    for (const auto& [node, value] : got) {
      EXPECT_EQ(value, distance(metric, query, data[node]));
      for (std::size_t i = 0; i < k; ++i) found += exact[i].second == node;
    }
  }
  const double recall = static_cast<double>(found) / (queries * k);
  RecordProperty("recall", std::to_string(recall));
  EXPECT_GE(recall, 0.95);
}

INSTANTIATE_TEST_SUITE_P(Metrics, HnswRecall,
                         ::testing::Values(RecallCase{Metric::Euclidean, "Euclidean"},
                                           RecallCase{Metric::Cosine, "Cosine"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane_index::hnsw
