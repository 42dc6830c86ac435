// Queries/s of the graph walk over one saved graph, so that two builds of the walk can be timed
// on exactly the same links:
//
//   walk_bench DATA GROUND_TRUTH GRAPH EF[,EF...] [ROUNDS]
//
// DATA and GROUND_TRUTH are laid out as bench_hnsw reads them (walk_data.py writes both); the
// metric is cosine, the index m 16, m_max0 32, ef_construction 100, Diverse links. When GRAPH
// does not exist the index is built on one thread and saved there first. Each width runs every
// query ROUNDS times (default 3) and reports the best round's queries/s (thread CPU time),
// recall@k and a digest of every result's ids and score bits: two builds of the walk that
// answer alike print the same digest. The vectors are held in the store's own arena, so that
// they sit in the same kind of pages as a store's.
// Output: ef,recall,qps,digest
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_io.h"
#include "index/hnsw.h"
#include "storage/record_table.h"

using korvane_index::Metric;
using korvane_index::hnsw::HnswConfig;
using korvane_index::hnsw::HnswIndex;

namespace {

using korvane_bench::read_all;
using korvane_bench::thread_seconds;

std::uint64_t mix(std::uint64_t h, std::uint64_t x) { return (h ^ x) * 0x100000001b3ull; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: %s DATA GROUND_TRUTH GRAPH EF[,EF...] [ROUNDS]\n", argv[0]);
    return 2;
  }
  std::FILE* df = std::fopen(argv[1], "rb");
  std::FILE* gf = std::fopen(argv[2], "rb");
  if (!df || !gf) {
    std::fprintf(stderr, "cannot open input\n");
    return 2;
  }
  const auto head = read_all<std::uint32_t>(df, 3);
  const std::size_t n = head[0], nq = head[1], dim = head[2];
  // The vectors live where the store keeps them, so that their pages are the store's too.
  korvane_storage::FloatArena base;
  base.reserve(n * dim);
  base.push(read_all<float>(df, n * dim));
  const std::vector<float> queries = read_all<float>(df, nq * dim);
  const auto ghead = read_all<std::uint32_t>(gf, 2);
  const std::size_t k = ghead[1];
  const auto truth = read_all<std::uint32_t>(gf, ghead[0] * k);
  const std::size_t rounds = argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 3;

  auto access = [&](std::size_t i) { return std::span<const float>(base.data() + i * dim, dim); };
  const Metric metric = Metric::Cosine;
  HnswConfig config{16, 16, 32, 100, 0, 1.0f / std::log(16.0f)};
  config.neighbors = korvane_index::hnsw::Neighbors::Diverse;
  config.threads = 1;

  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  HnswIndex index(config);
  if (std::FILE* f = std::fopen(argv[3], "rb")) {
    std::string bytes;
    char buf[1 << 16];
    for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, got);
    std::fclose(f);
    auto loaded = HnswIndex::load_graph(config, bytes, n);
    if (!loaded) {
      std::fprintf(stderr, "%s does not hold a graph of these records\n", argv[3]);
      return 2;
    }
    index = std::move(*loaded);
  } else {
    index.insert_all(order, access, metric, 1);
    std::string bytes;
    index.save_graph(order, bytes);
    std::FILE* out = std::fopen(argv[3], "wb");
    if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) return 2;
    std::fclose(out);
  }

  for (char* s = argv[4]; *s;) {
    const std::size_t ef = std::strtoull(s, &s, 10);
    if (*s == ',') ++s;
    double best = 0;
    std::size_t hits = 0;
    std::uint64_t digest = 0xcbf29ce484222325ull;
    for (std::size_t r = 0; r < rounds; ++r) {
      std::vector<std::vector<std::pair<std::size_t, float>>> answers(nq);
      const double t0 = thread_seconds();
      for (std::size_t q = 0; q < nq; ++q) {
        answers[q] = index.search({&queries[q * dim], dim}, k, ef, access, metric);
      }
      const double qps = nq / (thread_seconds() - t0);
      if (qps > best) best = qps;
      if (r > 0) continue;
      for (std::size_t q = 0; q < nq; ++q) {
        for (const auto& [node, value] : answers[q]) {
          std::uint32_t bits;
          std::memcpy(&bits, &value, 4);
          digest = mix(mix(digest, node), bits);
          for (std::size_t i = 0; i < k; ++i) hits += truth[q * k + i] == node;
        }
      }
    }
    std::printf("%zu,%.4f,%.1f,%016llx\n", ef, static_cast<double>(hits) / (nq * k), best,
                static_cast<unsigned long long>(digest));
  }
  return 0;
}
