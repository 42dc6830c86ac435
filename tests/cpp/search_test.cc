#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "store_fixture.h"
#include "index/metric.h"
#include "index/scorer.h"
#include "storage/record.h"

namespace korvane_core {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kAllOfThem = std::numeric_limits<std::uint64_t>::max();

class SearchTest : public korvane_test::StoreTest {};

// The storage layer keeps its own copy of the metrics' blocked sum of squares to refuse vectors
// that would score NaN; it must agree with the index's to the last rounding, also where the
// order of the additions decides whether the sum overflows.
TEST(StoredVectorCheck, RefusesExactlyTheVectorsWhoseSumOfSquaresOverflows) {
  auto agree = [](const std::vector<float>& v) {
    const bool finite = std::isfinite(korvane_index::Scorer::self_dot(v));
    const bool stored = static_cast<bool>(korvane_storage::encode_record(Record{"x", v, {}}));
    EXPECT_EQ(stored, finite) << "length " << v.size();
    return finite;
  };
  // x * x is one unit in the last place below the largest float; each 2^51 squared is a quarter
  // unit. Added one by one the quarters vanish; gathered in their own accumulator, six of them
  // reach the largest float plus a half unit, which rounds to infinity, and five do not.
  for (int quarters : {5, 6}) {
    std::vector<float> v(48, 0.0f);
    v[0] = 1.8446743e19f;
    for (int i = 0; i < quarters; ++i) v[1 + 8 * i] = 0x1p51f;
    EXPECT_EQ(agree(v), quarters == 5);
  }
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> scale(0.5f, 1.5f);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = 1 + rng() % 40;
    // Components near sqrt(max / n): sums land on both sides of overflow.
    const float base = std::sqrt(std::numeric_limits<float>::max() / static_cast<float>(n));
    std::vector<float> v(n);
    for (float& x : v) x = base * scale(rng) * ((rng() & 1) ? 1.0f : -1.0f);
    agree(v);
  }
}

struct Request {
  std::vector<std::pair<std::string, Value>> filters;
  std::optional<float> decay;
  std::optional<std::uint64_t> now;
};

// The search as defined, written plainly: filter, score with the reference metric, decay,
// stable sort, cut. NaN scores go last in record order, the place the scan gives them.
std::vector<SearchResult> Reference(const std::vector<Record>& records, Metric metric,
                                    const std::vector<float>& q, std::uint64_t k,
                                    const Request& req) {
  struct Scored {
    float score;
    const Record* record;
  };
  std::vector<Scored> all;
  for (const Record& r : records) {
    bool pass = true;
    for (const auto& [key, value] : req.filters) {
      const Value* held = r.metadata ? r.metadata->find(key) : nullptr;
      pass = pass && held != nullptr && *held == value;
    }
    if (!pass) continue;
    float s = 0.0f;
    switch (metric) {
      case Metric::Cosine: s = korvane_index::scalar::cosine(q, r.vector); break;
      case Metric::Dot: s = korvane_index::scalar::dot(q, r.vector); break;
      case Metric::Euclidean: s = korvane_index::scalar::euclidean(q, r.vector); break;
      default: s = korvane_index::scalar::manhattan(q, r.vector); break;
    }
    if (req.decay && req.now && r.timestamp && *req.now > *r.timestamp) {
      s *= std::pow(*req.decay, static_cast<float>(*req.now - *r.timestamp) / 86400.0f);
    }
    all.push_back({s, &r});
  }
  const bool smaller_first = korvane_index::is_distance(metric);
  std::stable_sort(all.begin(), all.end(), [&](const Scored& x, const Scored& y) {
    if (std::isnan(x.score) || std::isnan(y.score)) return !std::isnan(x.score) && std::isnan(y.score);
    return smaller_first ? x.score < y.score : x.score > y.score;
  });
  if (all.size() > k) all.resize(k);
  std::vector<SearchResult> out;
  for (const auto& s : all) out.push_back({s.record->id, s.score, s.record->metadata});
  return out;
}

void ExpectSameResults(const std::vector<SearchResult>& want, const std::vector<SearchResult>& got,
                       const std::string& where) {
  ASSERT_EQ(want.size(), got.size()) << where;
  for (std::size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(want[i].id, got[i].id) << where << " at " << i;
    if (!(std::isnan(want[i].score) && std::isnan(got[i].score))) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(want[i].score),
                std::bit_cast<std::uint32_t>(got[i].score))
          << where << " at " << i;
    }
    ASSERT_EQ(want[i].metadata.has_value(), got[i].metadata.has_value()) << where;
    if (want[i].metadata) {
      ASSERT_TRUE(*want[i].metadata == *got[i].metadata) << where;
    }
  }
}

// Records drawn from a small pool of vectors, so that many scores tie exactly; the pool holds a
// vector whose sums overflow (inf and NaN scores), a zero vector and vectors of other lengths; a
// second query holds a NaN. Metadata and timestamps vary so that
// filters and decay have something to do. Big enough for the scan to go parallel.
TEST_F(SearchTest, OrderEqualsStableSortOfAllScoresForEveryMetric) {
  constexpr std::size_t kDim = 200;
  constexpr std::size_t kRecords = 1500;
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> small(-3, 3);
  std::vector<std::vector<float>> pool;
  for (int i = 0; i < 24; ++i) {
    std::vector<float> v(kDim);
    for (float& x : v) x = static_cast<float>(small(rng)) * 0.25f;
    pool.push_back(v);
  }
  // As large as a stored vector can be: its sum of squares is just short of overflowing.
  for (float& x : pool[3]) x = (rng() & 1) ? 1.3e18f : -1.3e18f;
  pool[4].assign(kDim, 0.0f);
  pool[5].resize(kDim - 3);
  pool[6].resize(kDim + 9);
  pool[7].resize(13);

  Open(Metric::Cosine);
  for (std::size_t i = 0; i < kRecords; ++i) {
    std::optional<Value> meta;
    switch (i % 4) {
      case 0: break;
      case 1: meta = Value::uinteger(1); break;  // not an object
      default: {
        Value m = Value::object();
        m.set("g", Value::uinteger(i % 3));
        meta = std::move(m);
      }
    }
    std::optional<std::uint64_t> ts;
    if (i % 5 != 0) ts = 1'000'000 + (i % 7) * 43'200;
    char id[16];
    std::snprintf(id, sizeof id, "r%05zu", i);  // key order is insertion order after reopening
    Insert(id, pool[rng() % pool.size()], std::move(meta), ts);
  }

  std::vector<float> q = pool[0];
  std::vector<float> q_nan = pool[1];
  q_nan[5] = kNaN;
  std::vector<Request> requests(3);
  requests[1].filters.emplace_back("g", Value::uinteger(1));
  requests[2].decay = 0.8f;
  requests[2].now = 1'300'000;

  for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean, Metric::Manhattan}) {
    Korvane& store = Open(metric);
    ASSERT_EQ(StoreInternals::table(store).size(), kRecords);
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10},
                            std::uint64_t{kRecords - 1}, std::uint64_t{kRecords}, kAllOfThem}) {
      for (std::size_t r = 0; r < 2 * requests.size(); ++r) {
        const std::vector<float>& query = r < requests.size() ? q : q_nan;
        SearchBuilder b = store.search_builder(query, k);
        const Request& req = requests[r % requests.size()];
        for (const auto& [key, value] : req.filters) b.filter(key, value);
        if (req.decay) b.decay(*req.decay);
        if (req.now) b.now(*req.now);
        auto got = std::move(b).execute();
        ASSERT_TRUE(got);
        ExpectSameResults(Reference(korvane_test::AllRecords(store), metric, query, k, req), *got,
                          "metric " + std::to_string(static_cast<int>(metric)) + " k " +
                              std::to_string(k) + " request " + std::to_string(r));
      }
    }
  }
}

// Stored vectors are finite, but their sums can overflow: 1e38 * 10 + 1e38 * -10 is inf - inf.
TEST_F(SearchTest, NaNScoresComeAfterNumbersInRecordOrder) {
  Open(Metric::Dot);
  Insert("nan1", {10.0f, -10.0f});
  Insert("one", {1.0f, 0.0f});
  Insert("nan2", {-10.0f, 10.0f});
  Insert("two", {2.0f, 0.0f});
  const std::vector<float> q = {1e38f, 1e38f};
  EXPECT_EQ(Ids(Search(q, kAllOfThem)), (std::vector<std::string>{"two", "one", "nan1", "nan2"}));
  EXPECT_EQ(Ids(Search(q, 3)), (std::vector<std::string>{"two", "one", "nan1"}));
  const auto all_nan = Search({kNaN, 0.0f}, 3);
  EXPECT_EQ(Ids(all_nan), (std::vector<std::string>{"nan1", "one", "nan2"}));
  EXPECT_TRUE(std::isnan(all_nan[0].score));

  Open(Metric::Euclidean);  // distances: NaN still goes last, not first
  EXPECT_EQ(Ids(Search({kNaN, 0.0f}, 2)), (std::vector<std::string>{"nan1", "nan2"}));  // key order now
}

TEST_F(SearchTest, EmptyStoreAndZeroK) {
  Open(Metric::Cosine);
  EXPECT_TRUE(Search({1.0f, 2.0f}, 5).empty());
  Insert("a", {1.0f, 2.0f});
  EXPECT_TRUE(Search({1.0f, 2.0f}, 0).empty());
  EXPECT_EQ(Search({1.0f, 2.0f}, kAllOfThem).size(), 1u);
}

TEST_F(SearchTest, TiesKeepRecordOrder) {
  Open(Metric::Cosine);
  Insert("c", {1.0f, 1.0f});
  Insert("a", {1.0f, 1.0f});
  Insert("b", {3.0f, 1.0f});
  Insert("a", {1.0f, 1.0f});  // same id again: replaces the first "a", which moves last
  EXPECT_EQ(Ids(Search({1.0f, 1.0f}, 10)), (std::vector<std::string>{"c", "a", "b"}));
  // A zero query scores every record 0.0: the first k in record order.
  const auto zero = Search({0.0f, 0.0f}, 2);
  EXPECT_EQ(Ids(zero), (std::vector<std::string>{"c", "b"}));
  EXPECT_EQ(zero[0].score, 0.0f);
}

TEST_F(SearchTest, FiltersCompareKindAndValue) {
  Open(Metric::Dot);
  Value int_one = Value::object();
  int_one.set("n", Value::uinteger(1));
  Value float_one = Value::object();
  float_one.set("n", Value::floating(1.0));
  Insert("int", {1.0f}, int_one);
  Insert("float", {2.0f}, float_one);
  Insert("none", {3.0f});
  Insert("scalar", {4.0f}, Value::uinteger(1));

  auto b = store_->search_builder(std::vector<float>{1.0f}, 10);
  b.filter("n", Value::uinteger(1));
  auto found = std::move(b).execute();
  ASSERT_TRUE(found);
  EXPECT_EQ(Ids(*found), (std::vector<std::string>{"int"}));
  ASSERT_TRUE(found->front().metadata);
  EXPECT_TRUE(*found->front().metadata == int_one);

  auto both = store_->search_builder(std::vector<float>{1.0f}, 10);
  both.filter("n", Value::floating(1.0)).filter("missing", Value::null());
  EXPECT_TRUE(std::move(both).execute()->empty());
}

TEST_F(SearchTest, DecayByAgeInDays) {
  Open(Metric::Dot);
  const std::uint64_t t0 = 1'700'000'000;
  Insert("old", {2.0f}, {}, t0);
  Insert("undated", {2.0f});
  Insert("future", {2.0f}, {}, t0 + 3 * 86400);
  auto run = [&](std::uint64_t now) {
    auto found = store_->search_builder(std::vector<float>{4.0f}, 10).decay(0.5f).now(now);
    return std::move(found).execute().value();
  };
  auto two_days = run(t0 + 2 * 86400);
  ASSERT_EQ(two_days.size(), 3u);
  EXPECT_EQ(Ids(two_days), (std::vector<std::string>{"undated", "future", "old"}));
  EXPECT_EQ(two_days[2].score, 2.0f);
  EXPECT_EQ(two_days[0].score, 8.0f);
  EXPECT_EQ(two_days[1].score, 8.0f);  // now is before its timestamp
  for (const auto& r : run(t0)) EXPECT_EQ(r.score, 8.0f);
  // Without a reference time decay does nothing.
  auto no_now = store_->search_builder(std::vector<float>{4.0f}, 10).decay(0.5f);
  const auto undecayed = std::move(no_now).execute().value();
  for (const auto& r : undecayed) EXPECT_EQ(r.score, 8.0f);
}

// The builder keeps its own copy of a filter's key: one built for the call and gone before
// execute() must still select.
TEST_F(SearchTest, FilterKeyOutlivesTheCallersString) {
  Open(Metric::Dot);
  Value tagged = Value::object();
  tagged.set("colour", Value::string("red"));
  Insert("plain", {5.0f});
  Insert("red", {1.0f}, tagged);
  auto b = store_->search_builder(std::vector<float>{1.0f}, 10);
  {
    std::string key = "colour";
    key.reserve(64);  // off the small-string buffer, so a dangling view reads freed memory
    b.filter(key, Value::string("red"));
    key.assign(key.size(), 'x');
  }
  EXPECT_EQ(Ids(std::move(b).execute().value()), (std::vector<std::string>{"red"}));
}

// A batch answers each query exactly as a search of its own would: same ids, order, score bits,
// metadata, whatever the metric, k, query length, or whether an index answers.
TEST_F(SearchTest, SearchBatchEqualsOneSearchPerQuery) {
  constexpr std::size_t kDim = 72;
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> small(-2, 2);
  auto random_vector = [&](std::size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = static_cast<float>(small(rng)) * 0.5f;
    return v;
  };
  Open(Metric::Cosine);
  for (int i = 0; i < 1200; ++i) {
    Value meta = Value::object();
    meta.set("i", Value::uinteger(static_cast<std::uint64_t>(i)));
    // A few vectors of other lengths and some repeated ids.
    const std::size_t len = i % 97 == 0 ? kDim - 5 : kDim;
    std::string id = std::to_string(i % 1100);
    id.insert(id.begin(), 'v');
    Insert(id, random_vector(len), meta);
  }
  // 75 queries: more than one block of the batch; a zero query, a NaN, another length.
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 75; ++i) queries.push_back(random_vector(kDim));
  queries[1].assign(kDim, 0.0f);
  queries[2][7] = kNaN;
  queries[3] = random_vector(kDim + 3);
  const std::vector<std::span<const float>> spans(queries.begin(), queries.end());

  auto check = [&](Korvane& store, const std::string& what) {
    for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10}, kAllOfThem}) {
      auto batch = store.search_batch(spans, k);
      ASSERT_TRUE(batch);
      ASSERT_EQ(batch->size(), queries.size());
      for (std::size_t i = 0; i < queries.size(); ++i) {
        ExpectSameResults(Search(queries[i], k), (*batch)[i],
                          what + " k " + std::to_string(k) + " query " + std::to_string(i));
      }
    }
    auto none = store.search_batch({}, 10);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
  };
  for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean, Metric::Manhattan}) {
    check(Open(metric), "metric " + std::to_string(static_cast<int>(metric)));
  }
  Korvane& indexed = Open(Metric::Cosine);
  ASSERT_TRUE(indexed.enable_hnsw(HnswConfig{8, 8, 16, 32, 16, 0.5f}));
  check(indexed, "indexed");
}

// The worker pool must still work in a child forked after the parent used it.
TEST_F(SearchTest, SearchWorksInForkedChild) {
  Open(Metric::Cosine);
  for (int i = 0; i < 300; ++i) Insert(std::to_string(1000 + i), std::vector<float>(512, 1.0f + i));
  const auto parent = Search(std::vector<float>(512, 1.0f), 5);
  ASSERT_EQ(parent.size(), 5u);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(30);  // a hang kills the child instead of the suite
    auto again = store_->search(std::vector<float>(512, 1.0f), 5);
    const bool same = again && again->size() == 5 && (*again)[0].id == parent[0].id;
    ::_exit(same ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace korvane_core
