// The 8-bit first pass: its intervals against float64 truth and the float kernels, and searches
// through it against the search as defined, on many random stores.
#include <gtest/gtest.h>
#include <unistd.h>
#if defined(__aarch64__)
#include <sys/auxv.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "index/compact.h"
#include "core/prefilter.h"
#include "index/compact_kernels.h"
#include "storage/compact_copy.h"
#include "korvane/korvane.h"
#include "index/metric.h"
#include "store_fixture.h"

namespace korvane_core {
namespace {

namespace compact = korvane_index::compact;
constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::Euclidean, Metric::Manhattan};

// The kernel versions this processor runs, the chosen one first; each test leaves it chosen.
std::vector<std::string> Versions() {
  const std::string chosen = compact::code_kernel_name();
  std::vector<std::string> out{chosen};
  for (const char* name : {"avx512vnni", "avx2", "neon-sdot", "neon", "portable"}) {
    if (name != chosen && compact::use_code_kernels(name)) out.push_back(name);
  }
  compact::use_code_kernels(chosen.c_str());
  return out;
}

// Vectors of the kinds a store meets: low-rank ("embedding-like"), plain random, a few values
// (ties), all equal, zero, and magnitudes from 2^-100 to 2^50 (stored sums of squares stay finite).
std::vector<float> Draw(std::mt19937& rng, std::size_t n, int kind, const std::vector<float>& basis,
                        std::size_t rank) {
  std::normal_distribution<float> normal;
  std::vector<float> v(n, 0.0f);
  switch (kind) {
    case 0: {  // a latent gaussian of low dimension mapped linearly
      for (std::size_t r = 0; r < rank; ++r) {
        const float z = normal(rng);
        for (std::size_t i = 0; i < n; ++i) v[i] += z * basis[r * n + i];
      }
      break;
    }
    case 1:
      for (float& x : v) x = normal(rng);
      break;
    case 2:
      for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 5) - 2) * 0.5f;
      break;
    case 3:
      std::fill(v.begin(), v.end(), 0.75f);
      break;
    case 4:
      break;
    default: {
      const float scale = std::ldexp(1.0f, static_cast<int>(rng() % 150) - 100);
      for (float& x : v) x = normal(rng) * scale;
    }
  }
  return v;
}

// The scores the float kernel gives sit inside the intervals, and so does the real value; on
// ordinary data the intervals are narrow enough to be worth having.
TEST(CompactBound, HoldsTheKernelScoreAndTheExactValue) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  const std::vector<std::string> versions = Versions();
  std::size_t narrow = 0, ordinary = 0, coarse_narrow = 0, coarse_ordinary = 0;
  std::size_t l1_narrow = 0, l1_ordinary = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t n = trial < 1536 ? static_cast<std::size_t>(trial) + 1 : 1 + rng() % 1536;
    std::vector<float> basis(8 * n);
    for (float& b : basis) b = normal(rng);
    const int qkind = static_cast<int>(rng() % 6), xkind = static_cast<int>(rng() % 6);
    const std::vector<float> q = Draw(rng, n, qkind, basis, 8);
    const std::vector<float> x = Draw(rng, n, xkind, basis, 8);
    std::vector<std::uint8_t> codes(n), halves((n + 1) / 2);
    const korvane_storage::CompactMeta m = korvane_storage::CompactCopy::encode(x, codes.data());
    const compact::CodeMeta meta{m.offset, m.step, m.residual, m.norm};
    const korvane_storage::CoarseMeta c =
        korvane_storage::CompactCopy::encode_coarse(x, codes.data(), m, halves.data());
    const compact::CodeMeta coarse{c.offset, 16.0f * m.step, c.residual, m.norm};
    double dot = 0, qq = 0, xx = 0, dd = 0;
    for (std::size_t i = 0; i < n; ++i) {
      dot += static_cast<double>(q[i]) * x[i];
      qq += static_cast<double>(q[i]) * q[i];
      xx += static_cast<double>(x[i]) * x[i];
      dd += (static_cast<double>(q[i]) - x[i]) * (static_cast<double>(q[i]) - x[i]);
    }
    // Manhattan's interval from the codes themselves: every version's sum gives the same one.
    if (const compact::CompactQuery cq(Metric::Manhattan, q); cq.usable()) {
      double l1 = 0;
      for (std::size_t i = 0; i < n; ++i) l1 += std::fabs(static_cast<double>(q[i]) - x[i]);
      const float kernel = korvane_index::distance(Metric::Manhattan, q, x);
      const std::string where = "n " + std::to_string(n) + " kinds " + std::to_string(qkind) +
                                "/" + std::to_string(xkind) + " manhattan";
      compact::Interval first{};
      for (std::size_t v = 0; v < versions.size(); ++v) {
        ASSERT_TRUE(compact::use_code_kernels(versions[v].c_str()));
        const compact::Interval b = cq.manhattan_bound(codes.data(), meta);
        ASSERT_LE(b.lo, kernel) << where;
        ASSERT_GE(b.hi, kernel) << where;
        if (std::isfinite(b.hi)) {
          ASSERT_LE(b.lo, l1) << where;
          ASSERT_GE(b.hi, l1) << where;
        }
        if (v == 0) first = b;
        ASSERT_EQ(b.lo, first.lo) << where << " " << versions[v];
        ASSERT_EQ(b.hi, first.hi) << where << " " << versions[v];
      }
      compact::use_code_kernels(versions[0].c_str());
      if (qkind == 0 && xkind == 0 && n >= 64) {
        ++l1_ordinary;
        l1_narrow += first.hi - first.lo < 0.05 * l1;
      }
    }
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
      for (int planes : {1, 2}) {
        const compact::CompactQuery cq(metric, q, planes);
        if (!cq.usable()) continue;
        std::int32_t dots[2];
        for (int p = 0; p < planes; ++p) {
          dots[p] = compact::code_dot(codes.data(), cq.plane(p), n);
          ASSERT_EQ(dots[p], compact::code_dot_portable(codes.data(), cq.plane(p), n));
        }
        // planes 1: the coarse look's interval from the packed high halves, then the codes'.
        std::int32_t halves_dot = 0;
        const compact::SplitPlane split(cq.plane(0), n);
        const std::uint8_t* row = halves.data();
        split.dots(&row, 1, &halves_dot);
        ASSERT_EQ(halves_dot, compact::nibble_dot_portable(row, split));
        const compact::Interval b = planes == 1 && trial % 2 == 1 ? cq.bound(&halves_dot, coarse)
                                                                  : cq.bound(dots, meta);
        const float kernel = korvane_index::distance(metric, q, x);
        const double truth = metric == Metric::Dot    ? dot
                             : metric == Metric::Euclidean ? std::sqrt(dd)
                             : xx == 0 ? 0.0
                                       : dot / std::sqrt(qq * xx);
        const std::string where = "n " + std::to_string(n) + " kinds " + std::to_string(qkind) +
                                  "/" + std::to_string(xkind) + " metric " +
                                  std::to_string(static_cast<int>(metric));
        ASSERT_LE(b.lo, kernel) << where;
        ASSERT_GE(b.hi, kernel) << where;
        if (std::isfinite(b.lo) && std::isfinite(b.hi)) {
          ASSERT_LE(b.lo, truth) << where;
          ASSERT_GE(b.hi, truth) << where;
        }
        // A decayed score stays inside the scaled interval.
        for (float factor : {0.5f, 0.0f, 1.7f, -0.25f}) {
          const compact::Interval s = compact::CompactQuery::scaled(b, factor);
          const float decayed = kernel * factor;
          if (!std::isnan(decayed)) {
            ASSERT_LE(s.lo, decayed) << where;
            ASSERT_GE(s.hi, decayed) << where;
          }
        }
        if (metric == Metric::Cosine && qkind == 0 && xkind == 0 && n >= 64) {
          if (planes == 2) {
            ++ordinary;
            narrow += b.hi - b.lo < 0.1;
          } else if (trial % 2 == 1) {
            ++coarse_ordinary;
            coarse_narrow += b.hi - b.lo < 0.5;
          }
        }
      }
    }
  }
  ASSERT_GT(ordinary, 20u);
  EXPECT_EQ(narrow, ordinary);
  ASSERT_GT(l1_ordinary, 20u);
  EXPECT_EQ(l1_narrow, l1_ordinary);
  ASSERT_GT(coarse_ordinary, 10u);
  EXPECT_EQ(coarse_narrow, coarse_ordinary);
}

// Every version the processor runs, not only the chosen one: the kernels over many rows and many
// queries (interleaved planes, rows four at a time, short last groups) and over the packed high
// halves give the portable products, and their keys hold the kernel's score.
// The store keeps only the halves of the codes: made in one go, they carry the codes and numbers
// encode() and encode_coarse() make, and unpack back to those codes at every length's tail.
TEST(CompactBound, HalvesJoinBackToTheCodes) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  for (std::size_t n = 0; n < 200; n += n < 70 ? 1 : 41) {
    std::vector<float> basis(8 * n);
    for (float& b : basis) b = normal(rng);
    for (int kind = 0; kind < 8; ++kind) {
      std::vector<float> x = Draw(rng, n, std::min(kind, 5), basis, 8);
      if (kind == 6 && n > 0) x[n / 2] = std::numeric_limits<float>::infinity();
      if (kind == 7 && n > 0) x[n / 2] = 0x1p125f;  // too long to bound
      const std::size_t half = (n + 1) / 2;
      std::vector<std::uint8_t> codes(n), highs(half), got_highs(half, 0xA5), lows(half, 0xA5);
      const korvane_storage::CompactMeta m = korvane_storage::CompactCopy::encode(x, codes.data());
      const korvane_storage::CoarseMeta c =
          korvane_storage::CompactCopy::encode_coarse(x, codes.data(), m, highs.data());
      korvane_storage::CompactMeta got_m;
      korvane_storage::CoarseMeta got_c;
      korvane_storage::CompactCopy::encode_halves(x, got_highs.data(), lows.data(), got_m, got_c);
      ASSERT_EQ(got_highs, highs) << "n " << n << " kind " << kind;
      ASSERT_EQ(std::memcmp(&got_m, &m, sizeof m), 0) << "n " << n << " kind " << kind;
      ASSERT_EQ(std::memcmp(&got_c, &c, sizeof c), 0) << "n " << n << " kind " << kind;
      std::vector<std::uint8_t> joined(n + 1, 0xA5);
      compact::unpack_halves(highs.data(), lows.data(), n, joined.data());
      ASSERT_EQ(joined[n], 0xA5) << "n " << n;  // nothing written past the row
      joined.pop_back();
      ASSERT_EQ(joined, codes) << "n " << n << " kind " << kind;
      if (n == 0) continue;
      // A survivor's fine products from its halves are those of its codes.
      const compact::CompactQuery cq(Metric::Dot, Draw(rng, n, 1, basis, 8), 2);
      const compact::SplitPlane first(cq.plane(0), n), second(cq.plane(1), n);
      std::int32_t first_high = 0, got[2] = {0, 0};
      const std::uint8_t* high = highs.data();
      first.dots(&high, 1, &first_high);
      prefilter::halves_dots(first, &second, first_high, highs.data(), lows.data(), got);
      for (int p = 0; p < 2; ++p) {
        ASSERT_EQ(got[p], compact::code_dot_portable(codes.data(), cq.plane(p), n)) << "n " << n;
      }
    }
  }
}

TEST(CompactBound, BlockKernelsEqualThePortableProducts) {
  const std::vector<std::string> versions = Versions();
  for (const std::string& version : versions) {
    ASSERT_TRUE(compact::use_code_kernels(version.c_str()));
    std::mt19937 rng(11);
    std::normal_distribution<float> normal;
    for (std::size_t n : {1, 3, 4, 5, 63, 64, 65, 127, 128, 129, 383, 384, 385, 1536}) {
      std::vector<float> basis(8 * n);
      for (float& b : basis) b = normal(rng);
      const std::size_t rows_n = 9;
      std::vector<std::vector<float>> xs;
      const std::size_t half = (n + 1) / 2;
      std::vector<std::uint8_t> codes(rows_n * n), halves(rows_n * half);
      std::vector<compact::CodeMeta> metas;
      std::vector<const std::uint8_t*> rows, half_rows;
      for (std::size_t r = 0; r < rows_n; ++r) {
        xs.push_back(Draw(rng, n, r % 3 == 2 ? 5 : 0, basis, 8));
        const auto m = korvane_storage::CompactCopy::encode(xs.back(), codes.data() + r * n);
        korvane_storage::CompactCopy::encode_coarse(xs.back(), codes.data() + r * n, m,
                                                    halves.data() + r * half);
        metas.push_back({m.offset, m.step, m.residual, m.norm});
        rows.push_back(codes.data() + r * n);
        half_rows.push_back(halves.data() + r * half);
      }
      {
        const compact::CompactQuery cq(Metric::Dot, Draw(rng, n, 1, basis, 8), 1);
        const compact::SplitPlane split(cq.plane(0), n);
        std::vector<std::int32_t> got(rows_n);
        split.dots(half_rows.data(), rows_n, got.data());
        for (std::size_t r = 0; r < rows_n; ++r) {
          ASSERT_EQ(got[r], compact::nibble_dot_portable(half_rows[r], split))
            << version << " n " << n;
        }
      }
      // A batch's coarse look: every query's products with the high halves, at every count's
      // and row count's tail, and one query's with one row.
      for (std::size_t count : {1, 3, 4, 5, 8, 9, 64, 65}) {
        std::vector<compact::CompactQuery> cqs;
        for (std::size_t j = 0; j < count; ++j) {
          cqs.emplace_back(Metric::Dot, Draw(rng, n, j % 4 == 3 ? 1 : 0, basis, 8), 1);
        }
        const compact::HalvesBlock halves(cqs);
        for (std::size_t m : {rows_n, rows_n - 1}) {
          std::vector<std::int32_t> got(m * count, -1);
          halves.dots(half_rows.data(), m, got.data());
          for (std::size_t r = 0; r < m; ++r) {
            for (std::size_t j = 0; j < count; ++j) {
              const compact::SplitPlane split(cqs[j].plane(0), n);
              const std::int32_t want = compact::nibble_dot_portable(half_rows[r], split);
              ASSERT_EQ(got[r * count + j], want) << version << " n " << n << " count " << count;
              ASSERT_EQ(halves.dot(j, half_rows[r]), want) << version << " n " << n;
            }
          }
        }
      }
      for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
        for (std::size_t count : {1, 2, 7, 8, 17, 64, 65}) {
          const int planes = count == 2 ? 2 : 1 + static_cast<int>(count % 2);
          std::vector<compact::CompactQuery> cqs;
          std::vector<std::vector<float>> qs;
          for (std::size_t j = 0; j < count; ++j) {
            qs.push_back(Draw(rng, n, 0, basis, 8));
            cqs.emplace_back(metric, qs.back(), planes);
          }
          const compact::QueryBlock block(cqs);
          std::vector<std::int32_t> dots(rows_n * block.lanes());
          block.dots(rows.data(), rows_n, dots.data());
          std::vector<double> keys(count), by_record(rows_n);
          if (count == 1) block.record_keys(dots.data(), metas.data(), rows_n, by_record.data());
          for (std::size_t r = 0; r < rows_n; ++r) {
            const std::int32_t* row = dots.data() + r * block.lanes();
            for (std::size_t j = 0; j < count; ++j) {
              for (int p = 0; p < planes; ++p) {
                ASSERT_EQ(row[j * planes + p],
                          compact::code_dot_portable(rows[r], cqs[j].plane(p), n))
                    << version << " n " << n << " count " << count << " row " << r;
              }
            }
            block.upper_keys(row, metas[r], keys.data());
            {  // the portable keys, bit for bit
              std::vector<double> want(count);
              ASSERT_TRUE(compact::use_code_kernels("portable"));
              block.upper_keys(row, metas[r], want.data());
              ASSERT_TRUE(compact::use_code_kernels(version.c_str()));
              for (std::size_t j = 0; j < count; ++j) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(keys[j]), std::bit_cast<std::uint64_t>(want[j]))
                    << version << " n " << n << " count " << count << " row " << r;
              }
              // Floors at, just past and well past each key, and none, mixed or four queries
              // alike (where a distance's square roots may be skipped, or must not be): the
              // bits are the keys' comparisons.
              std::vector<double> floors(count), scratch(count);
              for (std::size_t j = 0; j < count; ++j) {
                const double w = want[j];
                const std::size_t g = j / 4 + r;
                switch (g % 3 == 0 ? 2 : g % 3 == 1 ? 0 : (j + r) % 5) {
                  case 0: floors[j] = w; break;
                  case 1: floors[j] = std::nextafter(w, HUGE_VAL); break;
                  case 2: floors[j] = w + std::fabs(w) * 0.5 + 1e-30; break;
                  case 3: floors[j] = w - std::fabs(w) * 0x1p-30; break;
                  default: floors[j] = -HUGE_VAL; break;
                }
              }
              std::vector<std::uint64_t> bits((count + 63) / 64, ~std::uint64_t{0});
              block.reaching(row, metas[r], floors.data(), scratch.data(), bits.data());
              for (std::size_t j = 0; j < count; ++j) {
                ASSERT_EQ((bits[j / 64] >> (j % 64)) & 1, !(want[j] < floors[j]) ? 1u : 0u)
                    << version << " n " << n << " count " << count << " row " << r << " j " << j;
              }
            }
            for (std::size_t j = 0; j < count; ++j) {
              const float score = korvane_index::distance(metric, qs[j], xs[r]);
              const double key = korvane_index::is_distance(metric) ? -score : score;
              ASSERT_GE(keys[j], key) << "n " << n << " count " << count << " row " << r;
            }
            if (count == 1) {
              ASSERT_EQ(by_record[r], keys[0]) << "n " << n << " row " << r;
            }
          }
        }
      }
    }
  }
  compact::use_code_kernels(versions[0].c_str());
}

// A single query's keys (one plane or two) come four records at a time on some versions:
// at every row count's tail, with vectors the bounds cannot serve among them (zero, too long,
// not finite, tiny), each key is the one-record key bit for bit.
TEST(CompactBound, RecordKeysEqualTheOneRecordKeys) {
  const std::vector<std::string> versions = Versions();
  std::mt19937 rng(23);
  std::normal_distribution<float> normal;
  const std::size_t n = 37;
  std::vector<float> basis(8 * n);
  for (float& b : basis) b = normal(rng);
  std::vector<std::vector<float>> xs;
  std::vector<compact::CodeMeta> metas;
  std::vector<std::uint8_t> codes(n);
  for (std::size_t r = 0; r < 13; ++r) {
    std::vector<float> x = Draw(rng, n, r % 5 == 4 ? 5 : 0, basis, 8);
    if (r == 2) std::fill(x.begin(), x.end(), 0.0f);
    if (r == 6) x[3] = 0x1p125f;
    if (r == 9) x[5] = std::numeric_limits<float>::infinity();
    if (r == 11) for (float& v : x) v *= 0x1p-60f;
    const auto m = korvane_storage::CompactCopy::encode(x, codes.data());
    metas.push_back({m.offset, m.step, m.residual, m.norm});
    xs.push_back(x);
  }
  std::vector<std::int32_t> dots(2 * metas.size());
  for (auto& d : dots) d = static_cast<std::int32_t>(rng() % 600000) - 300000;
  for (const std::string& version : versions) {
    ASSERT_TRUE(compact::use_code_kernels(version.c_str()));
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
      for (int planes : {1, 2}) {  // the coarse look's one, the codes' two
        const compact::CompactQuery cq(metric, Draw(rng, n, 0, basis, 8), planes);
        ASSERT_TRUE(cq.usable());
        const compact::QueryBlock block({&cq, 1});
        for (std::size_t rows = 1; rows <= metas.size(); ++rows) {
          std::vector<double> keys(rows);
          block.record_keys(dots.data(), metas.data(), rows, keys.data());
          for (std::size_t r = 0; r < rows; ++r) {
            double one = 0;
            block.upper_keys(&dots[r * planes], metas[r], &one);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(keys[r]), std::bit_cast<std::uint64_t>(one))
                << version << " metric " << static_cast<int>(metric) << " planes " << planes
                << " rows " << rows << " row " << r;
          }
        }
      }
    }
  }
  compact::use_code_kernels(versions[0].c_str());
}

#if defined(__aarch64__) || defined(__x86_64__)
// Every version this processor runs, not only the one chosen: every byte value (not only the
// codes and plane values the copies make), the extremes at the longest length (past the sums
// AVX2 keeps in 16 bits), every length up to 64 (each tail of sixteen and of thirty-two), and
// blocks of five rows against six planes in a wider stride (tiles of four and their remainders).
TEST(CompactBound, VectorKernelsEqualThePortableProducts) {
  namespace kernels = compact::kernels;
  struct Version {
    decltype(&compact::code_dot_portable) one;
    void (*many)(const std::uint8_t*, const std::int8_t* const*, std::size_t, std::size_t,
                 std::int32_t*);
    kernels::BlockDots block;
  };
  std::vector<Version> versions;
#if defined(__aarch64__)
  const bool sdot = (getauxval(AT_HWCAP) & HWCAP_ASIMDDP) != 0;
  EXPECT_STREQ(compact::code_kernel_name(), sdot ? "neon-sdot" : "neon");
  versions.push_back({kernels::code_dot_neon, kernels::code_dots_neon, kernels::block_dots_neon});
  if (sdot) {
    versions.push_back({kernels::code_dot_sdot, kernels::code_dots_sdot, kernels::block_dots_sdot});
  }
#else
  if (__builtin_cpu_supports("avx2")) {
    versions.push_back({kernels::code_dot_avx2, kernels::code_dots_avx2, kernels::block_dots_avx2});
  }
  if (__builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl")) {
    versions.push_back({kernels::code_dot_vnni, kernels::code_dots_vnni, kernels::block_dots_vnni});
  }
#endif
  constexpr std::size_t kRows = 5, kPlanes = 6, kLanes = 7;
  std::mt19937 rng(17);
  std::vector<std::size_t> lengths{100, 255, 256, 257, 384, 1536, 65536};
  for (std::size_t n = 1; n <= 64; ++n) lengths.push_back(n);
  for (std::size_t n : lengths) {
    std::vector<std::uint8_t> codes(kRows * n);
    std::vector<std::int8_t> values(kPlanes * n);
    for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
    for (auto& v : values) v = static_cast<std::int8_t>(rng());
    std::fill_n(codes.begin(), n, 255);
    std::fill_n(values.begin(), n, -128);
    std::fill_n(values.begin() + n, n, 127);
    std::vector<const std::uint8_t*> rows;
    std::vector<const std::int8_t*> planes;
    for (std::size_t r = 0; r < kRows; ++r) rows.push_back(codes.data() + r * n);
    for (std::size_t p = 0; p < kPlanes; ++p) planes.push_back(values.data() + p * n);
    std::vector<std::int32_t> want(kRows * kPlanes);
    for (std::size_t r = 0; r < kRows; ++r) {
      for (std::size_t p = 0; p < kPlanes; ++p) {
        want[r * kPlanes + p] = compact::code_dot_portable(rows[r], planes[p], n);
      }
    }
    ASSERT_EQ(want[0], -255 * 128 * static_cast<std::int32_t>(n));
    for (std::size_t v = 0; v < versions.size(); ++v) {
      std::vector<std::int32_t> many(kPlanes), block(kRows * kLanes, -1);
      versions[v].block(rows.data(), kRows, planes.data(), kPlanes, nullptr, kLanes, n,
                        block.data());
      for (std::size_t r = 0; r < kRows; ++r) {
        versions[v].many(rows[r], planes.data(), kPlanes, n, many.data());
        for (std::size_t p = 0; p < kPlanes; ++p) {
          const std::int32_t w = want[r * kPlanes + p];
          ASSERT_EQ(versions[v].one(rows[r], planes[p], n), w) << v << " n " << n;
          ASSERT_EQ(many[p], w) << v << " n " << n;
          ASSERT_EQ(block[r * kLanes + p], w) << v << " n " << n;
        }
        ASSERT_EQ(block[r * kLanes + kPlanes], -1) << "a lane past the used ones was written";
      }
    }
  }
}
#endif

struct Request {
  bool filter = false;
  std::optional<float> decay;
};

// The search as defined: filter, score, decay, stable sort (NaN last), cut.
std::vector<SearchResult> Defined(const Korvane& store, Metric metric, const std::vector<float>& q,
                                  std::uint64_t k, const Request& req, std::uint64_t now) {
  struct Scored {
    float score;
    std::size_t slot;
  };
  const RecordTable& table = StoreInternals::table(store);
  std::vector<Scored> all;
  for (std::size_t slot : table.live_slots()) {
    if (req.filter) {
      const auto& m = table.metadata(slot);
      const Value* g = m ? m->find("g") : nullptr;
      if (g == nullptr || !(*g == Value::uinteger(1))) continue;
    }
    float s = korvane_index::distance(metric, q, table.vector(slot));
    const auto ts = table.timestamp(slot);
    if (req.decay && ts && now > *ts) {
      s *= ::powf(*req.decay, static_cast<float>(now - *ts) / 86400.0f);
    }
    all.push_back({s, slot});
  }
  const bool smaller = korvane_index::is_distance(metric);
  std::stable_sort(all.begin(), all.end(), [&](const Scored& x, const Scored& y) {
    if (std::isnan(x.score) || std::isnan(y.score)) return !std::isnan(x.score) && std::isnan(y.score);
    return smaller ? x.score < y.score : x.score > y.score;
  });
  if (all.size() > k) all.resize(k);
  std::vector<SearchResult> out;
  for (const Scored& s : all) out.push_back({std::string(table.id(s.slot)), s.score, {}});
  return out;
}

::testing::AssertionResult Same(const std::vector<SearchResult>& want,
                                const std::vector<SearchResult>& got) {
  if (want.size() != got.size()) {
    return ::testing::AssertionFailure() << want.size() << " results wanted, " << got.size();
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (want[i].id != got[i].id ||
        (std::bit_cast<std::uint32_t>(want[i].score) != std::bit_cast<std::uint32_t>(got[i].score) &&
         !(std::isnan(want[i].score) && std::isnan(got[i].score)))) {
      return ::testing::AssertionFailure() << "at " << i << ": " << want[i].id << " "
                                           << want[i].score << " wanted, " << got[i].id << " "
                                           << got[i].score;
    }
  }
  return ::testing::AssertionSuccess();
}

// A thousand stores commit a thousand times: in memory-backed files where the system has them.
class CompactSearchTest : public korvane_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (::access("/dev/shm", W_OK) == 0) {
      path_ = "/dev/shm/korvane_compact_" + std::to_string(::getpid()) + ".db";
    }
  }
};

// Random stores of every kind above, of every length from 1 to 1536 (each tail), with deletes,
// duplicates, filters and decay; k from 1 to past the store; the stores take turns with each
// kernel version the processor runs. Every answer, single or batched, equals the defined one
// bit for bit.
TEST_F(CompactSearchTest, EqualsTheDefinedSearchOnRandomStores) {
  const std::vector<std::string> versions = Versions();
  std::mt19937 rng(2026);
  std::normal_distribution<float> normal;
  const std::uint64_t now = 10'000'000;
  std::size_t checked = 0;
  for (int store_no = 0; store_no < 1000; ++store_no) {
    ASSERT_TRUE(compact::use_code_kernels(versions[store_no / 4 % versions.size()].c_str()));
    const Metric metric = kMetrics[store_no % 4];
    const std::size_t n = store_no % 5 == 0 ? 1 + rng() % 1536 : 1 + rng() % 40;
    const bool big = store_no % 50 == 7;
    const std::size_t records = big ? 6000 : 1 + rng() % std::max<std::size_t>(2, 40000 / (n + 40));
    const std::size_t rank = 1 + rng() % 6;
    std::vector<float> basis(rank * n);
    for (float& b : basis) b = normal(rng);
    const int main_kind = static_cast<int>(rng() % 6);
    std::vector<std::vector<float>> pool;  // for duplicates
    WriteBatch batch;
    for (std::size_t i = 0; i < records; ++i) {
      std::vector<float> v;
      const unsigned roll = rng() % 20;
      if (roll < 14 || pool.empty()) {
        v = Draw(rng, n, roll < 12 ? main_kind : static_cast<int>(rng() % 6), basis, rank);
        if (pool.size() < 8) pool.push_back(v);
      } else if (roll < 19) {
        v = pool[rng() % pool.size()];
      } else {
        v = Draw(rng, 1 + rng() % (n + 8), 1, basis, 0);  // another length
      }
      Value meta = Value::object();
      meta.set("g", Value::uinteger(rng() % 3));
      std::optional<std::uint64_t> ts;
      if (rng() % 3 != 0) ts = now - rng() % (40 * 86400);
      char id[16];
      std::snprintf(id, sizeof id, "r%05zu", i % (records / 2 + 1));  // some ids twice
      batch.insert(id, std::move(v), std::move(meta), ts);
    }
    if (records > 4 && rng() % 3 == 0) batch.remove("r00001");
    store_.reset();
    std::remove(path_.c_str());
    Korvane& store = Open(metric);
    auto written = store.write(std::move(batch));
    ASSERT_TRUE(written) << written.error().display();
    if (store.size() == 0) continue;

    std::vector<std::vector<float>> queries;
    // Batches of every size the kernels cut differently: a few queries, a register's worth and
    // more, past a block of queries.
    const int asked = store_no % 10 == 3 ? 1 + static_cast<int>(rng() % 70) : 3;
    for (int j = 0; j < asked; ++j) {
      const RecordTable& table = StoreInternals::table(store);
      std::vector<float> q;
      const unsigned roll = rng() % 10;
      if (roll < 6) {  // near a stored vector
        const auto v = table.vector(rng() % table.slot_count());
        q.assign(v.begin(), v.end());
        for (float& x : q) x += 0.05f * normal(rng) * (std::fabs(x) + 1e-3f);
      } else if (roll < 9) {
        q = Draw(rng, n, static_cast<int>(rng() % 6), basis, rank);
      } else {
        q = Draw(rng, n, 4, basis, rank);  // zero
      }
      queries.push_back(std::move(q));
    }
    for (const auto& q : std::span(queries).first(std::min<std::size_t>(3, queries.size()))) {
      const std::uint64_t k =
          rng() % 4 == 0 ? 1 : (rng() % 4 == 0 ? store.size() + rng() % 5 : 1 + rng() % 12);
      Request req;
      const unsigned roll = rng() % 6;
      req.filter = roll == 1 || roll == 3;
      if (roll >= 2) {
        const float factors[] = {0.5f, 0.97f, 1.3f, 0.0f, -0.5f};
        req.decay = factors[rng() % 5];
      }
      SearchBuilder builder = store.search_builder(q, k);
      if (req.filter) builder.filter("g", Value::uinteger(1));
      if (req.decay) builder.decay(*req.decay).now(now);
      auto got = std::move(builder).execute();
      ASSERT_TRUE(got);
      ASSERT_TRUE(Same(Defined(store, metric, q, k, req, now), *got))
          << "store " << store_no << " metric " << static_cast<int>(metric) << " n " << n
          << " records " << records << " k " << k;
      ++checked;
    }
    const std::uint64_t k = 1 + rng() % 12;
    std::vector<std::span<const float>> spans(queries.begin(), queries.end());
    auto answers = store.search_batch(spans, k);
    ASSERT_TRUE(answers);
    for (std::size_t j = 0; j < queries.size(); ++j) {
      ASSERT_TRUE(Same(Defined(store, metric, queries[j], k, {}, now), (*answers)[j]))
          << "batch, store " << store_no << " query " << j;
    }
  }
  compact::use_code_kernels(versions[0].c_str());
  EXPECT_GE(checked, 2000u);
}

// Batches over stores large enough for a run to judge its coarse look: data it prunes well,
// near duplicates that differ only below the high halves (the coarse look lets nearly every
// pair through and must give way to the codes), and uniform random data (the pass must give
// way to the plain scan). Every answer equals the defined one bit for bit, on every version.
TEST_F(CompactSearchTest, BatchesEqualTheDefinedSearchWhetherTheCoarseLookPaysOrNot) {
  const std::vector<std::string> versions = Versions();
  std::mt19937 rng(17);
  std::normal_distribution<float> normal;
  const std::size_t n = 45, records = 3000;
  for (const std::string& version : versions) {
    ASSERT_TRUE(compact::use_code_kernels(version.c_str()));
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::Euclidean}) {
      for (int kind = 0; kind < 3; ++kind) {
        std::vector<float> basis(4 * n), centre(n);
        for (float& b : basis) b = normal(rng);
        for (float& c : centre) c = normal(rng);
        WriteBatch batch;
        for (std::size_t i = 0; i < records; ++i) {
          std::vector<float> v = kind == 0 ? Draw(rng, n, 0, basis, 4) : Draw(rng, n, 1, basis, 0);
          if (kind == 1) {
            for (std::size_t c = 0; c < n; ++c) v[c] = centre[c] + 1e-3f * v[c];
          }
          char id[16];
          std::snprintf(id, sizeof id, "r%05zu", i);
          batch.insert(id, std::move(v), std::nullopt);
        }
        store_.reset();
        std::remove(path_.c_str());
        Korvane& store = Open(metric);
        ASSERT_TRUE(store.write(std::move(batch)));
        std::vector<std::vector<float>> queries;
        for (int j = 0; j < 21; ++j) {
          const auto v = StoreInternals::table(store).vector(rng() % records);
          std::vector<float> q(v.begin(), v.end());
          for (float& x : q) x += (kind == 1 ? 1e-4f : 0.05f) * normal(rng);
          queries.push_back(std::move(q));
        }
        std::vector<std::span<const float>> spans(queries.begin(), queries.end());
        const std::uint64_t k = 1 + rng() % 12;
        auto answers = store.search_batch(spans, k);
        ASSERT_TRUE(answers);
        for (std::size_t j = 0; j < queries.size(); ++j) {
          ASSERT_TRUE(Same(Defined(store, metric, queries[j], k, {}, 0), (*answers)[j]))
              << version << " metric " << static_cast<int>(metric) << " kind " << kind
              << " query " << j;
        }
      }
    }
  }
  compact::use_code_kernels(versions[0].c_str());
}

}  // namespace
}  // namespace korvane_core
