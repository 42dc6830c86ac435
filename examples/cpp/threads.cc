// One store shared by several threads: writers insert and replace records in batches while
// readers search, count and read them back, with no lock of the caller's own. The store orders
// the calls itself (writers one at a time, readers together). At the end every record must be
// there once, with the vector its last write gave it, and be its own nearest (Euclidean distance
// 0, every other record farther).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/korvane.h"

using korvane_core::Korvane;
using korvane_core::KorvaneError;
using korvane_storage::Result;
using korvane_storage::Value;

namespace {

constexpr int kWriters = 3;
constexpr int kReaders = 3;
constexpr int kPerWriter = 400;
constexpr int kBatch = 20;
constexpr std::size_t kDim = 16;

// Any thread may fail; the others are not waited for.
[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "threads: %s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

template <class T>
T check(Result<T, KorvaneError> r) {
  if (!r) fail(r.error().display());
  return std::move(r).value();
}

void check(const Result<void, KorvaneError>& r) {
  if (!r) fail(r.error().display());
}

std::string id_of(int writer, int i) {
  return "w" + std::to_string(writer) + "-" + std::to_string(i);
}

// A vector of its own for every (writer, record, version): one component stands out.
std::vector<float> vector_of(int writer, int i, int version) {
  std::vector<float> v(kDim, 0.01f * static_cast<float>(version + 1));
  const int n = writer * kPerWriter + i;
  v[static_cast<std::size_t>(n) % kDim] = 1.0f + static_cast<float>(n);
  v[static_cast<std::size_t>(n / static_cast<int>(kDim)) % kDim] += 0.5f;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "threads.db";
  std::remove(path.c_str());
  const korvane_core::Settings settings{korvane_core::Metric::Euclidean, kDim};
  auto store = check(Korvane::open(path, settings));

  std::atomic<int> writers_left{kWriters};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int first = 0; first < kPerWriter; first += kBatch) {
        korvane_core::WriteBatch batch;
        for (int i = first; i < first + kBatch; ++i) {
          Value meta = Value::object({{"writer", Value::uinteger(static_cast<std::uint64_t>(w))}});
          batch.insert(id_of(w, i), vector_of(w, i, 0), std::move(meta));
        }
        check(store->write(std::move(batch)));
        // Every other record of the batch is written again: the newer vector must win.
        for (int i = first; i < first + kBatch; i += 2) {
          check(store->insert(id_of(w, i), vector_of(w, i, 1), std::nullopt));
        }
      }
      --writers_left;
    });
  }
  std::atomic<long> searches{0};
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      while (writers_left.load() > 0) {
        const std::size_t before = store->size();
        auto found = check(store->search(vector_of(r % kWriters, 7, 0), 5));
        if (found.size() > 5 || store->size() < before) fail("a reader saw the store shrink");
        std::size_t visited = 0;
        store->visit([&](const korvane_core::RecordView& record) {
          if (record.vector.size() != kDim) fail("record " + std::string(record.id) + " is torn");
          ++visited;
          return true;
        });
        if (visited < before) fail("visit missed records");
        ++searches;
      }
    });
  }
  for (std::thread& t : threads) t.join();

  if (store->size() != static_cast<std::size_t>(kWriters * kPerWriter)) {
    fail("expected " + std::to_string(kWriters * kPerWriter) + " records, found " +
         std::to_string(store->size()));
  }
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kPerWriter; ++i) {
      const std::vector<float> want = vector_of(w, i, i % 2 == 0 ? 1 : 0);
      const bool seen = store->visit(id_of(w, i), [&](const korvane_core::RecordView& record) {
        if (!std::equal(want.begin(), want.end(), record.vector.begin(), record.vector.end())) {
          fail(id_of(w, i) + " does not hold its last vector");
        }
      });
      if (!seen) fail(id_of(w, i) + " is missing");
      const auto best = check(store->search(want, 1));
      if (best.empty() || best[0].id != id_of(w, i)) fail(id_of(w, i) + " is not its own nearest");
    }
  }
  std::printf("%d writers and %d readers shared one store: %zu records, %ld reader rounds\n",
              kWriters, kReaders, store->size(), searches.load());
  return 0;
}
