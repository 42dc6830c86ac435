// The kernels behind compact.h, one set per instruction set; each gives the same integers and
// the same doubles as the portable set.
//
// The key formulas below are written once and compiled into every kernel file, each with its
// own instruction set: the doubles they compute are the same whatever the vector width (no
// contraction anywhere), so every version yields the same keys. They sit in an unnamed
// namespace so that no file's wide copy can stand in for another's at link time. The kernel
// files are built without errno for square roots (never of a negative number here), so that
// loops holding them vectorize.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "index/compact.h"

namespace korvane_index::compact::kernels {

// A QueryBlock's per-query constants, arrays of `count` entries (per plane: count * planes).
struct KeyTable {
  Metric metric;
  int planes;
  std::size_t count;
  double gamma, tiny;
  double q_max;  // the greatest q_up
  const double *t, *ts, *t128, *qhat_up, *fx, *q_up, *q2_lo, *q2_hi, *f_up, *inv_lo, *inv_hi;
};

// The interleaved planes of a block: lanes a multiple of kLaneGroup, and for each group g of
// four components and lane l, bytes [(g * lanes + l) * 4, + 4) hold components 4g..4g+3 of
// lane l's plane (zero past the length and in the lanes past the used ones).
constexpr std::size_t kLaneGroup = 16;

// One record's products with a block's planes, `rows` records at once: out[r * lanes + l] the
// product of row r's codes with lane l's plane (lanes: the block's count * planes, padded).
// gs: the `used` planes (count * planes of them, query by query); interleaved: the same planes
// laid out for the VNNI kernel (null where it is not the one chosen).
using BlockDots = void (*)(const std::uint8_t* const* rows, std::size_t nrows,
                           const std::int8_t* const* gs, std::size_t used,
                           const std::int8_t* interleaved, std::size_t lanes, std::size_t n,
                           std::int32_t* out);
// The products of one plane with the packed high halves of rows of codes (compact_copy.h):
// out[r] = sum over j < bytes of (rows[r][j] & 15) * even[j] + (rows[r][j] >> 4) * odd[j].
using NibbleDots = void (*)(const std::uint8_t* const* rows, std::size_t nrows,
                            const std::int8_t* even, const std::int8_t* odd, std::size_t bytes,
                            std::int32_t* out);
// The products of `count` split planes with rows of packed halves: out[r * count + j] as
// NibbleDots gives row r against evens[j] and odds[j]. Each plane holds `stride` bytes, a
// multiple of 32 and zero from `bytes` on; a row holds `bytes` bytes.
using BatchNibbleDots = void (*)(const std::uint8_t* const* rows, std::size_t nrows,
                                 const std::int8_t* const* evens, const std::int8_t* const* odds,
                                 std::size_t count, std::size_t bytes, std::size_t stride,
                                 std::int32_t* out);
// Upper keys for one record and every query of a table (dots as BlockDots gives one row).
using QueryKeys = void (*)(const KeyTable&, const std::int32_t* dots, const CodeMeta&, double* out);
// Which of QueryKeys' keys reach their floors: bit j % 64 of words[(count + 63) / 64] set
// where !(key j < floors[j]) (a NaN key reaches), the same bits as the keys give. False: this
// table is not served (the caller compares the keys).
using QueryReach = bool (*)(const KeyTable&, const std::int32_t* dots, const CodeMeta&,
                            const double* floors, std::uint64_t* words);
// Upper keys for `nrows` consecutive records and the table's one query (dots[r * planes + p]).
using RecordKeys = void (*)(const KeyTable&, const std::int32_t* dots, const CodeMeta* metas,
                            std::size_t nrows, double* out);

// Manhattan's first pass: the float sum of |q[i] - (a + s (r[i] - 128))| for i < n, each
// decoded component rounded as fl(a + fl(s c)), in the order compact.cc's step 8 bounds: 32
// lanes (lane j takes components 32 b + j), whole blocks of 8 past them into lanes 0-7, the
// four groups of 8 lanes added pairwise, those 8 lanes in three halvings, then the last n % 8
// components one by one. Every version gives the same float.
using L1Sum = float (*)(const float* q, const std::uint8_t* r, std::size_t n, float a, float s);
float l1_sum_any(const float* q, const std::uint8_t* r, std::size_t n, float a, float s);

#if defined(__x86_64__)
float l1_sum_avx2(const float* q, const std::uint8_t* r, std::size_t n, float a, float s);
std::int32_t code_dot_avx2(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
void code_dots_avx2(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out);
void block_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used,
                     const std::int8_t* interleaved, std::size_t lanes, std::size_t n,
                     std::int32_t* out);
void nibble_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows, const std::int8_t* even,
                      const std::int8_t* odd, std::size_t bytes, std::int32_t* out);
void batch_nibble_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows,
                            const std::int8_t* const* evens, const std::int8_t* const* odds,
                            std::size_t count, std::size_t bytes, std::size_t stride,
                            std::int32_t* out);
// One plane's keys written out four queries to a register (the portable loop does not vectorize
// Cosine's); other tables take the portable loop (compact_keys_avx2.cc).
void query_keys_avx2(const KeyTable&, const std::int32_t* dots, const CodeMeta&, double* out);
bool query_reach_avx2(const KeyTable&, const std::int32_t* dots, const CodeMeta&,
                      const double* floors, std::uint64_t* words);
// A single query's keys, one or two planes, written out four records to a register (the portable
// loop does not vectorize Cosine's); other tables take the portable loop (compact_keys_avx2.cc).
void record_keys_avx2(const KeyTable&, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out);

std::int32_t code_dot_vnni(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
void code_dots_vnni(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out);
// With interleaved planes (see kLaneGroup) the products of a row with 16 lanes come out of one
// instruction; without, a row at a time.
void block_dots_vnni(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used,
                     const std::int8_t* interleaved, std::size_t lanes, std::size_t n,
                     std::int32_t* out);
void nibble_dots_vnni(const std::uint8_t* const* rows, std::size_t nrows, const std::int8_t* even,
                      const std::int8_t* odd, std::size_t bytes, std::int32_t* out);
void query_keys_vnni(const KeyTable&, const std::int32_t* dots, const CodeMeta&, double* out);
void record_keys_vnni(const KeyTable&, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out);
#elif defined(__aarch64__)
// Widening multiplies, on every AArch64 processor.
std::int32_t code_dot_neon(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
void code_dots_neon(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out);
void block_dots_neon(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used,
                     const std::int8_t* interleaved, std::size_t lanes, std::size_t n,
                     std::int32_t* out);
// The dot product instructions (SDOT): only where the processor has them. Rows four at a time
// against planes four at a time; the interleaved planes are not used.
std::int32_t code_dot_sdot(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
void code_dots_sdot(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out);
void block_dots_sdot(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used,
                     const std::int8_t* interleaved, std::size_t lanes, std::size_t n,
                     std::int32_t* out);
#endif

namespace {

constexpr double kKeyInf = std::numeric_limits<double>::infinity();
constexpr double kKeyEta = 0x1p-149;

// What a key needs of one record, and whether the record can be bounded at all.
struct RecordTerms {
  double x_up, rho, a, s, x_lo, inv_x_lo, inv_x_up;
  bool bounded;  // a usable copy of a vector within the bounds' range
};

inline double low_norm(double x_up) { return x_up >= 0x1p-126 ? x_up * (1.0 - 0x1p-22) : 0.0; }

// inv_x_lo and inv_x_up matter to Cosine alone.
inline RecordTerms terms_of(double x_up, double rho, double a, double s, double inv_x_lo,
                            double inv_x_up) {
  RecordTerms r;
  r.x_up = x_up;
  r.rho = rho;
  r.a = a;
  r.s = s;
  r.x_lo = low_norm(x_up);
  r.inv_x_lo = inv_x_lo;
  r.inv_x_up = inv_x_up;
  r.bounded = (rho >= 0.0) & (x_up < 0x1p40);
  return r;
}

inline RecordTerms terms_of(const CodeMeta& m, bool cosine) {
  const double x_up = m.norm;
  return terms_of(x_up, m.residual, m.offset, m.step,
                  cosine ? (1.0 + 0x1p-40) / low_norm(x_up) : 1.0,
                  cosine ? (1.0 - 0x1p-40) / x_up : 1.0);
}

// q^.x^ over P planes (the products dot[p]) and the magnitude M its double rounding is
// bounded by (compact.cc).
template <int P>
inline void plane_sums(const double* dot, const double* t, const double* ts, const double* t128,
                       double a, double s, double& est, double& mag) {
  est = 0.0;
  mag = 0.0;
  for (int p = 0; p < P; ++p) {
    est += t[p] * s * dot[p] + ts[p] * (a - 128.0 * s);
    mag += t[p] * s * std::fabs(dot[p]) + std::fabs(ts[p]) * std::fabs(a) + t128[p] * s;
  }
}

// The upper key of query j of the table for a bounded record: the same steps as
// CompactQuery::bound(), each end computed as there or pushed further out. est and its error
// are regrouped per plane as t s dot + t S (a - 128 s), with the error of the double
// arithmetic bounded through M <= t (|S| |a| + s (|dot| + 128 |S|)), and the divisions by the
// cosine's denominator replaced by products with outward-rounded reciprocals. Branch-free, so
// that loops over queries or over records vectorize.
template <Metric M, int P>
inline double key_of(const KeyTable& kt, std::size_t j, const double* dot, const RecordTerms& x) {
  double est, mag;
  plane_sums<P>(dot, kt.t + j * P, kt.ts + j * P, kt.t128 + j * P, x.a, x.s, est, mag);
  if constexpr (M == Metric::Euclidean) {
    const double e_real = kt.qhat_up[j] * x.rho + kt.f_up[j] * x.x_up + 0x1p-47 * mag;
    const double slack =
        0x1p-48 * (kt.q2_hi[j] + x.x_up * x.x_up + 2.0 * (std::fabs(est) + e_real));
    double s_lo = kt.q2_lo[j] + x.x_lo * x.x_lo - 2.0 * (est + e_real) - slack;
    s_lo = std::max(0.0, s_lo * (1.0 - kt.gamma) - kt.tiny);
    double lo = std::sqrt(s_lo) * (1.0 - 0x1p-22);
    lo -= std::fabs(lo) * 0x1p-40 + kKeyEta;
    return -lo;
  } else {
    const double e = kt.qhat_up[j] * x.rho + kt.fx[j] * x.x_up + 0x1p-47 * mag + kt.tiny;
    double hi = est + e;
    if constexpr (M == Metric::Cosine) {
      const double up = hi * kt.inv_lo[j] * x.inv_x_lo;  // both, then a choice without a branch
      const double down = hi * kt.inv_hi[j] * x.inv_x_up;
      hi = hi >= 0.0 ? up : down;
      hi += std::fabs(hi) * 0x1p-22;
    }
    hi += std::fabs(hi) * 0x1p-40 + kKeyEta;
    return hi;
  }
}

// Whether key_of's bounds hold for this record and every query of the table: no partial sum of
// the float kernel can overflow (q_max >= every query's bound of |q|; the products and sums
// below round monotonically, so each query's own test would pass too).
inline bool in_range(const KeyTable& kt, double q_max, const RecordTerms& x) {
  if (kt.metric == Metric::Euclidean) {
    const double sum = q_max + x.x_up;
    return sum * sum < 0x1p100;
  }
  return q_max * x.x_up < 0x1p100;
}

// The key of a record that key_of does not serve: +inf (measure it) or, for a zero vector
// under Cosine, 0 (it scores exactly 0). NaN when key_of serves it.
inline double special_key(const KeyTable& kt, double q_max, const RecordTerms& x, bool cosine) {
  if (!x.bounded || !in_range(kt, q_max, x)) return kKeyInf;
  if (cosine && x.x_up == 0.0) return 0.0;
  if (cosine && !(x.x_lo >= 0x1p-40)) return kKeyInf;
  return std::numeric_limits<double>::quiet_NaN();
}

template <Metric M, int P>
inline void query_keys_as(const KeyTable& table, const std::int32_t* dots, const CodeMeta& meta,
                          double* __restrict out) {
  const KeyTable kt = table;  // a copy the stores to out cannot touch
  const RecordTerms x = terms_of(meta, M == Metric::Cosine);
  const double special = special_key(kt, kt.q_max, x, M == Metric::Cosine);
  if (!std::isnan(special)) {
    std::fill(out, out + kt.count, special);
    return;
  }
  for (std::size_t j = 0; j < kt.count; ++j) {
    double dot[P];
    for (int p = 0; p < P; ++p) dot[p] = dots[j * P + p];
    out[j] = key_of<M, P>(kt, j, dot, x);
  }
}

template <Metric M, int P>
inline void record_keys_as(const KeyTable& table, const std::int32_t* dots, const CodeMeta* metas,
                           std::size_t nrows, double* __restrict out) {
  const KeyTable kt = table;
  constexpr std::size_t kRows = 16;
  for (std::size_t from = 0; from < nrows; from += kRows) {
    const std::size_t m = std::min(kRows, nrows - from);
    // The metas as columns of doubles first: the loop after them then vectorizes.
    double x_up[kRows], rho[kRows], a[kRows], s[kRows], d[P][kRows];
    double inv_lo[kRows], inv_up[kRows];
    for (std::size_t r = 0; r < m; ++r) {
      x_up[r] = metas[from + r].norm;
      rho[r] = metas[from + r].residual;
      a[r] = metas[from + r].offset;
      s[r] = metas[from + r].step;
      for (int p = 0; p < P; ++p) d[p][r] = dots[(from + r) * P + p];
    }
    for (std::size_t r = 0; r < m; ++r) {
      inv_lo[r] = M == Metric::Cosine ? (1.0 + 0x1p-40) / low_norm(x_up[r]) : 1.0;
      inv_up[r] = M == Metric::Cosine ? (1.0 - 0x1p-40) / x_up[r] : 1.0;
    }
    for (std::size_t r = 0; r < m; ++r) {
      const RecordTerms x = terms_of(x_up[r], rho[r], a[r], s[r], inv_lo[r], inv_up[r]);
      double dot[P];
      for (int p = 0; p < P; ++p) dot[p] = d[p][r];
      out[from + r] = key_of<M, P>(kt, 0, dot, x);
    }
  }
  // The few records key_of cannot serve, in a second pass so the first stays branch-free.
  for (std::size_t r = 0; r < nrows; ++r) {
    const RecordTerms x = terms_of(metas[r], M == Metric::Cosine);
    const double special = special_key(kt, kt.q_max, x, M == Metric::Cosine);
    if (!std::isnan(special)) out[r] = special;
  }
}

template <int P>
inline void query_keys_p(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                         double* out) {
  switch (kt.metric) {
    case Metric::Cosine:
      return query_keys_as<Metric::Cosine, P>(kt, dots, meta, out);
    case Metric::Dot:
      return query_keys_as<Metric::Dot, P>(kt, dots, meta, out);
    case Metric::Euclidean:
      return query_keys_as<Metric::Euclidean, P>(kt, dots, meta, out);
    default:
      std::fill(out, out + kt.count, kKeyInf);
  }
}

template <int P>
inline void record_keys_p(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                          std::size_t nrows, double* out) {
  switch (kt.metric) {
    case Metric::Cosine:
      return record_keys_as<Metric::Cosine, P>(kt, dots, metas, nrows, out);
    case Metric::Dot:
      return record_keys_as<Metric::Dot, P>(kt, dots, metas, nrows, out);
    case Metric::Euclidean:
      return record_keys_as<Metric::Euclidean, P>(kt, dots, metas, nrows, out);
    default:
      std::fill(out, out + nrows, kKeyInf);
  }
}

// Each kernel file's QueryKeys and RecordKeys: these, compiled with its instructions.
inline void query_keys_any(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                           double* out) {
  if (kt.planes == 2) return query_keys_p<2>(kt, dots, meta, out);
  query_keys_p<1>(kt, dots, meta, out);
}

inline void record_keys_any(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                            std::size_t nrows, double* out) {
  if (kt.planes == 2) return record_keys_p<2>(kt, dots, metas, nrows, out);
  record_keys_p<1>(kt, dots, metas, nrows, out);
}

// Rows against planes one row at a time with a one-row kernel: the layout BlockDots gives.
template <class Many>
inline void block_dots_by_rows(const Many& many, const std::uint8_t* const* rows,
                               std::size_t nrows, const std::int8_t* const* gs, std::size_t lanes,
                               std::size_t used, std::size_t n, std::int32_t* out) {
  for (std::size_t r = 0; r < nrows; ++r) many(rows[r], gs, used, n, out + r * lanes);
}

}  // namespace
}  // namespace korvane_index::compact::kernels
