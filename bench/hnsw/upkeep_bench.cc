// The graph index as a store keeps it: build time on some threads, and recall after replacing
// and deleting records, against a fresh build over what remains.
//
//   upkeep_bench build N DIM M EF_CONSTRUCTION THREADS     build_s, then recall@10 per ef
//   upkeep_bench churn N DIM [REPLACED% DELETED%]          recall after 30 % replaced, 10 %
//                                                          deleted (or as given), beside a
//                                                          fresh build; one delete, the first
//                                                          search after it, and one upsert
//   upkeep_bench writes N DIM                              single deletes and upserts with an
//                                                          index and without, medians
//
// Records are embedding-like (unit vectors near a 24-dimensional subspace, Cosine) with a
// small metadata object each, in a store under /tmp. Times are wall-clock seconds.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/store_internals.h"
#include "korvane/korvane.h"

using korvane_core::HnswConfig;
using korvane_core::Korvane;
using korvane_core::Value;
using korvane_core::WriteBatch;

namespace {

// CPU seconds of the whole process, every thread's.
double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class Embeddings {
 public:
  Embeddings(std::size_t dim, std::uint32_t seed) : dim_(dim), gen_(seed), map_(kLatent * dim) {
    for (float& x : map_) x = normal_(gen_);
  }
  std::vector<float> next() {
    std::vector<float> v(dim_, 0.0f);
    for (std::size_t i = 0; i < kLatent; ++i) {
      const float z = normal_(gen_);
      for (std::size_t j = 0; j < dim_; ++j) v[j] += z * map_[i * dim_ + j];
    }
    float norm = 0.0f;
    for (float& x : v) {
      x += 0.3f * normal_(gen_);
      norm += x * x;
    }
    for (float& x : v) x /= std::sqrt(norm);
    return v;
  }

 private:
  static constexpr std::size_t kLatent = 24;
  std::size_t dim_;
  std::mt19937 gen_;
  std::normal_distribution<float> normal_;
  std::vector<float> map_;
};

Value metadata(std::size_t i) {
  Value m = Value::object();
  m.set("title", Value::string("document number " + std::to_string(i)));
  m.set("group", Value::string(std::to_string(i % 17)));
  return m;
}

std::string id_of(std::size_t i) { return "doc-" + std::to_string(i); }

std::unique_ptr<Korvane> fresh_store(const std::string& path) {
  std::remove(path.c_str());
  std::remove(Korvane::index_path(path).c_str());
  auto opened = Korvane::open(path);
  if (!opened) {
    std::fprintf(stderr, "open: %s\n", opened.error().display().c_str());
    std::exit(1);
  }
  return std::move(*opened);
}

HnswConfig config(std::size_t m, std::size_t ef_c, std::size_t threads) {
  HnswConfig c{m, m, 2 * m, ef_c, 64, 1.0f / std::log(static_cast<float>(m))};
  c.threads = threads;
  return c;
}

// recall@10 of the index path at each ef, against the scan, and the queries a second.
std::vector<std::pair<double, double>> recall(const Korvane& store, const std::vector<std::vector<float>>& queries,
                           const std::vector<std::size_t>& efs) {
  std::vector<std::unordered_set<std::string>> exact;
  for (const auto& q : queries) {
    auto b = store.search_builder(q, 10);
    b.decay(1.0f);  // the scan
    std::unordered_set<std::string> ids;
    const auto found = std::move(b).execute();
    for (const auto& r : *found) ids.insert(r.id);
    exact.push_back(std::move(ids));
  }
  std::vector<std::pair<double, double>> out;
  for (const std::size_t ef : efs) {
    std::size_t found = 0;
    const double t0 = now();
    for (std::size_t i = 0; i < queries.size(); ++i) {
      auto b = store.search_builder(queries[i], 10);
      b.ef(ef);
      const auto got = std::move(b).execute();
      for (const auto& r : *got) found += exact[i].contains(r.id);
    }
    out.emplace_back(static_cast<double>(found) / (10.0 * queries.size()),
                     static_cast<double>(queries.size()) / (now() - t0));
  }
  return out;
}

void fill(Korvane& store, Embeddings& e, std::size_t n) {
  WriteBatch batch;
  for (std::size_t i = 0; i < n; ++i) batch.insert(id_of(i), e.next(), metadata(i));
  if (!store.write(std::move(batch))) std::exit(1);
}

void print_recall(const char* what, const std::vector<std::size_t>& efs,
                  const std::vector<std::pair<double, double>>& r) {
  for (std::size_t i = 0; i < efs.size(); ++i) {
    std::printf("%s,ef=%zu,recall=%.4f,qps=%.0f\n", what, efs[i], r[i].first, r[i].second);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const std::string path = "/tmp/korvane_upkeep_bench.db";
  const std::vector<std::size_t> efs = {10, 16, 32, 64, 128};
  if (mode == "build" && argc == 7) {
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const std::size_t dim = std::strtoull(argv[3], nullptr, 10);
    Embeddings e(dim, 1);
    auto store = fresh_store(path);
    fill(*store, e, n);
    std::vector<std::vector<float>> queries;
    for (int q = 0; q < 200; ++q) queries.push_back(e.next());
    const double t0 = now();
    const double c0 = cpu_now();
    if (!store->enable_hnsw(config(std::strtoull(argv[4], nullptr, 10),
                                   std::strtoull(argv[5], nullptr, 10),
                                   std::strtoull(argv[6], nullptr, 10)))) {
      return 1;
    }
    std::printf("build_s=%.3f cpu_s=%.3f\n", now() - t0, cpu_now() - c0);
    print_recall("built", efs, recall(*store, queries, efs));
    return 0;
  }
  if (mode == "churn" && (argc == 4 || argc == 6)) {
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const std::size_t dim = std::strtoull(argv[3], nullptr, 10);
    Embeddings e(dim, 2);
    auto store = fresh_store(path);
    fill(*store, e, n);
    std::vector<std::vector<float>> queries;
    for (int q = 0; q < 200; ++q) queries.push_back(e.next());
    if (!store->enable_hnsw(config(16, 200, 0))) return 1;
    print_recall("before", efs, recall(*store, queries, efs));

    // 30 % replaced and 10 % deleted, in random order, 100 operations a write.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::mt19937 gen(9);
    std::shuffle(order.begin(), order.end(), gen);
    const std::size_t replaced = n * (argc == 6 ? std::strtoull(argv[4], nullptr, 10) : 30) / 100;
    const std::size_t deleted = n * (argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 10) / 100;
    double write_s = 0.0;
    for (std::size_t at = 0; at < replaced + deleted; at += 100) {
      WriteBatch batch;
      for (std::size_t i = at; i < std::min(at + 100, replaced + deleted); ++i) {
        if (i < replaced) {
          batch.upsert(id_of(order[i]), e.next(), metadata(order[i]));
        } else {
          batch.remove(id_of(order[i]));
        }
      }
      const double t0 = now();
      if (!store->write(std::move(batch))) return 1;
      write_s += now() - t0;
    }
    std::printf("churn_writes_s=%.3f deleted_nodes=%zu deleted_since_build=%zu\n", write_s,
                korvane_core::StoreInternals::hnsw(*store)->deleted_count(),
                korvane_core::StoreInternals::hnsw(*store)->deleted_total());
    print_recall("after", efs, recall(*store, queries, efs));

    // One delete, then the first search, with the index and without.
    for (const bool indexed : {true, false}) {
      auto one = fresh_store(path + (indexed ? ".a" : ".b"));
      Embeddings small(64, 3);
      fill(*one, small, 20000);
      if (indexed && !one->enable_hnsw(config(16, 200, 0))) return 1;
      const std::vector<float> q = small.next();
      (void)one->search(q, 10);
      const double t0 = now();
      if (!one->delete_(id_of(123))) return 1;
      const double t1 = now();
      (void)one->search(q, 10);
      const double t2 = now();
      if (!one->insert(id_of(124), small.next(), metadata(124))) return 1;
      const double t3 = now();
      std::printf("%s: delete_s=%.6f first_search_s=%.6f upsert_s=%.6f\n",
                  indexed ? "indexed" : "no index", t1 - t0, t2 - t1, t3 - t2);
      one.reset();
      std::remove((path + (indexed ? ".a" : ".b")).c_str());
    }

    if (!store->enable_hnsw(config(16, 200, 0))) return 1;
    print_recall("fresh", efs, recall(*store, queries, efs));
    return 0;
  }
  if (mode == "writes" && argc == 4) {
    // Single deletes and single upserts into two stores of the same records, one with an index
    // and one without, taking turns; medians of each.
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const std::size_t dim = std::strtoull(argv[3], nullptr, 10);
    std::unique_ptr<Korvane> stores[2];
    for (int i = 0; i < 2; ++i) {
      Embeddings e(dim, 4);
      stores[i] = fresh_store(path + (i == 0 ? ".a" : ".b"));
      fill(*stores[i], e, n);
    }
    if (!stores[0]->enable_hnsw(config(16, 200, 0))) return 1;
    Embeddings e(dim, 5);
    std::vector<double> times[2][2];  // [indexed?][delete, upsert]
    for (std::size_t round = 0; round < 60; ++round) {
      const std::vector<float> v = e.next();
      for (int i = 0; i < 2; ++i) {
        const double t0 = now();
        if (!stores[i]->delete_(id_of(round * 7))) return 1;
        const double t1 = now();
        if (!stores[i]->insert(id_of(round * 7 + 1), v, metadata(round))) return 1;
        const double t2 = now();
        (void)stores[i]->search(v, 10);
        times[i][0].push_back(t1 - t0);
        times[i][1].push_back(t2 - t1);
      }
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    for (int op = 0; op < 2; ++op) {
      std::printf("%s: indexed %.6f s, no index %.6f s, ratio %.2f\n", op == 0 ? "delete" : "upsert",
                  median(times[0][op]), median(times[1][op]),
                  median(times[0][op]) / median(times[1][op]));
    }
    for (int i = 0; i < 2; ++i) std::remove((path + (i == 0 ? ".a" : ".b")).c_str());
    return 0;
  }
  std::fprintf(stderr,
               "usage: %s build N DIM M EF_CONSTRUCTION THREADS | churn N DIM [REPLACED% DELETED%] | writes N DIM\n",
               argv[0]);
  return 2;
}
