#include "storage/compact_copy.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane_storage {
namespace {

// The smallest float not below x (x >= 0, finite).
float round_up(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// An upper bound of the real sum of n non-negative doubles that were added one by one: each
// addition rounds by 2^-53 of its partial sum, none above the total, so the computed sum is
// within (n - 1) 2^-53 of the real one, relative.
double sum_up(double sum, std::size_t n) { return sum * (1.0 + static_cast<double>(n) * 0x1p-52); }

// The bounds of a vector's length and of a residual's from their squares' sums in two lanes (the
// even components', the odd ones'), n components in all; `margin` covers each square's rounding
// and the residual's 2^-49 |x| term each difference's (the encoders say why).
double norm_up(const double lanes[2], std::size_t n) {
  return std::sqrt(sum_up(lanes[0] + lanes[1], n)) * (1.0 + 0x1p-40);
}
double residual_up(const double lanes[2], std::size_t n, double margin, double norm) {
  return std::sqrt(sum_up(lanes[0] + lanes[1], n)) * (1.0 + margin) + 0x1p-49 * 2.0 * norm;
}

template <class T>
void grow(std::vector<T>& v, std::size_t n) {
  if (n > v.capacity()) v.reserve(std::max(n, v.capacity() + v.capacity() / 2));
}

}  // namespace

CompactMeta CompactCopy::encode(std::span<const float> v, std::uint8_t* out) noexcept {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  if (v.empty()) return {0.0f, 0.0f, 0.0f, 0.0f};
  double lo = v[0], hi = v[0];
  bool finite = true;
  for (float x : v) {
    finite = finite && std::isfinite(x);
    lo = std::min<double>(lo, x);
    hi = std::max<double>(hi, x);
  }
  if (!finite) {
    std::memset(out, 128, v.size());
    return {0.0f, 0.0f, kNaN, kNaN};
  }
  const float a = static_cast<float>((lo + hi) / 2.0);
  const float s = static_cast<float>((hi - lo) / 254.0);
  // The sums go in two lanes, the even components' and the odd ones', added at the end (the
  // order encode_halves keeps).
  double residual2[2] = {0.0, 0.0}, norm2[2] = {0.0, 0.0};
  // Any code is sound (the residual below is measured, not assumed); the nearest is the aim.
  const double inv = s > 0.0f ? 1.0 / static_cast<double>(s) : 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double x = v[i];
    const double c = std::clamp(std::floor((x - a) * inv + 0.5), -127.0, 127.0);
    out[i] = static_cast<std::uint8_t>(static_cast<int>(c) + 128);
    const double e = x - (static_cast<double>(a) + static_cast<double>(s) * c);
    residual2[i % 2] += e * e;
    norm2[i % 2] += x * x;
  }
  // Each e is within 2^-52 (|x| + |x^|) of the real residual and each square within 2^-52 of
  // itself (the 2^-40 and 2^-49 margins below); the sums' own rounding grows with the length
  // (sum_up, norm_up, residual_up).
  const double norm = norm_up(norm2, v.size());
  const double residual = residual_up(residual2, v.size(), 0x1p-40, norm);
  if (!(norm < 0x1p120)) return {a, s, kNaN, kNaN};
  return {a, s, round_up(residual), round_up(norm)};
}

CoarseMeta CompactCopy::encode_coarse(std::span<const float> v, const std::uint8_t* codes,
                                      const CompactMeta& fine, std::uint8_t* out) noexcept {
  const std::size_t n = v.size();
  for (std::size_t j = 0; j < n / 2; ++j) {
    out[j] = static_cast<std::uint8_t>((codes[2 * j] >> 4) | (codes[2 * j + 1] & 0xF0));
  }
  if (n % 2 != 0) out[n / 2] = static_cast<std::uint8_t>(codes[n - 1] >> 4);
  if (n == 0) return {0.0f, 0.0f};
  if (!(fine.residual >= 0.0f)) return {0.0f, fine.residual};
  // h stands for the codes 16 h .. 16 h + 15: x~ = a + s (16 h + 7.5 - 128), written as
  // a4 + 16 s (h - 128). Any a4 is sound (the residual is measured against the rounded one).
  const double s4 = 16.0 * static_cast<double>(fine.step);
  const float a4 = static_cast<float>(static_cast<double>(fine.offset) + 1927.5 * fine.step);
  double residual2[2] = {0.0, 0.0}, norm2[2] = {0.0, 0.0};  // lanes as in encode()
  for (std::size_t i = 0; i < n; ++i) {
    const double x = v[i];
    const double e = x - (static_cast<double>(a4) + s4 * ((codes[i] >> 4) - 128));
    residual2[i % 2] += e * e;
    norm2[i % 2] += x * x;
  }
  // s4 (h - 128) is exact; the sum with a4 and the difference each round by 2^-53 of their
  // results, so each e is within 2^-52 (|x| + 2 |e|) of the real one: the margins of encode()
  // cover it.
  const double norm = norm_up(norm2, v.size());
  const double residual = residual_up(residual2, v.size(), 0x1p-39, norm);
  if (!std::isfinite(s4 * 128.0) || !std::isfinite(a4) || !(residual < 0x1p120)) {
    return {0.0f, std::numeric_limits<float>::quiet_NaN()};
  }
  return {a4, round_up(residual)};
}

void CompactCopy::encode_halves(std::span<const float> v, std::uint8_t* highs, std::uint8_t* lows,
                                CompactMeta& meta, CoarseMeta& coarse) noexcept {
  // encode() and encode_coarse() in one pass over v: the same codes, and the same sums in the
  // same order, so the same numbers bit for bit.
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  const std::size_t n = v.size();
  meta = {0.0f, 0.0f, 0.0f, 0.0f};
  coarse = {0.0f, 0.0f};
  if (n == 0) return;
  double lo = v[0], hi = v[0];
  bool finite = true;
  std::size_t i = 0;
#if defined(__SSE2__)
  if (n >= 4) {
    // Four at a time; x - x is NaN exactly where x is not finite.
    __m128 low = _mm_set1_ps(v[0]), high = low, bad = _mm_setzero_ps();
    for (; i + 4 <= n; i += 4) {
      const __m128 x = _mm_loadu_ps(v.data() + i);
      low = _mm_min_ps(low, x);
      high = _mm_max_ps(high, x);
      const __m128 d = _mm_sub_ps(x, x);
      bad = _mm_or_ps(bad, _mm_cmpunord_ps(d, d));
    }
    float lows4[4], highs4[4];
    _mm_storeu_ps(lows4, low);
    _mm_storeu_ps(highs4, high);
    for (int k = 0; k < 4; ++k) {
      lo = std::min<double>(lo, lows4[k]);
      hi = std::max<double>(hi, highs4[k]);
    }
    finite = _mm_movemask_ps(bad) == 0;
  }
#endif
  for (; i < n; ++i) {
    finite = finite && std::isfinite(v[i]);
    lo = std::min<double>(lo, v[i]);
    hi = std::max<double>(hi, v[i]);
  }
  if (!finite) {  // every code 128
    std::memset(highs, 0x88, n / 2);
    std::memset(lows, 0, (n + 1) / 2);
    if (n % 2 != 0) highs[n / 2] = 0x08;
    meta = {0.0f, 0.0f, kNaN, kNaN};
    coarse = {0.0f, kNaN};
    return;
  }
  const float a = static_cast<float>((lo + hi) / 2.0);
  const float s = static_cast<float>((hi - lo) / 254.0);
  const double inv = s > 0.0f ? 1.0 / static_cast<double>(s) : 0.0;
  const double s4 = 16.0 * static_cast<double>(s);
  const float a4 = static_cast<float>(static_cast<double>(a) + 1927.5 * s);
  // Lane 0 sums the even components, lane 1 the odd ones.
  double residual2[2] = {0.0, 0.0}, coarse2[2] = {0.0, 0.0}, norm2[2] = {0.0, 0.0};
  auto code = [&](std::size_t i) {
    const double x = v[i];
    const double c = std::clamp(std::floor((x - a) * inv + 0.5), -127.0, 127.0);
    const int r = static_cast<int>(c) + 128;
    const double e = x - (static_cast<double>(a) + static_cast<double>(s) * c);
    const double e4 = x - (static_cast<double>(a4) + s4 * ((r >> 4) - 128));
    residual2[i % 2] += e * e;
    coarse2[i % 2] += e4 * e4;
    norm2[i % 2] += x * x;
    return r;
  };
  auto put = [&](std::size_t j, int even, int odd) {
    highs[j] = static_cast<std::uint8_t>((even >> 4) | (odd & 0xF0));
    lows[j] = static_cast<std::uint8_t>((even & 15) | ((odd & 15) << 4));
  };
  std::size_t j = 0;
#if defined(__SSE2__)
  {
    // A pair of components a step, one in each lane: the same operations on the same doubles as
    // code() (floor as truncation less one where that rose, exact on the clamped range).
    const __m128d va = _mm_set1_pd(a), vinv = _mm_set1_pd(inv), vs = _mm_set1_pd(s);
    const __m128d va4 = _mm_set1_pd(a4), vs4 = _mm_set1_pd(s4);
    const __m128d half = _mm_set1_pd(0.5), one = _mm_set1_pd(1.0);
    const __m128d wide_lo = _mm_set1_pd(-128.0), wide_hi = _mm_set1_pd(128.0);
    const __m128d code_lo = _mm_set1_pd(-127.0), code_hi = _mm_set1_pd(127.0);
    const __m128i k128 = _mm_set1_epi32(128);
    __m128d r2 = _mm_setzero_pd(), c2 = _mm_setzero_pd(), x2 = _mm_setzero_pd();
    for (; j < n / 2; ++j) {
      const __m128d x = _mm_cvtps_pd(
          _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(v.data() + 2 * j))));
      const __m128d y = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(x, va), vinv), half);
      const __m128d yc = _mm_min_pd(_mm_max_pd(y, wide_lo), wide_hi);
      const __m128d t = _mm_cvtepi32_pd(_mm_cvttpd_epi32(yc));
      const __m128d f = _mm_sub_pd(t, _mm_and_pd(_mm_cmpgt_pd(t, yc), one));
      const __m128d c = _mm_min_pd(_mm_max_pd(f, code_lo), code_hi);
      const __m128i r = _mm_add_epi32(_mm_cvttpd_epi32(c), k128);
      const __m128d e = _mm_sub_pd(x, _mm_add_pd(va, _mm_mul_pd(vs, c)));
      const __m128d h = _mm_cvtepi32_pd(_mm_sub_epi32(_mm_srli_epi32(r, 4), k128));
      const __m128d e4 = _mm_sub_pd(x, _mm_add_pd(va4, _mm_mul_pd(vs4, h)));
      r2 = _mm_add_pd(r2, _mm_mul_pd(e, e));
      c2 = _mm_add_pd(c2, _mm_mul_pd(e4, e4));
      x2 = _mm_add_pd(x2, _mm_mul_pd(x, x));
      put(j, _mm_cvtsi128_si32(r), _mm_cvtsi128_si32(_mm_shuffle_epi32(r, 1)));
    }
    _mm_storeu_pd(residual2, r2);
    _mm_storeu_pd(coarse2, c2);
    _mm_storeu_pd(norm2, x2);
  }
#endif
  for (; j < n / 2; ++j) {
    const int even = code(2 * j);
    put(j, even, code(2 * j + 1));
  }
  if (n % 2 != 0) {
    const int last = code(n - 1);
    highs[n / 2] = static_cast<std::uint8_t>(last >> 4);
    lows[n / 2] = static_cast<std::uint8_t>(last & 15);
  }
  // The margins of encode() and encode_coarse().
  const double norm = norm_up(norm2, n);
  const double residual = residual_up(residual2, n, 0x1p-40, norm);
  if (!(norm < 0x1p120)) {
    meta = {a, s, kNaN, kNaN};
    coarse = {0.0f, kNaN};
    return;
  }
  meta = {a, s, round_up(residual), round_up(norm)};
  const double residual4 = residual_up(coarse2, n, 0x1p-39, norm);
  if (!std::isfinite(s4 * 128.0) || !std::isfinite(a4) || !(residual4 < 0x1p120)) {
    coarse = {0.0f, kNaN};
  } else {
    coarse = {a4, round_up(residual4)};
  }
}

void CompactCopy::reserve(std::size_t slots, std::size_t components) {
  grow(meta_, slots);
  grow(coarse_, slots);
  grow(highs_, half_bytes(slots, components));
  grow(lows_, half_bytes(slots, components));
}

void CompactCopy::push(std::span<const float> v) noexcept {
  const std::size_t at = half_offset(meta_.size(), components_);
  components_ += v.size();
  // Within capacity: resize allocates nothing.
  highs_.resize((components_ + meta_.size() + 1) / 2);
  lows_.resize(highs_.size());
  CompactMeta meta;
  CoarseMeta coarse;
  encode_halves(v, highs_.data() + at, lows_.data() + at, meta, coarse);
  meta_.push_back(meta);
  coarse_.push_back(coarse);
}

void CompactCopy::push_encoded(const EncodedCopy& copy, std::size_t length) noexcept {
  const std::size_t at = half_offset(meta_.size(), components_);
  components_ += length;
  highs_.resize((components_ + meta_.size() + 1) / 2);
  lows_.resize(highs_.size());
  std::copy(copy.highs.begin(), copy.highs.end(), highs_.data() + at);
  std::copy(copy.lows.begin(), copy.lows.end(), lows_.data() + at);
  meta_.push_back(copy.meta);
  coarse_.push_back(copy.coarse);
}

void CompactCopy::move(std::size_t to, std::size_t from, std::size_t to_offset,
                       std::size_t from_offset, std::size_t length) noexcept {
  const std::size_t to_half = half_offset(to, to_offset);
  const std::size_t from_half = half_offset(from, from_offset);
  if (length > 0 && to_half != from_half) {
    std::memmove(highs_.data() + to_half, highs_.data() + from_half, (length + 1) / 2);
    std::memmove(lows_.data() + to_half, lows_.data() + from_half, (length + 1) / 2);
  }
  meta_[to] = meta_[from];
  coarse_[to] = coarse_[from];
}

void CompactCopy::truncate(std::size_t slots, std::size_t components) noexcept {
  meta_.resize(std::min(slots, meta_.size()));
  coarse_.resize(meta_.size());
  components_ = std::min(components, components_);
  highs_.resize((components_ + meta_.size()) / 2);
  lows_.resize(highs_.size());
}

}  // namespace korvane_storage
