// Times korvane's writes from C++ against SQLite doing the same file work.
//
//   built by `make bench` (the CMake option KORVANE_BUILD_BENCH) as build/bench/bench/write_bench
//   write_bench batch <new db file> [n=10000] [dim=384] [seed=7]
//       writes n records (unit vectors, small metadata) through one WriteBatch into a new store
//       and prints the seconds Korvane::write took; bench/insert.py runs it beside Python's
//       sqlite3 executemany of the very rows it wrote.
//   write_bench delete <db file of a store> [deletes=200]
//       copies the store twice; deletes records one at a time through Korvane::delete_ on one
//       copy and with BEGIN IMMEDIATE / DELETE / COMMIT (the store's pragmas) on the other,
//       alternating record by record; prints each side's median and their ratio.
//   write_bench compact [n=100000] [dim=384]
//       what dead slots cost and what reclaiming them costs, on a record table of n records:
//       a pass scoring every live vector (Dot, on one thread) with a growing
//       share of dead slots, beside one compaction at that share.
//
// Nothing is asserted.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/store_internals.h"
#include "korvane/korvane.h"
#include "index/metric.h"
#include "storage/record_table.h"

namespace {

using korvane_core::StoreInternals;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

int batch(const std::string& path, std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  korvane_core::WriteBatch b;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<float> v(dim);
    float norm = 0.0f;
    for (float& x : v) {
      x = normal(gen);
      norm += x * x;
    }
    for (float& x : v) x /= std::sqrt(norm);
    korvane_storage::Value meta = korvane_storage::Value::object();
    meta.set("n", korvane_storage::Value::uinteger(i));
    meta.set("tag", korvane_storage::Value::string("t" + std::to_string(i % 7)));
    char id[32];
    std::snprintf(id, sizeof id, "doc-%07zu", i);
    b.insert(id, std::move(v), std::move(meta));
  }
  std::filesystem::remove(path);
  auto opened = korvane_core::Korvane::open(path);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().display().c_str());
    return 1;
  }
  const auto t0 = Clock::now();
  auto written = (*opened)->write(std::move(b));
  const double s = seconds_since(t0);
  if (!written) {
    std::fprintf(stderr, "%s\n", written.error().display().c_str());
    return 1;
  }
  std::printf("%.6f\n", s);
  return 0;
}

int deletes(const std::string& source, std::size_t count) {
  const std::string a = source + ".korvane-delete", b = source + ".sqlite-delete";
  for (const auto& p : {a, b}) {
    std::filesystem::remove(p);
    std::filesystem::remove(p + "-wal");
    std::filesystem::copy_file(source, p);
  }
  auto opened = korvane_core::Korvane::open(a);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().display().c_str());
    return 1;
  }
  korvane_core::Korvane& store = **opened;
  sqlite3* db = nullptr;
  sqlite3_open(b.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
               "BEGIN IMMEDIATE; COMMIT;",
               nullptr, nullptr, nullptr);
  sqlite3_stmt *begin, *del, *commit;
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "DELETE FROM records WHERE id = ?1", -1, &del, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);

  // Ids in key order, then a fixed shuffle of them.
  std::vector<std::string> ids;
  for (std::size_t slot : StoreInternals::table(store).live_slots()) ids.emplace_back(StoreInternals::table(store).id(slot));
  std::mt19937 gen(3);
  std::shuffle(ids.begin(), ids.end(), gen);
  count = std::min(count, ids.size());
  std::printf("%zu records; %zu deletes\n", ids.size(), count);

  std::vector<double> ours, theirs;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& id = ids[i];
    auto t0 = Clock::now();
    if (!store.delete_(id)) return 1;
    ours.push_back(seconds_since(t0));
    t0 = Clock::now();
    sqlite3_step(begin);
    sqlite3_reset(begin);
    sqlite3_bind_blob(del, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_step(del);
    sqlite3_reset(del);
    if (sqlite3_step(commit) != SQLITE_DONE) return 1;
    sqlite3_reset(commit);
    theirs.push_back(seconds_since(t0));
  }
  sqlite3_finalize(begin);
  sqlite3_finalize(del);
  sqlite3_finalize(commit);
  sqlite3_close(db);
  opened->reset();
  for (const auto& p : {a, b}) std::filesystem::remove(p);
  std::vector<double> ratios;
  for (std::size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / theirs[i]);
  std::printf("korvane delete_ median %.3f ms, sqlite3 delete commit median %.3f ms\n",
              1e3 * median(ours), 1e3 * median(theirs));
  std::printf("ratio korvane / sqlite3: %.3f (ratio of medians), %.3f (median of paired ratios)\n",
              median(ours) / median(theirs), median(ratios));
  return 0;
}

int compaction(std::size_t n, std::size_t dim) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> v(dim);
  volatile float sink = 0;
  std::printf("%zu x %zu; times are medians of 5 passes\n", n, dim);
  std::printf("%6s %12s %16s %14s\n", "dead", "pass ms", "pass ms / live", "compact ms");
  for (int percent : {0, 3, 6, 10, 25, 50}) {
    korvane_storage::RecordTable table;
    table.reserve(n, n * dim);
    for (std::size_t i = 0; i < n; ++i) {
      for (float& x : v) x = uniform(gen);
      table.append("r" + std::to_string(i), v, std::nullopt, std::nullopt);
    }
    // Dead slots spread evenly, as deletes of random ids leave them.
    for (std::size_t i = 0; i < n; ++i) {
      if ((i * 37) % 100 < static_cast<std::size_t>(percent)) table.remove("r" + std::to_string(i));
    }
    std::vector<double> passes;
    for (int rep = 0; rep < 5; ++rep) {
      const auto t0 = Clock::now();
      float total = 0;
      for (std::size_t slot = 0; slot < table.slot_count(); ++slot) {
        if (!table.live(slot)) continue;
        total += korvane_index::distance(korvane_index::Metric::Dot, v, table.vector(slot));
      }
      sink = total;
      passes.push_back(seconds_since(t0));
    }
    const auto t0 = Clock::now();
    table.compact();
    const double compact = seconds_since(t0);
    const double pass = median(passes);
    std::printf("%5d%% %12.2f %16.5f %14.2f\n", percent, 1e3 * pass,
                1e3 * pass / static_cast<double>(table.size()) * 1000.0, 1e3 * compact);
  }
  (void)sink;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "batch" && argc > 2) {
    return batch(argv[2], argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 10000,
                 argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 384,
                 argc > 5 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)) : 7);
  }
  if (mode == "delete" && argc > 2) {
    return deletes(argv[2], argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200);
  }
  if (mode == "compact") {
    return compaction(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000,
                      argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 384);
  }
  std::fprintf(stderr,
               "usage: %s batch <new db file> [n] [dim] [seed]\n"
               "       %s delete <db file of a store> [deletes]\n"
               "       %s compact [n] [dim]\n",
               argv[0], argv[0], argv[0]);
  return 2;
}
