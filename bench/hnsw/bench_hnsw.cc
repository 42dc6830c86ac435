// Benchmark driver for the graph index: builds it single-threaded over a data file, then runs
// every query at each beam width given and prints one CSV row per width.
//
//   bench_hnsw DATA GROUND_TRUTH METRIC M EF_CONSTRUCTION EF[,EF...] [nearest|diverse]
//
// Built by `make bench` (the CMake option KORVANE_BUILD_BENCH) as build/bench/bench/bench_hnsw.
// compare.py writes the two input files and runs it. The index gets m_max = m, m_max0 = 2m and
// ml = 1 / ln m, the usual pairing; links are chosen the Nearest way unless `diverse` is given.
//
// DATA: uint32 n, uint32 queries, uint32 dim, then n * dim base floats and queries * dim query
// floats, little-endian. GROUND_TRUTH: uint32 queries, uint32 k, then queries * k uint32 exact
// neighbour numbers, nearest first. METRIC: cosine, dot, euclidean or manhattan.
// Output: impl,metric,n,dim,m,ef_construction,build_s,ef,recall,qps (times in thread CPU time)
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

using korvane_index::Metric;
using korvane_index::hnsw::HnswConfig;
using korvane_index::hnsw::HnswIndex;

namespace {

using korvane_bench::read_all;
using korvane_bench::thread_seconds;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr,
                 "usage: %s DATA GROUND_TRUTH METRIC M EF_CONSTRUCTION EF[,EF...] "
                 "[nearest|diverse]\n",
                 argv[0]);
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
  const std::vector<float> base = read_all<float>(df, n * dim);
  const std::vector<float> queries = read_all<float>(df, nq * dim);
  const auto ghead = read_all<std::uint32_t>(gf, 2);
  const std::size_t k = ghead[1];
  const std::vector<std::uint32_t> truth = read_all<std::uint32_t>(gf, ghead[0] * k);

  const std::string name = argv[3];
  const Metric metric = name == "cosine"      ? Metric::Cosine
                        : name == "dot"       ? Metric::Dot
                        : name == "euclidean" ? Metric::Euclidean
                                              : Metric::Manhattan;
  const std::size_t m = std::strtoull(argv[4], nullptr, 10);
  const std::size_t ef_c = std::strtoull(argv[5], nullptr, 10);

  auto access = [&](std::size_t i) { return std::span<const float>(&base[i * dim], dim); };
  HnswConfig config{m, m, 2 * m, ef_c, 0, 1.0f / std::log(static_cast<float>(m))};
  if (argc == 8 && std::strcmp(argv[7], "diverse") == 0) {
    config.neighbors = korvane_index::hnsw::Neighbors::Diverse;
  }
  HnswIndex index(config);
  const double t0 = thread_seconds();
  for (std::size_t i = 0; i < n; ++i) index.insert(i, access(i), access, metric);
  const double build_s = thread_seconds() - t0;

  std::vector<std::size_t> efs;
  for (char* s = argv[6]; *s;) {
    efs.push_back(std::strtoull(s, &s, 10));
    if (*s == ',') ++s;
  }
  for (std::size_t ef : efs) {
    std::size_t hits = 0;
    const double q0 = thread_seconds();
    std::vector<std::vector<std::pair<std::size_t, float>>> answers(nq);
    for (std::size_t q = 0; q < nq; ++q) {
      answers[q] = index.search(std::span<const float>(&queries[q * dim], dim), k, ef, access,
                                metric);
    }
    const double qs = thread_seconds() - q0;
    for (std::size_t q = 0; q < nq; ++q) {
      for (const auto& [node, value] : answers[q]) {
        for (std::size_t i = 0; i < k; ++i) hits += truth[q * k + i] == node;
      }
    }
    std::printf("korvane,%s,%zu,%zu,%zu,%zu,%.4f,%zu,%.4f,%.1f\n", name.c_str(), n, dim, m, ef_c,
                build_s, ef, static_cast<double>(hits) / (nq * k), nq / qs);
  }
  return 0;
}
