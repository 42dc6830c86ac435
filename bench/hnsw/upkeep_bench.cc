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
//   upkeep_bench wear N DIM                                the graph alone kept through
//                                                          writes past the store's rebuild
//                                                          point: each time the nodes deleted
//                                                          since the build reach 25, 44, 50,
//                                                          75, 100, 150, 200, 300 % of the
//                                                          live records, recall@10, vectors
//                                                          measured per query and queries/s,
//                                                          beside a fresh build over the same
//                                                          records
//
// Records are embedding-like (unit vectors near a 24-dimensional subspace, Cosine); build,
// churn and writes keep them with a small metadata object each in a store under /tmp. Times are
// wall-clock seconds.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ctime>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/store_internals.h"
#include "korvane/korvane.h"

using korvane_core::HnswConfig;
using korvane_core::HnswIndex;
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

// 200 queries drawn after the n records, from the same source.
std::vector<std::vector<float>> fill_and_draw_queries(Korvane& store, Embeddings& e,
                                                      std::size_t n) {
  fill(store, e, n);
  std::vector<std::vector<float>> queries;
  for (int q = 0; q < 200; ++q) queries.push_back(e.next());
  return queries;
}

void print_recall(const char* what, const std::vector<std::size_t>& efs,
                  const std::vector<std::pair<double, double>>& r) {
  for (std::size_t i = 0; i < efs.size(); ++i) {
    std::printf("%s,ef=%zu,recall=%.4f,qps=%.0f\n", what, efs[i], r[i].first, r[i].second);
  }
  std::fflush(stdout);
}

// The graph alone, kept through writes as the store keeps it, but never rebuilt: the vectors
// by slot as the table holds them, each write marking the replaced and deleted records' nodes
// and repairing around them, then inserting the new records' nodes; once a sixteenth of the
// slots is dead the table compacts, and the graph purges its deleted nodes and is renumbered.
class Worn {
 public:
  explicit Worn(HnswIndex index) : index_(std::move(index)) {}

  void fill(Embeddings& e, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) append(i, e.next());
    std::vector<std::size_t> nodes(n);
    for (std::size_t i = 0; i < n; ++i) nodes[i] = i;
    index_.insert_all(nodes, access(), korvane_index::Metric::Cosine, 0);
  }

  // One write: the records in `removed` lose their slots, `added` (record number, vector) are
  // appended.
  void write(const std::vector<std::size_t>& removed,
             std::vector<std::pair<std::size_t, std::vector<float>>> added) {
    std::vector<std::size_t> gone;
    for (const std::size_t r : removed) {
      gone.push_back(slot_of_.at(r));
      slot_of_.erase(r);
    }
    std::sort(gone.begin(), gone.end());
    for (const std::size_t g : gone) live_[g] = 0;
    dead_ += gone.size();
    const std::size_t first_new = vectors_.size();
    for (auto& [r, v] : added) append(r, std::move(v));
    const auto cosine = korvane_index::Metric::Cosine;
    std::vector<std::size_t> fresh;
    if (dead_ * 16 < vectors_.size()) {
      index_.mark_deleted(gone);
      index_.repair_around(gone, access(), cosine);
      for (std::size_t s = first_new; s < vectors_.size(); ++s) fresh.push_back(s);
    } else {
      std::vector<std::uint32_t> number(vectors_.size(), HnswIndex::kNoNode);
      std::uint32_t next = 0;
      for (std::size_t s = 0; s < vectors_.size(); ++s) {
        if (live_[s] == 0) continue;
        if (s >= first_new) fresh.push_back(next);
        number[s] = next++;
      }
      index_.mark_deleted(gone);
      index_.purge(access(), cosine);  // reads live nodes only, at their old slots
      index_.renumber(number, next);
      std::vector<std::vector<float>> vectors;
      std::vector<std::size_t> record;
      for (std::size_t s = 0; s < number.size(); ++s) {
        if (live_[s] == 0) continue;
        vectors.push_back(std::move(vectors_[s]));
        record.push_back(record_[s]);
        slot_of_[record_[s]] = vectors.size() - 1;
      }
      vectors_ = std::move(vectors);
      record_ = std::move(record);
      live_.assign(vectors_.size(), 1);
      dead_ = 0;
    }
    index_.insert_all(fresh, access(), cosine, 0);
  }

  // Record numbers of the index's top 10 at ef, or (index null) of the exact top 10; adds to
  // reads the vectors the walk measured.
  std::vector<std::size_t> top10(const std::vector<float>& q, const HnswIndex* index,
                                 std::size_t ef, std::size_t& reads) const {
    std::vector<std::size_t> out;
    if (index == nullptr) {
      std::vector<std::pair<double, std::size_t>> all;
      for (std::size_t s = 0; s < vectors_.size(); ++s) {
        if (live_[s] == 0) continue;
        double dot = 0.0;
        for (std::size_t j = 0; j < q.size(); ++j) dot += double{q[j]} * vectors_[s][j];
        all.emplace_back(-dot, record_[s]);
      }
      std::partial_sort(all.begin(), all.begin() + 10, all.end());
      for (std::size_t i = 0; i < 10; ++i) out.push_back(all[i].second);
      return out;
    }
    auto counted = [&](std::size_t s) {
      ++reads;
      return std::span<const float>(vectors_[s]);
    };
    for (const auto& [node, value] : index->search(q, 10, ef, counted, korvane_index::Metric::Cosine)) {
      out.push_back(record_[node]);
    }
    return out;
  }

  // A fresh build over the live records at their slots.
  HnswIndex rebuilt() const {
    HnswIndex fresh(index_.config());
    std::vector<std::size_t> nodes;
    for (std::size_t s = 0; s < vectors_.size(); ++s) {
      if (live_[s] != 0) nodes.push_back(s);
    }
    fresh.insert_all(nodes, access(), korvane_index::Metric::Cosine, 0);
    return fresh;
  }

  const HnswIndex& index() const { return index_; }
  std::size_t live() const { return slot_of_.size(); }
  std::vector<std::size_t> records() const {
    std::vector<std::size_t> out;
    for (const auto& [r, s] : slot_of_) out.push_back(r);
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  void append(std::size_t r, std::vector<float> v) {
    slot_of_[r] = vectors_.size();
    vectors_.push_back(std::move(v));
    record_.push_back(r);
    live_.push_back(1);
  }
  std::function<std::span<const float>(std::size_t)> access() const {
    return [this](std::size_t s) { return std::span<const float>(vectors_[s]); };
  }

  HnswIndex index_;
  std::vector<std::vector<float>> vectors_;  // by slot
  std::vector<std::size_t> record_;          // by slot
  std::vector<std::uint8_t> live_;           // by slot
  std::size_t dead_ = 0;
  std::unordered_map<std::size_t, std::size_t> slot_of_;
};

// Recall@10, vectors measured per query and queries/s of the worn graph and of a fresh build at
// each ef, the two taking turns twice; the better queries/s of each pair of turns. The vectors
// measured are the cost at equal recall that load does not blur.
void compare_worn(const Worn& worn, const std::vector<std::vector<float>>& queries,
                  const std::vector<std::size_t>& efs, double share) {
  std::vector<std::unordered_set<std::size_t>> exact;
  for (const auto& q : queries) {
    std::size_t reads = 0;
    const auto t = worn.top10(q, nullptr, 0, reads);
    exact.emplace_back(t.begin(), t.end());
  }
  const double c0 = cpu_now();
  const HnswIndex fresh = worn.rebuilt();
  const double build_cpu = cpu_now() - c0;
  for (const std::size_t ef : efs) {
    double recall[2] = {0, 0}, qps[2] = {0, 0}, reads[2] = {0, 0};
    for (int turn = 0; turn < 4; ++turn) {
      const HnswIndex* index = turn % 2 == 0 ? &worn.index() : &fresh;
      std::size_t found = 0, read = 0;
      const double t0 = now();
      for (std::size_t i = 0; i < queries.size(); ++i) {
        for (const std::size_t r : worn.top10(queries[i], index, ef, read)) found += exact[i].contains(r);
      }
      const double rate = static_cast<double>(queries.size()) / (now() - t0);
      recall[turn % 2] = static_cast<double>(found) / (10.0 * queries.size());
      reads[turn % 2] = static_cast<double>(read) / static_cast<double>(queries.size());
      qps[turn % 2] = std::max(qps[turn % 2], rate);
    }
    std::printf("deleted=%.2f,live=%zu,ef=%zu,worn_recall=%.4f,fresh_recall=%.4f,worn_reads=%.0f,"
                "fresh_reads=%.0f,worn_qps=%.0f,fresh_qps=%.0f,fresh_build_cpu_s=%.1f\n",
                share, worn.live(), ef, recall[0], recall[1], reads[0], reads[1], qps[0], qps[1],
                build_cpu);
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
    const auto queries = fill_and_draw_queries(*store, e, n);
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
    const auto queries = fill_and_draw_queries(*store, e, n);
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
  if (mode == "wear" && argc == 4) {
    // 3 of 4 operations replace a random record and 1 deletes one until a tenth of the records
    // is deleted (30 % replaced and 10 % deleted leave deleted nodes at 44 % of the live
    // records); replacements only after that, 100 operations a write.
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const std::size_t dim = std::strtoull(argv[3], nullptr, 10);
    Embeddings e(dim, 2);
    Worn worn{HnswIndex(config(16, 200, 0))};
    worn.fill(e, n);
    std::vector<std::vector<float>> queries;
    for (int q = 0; q < 200; ++q) queries.push_back(e.next());
    std::vector<std::size_t> alive = worn.records();
    std::mt19937 gen(9);
    std::size_t next_record = n, deleted = 0, op = 0;
    const double marks[] = {0.25, 0.44, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0};
    std::size_t mark = 0;
    double write_s = 0.0;
    while (mark < std::size(marks)) {
      std::vector<std::size_t> removed;
      std::vector<std::pair<std::size_t, std::vector<float>>> added;
      const std::size_t first_of_write = next_record;
      for (int i = 0; i < 100; ++i, ++op) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, alive.size() - 1)(gen);
        const std::size_t r = alive[at];
        if (r >= first_of_write || std::find(removed.begin(), removed.end(), r) != removed.end()) {
          continue;
        }
        removed.push_back(r);
        if (deleted < n / 10 && op % 4 == 3) {
          alive[at] = alive.back();
          alive.pop_back();
          ++deleted;
        } else {
          alive[at] = next_record;
          added.emplace_back(next_record++, e.next());
        }
      }
      const double t0 = now();
      worn.write(removed, std::move(added));
      write_s += now() - t0;
      const double share = static_cast<double>(worn.index().deleted_total()) /
                           static_cast<double>(worn.live());
      if (share >= marks[mark]) {
        std::printf("writes_s=%.1f deleted_since_build=%zu\n", write_s,
                    worn.index().deleted_total());
        compare_worn(worn, queries, efs, share);
        while (mark < std::size(marks) && share >= marks[mark]) ++mark;
      }
    }
    return 0;
  }
  std::fprintf(stderr,
               "usage: %s build N DIM M EF_CONSTRUCTION THREADS | churn N DIM [REPLACED%% DELETED%%] | writes N DIM | wear N DIM\n",
               argv[0]);
  return 2;
}
