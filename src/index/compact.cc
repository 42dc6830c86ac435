// Score intervals from the 8-bit copies, and the portable integer kernel.
//
// Why the interval holds the kernel's score
// ------------------------------------------
// Notation: q the query, x a stored vector, both n floats; u = 2^-24 (a float's unit roundoff);
// gamma(m) = m u / (1 - m u); eta = 2^-149 (the smallest subnormal). Norms are Euclidean, taken
// in exact real arithmetic unless said otherwise.
//
// 1. The copies. The storage layer keeps x^ = a + s c (c[i] = r[i] - 128 in -127..127, a and s
//    floats) with bounds rho >= |x - x^| and X >= |x| (rounded up; compact_copy.cc). Here the
//    query is split into P planes of integers, q^ = sum_p t_p g_p (g_p[i] in -127..127, plane 2
//    quantizes what plane 1 left), f = q - q^, and bounds Qh >= |q^|, F >= |f|, Q >= |q| are
//    computed in double with margins for their own rounding: each square is off by at most
//    2^-53 of itself and a sum of n non-negative terms added one by one by at most (n - 1) 2^-53
//    of the total, so a factor 1 + 2^-40 + n 2^-52 covers both (and the same margin serves the
//    storage layer's sums).
//
// 2. The real dot product. q.x = q^.x^ + q^.(x - x^) + f.x, so by Cauchy-Schwarz
//      |q.x - q^.x^| <= Qh rho + F X.
//    q^.x^ = sum_p t_p (a S_p + s C_p) with the integers S_p = sum_i g_p[i] and
//    C_p = sum_i g_p[i] c[i] = code_dot(r, g_p) - 128 S_p, exact in 32 bits. Evaluated in double
//    that is a handful of roundings of 2^-53 each, bounded by 2^-48 M with
//    M = sum_p |t_p| (|a| |S_p| + s |C_p|).
//
// 3. The float kernel. A blocked sum of n terms with c = n / 8 whole blocks and r = n % 8 tail
//    pairs adds any one term at most c (its accumulator) + 3 (the fixed combination) + r (the
//    tail) times. With m = c + r + 4, each product rounded once (fl(xy) = xy (1 + d) + e,
//    |d| <= u, |e| <= eta/2: an underflowing product errs absolutely, additions never do), the
//    standard error analysis of summation gives
//      |dot_kernel - q.x| <= gamma(m) sum |q_i x_i| + n eta <= gamma(m) Q X + n eta,
//    provided nothing overflows; the bounds are used only when Q X < 2^100, so no partial sum
//    can. Dot's interval is q^.x^ -/+ (Qh rho + F X + 2^-48 M + gamma(m) Q X + n eta).
//
// 4. Cosine divides the kernel's dot d by den = fl(qn * xn), qn and xn the float roots of the
//    kernel's sums of squares. Those sums are within gamma(m) (relative) plus n eta of |q|^2 and
//    |x|^2, each root and the product add a rounding of u, so den lies in
//    qn * [X_lo, X] * (1 -/+ (gamma(m) + 4u)) with X_lo = X (1 - 2^-22) <= |x| (for normal X;
//    the bounds are used only when |x| and qn lie between 2^-40 and 2^40, where the absolute
//    terms are far below the relative margin added). A zero x (X = 0) scores exactly 0. The
//    quotient of an interval of d by a positive interval of den is bounded by the quotients of
//    the ends, and the final rounding of the division by 2^-22 relative plus eta absolute.
//
// 5. Euclidean's kernel sums fl(fl(q_i - x_i)^2): each term is within gamma(3) of
//    (q_i - x_i)^2 plus eta (a subtraction that underflows is exact), all terms are >= 0, so
//    the sum is within gamma(m + 2) of |q - x|^2 plus n eta. And |q - x|^2 = |q|^2 + |x|^2 -
//    2 q.x with q.x from step 2 (without the kernel's term), |q|^2 within [Q2lo, Q2hi] and |x|^2
//    within [X_lo^2, X^2]. Used only when (Q + X)^2 < 2^100. The root is monotone; its rounding
//    is covered by 2^-22 relative.
//
// 6. Decay multiplies the score by a known float p: for finite p the product's interval is the
//    ends times p (swapped when p < 0), widened by 2^-22 relative and eta absolute.
//
// 7. The coarse copy keeps h = r >> 4 and x~ = a4 + s4 (h - 128) with s4 = 16 s (exact) and a
//    bound rho4 >= |x - x~| measured against the stored a4 (compact_copy.cc). That is a copy of
//    the form of step 1 with codes h - 128 in -128..-113 and step s4: steps 2-6 hold for it word
//    for word with H_p = sum_i g_p[i] h[i] in place of code_dot(r, g_p) (|C_p| <= 128 * 127 n,
//    still exact in 32 bits), so the interval from (a4, s4, rho4, X) and H_p holds the kernel's
//    score as well; it is only wider, rho4 being about sixteen times rho.
//
// 8. Manhattan has no product to bound: its interval comes from the decoded codes themselves.
//    By the triangle inequality |q - x|_1 lies within |q - x^|_1 -/+ |x - x^|_1, and
//    |x - x^|_1 <= sqrt(n) rho (Cauchy-Schwarz). The pass computes E, the float sum of
//    fl(|fl(q_i - y_i)|) with y_i = fl(a + fl(s c_i)), in the fixed order of
//    kernels::l1_sum_any: a term goes through at most n / 32 + 3 additions in its lane, 5 in
//    combining the lanes and 7 in the tail, and its difference rounds once, so with
//    m' = n / 32 + 16 and S = sum |q_i - y_i| (real, nonnegative terms) |E - S| <= gamma(m') S.
//    Each decoded y_i is within u 127 s + eta/2 (the product) plus u (|a| + 127 s (1 + u)) (the
//    sum, which errs only relatively) of a + s c_i, so D = n (u (|a| + 254 s)(1 + 2^-20) + eta)
//    bounds sum |y_i - x^_i|, and |q - x^|_1 lies within [E / (1 + g) - D, E / (1 - g) + D],
//    g = gamma(m'). The float kernel sums fl(|fl(q_i - x_i)|) in index order: each term rounds
//    at most n times (the difference and n - 1 additions) and all are >= 0, so its score lies
//    within gamma(n) (relative) of |q - x|_1; a subtraction that underflows is exact. Used only
//    when |q| and |x| are below 2^40 (nothing overflows) and E is finite. The double
//    arithmetic of the ends errs by less than 2^-48 (E + D + sqrt(n) rho), added to each.
//
// Every double computation of a bound rounds too; each end is pushed outward by a relative
// 2^-40 beyond the margins above, which are themselves far larger than those roundings.
#if defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <sys/auxv.h>
#ifndef HWCAP_ASIMDDP
#define HWCAP_ASIMDDP (1 << 20)
#endif
#include <arm_neon.h>
#endif
#include "index/compact.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string_view>

#include "index/compact_kernels.h"
#include "index/scorer.h"

namespace korvane_index::compact {
namespace {

constexpr double kU = 0x1p-24;
constexpr double kEta = 0x1p-149;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr Interval kAll{-kInf, kInf};

double gamma(double m) { return m * kU / (1.0 - m * kU); }

// Pushes both ends outward by a relative 2^-40 and an absolute `abs`.
Interval widen(double lo, double hi, double abs) {
  lo -= std::fabs(lo) * 0x1p-40 + abs;
  hi += std::fabs(hi) * 0x1p-40 + abs;
  return {lo, hi};
}

using Kernel = std::int32_t (*)(const std::uint8_t*, const std::int8_t*, std::size_t);
using ManyKernel = void (*)(const std::uint8_t*, const std::int8_t* const*, std::size_t,
                            std::size_t, std::int32_t*);

void code_dots_portable(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                        std::size_t n, std::int32_t* out) {
  for (std::size_t j = 0; j < count; ++j) out[j] = code_dot_portable(r, gs[j], n);
}

void block_dots_portable(const std::uint8_t* const* rows, std::size_t nrows,
                         const std::int8_t* const* gs, std::size_t used, const std::int8_t*,
                         std::size_t lanes, std::size_t n, std::int32_t* out) {
  kernels::block_dots_by_rows(code_dots_portable, rows, nrows, gs, lanes, used, n, out);
}

void nibble_dots_portable(const std::uint8_t* const* rows, std::size_t nrows,
                          const std::int8_t* even, const std::int8_t* odd, std::size_t bytes,
                          std::int32_t* out) {
  for (std::size_t r = 0; r < nrows; ++r) {
    std::int32_t total = 0;
    for (std::size_t j = 0; j < bytes; ++j) {
      total += (rows[r][j] & 15) * even[j] + (rows[r][j] >> 4) * odd[j];
    }
    out[r] = total;
  }
}

struct Chosen {
  Kernel one;
  ManyKernel many;
  kernels::BlockDots block;
  kernels::QueryKeys query_keys;
  kernels::RecordKeys record_keys;
  kernels::NibbleDots nibble;
  bool interleaves;
  const char* name;
  kernels::L1Sum l1 = kernels::l1_sum_any;
  // The coarse look of a batch, where it measured faster than the codes' products alone.
  kernels::BatchNibbleDots batch_nibble = nullptr;
  kernels::QueryReach reach = nullptr;  // null: the keys are compared one by one
};

void batch_nibble_dots_portable(const std::uint8_t* const* rows, std::size_t nrows,
                                const std::int8_t* const* evens, const std::int8_t* const* odds,
                                std::size_t count, std::size_t bytes, std::size_t,
                                std::int32_t* out) {
  for (std::size_t r = 0; r < nrows; ++r) {
    for (std::size_t j = 0; j < count; ++j) {
      nibble_dots_portable(rows + r, 1, evens[j], odds[j], bytes, out + r * count + j);
    }
  }
}

constexpr Chosen kPortable{code_dot_portable,        code_dots_portable,
                           block_dots_portable,      kernels::query_keys_any,
                           kernels::record_keys_any, nibble_dots_portable,
                           false,                    "portable",
                           kernels::l1_sum_any,      batch_nibble_dots_portable};
#if defined(__x86_64__)
constexpr Chosen kAvx2{kernels::code_dot_avx2,     kernels::code_dots_avx2,
                       kernels::block_dots_avx2,   kernels::query_keys_avx2,
                       kernels::record_keys_avx2,  kernels::nibble_dots_avx2,
                       false,                      "avx2",
                       kernels::l1_sum_avx2,       kernels::batch_nibble_dots_avx2,
                       kernels::query_reach_avx2};
constexpr Chosen kVnni{kernels::code_dot_vnni,     kernels::code_dots_vnni,
                       kernels::block_dots_vnni,   kernels::query_keys_vnni,
                       kernels::record_keys_vnni,  kernels::nibble_dots_vnni,
                       true,                       "avx512vnni",
                       kernels::l1_sum_avx2};
#elif defined(__aarch64__)
// The key formulas and the coarse products are the portable ones: Advanced SIMD is this build's
// baseline already, and the compiler widens those loops itself.
constexpr Chosen kNeon{kernels::code_dot_neon,   kernels::code_dots_neon,  kernels::block_dots_neon,
                       kernels::query_keys_any,  kernels::record_keys_any, nibble_dots_portable,
                       false,                    "neon"};
constexpr Chosen kSdot{kernels::code_dot_sdot,   kernels::code_dots_sdot,  kernels::block_dots_sdot,
                       kernels::query_keys_any,  kernels::record_keys_any, nibble_dots_portable,
                       false,                    "neon-sdot"};
#endif

#if defined(__x86_64__)
// What the processor offers and the operating system saves, asked of the processor directly
// (the compiler's __builtin_cpu_supports needs a runtime library that not every toolchain links
// into a shared module). avx512vnni here means VNNI with VL and BW, and ZMM state saved.
struct Features {
  bool avx2 = false;
  bool avx512vnni = false;
};
Features processor_features() {
  Features f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return f;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u || __get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, a, b, c, d);
  f.avx2 = (b & bit_AVX2) != 0;
  const bool zmm_saved = (xcr0_lo & 0xE0u) == 0xE0u;
  f.avx512vnni = zmm_saved && (b & bit_AVX512BW) != 0 && (b & bit_AVX512VL) != 0 &&
                 (c & bit_AVX512VNNI) != 0;
  return f;
}
#endif

// The versions this processor runs, the widest first.
std::vector<const Chosen*> runnable() {
  std::vector<const Chosen*> out;
#if defined(__x86_64__)
  const Features f = processor_features();
  if (f.avx512vnni && f.avx2) out.push_back(&kVnni);
  if (f.avx2) out.push_back(&kAvx2);
#elif defined(__aarch64__)
  // The operating system reports the dot product instructions (the register that lists them
  // cannot be read from user space everywhere).
  if ((getauxval(AT_HWCAP) & HWCAP_ASIMDDP) != 0) out.push_back(&kSdot);
  out.push_back(&kNeon);
#endif
  out.push_back(&kPortable);
  return out;
}

std::atomic<const Chosen*> current{nullptr};

const Chosen& chosen() {
  const Chosen* c = current.load(std::memory_order_acquire);
  if (c == nullptr) {
    c = runnable().front();
    current.store(c, std::memory_order_release);
  }
  return *c;
}

}  // namespace

float kernels::l1_sum_any(const float* q, const std::uint8_t* r, std::size_t n, float a,
                          float s) {
  float acc[32] = {};
  auto term = [&](std::size_t i) {
    return std::fabs(q[i] - (a + s * static_cast<float>(static_cast<int>(r[i]) - 128)));
  };
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (std::size_t j = 0; j < 32; ++j) acc[j] += term(i + j);
  }
  for (; i + 8 <= n; i += 8) {
    for (std::size_t j = 0; j < 8; ++j) acc[j] += term(i + j);
  }
  float v[8];
  for (std::size_t j = 0; j < 8; ++j) v[j] = (acc[j] + acc[8 + j]) + (acc[16 + j] + acc[24 + j]);
  for (std::size_t j = 0; j < 4; ++j) v[j] += v[j + 4];
  for (std::size_t j = 0; j < 2; ++j) v[j] += v[j + 2];
  float total = v[0] + v[1];
  for (; i < n; ++i) total += term(i);
  return total;
}

std::int32_t code_dot_portable(const std::uint8_t* r, const std::int8_t* g, std::size_t n) {
  std::int32_t total = 0;
  for (std::size_t i = 0; i < n; ++i) total += static_cast<std::int32_t>(r[i]) * g[i];
  return total;
}

std::int32_t code_dot(const std::uint8_t* r, const std::int8_t* g, std::size_t n) {
  return chosen().one(r, g, n);
}

void code_dots(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
               std::size_t n, std::int32_t* out) {
  chosen().many(r, gs, count, n, out);
}

const char* code_kernel_name() { return chosen().name; }

bool use_code_kernels(const char* name) {
  for (const Chosen* c : runnable()) {
    if (std::string_view(c->name) == name) {
      current.store(c, std::memory_order_release);
      return true;
    }
  }
  return false;
}

SplitPlane::SplitPlane(const std::int8_t* g, std::size_t n)
    : even_((n + 1) / 2, 0), odd_((n + 1) / 2, 0) {
  for (std::size_t i = 0; i < n; ++i) (i % 2 == 0 ? even_ : odd_)[i / 2] = g[i];
}

void SplitPlane::dots(const std::uint8_t* const* rows, std::size_t nrows, std::int32_t* out) const {
  chosen().nibble(rows, nrows, even_.data(), odd_.data(), even_.size(), out);
}

std::int32_t nibble_dot_portable(const std::uint8_t* row, const SplitPlane& plane) {
  std::int32_t out = 0;
  nibble_dots_portable(&row, 1, plane.even(), plane.odd(), plane.bytes(), &out);
  return out;
}

void unpack_halves(const std::uint8_t* highs, const std::uint8_t* lows, std::size_t n,
                   std::uint8_t* out) {
  // Byte j holds components 2j (low halves) and 2j + 1 (high halves): the even codes are
  // (highs << 4) | (lows & 15), the odd ones (highs & 0xF0) | (lows >> 4), interleaved.
  std::size_t j = 0;
#if defined(__x86_64__)
  const __m128i low = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_set1_epi8(static_cast<char>(0xF0));
  for (; 2 * j + 32 <= n; j += 16) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(highs + j));
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lows + j));
    const __m128i even =
        _mm_or_si128(_mm_and_si128(_mm_slli_epi16(h, 4), high), _mm_and_si128(l, low));
    const __m128i odd =
        _mm_or_si128(_mm_and_si128(h, high), _mm_and_si128(_mm_srli_epi16(l, 4), low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j), _mm_unpacklo_epi8(even, odd));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j + 16), _mm_unpackhi_epi8(even, odd));
  }
#elif defined(__aarch64__)
  for (; 2 * j + 32 <= n; j += 16) {
    const uint8x16_t h = vld1q_u8(highs + j), l = vld1q_u8(lows + j);
    uint8x16x2_t codes;
    codes.val[0] = vsliq_n_u8(vandq_u8(l, vdupq_n_u8(0x0F)), h, 4);
    codes.val[1] = vorrq_u8(vandq_u8(h, vdupq_n_u8(0xF0)), vshrq_n_u8(l, 4));
    vst2q_u8(out + 2 * j, codes);
  }
#endif
  for (; 2 * j + 1 < n; ++j) {
    out[2 * j] = static_cast<std::uint8_t>((highs[j] << 4) | (lows[j] & 15));
    out[2 * j + 1] = static_cast<std::uint8_t>((highs[j] & 0xF0) | (lows[j] >> 4));
  }
  if (2 * j < n) out[2 * j] = static_cast<std::uint8_t>((highs[j] << 4) | (lows[j] & 15));
}

CompactQuery::CompactQuery(Metric metric, Vec query, int planes)
    : metric_(metric),
      n_(query.size()),
      planes_(std::clamp(planes, 1, kMaxPlanes)) {
  if (n_ == 0 || n_ > kMaxLength) return;
  double q2 = 0.0;
  double max_abs = 0.0;
  for (float v : query) {
    if (!std::isfinite(v)) return;
    q2 += static_cast<double>(v) * v;
    max_abs = std::max(max_abs, std::fabs(static_cast<double>(v)));
  }
  const double sums = 0x1p-40 + static_cast<double>(n_) * 0x1p-52;  // step 1's margin
  q2_lo_ = q2 * (1.0 - sums);
  q2_hi_ = q2 * (1.0 + sums);
  q_up_ = std::sqrt(q2_hi_) * (1.0 + 0x1p-40);
  if (!(q_up_ < 0x1p40)) return;
  if (metric_ == Metric::Manhattan) {
    query_.assign(query.begin(), query.end());
    gamma_ = gamma(static_cast<double>(n_));
    l1_gamma_ = gamma(static_cast<double>(n_ / 32 + 16));
    sqrt_n_ = std::sqrt(static_cast<double>(n_)) * (1.0 + 0x1p-50);
    usable_ = true;
    return;
  }
  if (metric_ == Metric::Cosine) {
    query_norm_ = Scorer::norm(query);
    if (!(query_norm_ >= 0x1p-40f)) return;  // zero or tiny query: every score ties at 0 anyway
  }
  // Planes: each quantizes what the ones before left.
  std::vector<double> rest(query.begin(), query.end());
  double qhat2 = 0.0, rest2 = 0.0;
  std::vector<double> qhat(n_, 0.0);
  for (int p = 0; p < planes_; ++p) {
    double m = 0.0;
    for (double v : rest) m = std::max(m, std::fabs(v));
    t_[p] = m > 0.0 ? m / 127.0 : 1.0;
    g_[p].assign(n_, 0);
    double sum = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      const double c = std::clamp(std::nearbyint(rest[i] / t_[p]), -127.0, 127.0);
      g_[p][i] = static_cast<std::int8_t>(c);
      sum += c;
      qhat[i] += t_[p] * c;
      rest[i] = static_cast<double>(query[i]) - qhat[i];
    }
    sum_g_[p] = sum;
  }
  for (std::size_t i = 0; i < n_; ++i) {
    qhat2 += qhat[i] * qhat[i];
    rest2 += rest[i] * rest[i];
  }
  qhat_up_ = std::sqrt(qhat2 * (1.0 + sums)) * (1.0 + 0x1p-40);
  // The computed rests are each within 2^-51 (|q_i| + |q^_i|) of the true ones.
  f_up_ = std::sqrt(rest2 * (1.0 + sums)) * (1.0 + 0x1p-40) + 0x1p-49 * (q_up_ + qhat_up_);
  const double m = static_cast<double>(n_ / 8 + n_ % 8 + 4);
  gamma_ = gamma(metric_ == Metric::Euclidean ? m + 2 : m);
  tiny_ = static_cast<double>(n_) * kEta;
  usable_ = true;
}

Interval CompactQuery::bound(const std::int32_t* dots, const CodeMeta& meta) const {
  const double x_up = meta.norm;
  const double rho = meta.residual;
  if (!(rho >= 0.0) || !(x_up < 0x1p40)) return kAll;  // NaN residual: no usable copy
  const double a = meta.offset, s = meta.step;
  double est = 0.0, mag = 0.0;
  for (int p = 0; p < planes_; ++p) {
    const double sp = sum_g_[p];
    const double cp = static_cast<double>(dots[p]) - 128.0 * sp;
    est += t_[p] * (a * sp + s * cp);
    mag += t_[p] * (std::fabs(a * sp) + s * std::fabs(cp));
  }
  // |q.x - est| <= e_real (step 2).
  const double e_real = qhat_up_ * rho + f_up_ * x_up + 0x1p-48 * mag;
  const double x_lo = x_up >= 0x1p-126 ? x_up * (1.0 - 0x1p-22) : 0.0;
  switch (metric_) {
    case Metric::Dot: {
      if (!(q_up_ * x_up < 0x1p100)) return kAll;
      const double e = e_real + gamma_ * q_up_ * x_up + tiny_;
      return widen(est - e, est + e, 0.0);
    }
    case Metric::Cosine: {
      if (x_up == 0.0) return {0.0, 0.0};
      if (!(x_lo >= 0x1p-40)) return kAll;
      const double e = e_real + gamma_ * q_up_ * x_up + tiny_;
      const double d_lo = est - e, d_hi = est + e;
      const double rel = gamma_ + 4.0 * kU + 0x1p-40;
      const double den_lo = static_cast<double>(query_norm_) * x_lo * (1.0 - rel);
      const double den_hi = static_cast<double>(query_norm_) * x_up * (1.0 + rel);
      const double lo = d_lo >= 0.0 ? d_lo / den_hi : d_lo / den_lo;
      const double hi = d_hi >= 0.0 ? d_hi / den_lo : d_hi / den_hi;
      return widen(lo - std::fabs(lo) * 0x1p-22, hi + std::fabs(hi) * 0x1p-22, kEta);
    }
    case Metric::Euclidean: {
      const double sum = q_up_ + x_up;
      if (!(sum * sum < 0x1p100)) return kAll;
      const double slack = 0x1p-48 * (q2_hi_ + x_up * x_up + 2.0 * (std::fabs(est) + e_real));
      double s_lo = q2_lo_ + x_lo * x_lo - 2.0 * (est + e_real) - slack;
      double s_hi = q2_hi_ + x_up * x_up - 2.0 * (est - e_real) + slack;
      s_lo = std::max(0.0, s_lo * (1.0 - gamma_) - tiny_);
      s_hi = s_hi * (1.0 + gamma_) + tiny_;
      const double lo = std::sqrt(s_lo), hi = std::sqrt(s_hi);
      return widen(lo * (1.0 - 0x1p-22), hi * (1.0 + 0x1p-22), kEta);
    }
    default:
      return kAll;
  }
}

Interval CompactQuery::manhattan_bound(const std::uint8_t* codes, const CodeMeta& meta) const {
  const double rho = meta.residual;
  if (!(rho >= 0.0) || !(meta.norm < 0x1p40)) return kAll;  // NaN residual: no usable copy
  const double e = chosen().l1(query_.data(), codes, n_, meta.offset, meta.step);
  if (!std::isfinite(e)) return kAll;
  const double n = static_cast<double>(n_);
  const double d =
      n * (kU * (std::fabs(static_cast<double>(meta.offset)) + 254.0 * meta.step) *
               (1.0 + 0x1p-20) + kEta);
  const double r = sqrt_n_ * rho;
  const double slack = 0x1p-48 * (e + d + r);
  const double lo = std::max(0.0, e / (1.0 + l1_gamma_) - d - r - slack);
  const double hi = e / (1.0 - l1_gamma_) + d + r + slack;
  return widen(lo * (1.0 - gamma_), hi * (1.0 + gamma_), 0.0);
}

Interval CompactQuery::scaled(Interval score, float factor) {
  if (factor == 1.0f) return score;
  if (!std::isfinite(factor)) return kAll;
  const double p = factor;
  double lo = score.lo * p, hi = score.hi * p;
  if (p < 0.0) std::swap(lo, hi);
  if (std::isnan(lo) || std::isnan(hi)) return kAll;
  return widen(lo - std::fabs(lo) * 0x1p-22, hi + std::fabs(hi) * 0x1p-22, kEta);
}

QueryBlock::QueryBlock(std::span<const CompactQuery> queries)
    : metric_(queries.empty() ? Metric::Dot : queries[0].metric_),
      planes_(queries.empty() ? 1 : queries[0].planes_) {
  if (!queries.empty()) {
    n_ = queries[0].n_;
    gamma_ = queries[0].gamma_;
    tiny_ = queries[0].tiny_;
  }
  const double rel = gamma_ + 4.0 * kU + 0x1p-40;
  for (const CompactQuery& q : queries) {
    for (int p = 0; p < planes_; ++p) {
      gs_.push_back(q.g_[p].data());
      t_.push_back(q.t_[p]);
      ts_.push_back(q.t_[p] * q.sum_g_[p]);
      t128_.push_back(q.t_[p] * 128.0 * std::fabs(q.sum_g_[p]));
    }
    qhat_up_.push_back(q.qhat_up_);
    fx_.push_back(q.f_up_ + gamma_ * q.q_up_);
    q_up_.push_back(q.q_up_);
    q2_lo_.push_back(q.q2_lo_);
    q2_hi_.push_back(q.q2_hi_);
    f_up_.push_back(q.f_up_);
    // Reciprocals of the cosine's denominators without |x|, rounded outward by 2^-40.
    const double qn = q.query_norm_;
    inv_lo_.push_back(qn > 0 ? (1.0 + 0x1p-40) / (qn * (1.0 - rel)) : 0.0);
    inv_hi_.push_back(qn > 0 ? (1.0 - 0x1p-40) / (qn * (1.0 + rel)) : 0.0);
  }
  for (double q : q_up_) q_max_ = std::max(q_max_, q);
  lanes_ = gs_.size();
  // Enough lanes to fill the wide registers: the planes interleaved, four components at a time.
  if (chosen().interleaves && gs_.size() >= 8) {
    constexpr std::size_t kGroup = kernels::kLaneGroup;
    lanes_ = (gs_.size() + kGroup - 1) / kGroup * kGroup;
    const std::size_t groups = (n_ + 3) / 4;
    interleaved_.assign(groups * lanes_ * 4, 0);
    for (std::size_t l = 0; l < gs_.size(); ++l) {
      for (std::size_t i = 0; i < n_; ++i) {
        interleaved_[(i / 4 * lanes_ + l) * 4 + i % 4] = gs_[l][i];
      }
    }
  }
}

HalvesBlock::HalvesBlock(std::span<const CompactQuery> queries)
    : count_(queries.size()), bytes_(queries.empty() ? 0 : (queries[0].n_ + 1) / 2) {
  stride_ = (bytes_ + 31) / 32 * 32;
  even_.assign(count_ * stride_, 0);
  odd_.assign(count_ * stride_, 0);
  for (std::size_t j = 0; j < count_; ++j) {
    const std::int8_t* g = queries[j].g_[0].data();
    for (std::size_t i = 0; i < queries[j].n_; ++i) {
      (i % 2 == 0 ? even_ : odd_)[j * stride_ + i / 2] = g[i];
    }
    evens_.push_back(even_.data() + j * stride_);
    odds_.push_back(odd_.data() + j * stride_);
  }
}

bool HalvesBlock::available() { return chosen().batch_nibble != nullptr; }

void HalvesBlock::dots(const std::uint8_t* const* rows, std::size_t nrows,
                       std::int32_t* out) const {
  // Where the coarse look is not available() it is still the portable products.
  const kernels::BatchNibbleDots kernel =
      chosen().batch_nibble != nullptr ? chosen().batch_nibble : batch_nibble_dots_portable;
  kernel(rows, nrows, evens_.data(), odds_.data(), count_, bytes_, stride_, out);
}

std::int32_t HalvesBlock::dot(std::size_t j, const std::uint8_t* row) const {
  std::int32_t out = 0;
  chosen().nibble(&row, 1, evens_[j], odds_[j], bytes_, &out);
  return out;
}

kernels::KeyTable QueryBlock::table() const {
  return kernels::KeyTable{metric_,         planes_,       q_up_.size(),   gamma_,
               tiny_,           q_max_,        t_.data(),     ts_.data(),     t128_.data(),
               qhat_up_.data(), fx_.data(),    q_up_.data(),   q2_lo_.data(),
               q2_hi_.data(),   f_up_.data(),  inv_lo_.data(), inv_hi_.data()};
}

void QueryBlock::dots(const std::uint8_t* const* rows, std::size_t nrows, std::int32_t* out) const {
  chosen().block(rows, nrows, gs_.data(), gs_.size(),
                 interleaved_.empty() ? nullptr : interleaved_.data(), lanes_, n_, out);
}

void QueryBlock::upper_keys(const std::int32_t* dots, const CodeMeta& meta, double* out) const {
  chosen().query_keys(table(), dots, meta, out);
}

void QueryBlock::reaching(const std::int32_t* dots, const CodeMeta& meta, const double* floors,
                          double* keys, std::uint64_t* words) const {
  const kernels::KeyTable kt = table();
  if (chosen().reach != nullptr && chosen().reach(kt, dots, meta, floors, words)) return;
  chosen().query_keys(kt, dots, meta, keys);
  std::fill(words, words + (count() + 63) / 64, std::uint64_t{0});
  for (std::size_t j = 0; j < count(); ++j) {
    words[j / 64] |= static_cast<std::uint64_t>(!(keys[j] < floors[j])) << (j % 64);
  }
}

void QueryBlock::record_keys(const std::int32_t* dots, const CodeMeta* metas, std::size_t nrows,
                             double* out) const {
  chosen().record_keys(table(), dots, metas, nrows, out);
}

}  // namespace korvane_index::compact
