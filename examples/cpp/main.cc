// Products in a small catalogue, searched four ways with korvane's C++ core: by Euclidean
// distance, filtered by metadata, with scores decayed by age, and through the graph index.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/korvane.h"
#include "korvane/value.h"

using korvane_core::Korvane;
using korvane_core::SearchResult;
using korvane_storage::Value;

namespace {

void print(const char* title, const std::vector<SearchResult>& results) {
  std::printf("%s\n", title);
  for (const SearchResult& r : results) {
    const std::string meta = r.metadata ? korvane_storage::to_json(*r.metadata) : "null";
    std::printf("  %-8s %10.4f  %s\n", r.id.c_str(), r.score, meta.c_str());
  }
}

template <class T, class E>
T check(korvane_storage::Result<T, E> r) {
  if (!r) {
    std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

void check(korvane_storage::Result<void, korvane_core::KorvaneError> r) {
  if (!r) {
    std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "catalogue.db";
  std::remove(path.c_str());
  auto store = check(Korvane::open(path, korvane_core::Metric::Euclidean));

  const std::uint64_t day = 24 * 60 * 60;
  const std::uint64_t now = 1'700'000'000;
  struct Item {
    const char* id;
    std::vector<float> vector;
    const char* kind;
    std::uint64_t age_days;
  };
  const Item items[] = {
      {"apple", {1.0f, 0.1f, 0.0f}, "fruit", 0},   {"pear", {0.9f, 0.2f, 0.1f}, "fruit", 30},
      {"kale", {0.2f, 1.0f, 0.1f}, "vegetable", 2}, {"leek", {0.1f, 0.9f, 0.3f}, "vegetable", 1},
      {"salt", {0.0f, 0.1f, 1.0f}, "mineral", 400},
  };
  for (const Item& item : items) {
    Value meta = Value::object({{"kind", Value::string(item.kind)}});
    check(store->insert_with_time(item.id, item.vector, std::move(meta), now - item.age_days * day));
  }

  const std::vector<float> query = {1.0f, 0.3f, 0.1f};
  print("nearest (Euclidean distance):", check(store->search(query, 3)));
  korvane_core::SearchBuilder vegetables = store->search_builder(query, 3);
  vegetables.filter("kind", Value::string("vegetable"));
  print("vegetables only:", check(std::move(vegetables).execute()));

  // Decay multiplies each score by factor ^ age in days. Under a similarity it favours fresh
  // records; reopen with Dot for that.
  store.reset();
  auto dot_store = check(Korvane::open(path, korvane_core::Metric::Dot));
  korvane_core::SearchBuilder fresh = dot_store->search_builder(query, 3);
  fresh.decay(0.95f).now(now);
  print("by dot product, decayed by 0.95 a day:", check(std::move(fresh).execute()));

  check(dot_store->enable_hnsw({.m = 8, .m_max = 8, .m_max0 = 16, .ef_construction = 64,
                                .ef_search = 32, .ml = 0.5f}));
  print("through the graph index:", check(dot_store->search(query, 3)));
  return 0;
}
