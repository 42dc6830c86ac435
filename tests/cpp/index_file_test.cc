// The saved index: loaded at open only when it describes exactly the records loaded, rebuilt
// from its configuration otherwise, and never a source of a wrong graph or an unsafe read.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "store_fixture.h"

namespace korvane_core {
namespace {

constexpr std::size_t kDim = 8;

HnswConfig config() { return HnswConfig{8, 8, 16, 40, 40, 1.0f / std::log(8.0f)}; }

std::vector<float> random_vector(std::mt19937& gen) {
  std::normal_distribution<float> d;
  std::vector<float> v(kDim);
  for (float& x : v) x = d(gen);
  return v;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class IndexFileTest : public korvane_test::StoreTest {
 protected:
  void TearDown() override {
    StoreTest::TearDown();
    std::remove(index_path().c_str());
    std::remove((index_path() + ".tmp").c_str());
  }
  std::string index_path() const { return Korvane::index_path(path_); }

  // n records "r0000".. in id order, then an index over them.
  void Fill(std::size_t n, Metric metric = Metric::Cosine) {
    Open(metric);
    WriteBatch batch;
    for (std::size_t i = 0; i < n; ++i) batch.insert(Id(i), random_vector(gen_), std::nullopt);
    ASSERT_TRUE(store_->write(std::move(batch)));
    ASSERT_TRUE(store_->enable_hnsw(config()));
  }
  static std::string Id(std::size_t i) {
    char b[16];
    std::snprintf(b, sizeof b, "r%04zu", i);
    return b;
  }
  void Save() {
    auto saved = store_->save_index();
    ASSERT_TRUE(saved) << saved.error().display();
  }

  // Every answer, with its score, for a fixed set of queries.
  std::vector<std::vector<std::pair<std::string, float>>> Answers() {
    std::mt19937 g(7);
    std::vector<std::vector<std::pair<std::string, float>>> out;
    for (int q = 0; q < 20; ++q) {
      std::vector<std::pair<std::string, float>> one;
      for (const auto& r : Search(random_vector(g), 10)) one.emplace_back(r.id, r.score);
      out.push_back(one);
    }
    return out;
  }

  // Opens again and says how the index came back (nothing: no index).
  std::optional<Korvane::IndexSource> Reopen(Metric metric = Metric::Cosine) {
    Open(metric);
    if (!store_->has_index()) return std::nullopt;
    return store_->index_source();
  }

  std::mt19937 gen_{1};
};

TEST_F(IndexFileTest, ReopenLoadsTheSameGraphAndAnswersBitForBit) {
  Fill(600);
  // Records added after the build, out of id order, are renumbered in the saved graph.
  Insert("a-late", random_vector(gen_));
  Insert("m-late", random_vector(gen_));
  const auto before = Answers();
  Save();
  ASSERT_EQ(Reopen(), Korvane::IndexSource::Loaded);
  EXPECT_EQ(Answers(), before);
  EXPECT_EQ(StoreInternals::hnsw(*store_)->config().ef_search, config().ef_search);
  // Unchanged since it was loaded: not written again (the removed file stays away).
  ASSERT_EQ(std::remove(index_path().c_str()), 0);
  ASSERT_TRUE(store_->save_index());
  EXPECT_FALSE(std::ifstream(index_path()).good());
  // The loaded graph takes inserts like a built one.
  Insert("z-new", random_vector(gen_));
  ASSERT_TRUE(store_->save_index());
  EXPECT_EQ(Reopen(), Korvane::IndexSource::Loaded);
}

TEST_F(IndexFileTest, WritesAfterTheLastSaveRebuild) {
  Fill(200);
  Save();
  Insert("r9999", random_vector(gen_));  // not saved again: the store is dropped as by a crash
  EXPECT_EQ(Reopen(), Korvane::IndexSource::Rebuilt);
  EXPECT_EQ(Search(std::vector<float>(kDim, 1.0f), 500).size(), 201u);

  // A replacement keeps the count but changes a vector.
  ASSERT_TRUE(store_->save_index());
  WriteBatch b;
  b.upsert(Id(3), random_vector(gen_), std::nullopt);
  ASSERT_TRUE(store_->write(std::move(b)));
  EXPECT_EQ(Reopen(), Korvane::IndexSource::Rebuilt);
  EXPECT_EQ(StoreInternals::hnsw(*store_)->config().m, config().m);
}

// Deleted nodes are not in the file's records: the save takes them out of the graph, in memory
// too, so the reopened store answers as the saved one did.
TEST_F(IndexFileTest, SavedIndexWithDeletedNodesAnswersTheSameAfterReopen) {
  Fill(300);
  WriteBatch b;
  for (std::size_t i = 0; i < 12; i += 2) b.upsert(Id(i), random_vector(gen_), std::nullopt);
  for (std::size_t i = 1; i < 12; i += 2) b.remove(Id(i));
  ASSERT_TRUE(store_->write(std::move(b)));
  ASSERT_EQ(StoreInternals::hnsw(*store_)->deleted_count(), 12u) << "the table compacted: nothing to purge";
  Save();
  EXPECT_EQ(StoreInternals::hnsw(*store_)->deleted_count(), 0u);
  const auto before = Answers();
  ASSERT_EQ(Reopen(), Korvane::IndexSource::Loaded);
  EXPECT_EQ(Answers(), before);
}

TEST_F(IndexFileTest, ExternalEditOfTheStoreRebuilds) {
  Fill(100);
  Save();
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  // The same count and ids, one vector changed by another tool.
  const char* sql =
      "UPDATE records SET value = '{\"id\":\"r0050\",\"vector\":[1,2,3,4,5,6,7,8]}' "
      "WHERE id = CAST('r0050' AS BLOB)";
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);
  EXPECT_EQ(Reopen(), Korvane::IndexSource::Rebuilt);
  EXPECT_EQ(Search({1, 2, 3, 4, 5, 6, 7, 8}, 1)[0].id, "r0050");
}

TEST_F(IndexFileTest, AnotherMetricRebuilds) {
  Fill(100, Metric::Cosine);
  Save();
  EXPECT_EQ(Reopen(Metric::Euclidean), Korvane::IndexSource::Rebuilt);
}

TEST_F(IndexFileTest, DamagedOrTornIndexFileIsNeverUsed) {
  Fill(300);
  Save();
  store_.reset();
  const std::string good = read_bytes(index_path());
  ASSERT_GT(good.size(), 1000u);
  std::vector<std::string> damaged;
  for (std::size_t at : {std::size_t{9}, std::size_t{60}, std::size_t{140}, good.size() / 2,
                         good.size() - 1}) {
    std::string d = good;
    d[at] = static_cast<char>(d[at] ^ 0x10);
    damaged.push_back(d);
  }
  // A write torn anywhere, and a file run on.
  for (std::size_t keep : {std::size_t{0}, std::size_t{100}, good.size() / 3, good.size() - 4}) {
    damaged.push_back(good.substr(0, keep));
  }
  damaged.push_back(good + "x");
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    write_bytes(index_path(), damaged[i]);
    const auto source = Reopen();
    EXPECT_NE(source, Korvane::IndexSource::Loaded) << i;
    if (source) EXPECT_EQ(Search(std::vector<float>(kDim, 1.0f), 1000).size(), 300u) << i;
    store_.reset();
  }
  // A save cut off before its rename leaves a torn temporary file beside the old index, which
  // is still the one loaded.
  write_bytes(index_path(), good);
  write_bytes(index_path() + ".tmp", good.substr(0, good.size() / 2));
  EXPECT_EQ(Reopen(), Korvane::IndexSource::Loaded);
}

TEST_F(IndexFileTest, NoIndexMeansNoFileAndNoIndexAtOpen) {
  Open(Metric::Cosine);
  Insert("a", random_vector(gen_));
  ASSERT_TRUE(store_->save_index());
  EXPECT_FALSE(std::ifstream(index_path()).good());
  EXPECT_EQ(Reopen(), std::nullopt);
}

// The graph reader checks every count and link itself: bytes that passed a checksum by chance
// (or were written by another tool with a valid one) must give a usable graph or none.
TEST_F(IndexFileTest, GraphReaderRefusesMalformedBytesSafely) {
  Fill(150);
  const RecordTable& table = StoreInternals::table(*store_);
  std::vector<std::size_t> order;
  for (std::size_t s : table.live_slots()) order.push_back(s);
  std::string bytes;
  ASSERT_TRUE(StoreInternals::hnsw(*store_)->save_graph(order, bytes));
  ASSERT_TRUE(HnswIndex::load_graph(config(), bytes, order.size()));
  EXPECT_FALSE(HnswIndex::load_graph(config(), bytes, order.size() + 1));
  std::mt19937 g(3);
  auto access = [&table](std::size_t n) { return table.vector(n); };
  std::size_t refused = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::string d = bytes;
    const std::size_t at = g() % d.size();
    d[at] = static_cast<char>(g());
    auto index = HnswIndex::load_graph(config(), d, order.size());
    if (!index) {
      ++refused;
      continue;
    }
    // Whatever was accepted walks within bounds (the sanitizer build checks every read).
    index->search(random_vector(g), 5, 20, access, Metric::Cosine);
  }
  EXPECT_GT(refused, 0u);
}

}  // namespace
}  // namespace korvane_core
