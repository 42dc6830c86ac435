#include "storage/compact_copy.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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
  double residual2 = 0.0, norm2 = 0.0;
  // Any code is sound (the residual below is measured, not assumed); the nearest is the aim.
  const double inv = s > 0.0f ? 1.0 / static_cast<double>(s) : 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double x = v[i];
    const double c = std::clamp(std::floor((x - a) * inv + 0.5), -127.0, 127.0);
    out[i] = static_cast<std::uint8_t>(static_cast<int>(c) + 128);
    const double e = x - (static_cast<double>(a) + static_cast<double>(s) * c);
    residual2 += e * e;
    norm2 += x * x;
  }
  // Each e is within 2^-52 (|x| + |x^|) of the real residual and each square within 2^-52 of
  // itself (the 2^-40 and 2^-49 margins below); the sums' own rounding grows with the length
  // (sum_up).
  const double norm = std::sqrt(sum_up(norm2, v.size())) * (1.0 + 0x1p-40);
  const double residual =
      std::sqrt(sum_up(residual2, v.size())) * (1.0 + 0x1p-40) + 0x1p-49 * 2.0 * norm;
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
  double residual2 = 0.0, norm2 = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = v[i];
    const double e = x - (static_cast<double>(a4) + s4 * ((codes[i] >> 4) - 128));
    residual2 += e * e;
    norm2 += x * x;
  }
  // s4 (h - 128) is exact; the sum with a4 and the difference each round by 2^-53 of their
  // results, so each e is within 2^-52 (|x| + 2 |e|) of the real one: the margins of encode()
  // cover it.
  const double norm = std::sqrt(sum_up(norm2, v.size())) * (1.0 + 0x1p-40);
  const double residual =
      std::sqrt(sum_up(residual2, v.size())) * (1.0 + 0x1p-39) + 0x1p-49 * 2.0 * norm;
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
  for (float x : v) {
    finite = finite && std::isfinite(x);
    lo = std::min<double>(lo, x);
    hi = std::max<double>(hi, x);
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
  double residual2 = 0.0, coarse2 = 0.0, norm2 = 0.0;
  auto code = [&](std::size_t i) {
    const double x = v[i];
    const double c = std::clamp(std::floor((x - a) * inv + 0.5), -127.0, 127.0);
    const int r = static_cast<int>(c) + 128;
    const double e = x - (static_cast<double>(a) + static_cast<double>(s) * c);
    const double e4 = x - (static_cast<double>(a4) + s4 * ((r >> 4) - 128));
    residual2 += e * e;
    coarse2 += e4 * e4;
    norm2 += x * x;
    return r;
  };
  for (std::size_t j = 0; j < n / 2; ++j) {
    const int even = code(2 * j);
    const int odd = code(2 * j + 1);
    highs[j] = static_cast<std::uint8_t>((even >> 4) | (odd & 0xF0));
    lows[j] = static_cast<std::uint8_t>((even & 15) | ((odd & 15) << 4));
  }
  if (n % 2 != 0) {
    const int last = code(n - 1);
    highs[n / 2] = static_cast<std::uint8_t>(last >> 4);
    lows[n / 2] = static_cast<std::uint8_t>(last & 15);
  }
  // The margins of encode() and encode_coarse().
  const double norm = std::sqrt(sum_up(norm2, v.size())) * (1.0 + 0x1p-40);
  const double residual =
      std::sqrt(sum_up(residual2, v.size())) * (1.0 + 0x1p-40) + 0x1p-49 * 2.0 * norm;
  if (!(norm < 0x1p120)) {
    meta = {a, s, kNaN, kNaN};
    coarse = {0.0f, kNaN};
    return;
  }
  meta = {a, s, round_up(residual), round_up(norm)};
  const double residual4 =
      std::sqrt(sum_up(coarse2, v.size())) * (1.0 + 0x1p-39) + 0x1p-49 * 2.0 * norm;
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
