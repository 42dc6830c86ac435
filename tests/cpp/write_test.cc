// Writes through the core store: batches, single inserts and deletes, and reopens, checked
// against a plain model (a list of records in store order); batches under injected faults; the
// graph index after removals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"
#include "faulty_vfs.h"
#include "storage/storage.h"
#include "store_fixture.h"

namespace korvane_core {
namespace {

using korvane_test::AllRecords;
using korvane_test::FaultyVfs;

constexpr std::size_t kDim = 8;

HnswConfig small_config() { return HnswConfig{4, 4, 8, 16, 16, 1.0f / std::log(4.0f)}; }

// What a store should hold: its records in store order.
struct Model {
  std::vector<Record> records;

  // An insert replaces every record with its id; the new one goes last.
  void insert(const Record& r) {
    remove(r.id);
    records.push_back(r);
  }
  void remove(const std::string& id) {
    std::erase_if(records, [&](const Record& r) { return r.id == id; });
  }
  // What an open finds: the newest record of each id, in id byte order.
  void reopen() {
    std::vector<Record> newest;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
      if (std::none_of(newest.begin(), newest.end(), [&](const Record& r) { return r.id == it->id; })) {
        newest.push_back(*it);
      }
    }
    std::sort(newest.begin(), newest.end(),
              [](const Record& a, const Record& b) { return a.id < b.id; });
    records = std::move(newest);
  }
  const Record* newest(const std::string& id) const {
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
      if (it->id == id) return &*it;
    }
    return nullptr;
  }
};

// A batch and the same operations applied to a model.
struct Ops {
  WriteBatch batch;
  std::vector<std::pair<char, Record>> plain;  // 'i' insert, 'r' remove, 'u' upsert

  void insert(const Record& r) {
    batch.insert(r.id, r.vector, r.metadata, r.timestamp);
    plain.emplace_back('i', r);
  }
  void remove(const std::string& id) {
    batch.remove(id);
    plain.emplace_back('r', Record{id, {}, {}, {}});
  }
  void upsert(const Record& r) {
    batch.upsert(r.id, r.vector, r.metadata, r.timestamp);
    plain.emplace_back('u', r);
  }
  void apply(Model& m) const {
    for (const auto& [kind, r] : plain) {
      if (kind != 'i') m.remove(r.id);
      if (kind != 'r') m.insert(r);
    }
  }
};

class WriteTest : public korvane_test::StoreTest {
 protected:
  static void SetUpTestSuite() { FaultyVfs::install(); }
  void TearDown() override {
    FaultyVfs::install().disarm();
    StoreTest::TearDown();
  }

  Record RandomRecord(std::mt19937& gen, int ids) {
    Record r{"k" + std::to_string(gen() % ids), std::vector<float>(kDim), std::nullopt, std::nullopt};
    for (float& x : r.vector) x = static_cast<float>(static_cast<int>(gen() % 2001) - 1000) / 97.0f;
    if (gen() % 2) {
      Value meta = Value::object();
      meta.set("n", Value::uinteger(gen() % 1000));
      r.metadata = std::move(meta);
    }
    if (gen() % 2) r.timestamp = gen();
    return r;
  }

  // Everything a reader can see: get_all, size, contains, get, and an exact search.
  void ExpectStoreIs(const Model& model, int ids, std::mt19937& gen, const std::string& where) {
    SCOPED_TRACE(where);
    const std::vector<Record> all = AllRecords(*store_);
    ASSERT_EQ(all.size(), model.records.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(all[i].id, model.records[i].id) << i;
      EXPECT_EQ(all[i].vector, model.records[i].vector) << i;
      EXPECT_EQ(all[i].metadata, model.records[i].metadata) << i;
      EXPECT_EQ(all[i].timestamp, model.records[i].timestamp) << i;
    }
    EXPECT_EQ(store_->size(), model.records.size());
    for (int k = 0; k < ids; ++k) {
      const std::string id = "k" + std::to_string(k);
      const Record* want = model.newest(id);
      EXPECT_EQ(store_->contains(id), want != nullptr) << id;
      auto got = store_->get(id);
      ASSERT_EQ(got.has_value(), want != nullptr) << id;
      if (want) {
        EXPECT_EQ(got->metadata, want->metadata) << id;
      }
    }

    // The scan: nearest first, ties in store order.
    std::vector<float> q(kDim);
    for (float& x : q) x = static_cast<float>(static_cast<int>(gen() % 2001) - 1000) / 97.0f;
    std::vector<std::pair<float, std::size_t>> scored;
    for (std::size_t i = 0; i < model.records.size(); ++i) {
      scored.emplace_back(korvane_index::scalar::euclidean(q, model.records[i].vector), i);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto plain = store_->search_builder(q, 7);
    plain.decay(1.0f);  // takes the scan even with an index
    auto found = std::move(plain).execute();
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), std::min<std::size_t>(7, scored.size()));
    for (std::size_t i = 0; i < found->size(); ++i) {
      EXPECT_EQ((*found)[i].id, model.records[scored[i].second].id) << i;
      EXPECT_EQ((*found)[i].score, scored[i].first) << i;
    }

    // The index's live nodes are exactly the live slots.
    if (const HnswIndex* index = StoreInternals::hnsw(*store_)) {
      const RecordTable& table = StoreInternals::table(*store_);
      for (std::size_t slot = 0; slot <= table.slot_count(); ++slot) {
        const bool live = slot < table.slot_count() && table.live(slot);
        EXPECT_EQ(index->contains(slot) && !index->is_deleted(slot), live) << "slot " << slot;
      }
      // The walk passes deleted nodes by: every answer is a live record, once, scored as such.
      auto walked = store_->search_builder(q, 64);
      walked.ef(64);
      auto got = std::move(walked).execute();
      ASSERT_TRUE(got);
      std::set<std::string> seen;
      for (const SearchResult& r : *got) {
        EXPECT_TRUE(seen.insert(r.id).second) << r.id << " twice";
        const Record* want = model.newest(r.id);
        ASSERT_NE(want, nullptr) << r.id << " was deleted";
        EXPECT_EQ(r.score, korvane_index::scalar::euclidean(q, want->vector)) << r.id;
      }
      // A few nodes may be cut off (a graph of nearest links need not be connected), never
      // so many that a short answer comes back short.
      auto few = store_->search_builder(q, 5);
      few.ef(64);
      EXPECT_EQ(std::move(few).execute()->size(), std::min<std::size_t>(5, model.records.size()));
    }
  }
};

TEST_F(WriteTest, RandomOperationsMatchAPlainModel) {
  for (bool with_index : {false, true}) {
    SCOPED_TRACE(with_index ? "with index" : "without index");
    std::remove(path_.c_str());
    Open(Metric::Euclidean);
    if (with_index) {
      ASSERT_TRUE(store_->enable_hnsw(small_config()));
    }
    std::mt19937 gen(with_index ? 3 : 4);
    const int ids = 40;
    Model model;
    for (int step = 0; step < 300; ++step) {
      const unsigned roll = gen() % 100;
      if (roll < 35) {
        Record r = RandomRecord(gen, ids);
        Insert(r.id, r.vector, r.metadata, r.timestamp);
        model.insert(r);
      } else if (roll < 55) {
        const std::string id = "k" + std::to_string(gen() % ids);
        ASSERT_TRUE(store_->delete_(id));
        model.remove(id);
      } else if (roll < 85) {
        Ops ops;
        const int n = static_cast<int>(gen() % 7);  // empty batches too
        for (int i = 0; i < n; ++i) {
          const unsigned kind = gen() % 3;
          Record r = RandomRecord(gen, ids);
          if (kind == 0) ops.insert(r);
          if (kind == 1) ops.remove(r.id);
          if (kind == 2) ops.upsert(r);
        }
        auto written = store_->write(std::move(ops.batch));
        ASSERT_TRUE(written) << written.error().display();
        ops.apply(model);
      } else if (roll < 90) {
        Open(Metric::Euclidean);
        if (with_index) {
          ASSERT_TRUE(store_->enable_hnsw(small_config()));
        }
        model.reopen();
      } else {
        ExpectStoreIs(model, ids, gen, "step " + std::to_string(step));
      }
      if (HasFatalFailure()) return;
    }
    ExpectStoreIs(model, ids, gen, "end");
    Open(Metric::Euclidean);
    model.reopen();
    ExpectStoreIs(model, ids, gen, "reopened");
  }
}

// Settings live in the file's header: a later plain open scores and checks lengths by them, a
// conflicting open is refused, and a write of another length is refused in the core too.
TEST_F(WriteTest, SettingsSavedByOpenGovernLaterOpens) {
  Open(Metric::Cosine);
  Insert("a", {1.0f, 0.0f});
  store_.reset();
  auto refused = Korvane::open(path_, Settings{std::nullopt, 3});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "record 'a' has length 2, but dim is 3");
  auto opened = Korvane::open(path_, Settings{Metric::Manhattan, 2});
  ASSERT_TRUE(opened) << opened.error().display();
  opened->reset();

  opened = Korvane::open(path_);
  ASSERT_TRUE(opened);
  EXPECT_EQ((*opened)->metric(), Metric::Manhattan);
  EXPECT_EQ((*opened)->dim(), 2u);
  WriteBatch batch;
  batch.insert("b", {1.0f, 1.0f}, std::nullopt);
  batch.insert("c", {1.0f}, std::nullopt);
  auto written = (*opened)->write(std::move(batch));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().item, 1u);
  EXPECT_EQ((*opened)->size(), 1u);
  opened->reset();

  for (const Settings& other : {Settings{Metric::Cosine, std::nullopt}, Settings{std::nullopt, 4}}) {
    auto conflict = Korvane::open(path_, other);
    ASSERT_FALSE(conflict);
    EXPECT_EQ(conflict.error().code, KorvaneError::Code::Config);
  }
  EXPECT_FALSE(Korvane::open(path_, Metric::Dot));
  EXPECT_TRUE(Korvane::open(path_, Settings{Metric::Manhattan, 2}));
}

// A selector made from a byte no metric has is refused where it comes in; saving it would have
// written another metric's code into the header (the field holds three bits).
TEST_F(WriteTest, UnknownMetricSelectorIsRefusedAndNothingIsSaved) {
  for (int code : {4, 9, 255}) {
    const auto forged = static_cast<Metric>(code);
    for (bool save : {false, true}) {
      auto refused = save ? Korvane::open(path_, Settings{forged, 2}) : Korvane::open(path_, forged);
      ASSERT_FALSE(refused) << code;
      EXPECT_EQ(refused.error().code, KorvaneError::Code::Config);
      EXPECT_EQ(refused.error().message,
                "metric code " + std::to_string(code) + " is not one this store knows");
    }
  }
  auto opened = Korvane::open(path_);
  ASSERT_TRUE(opened);
  EXPECT_EQ((*opened)->metric(), Metric::Cosine);
  EXPECT_EQ((*opened)->dim(), std::nullopt);
}

TEST_F(WriteTest, UpsertReplacesEveryCopyAndGoesLast) {
  Open(Metric::Dot);
  Insert("x", {1.0f});
  Insert("y", {2.0f});
  Insert("x", {3.0f});
  WriteBatch batch;
  batch.upsert("x", {4.0f}, Value::string("new"));
  batch.insert("z", {5.0f}, std::nullopt);
  batch.remove("z");  // a record added earlier in the batch goes too
  EXPECT_EQ(batch.size(), 3u);
  ASSERT_TRUE(store_->write(std::move(batch)));
  auto all = AllRecords(*store_);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, "y");
  EXPECT_EQ(all[1].id, "x");
  EXPECT_EQ(all[1].vector, std::vector<float>{4.0f});
  EXPECT_FALSE(store_->contains("z"));

  Open(Metric::Dot);
  all = AllRecords(*store_);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, "x");
  EXPECT_EQ(all[0].metadata, Value::string("new"));
}

TEST_F(WriteTest, UnencodableRecordFailsTheWholeBatchWithItsPosition) {
  Open(Metric::Cosine);
  Insert("a", {1.0f, 0.0f});
  WriteBatch batch;
  batch.insert("b", {1.0f, 1.0f}, std::nullopt);
  batch.remove("a");
  batch.upsert("c", {0.0f, NAN}, std::nullopt);
  auto written = store_->write(std::move(batch));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().item, 2u);
  EXPECT_EQ(written.error().display(),
            "Storage error: Serialization error: cannot store non-finite vector component at index 1");
  EXPECT_EQ(store_->size(), 1u);
  EXPECT_TRUE(store_->contains("a"));
  EXPECT_FALSE(store_->contains("b"));
  Open(Metric::Cosine);
  EXPECT_EQ(store_->size(), 1u);
  EXPECT_TRUE(store_->contains("a"));
}

// A batch far larger than one chunk of encoded rows, its ids in no order: a record that cannot
// be stored in a late chunk, after earlier chunks went to SQLite, still leaves nothing behind;
// of two such records the batch's first is reported, though its id sorts last; without them the
// whole batch lands in the batch's order, and reads back the same after a reopen.
TEST_F(WriteTest, LargeBatchIsWrittenInChunksAndStaysAllOrNothing) {
  Open(Metric::Euclidean);
  Insert("keep", std::vector<float>(kDim, 1.0f));
  std::mt19937 gen(6);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  Model model;
  model.insert(AllRecords(*store_)[0]);
  Ops ops;
  for (int i = 0; i < 10000; ++i) {
    std::vector<float> v(kDim);
    for (float& x : v) x = dist(gen);
    char id[16];
    std::snprintf(id, sizeof id, "r%05d", i * 7919 % 10000);
    if (i % 3000 == 7) ops.remove("keep");
    ops.insert(Record{id, std::move(v), Value::uinteger(static_cast<std::uint64_t>(i)), std::nullopt});
  }
  ops.apply(model);
  WriteBatch good = ops.batch;
  WriteBatch twice = ops.batch;
  ops.batch.upsert("z", {0.0f, INFINITY}, std::nullopt);  // in the third chunk
  auto written = store_->write(std::move(ops.batch));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().item, ops.plain.size());
  EXPECT_EQ(store_->size(), 1u);
  twice.upsert("z", {0.0f, INFINITY}, std::nullopt);  // written last
  twice.upsert("a", {NAN, 0.0f}, std::nullopt);       // written first
  auto first = store_->write(std::move(twice));
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().item, ops.plain.size());
  EXPECT_EQ(store_->size(), 1u);
  Open(Metric::Euclidean);
  EXPECT_EQ(store_->size(), 1u);
  ASSERT_TRUE(store_->write(std::move(good)));
  ExpectStoreIs(model, 0, gen, "written");
  Open(Metric::Euclidean);
  model.reopen();
  ExpectStoreIs(model, 0, gen, "reopened");
}

// Each write and sync of the batch's transaction fails in turn, through the log and past it
// (as a large batch goes, switching journals before and after): the store, in memory and in the
// file, is then exactly as before, and the index is unharmed; the same batch applies whole once
// the fault is gone.
TEST_F(WriteTest, BatchIsAllOrNothingUnderInjectedFaults) {
  FaultyVfs& vfs = FaultyVfs::install();
  std::mt19937 gen(9);
  const int ids = 12;
  constexpr std::size_t kDirectFloats = std::size_t{1} << 20;  // the store's own threshold
  struct Restore {
    ~Restore() { korvane_storage::Storage::set_direct_write_floats(kDirectFloats); }
  } restore;
  for (const bool direct : {false, true}) {
   for (FaultyVfs::Op op : {FaultyVfs::Op::Write, FaultyVfs::Op::Sync}) {
    korvane_storage::Storage::set_direct_write_floats(direct ? 1 : kDirectFloats);
    long failures = 0;
    for (long skip = 0;; ++skip) {
      SCOPED_TRACE("op " + std::to_string(static_cast<int>(op)) + " skip " + std::to_string(skip) +
                   (direct ? " past the log" : ""));
      ASSERT_LT(skip, 200) << "the batch never ran clean";
      store_.reset();
      std::remove(path_.c_str());
      Open(Metric::Euclidean);
      Model before;
      for (int i = 0; i < 20; ++i) {
        Record r = RandomRecord(gen, ids);
        Insert(r.id, r.vector, r.metadata, r.timestamp);
        before.insert(r);
      }
      ASSERT_TRUE(store_->enable_hnsw(small_config()));
      std::mt19937 batch_gen(1);  // the same batch every round
      Ops ops;
      for (int i = 0; i < 40; ++i) {
        Record r = RandomRecord(batch_gen, ids);
        switch (i % 4) {
          case 0: ops.remove(r.id); break;
          case 1: ops.upsert(r); break;
          default: ops.insert(r); break;
        }
      }
      Model after = before;
      ops.apply(after);
      WriteBatch retry = ops.batch;

      vfs.fail(op, skip);
      auto written = store_->write(std::move(ops.batch));
      const bool fired = !vfs.armed(op);
      vfs.disarm();
      if (!fired) {
        ASSERT_TRUE(written) << written.error().display();
        ExpectStoreIs(after, ids, gen, "clean run");
        EXPECT_GT(failures, 0) << "no fault ever hit the batch";
        if (direct) {  // the file is back on the log, and no journal is left beside it
          store_.reset();
          char header[20] = {};
          std::ifstream(path_, std::ios::binary).read(header, sizeof header);
          EXPECT_EQ(header[18], 2);
          EXPECT_EQ(header[19], 2);
          EXPECT_FALSE(std::filesystem::exists(path_ + "-journal"));
        }
        break;
      }
      if (written && direct) {
        // The fault hit a switch of journals, not the transaction: either mode commits
        // durably, so the batch landed whole.
        ExpectStoreIs(after, ids, gen, "landed");
        Open(Metric::Euclidean);
        after.reopen();
        ExpectStoreIs(after, ids, gen, "landed, reopened");
        if (HasFatalFailure()) return;
        continue;
      }
      ++failures;
      ASSERT_FALSE(written);
      ExpectStoreIs(before, ids, gen, "failed in memory");
      ASSERT_TRUE(store_->write(std::move(retry)));
      ExpectStoreIs(after, ids, gen, "retried");
      Open(Metric::Euclidean);
      after.reopen();
      ExpectStoreIs(after, ids, gen, "retried, reopened");
      if (HasFatalFailure()) return;
    }
   }
  }
}

// Removals only mark the index stale; searches on several threads then find it rebuilt once,
// over the remaining records, and agree.
TEST_F(WriteTest, StaleIndexIsRebuiltOnceForConcurrentSearches) {
  Open(Metric::Cosine);
  std::mt19937 gen(2);
  std::normal_distribution<float> normal;
  WriteBatch batch;
  for (int i = 0; i < 600; ++i) {
    std::vector<float> v(16);
    for (float& x : v) x = normal(gen);
    batch.insert("r" + std::to_string(i), std::move(v), std::nullopt);
  }
  ASSERT_TRUE(store_->write(std::move(batch)));
  ASSERT_TRUE(store_->enable_hnsw(HnswConfig{8, 8, 16, 64, 64, 1.0f / std::log(8.0f)}));
  WriteBatch removals;
  for (int i = 0; i < 600; i += 3) removals.remove("r" + std::to_string(i));
  ASSERT_TRUE(store_->write(std::move(removals)));
  for (int i = 1; i < 600; i += 3) ASSERT_TRUE(store_->delete_("r" + std::to_string(i)));

  std::vector<std::vector<float>> queries(32, std::vector<float>(16));
  for (auto& q : queries) {
    for (float& x : q) x = normal(gen);
  }
  std::vector<std::vector<std::vector<SearchResult>>> per_thread(4);
  std::vector<std::thread> threads;
  for (auto& out : per_thread) {
    threads.emplace_back([&] {
      for (const auto& q : queries) out.push_back(*store_->search(q, 5));
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t qi = 0; qi < queries.size(); ++qi) {
    const auto& first = per_thread[0][qi];
    ASSERT_EQ(first.size(), 5u);
    for (const auto& r : first) {
      EXPECT_EQ(std::stoi(r.id.substr(1)) % 3, 2) << r.id << " was deleted";
    }
    for (const auto& out : per_thread) {
      ASSERT_EQ(out[qi].size(), first.size());
      for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(out[qi][i].id, first[i].id);
    }
  }
}

// The storage layer's own "Storage error" kind is said once, not twice.
TEST(StoreErrors, AHardLinkedFileIsRefusedWithOnePrefix) {
  const std::string path = ::testing::TempDir() + "korvane_links_" + std::to_string(::getpid());
  std::remove(path.c_str());
  std::remove((path + "-2").c_str());
  { ASSERT_TRUE(Korvane::open(path)); }
  ASSERT_EQ(::link(path.c_str(), (path + "-2").c_str()), 0);
  auto opened = Korvane::open(path);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().display().rfind("Storage error: '" + path + "' has 2 hard links;", 0), 0u)
      << opened.error().display();
  std::remove(path.c_str());
  std::remove((path + "-2").c_str());
}

}  // namespace
}  // namespace korvane_core
