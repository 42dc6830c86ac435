// The scan with and without the 8-bit first pass, side by side in one process, on data of
// several kinds: embedding-like (a latent gaussian of low dimension mapped linearly, plus a
// little noise, normalized) and the kinds that defeat the bounds (uniform random, duplicates,
// all equal, zero vectors, stored magnitudes from 2^-60 to 2^60). Single queries (k 10) and one
// search_batch of 64 queries, plus the memory floor (every float read once on all cores).
//
//   compact_bench [N=100000] [D=384] [queries=20] [kinds=embed,uniform,dup,equal,zero,mag]
//                 [metrics=cos] [--json FILE] [--block B=5]
//                 [--profile single|batch|floor]
//
// --profile runs only the search (single queries or batches of 64) or the floor for a few seconds after
// each store is built, for a profiler to look at, and prints the mean time of one.
//
// Medians of interleaved runs; the ratio columns are first pass / plain. Nothing is asserted.
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "timing.h"
#include "core/prefilter.h"
#include "storage/compact_copy.h"
#include "core/store_internals.h"
#include "korvane/korvane.h"

namespace {

using korvane_core::StoreInternals;

using korvane_core::Korvane;
using korvane_core::Metric;

using korvane_bench::floor_sum;
using korvane_bench::median;
using korvane_bench::ms_since;

// n vectors of dimension d of one kind, row after row; seed apart for the queries.
std::vector<float> make(const std::string& kind, std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> x(n * d, 0.0f);
  constexpr std::size_t kLatent = 24;
  static std::vector<float> basis;  // one map for a store and its queries
  if (basis.size() != kLatent * d) {
    std::mt19937 brng(99);
    basis.resize(kLatent * d);
    for (float& b : basis) b = normal(brng);
  }
  auto embed = [&](float* v) {
    for (std::size_t l = 0; l < kLatent; ++l) {
      const float z = normal(rng) / static_cast<float>(1 + l / 4);  // falling spectrum
      for (std::size_t i = 0; i < d; ++i) v[i] += z * basis[l * d + i];
    }
    double s = 0;
    for (std::size_t i = 0; i < d; ++i) {
      v[i] += 0.3f * normal(rng);
      s += static_cast<double>(v[i]) * v[i];
    }
    const float inv = static_cast<float>(1.0 / std::sqrt(s));
    for (std::size_t i = 0; i < d; ++i) v[i] *= inv;
  };
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (std::size_t r = 0; r < n; ++r) {
    float* v = x.data() + r * d;
    if (kind == "embed") {
      embed(v);
    } else if (kind == "uniform") {
      for (std::size_t i = 0; i < d; ++i) v[i] = uniform(rng);
    } else if (kind == "dup") {  // a thousand vectors, each a hundred times (queries: fresh)
      if (seed < 1000 && r >= 1000) {
        std::memcpy(v, x.data() + (r % 1000) * d, d * sizeof(float));
      } else {
        embed(v);
      }
    } else if (kind == "equal") {
      for (std::size_t i = 0; i < d; ++i) v[i] = 0.05f;
    } else if (kind == "zero") {
      if (seed >= 1000) embed(v);  // queries are not zero; every record is
    } else if (kind == "mag") {  // queries: of ordinary magnitude
      embed(v);
      if (seed >= 1000) continue;
      const float scale = std::ldexp(1.0f, static_cast<int>(rng() % 121) - 60);
      for (std::size_t i = 0; i < d; ++i) v[i] *= scale;
    }
  }
  return x;
}

// Processor time of the whole process so far, all threads.
double cpu_ms() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

Metric metric_named(const std::string& m) {
  if (m == "dot") return Metric::Dot;
  if (m == "l2") return Metric::Euclidean;
  if (m == "l1") return Metric::Manhattan;
  return Metric::Cosine;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> pos;
  std::string json_path, profile;
  std::size_t block = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--json" && i + 1 < argc) {
      json_path = argv[++i];
    } else if (std::string(argv[i]) == "--block" && i + 1 < argc) {
      block = std::max(1ul, std::stoul(argv[++i]));
    } else if (std::string(argv[i]) == "--profile" && i + 1 < argc) {
      profile = argv[++i];
    } else {
      pos.push_back(argv[i]);
    }
  }
  const std::size_t n = pos.size() > 0 ? std::stoul(pos[0]) : 100000;
  const std::size_t d = pos.size() > 1 ? std::stoul(pos[1]) : 384;
  const std::size_t nq = pos.size() > 2 ? std::stoul(pos[2]) : 20;
  std::string kinds = pos.size() > 3 ? pos[3] : "embed,uniform,dup,equal,zero,mag";
  std::string metrics = pos.size() > 4 ? pos[4] : "cos";
  auto split = [](std::string s) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= s.size()) {
      const std::size_t comma = s.find(',', at);
      out.push_back(s.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    return out;
  };
  double load[3];
  ::getloadavg(load, 3);
  std::printf("N %zu, d %zu, k 10, %zu queries, %zu at a time each way; load %.2f %.2f %.2f\n", n,
              d, nq, block, load[0], load[1], load[2]);
  std::printf("%-8s %-4s %9s %9s %7s %9s %8s | %10s %10s %7s | %8s %8s %6s\n", "kind", "met",
              "plain_ms", "first_ms", "ratio", "floor_ms", "fp/floor", "batch_plain", "batch_fp",
              "ratio", "open_s", "encode_s", "bytes");
  std::FILE* json = json_path.empty() ? nullptr : std::fopen(json_path.c_str(), "w");
  if (json) std::fprintf(json, "{\"n\": %zu, \"d\": %zu, \"load\": %.2f, \"rows\": [\n", n, d, load[0]);
  bool first_row = true;
  for (const std::string& kind : split(kinds)) {
    const std::vector<float> x = make(kind, n, d, 1);
    const std::vector<float> qs = make(kind, nq < 64 ? 64 : nq, d, 1001);
    for (const std::string& mname : split(metrics)) {
      const Metric metric = metric_named(mname);
      const std::string path = "/dev/shm/korvane_compact_bench_" + std::to_string(::getpid()) + ".db";
      std::remove(path.c_str());
      {
        auto made = Korvane::open(path, metric);
        if (!made) return 1;
        korvane_core::WriteBatch batch;
        for (std::size_t r = 0; r < n; ++r) {
          char id[16];
          std::snprintf(id, sizeof id, "r%07zu", r);
          batch.insert(id, std::vector<float>(x.begin() + r * d, x.begin() + (r + 1) * d), std::nullopt);
        }
        if (!(*made)->write(std::move(batch))) return 1;
      }
      const auto t_open = std::chrono::steady_clock::now();
      auto opened = Korvane::open(path, metric);
      const double open_s = ms_since(t_open) / 1e3;
      if (!opened) return 1;
      const Korvane& store = **opened;
      // What open spends on the copy: encoding every vector into its halves, on one thread.
      std::vector<std::uint8_t> highs((d + 1) / 2), lows((d + 1) / 2);
      korvane_storage::CompactMeta meta;
      korvane_storage::CoarseMeta coarse;
      const auto t_enc = std::chrono::steady_clock::now();
      for (std::size_t r = 0; r < n; ++r) {
        korvane_storage::CompactCopy::encode_halves({x.data() + r * d, d}, highs.data(),
                                                    lows.data(), meta, coarse);
      }
      const double encode_s = ms_since(t_enc) / 1e3;
      const double copy_ratio = static_cast<double>(StoreInternals::table(store).compact_copy().bytes()) /
                                (static_cast<double>(n) * d * sizeof(float));

      std::vector<double> plain, fast, floor;
      volatile float sink = 0;
      std::vector<std::span<const float>> batch_q;
      for (std::size_t q = 0; q < 64; ++q) batch_q.emplace_back(qs.data() + q * d, d);
      if (!profile.empty()) {
        const auto t0 = std::chrono::steady_clock::now();
        std::size_t done = 0;
        const double cpu0 = cpu_ms();
        for (std::size_t q = 0; ms_since(t0) < 4000.0; q = (q + 1) % nq, ++done) {
          if (profile == "floor") {
            sink = sink + floor_sum(x);
          } else if (profile == "batch") {
            sink = sink + (store.search_batch(batch_q, 10) ? 1.0f : 0.0f);
          } else {
            sink = sink + (store.search(std::span<const float>(qs.data() + q * d, d), 10) ? 1.0f : 0.0f);
          }
        }
        std::fprintf(stderr, "%s %s: %.3f ms a %s, %.3f ms of processor time\n", kind.c_str(),
                     mname.c_str(), ms_since(t0) / static_cast<double>(done), profile.c_str(),
                     (cpu_ms() - cpu0) / static_cast<double>(done));
        opened->reset();
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
        continue;
      }
      // The queries plain, with the first pass and the floor, `block` queries at a time each
      // in turn, so that a change of load falls on all three alike. With --block 1 every query
      // starts with the caches full of the other side's data.
      for (std::size_t from = 0; from < nq; from += block) {
        for (int mode = 0; mode < 3; ++mode) {
          korvane_core::prefilter::set_enabled(mode == 1);
          for (std::size_t q = from; q < std::min(nq, from + block); ++q) {
            const auto t0 = std::chrono::steady_clock::now();
            if (mode == 2) {
              sink = sink + floor_sum(x);
            } else {
              auto r = store.search(std::span<const float>(qs.data() + q * d, d), 10);
              sink = sink + (r ? static_cast<float>(r->size()) : 0.0f);
            }
            (mode == 0 ? plain : mode == 1 ? fast : floor).push_back(ms_since(t0));
          }
        }
      }
      // Same answers both ways (the tests check this thoroughly; here a cheap sanity look).
      for (std::size_t q = 0; q < 3; ++q) {
        std::span<const float> qq(qs.data() + q * d, d);
        korvane_core::prefilter::set_enabled(false);
        auto a = store.search(qq, 10);
        korvane_core::prefilter::set_enabled(true);
        auto b = store.search(qq, 10);
        for (std::size_t i = 0; i < a->size(); ++i) {
          if ((*a)[i].id != (*b)[i].id || (*a)[i].score != (*b)[i].score) {
            std::printf("MISMATCH %s\n", kind.c_str());
            return 2;
          }
        }
      }
      std::vector<double> bplain, bfast;
      for (int round = 0; round < 5; ++round) {
        for (int mode = 0; mode < 2; ++mode) {
          korvane_core::prefilter::set_enabled(mode == 1);
          const auto t0 = std::chrono::steady_clock::now();
          auto r = store.search_batch(batch_q, 10);
          (mode == 0 ? bplain : bfast).push_back(ms_since(t0));
          sink = sink + (r ? 1.0f : 0.0f);
        }
      }
      korvane_core::prefilter::set_enabled(true);
      const double p = median(plain), f = median(fast), fl = median(floor);
      const double bp = median(bplain), bf = median(bfast);
      std::printf("%-8s %-4s %9.3f %9.3f %7.3f %9.3f %8.3f | %10.2f %10.2f %7.3f | %8.2f %8.3f %6.3f\n",
                  kind.c_str(), mname.c_str(), p, f, f / p, fl, f / fl, bp, bf, bf / bp, open_s,
                  encode_s, copy_ratio);
      std::fflush(stdout);
      if (json) {
        std::fprintf(json,
                     "%s {\"kind\": \"%s\", \"metric\": \"%s\", \"plain\": %.4f, \"first\": %.4f, "
                     "\"floor\": %.4f, \"batch_plain\": %.3f, \"batch_first\": %.3f, \"open_s\": %.3f, "
                     "\"encode_s\": %.3f, \"copy_ratio\": %.4f}\n",
                     first_row ? "" : ",", kind.c_str(), mname.c_str(), p, f, fl, bp, bf, open_s,
                     encode_s, copy_ratio);
        first_row = false;
      }
      opened->reset();
      for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
  }
  ::getloadavg(load, 3);
  std::printf("load after %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  if (json) {
    std::fprintf(json, "], \"load_after\": %.2f}\n", load[0]);
    std::fclose(json);
  }
  return 0;
}
