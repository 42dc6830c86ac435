#include "storage/record_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/record.h"

namespace korvane_storage {
namespace {

bool aligned(const float* p) {
  return reinterpret_cast<std::uintptr_t>(p) % FloatArena::kAlignment == 0;
}

// The table against a plain list of live records, in store order.
void ExpectMatches(const RecordTable& table, const std::vector<Record>& model) {
  ASSERT_EQ(table.size(), model.size());
  std::size_t i = 0;
  std::map<std::string, std::size_t> newest;  // model position of each id's newest record
  for (std::size_t slot : table.live_slots()) {
    ASSERT_LT(i, model.size());
    EXPECT_EQ(table.id(slot), model[i].id) << i;
    auto v = table.vector(slot);
    EXPECT_EQ(std::vector<float>(v.begin(), v.end()), model[i].vector) << i;
    EXPECT_EQ(table.metadata(slot), model[i].metadata) << i;
    EXPECT_EQ(table.timestamp(slot), model[i].timestamp) << i;
    newest[model[i].id] = slot;
    ++i;
  }
  EXPECT_EQ(i, model.size());
  for (const auto& [id, slot] : newest) EXPECT_EQ(table.newest(id), slot) << id;
}

// Vectors of many lengths (empty ones too) through growth, removals that hit duplicate ids,
// compactions and appends after them: the arena's start stays aligned, every vector keeps its
// floats, and the id index keeps finding each id's newest record.
TEST(RecordTable, RandomAppendsRemovesAndCompactionsMatchAList) {
  std::mt19937 gen(11);
  RecordTable table;
  std::vector<Record> model;
  std::size_t compactions = 0;
  for (int step = 0; step < 6000; ++step) {
    // A small id pool makes duplicates and removals of several records common.
    const std::string id = "id" + std::to_string(gen() % 300);
    if (gen() % 3 == 0) {
      const std::size_t expected = static_cast<std::size_t>(
          std::count_if(model.begin(), model.end(), [&](const Record& r) { return r.id == id; }));
      EXPECT_EQ(table.remove(id), expected);
      std::erase_if(model, [&](const Record& r) { return r.id == id; });
      EXPECT_FALSE(table.newest(id));
      if (table.should_compact()) {
        const std::size_t before = table.slot_count();
        table.compact();
        EXPECT_EQ(table.slot_count(), model.size());
        EXPECT_LT(table.slot_count(), before);
        ++compactions;
      }
    } else {
      std::vector<float> v(gen() % 40);
      for (float& x : v) x = static_cast<float>(gen() % 1000) / 7.0f;
      std::optional<Value> meta;
      if (gen() % 2) meta = Value::uinteger(step);
      std::optional<std::uint64_t> ts;
      if (gen() % 2) ts = step;
      Record rec{id, v, meta, ts};
      table.reserve(1, v.size());
      table.append(Record(rec));
      model.push_back(std::move(rec));
    }
    if (table.slot_count() > 0) {
      ASSERT_TRUE(aligned(table.vector(0).data()));
    }
    if (step % 500 == 0) ExpectMatches(table, model);
  }
  EXPECT_GT(compactions, 3u);
  ExpectMatches(table, model);
}

// Compaction hands the arena's unused tail back but keeps it usable: appends after a compaction
// that emptied the table land at the start of the same aligned block.
TEST(RecordTable, CompactionToEmptyThenRefill) {
  RecordTable table;
  table.reserve(1000, 1000 * 384);
  for (int i = 0; i < 1000; ++i) {
    table.append(Record{"r" + std::to_string(i), std::vector<float>(384, static_cast<float>(i)),
                        std::nullopt, std::nullopt});
  }
  const float* base = table.vector(0).data();
  ASSERT_TRUE(aligned(base));
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(table.remove("r" + std::to_string(i)), 1u);
  EXPECT_TRUE(table.empty());
  ASSERT_TRUE(table.should_compact());
  table.compact();
  EXPECT_EQ(table.slot_count(), 0u);
  EXPECT_EQ(table.live_slots().begin(), table.live_slots().end());

  table.reserve(1, 384);
  table.append(Record{"again", std::vector<float>(384, 2.5f), std::nullopt, std::nullopt});
  EXPECT_EQ(table.vector(0).data(), base);
  EXPECT_EQ(table.vector(0)[383], 2.5f);
  EXPECT_EQ(table.newest("again"), 0u);
  EXPECT_FALSE(table.newest("r0"));
}

}  // namespace
}  // namespace korvane_storage
