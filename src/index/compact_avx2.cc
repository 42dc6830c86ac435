// The 8-bit kernels with AVX2: codes widened to 16 bits, products summed in pairs (vpmaddwd),
// exact. One row against many planes splits the codes into their halves instead, once for all
// the planes: vpmaddubsw multiplies 32 halves by 32 plane values at a time (see row_planes()).
// The keys are in compact_keys_avx2.cc.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "index/compact_kernels.h"

namespace korvane_index::compact::kernels {
namespace {

inline std::int32_t hsum(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4e));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xb1));
  return _mm_cvtsi128_si32(s);
}

inline __m256i step(__m256i acc, const std::uint8_t* r, const std::int8_t* g) {
  const __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r)));
  const __m256i b = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(g)));
  return _mm256_add_epi32(acc, _mm256_madd_epi16(a, b));
}

}  // namespace

void nibble_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows, const std::int8_t* even,
                      const std::int8_t* odd, std::size_t bytes, std::int32_t* out) {
  // vpmaddubsw's pairs of products stay far inside 16 bits (2 * 15 * 128), so nothing saturates.
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i ones = _mm256_set1_epi16(1);
  for (std::size_t r = 0; r < nrows; ++r) {
    const std::uint8_t* row = rows[r];
    __m256i acc0 = _mm256_setzero_si256(), acc1 = acc0;
    std::size_t j = 0;
    for (; j + 32 <= bytes; j += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j));
      const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(even + j));
      const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(odd + j));
      const __m256i lo = _mm256_and_si256(v, low);
      const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_maddubs_epi16(lo, e), ones));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_maddubs_epi16(hi, o), ones));
    }
    std::int32_t total = hsum(_mm256_add_epi32(acc0, acc1));
    for (; j < bytes; ++j) total += (row[j] & 15) * even[j] + (row[j] >> 4) * odd[j];
    out[r] = total;
  }
}

std::int32_t code_dot_avx2(const std::uint8_t* r, const std::int8_t* g, std::size_t n) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc0 = step(acc0, r + i, g + i);
    acc1 = step(acc1, r + i + 16, g + i + 16);
  }
  for (; i + 16 <= n; i += 16) acc0 = step(acc0, r + i, g + i);
  std::int32_t total = hsum(_mm256_add_epi32(acc0, acc1));
  for (; i < n; ++i) total += static_cast<std::int32_t>(r[i]) * g[i];
  return total;
}

namespace {

constexpr std::size_t kBytes = 32;
// A product of halves (0..15) with plane values (-128..127) summed in pairs is at most 3840 in
// size, so a 16-bit lane holds the sum of eight chunks' pairs exactly; then it is widened.
constexpr std::size_t kChunksPerWiden = 8;

// The last n % 32 codes of a row, or of a plane, zero past them: one more whole chunk.
// Nothing is copied when n is a multiple of 32; a few tails fit on the stack.
template <class T>
class Tails {
 public:
  Tails(const T* const* from, std::size_t count, std::size_t n) {
    const std::size_t at = n / kBytes * kBytes;
    if (at == n) return;
    if (count > kInline) {
      heap_.assign(count * kBytes, 0);
      data_ = heap_.data();
    } else {
      std::fill_n(inline_, count * kBytes, T{0});
    }
    for (std::size_t j = 0; j < count; ++j) std::memcpy(data_ + j * kBytes, from[j] + at, n - at);
  }
  const T* of(std::size_t j) const { return data_ + j * kBytes; }

 private:
  static constexpr std::size_t kInline = 16;
  T inline_[kInline * kBytes];
  T* data_ = inline_;
  std::vector<T> heap_;
};

inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// out[j] = the products of one row of n codes with planes gs[0..Q): the codes' high halves h
// and low halves l are split once per chunk of 32 and multiplied by each plane in 16-bit pair
// sums (vpmaddubsw), H and L gathered apart in 16 bits for up to eight chunks, then
// 16 H + L in 32 bits (vpmaddwd by 16 and by 1). `tail` and `g_tail` hold the last chunk.
template <int Q>
inline void row_planes(const std::uint8_t* row, const std::uint8_t* tail,
                       const std::int8_t* const* gs, const std::int8_t* const* g_tail,
                       std::size_t n, std::int32_t* out) {
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i sixteen = _mm256_set1_epi16(16), ones = _mm256_set1_epi16(1);
  const std::size_t whole = n / kBytes, chunks = (n + kBytes - 1) / kBytes;
  __m256i wide[Q];
  for (int q = 0; q < Q; ++q) wide[q] = _mm256_setzero_si256();
  for (std::size_t c0 = 0; c0 < chunks; c0 += kChunksPerWiden) {
    const std::size_t c1 = std::min(chunks, c0 + kChunksPerWiden);
    __m256i hs[Q], ls[Q];
    for (int q = 0; q < Q; ++q) hs[q] = ls[q] = _mm256_setzero_si256();
    auto chunk = [&](__m256i v, auto plane) {
      const __m256i l = _mm256_and_si256(v, low);
      const __m256i h = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
      for (int q = 0; q < Q; ++q) {
        const __m256i g = load(plane(q));
        hs[q] = _mm256_add_epi16(hs[q], _mm256_maddubs_epi16(h, g));
        ls[q] = _mm256_add_epi16(ls[q], _mm256_maddubs_epi16(l, g));
      }
    };
    const std::size_t stop = std::min(c1, whole);
    for (std::size_t c = c0; c < stop; ++c) {
      chunk(load(row + c * kBytes), [&](int q) { return gs[q] + c * kBytes; });
    }
    if (stop < c1) chunk(load(tail), [&](int q) { return g_tail[q]; });
    for (int q = 0; q < Q; ++q) {
      wide[q] = _mm256_add_epi32(
          wide[q], _mm256_add_epi32(_mm256_madd_epi16(hs[q], sixteen), _mm256_madd_epi16(ls[q], ones)));
    }
  }
  if constexpr (Q == 4) {
    const __m256i s = _mm256_hadd_epi32(_mm256_hadd_epi32(wide[0], wide[1]),
                                        _mm256_hadd_epi32(wide[2], wide[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1)));
  } else {
    for (int q = 0; q < Q; ++q) out[q] = hsum(wide[q]);
  }
}

// Rows against planes: four planes at a time through all the rows, which stay in the first
// level cache while the planes change.
void rows_planes(const std::uint8_t* const* rows, std::size_t nrows, const std::int8_t* const* gs,
                 std::size_t used, std::size_t lanes, std::size_t n, std::int32_t* out) {
  const Tails<std::uint8_t> row_tails(rows, nrows, n);
  const Tails<std::int8_t> plane_tails(gs, used, n);
  const std::int8_t* g_tail[4];
  std::size_t j = 0;
  auto group = [&](auto q_count) {
    constexpr int Q = decltype(q_count)::value;
    for (int q = 0; q < Q; ++q) g_tail[q] = plane_tails.of(j + q);
    for (std::size_t r = 0; r < nrows; ++r) {
      row_planes<Q>(rows[r], row_tails.of(r), gs + j, g_tail, n, out + r * lanes + j);
    }
    j += Q;
  };
  while (j + 4 <= used) group(std::integral_constant<int, 4>());
  switch (used - j) {
    case 3:
      return group(std::integral_constant<int, 3>());
    case 2:
      return group(std::integral_constant<int, 2>());
    case 1:
      return group(std::integral_constant<int, 1>());
    default:
      return;
  }
}

}  // namespace

void code_dots_avx2(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out) {
  rows_planes(&r, 1, gs, count, count, n, out);
}

void block_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used, const std::int8_t*,
                     std::size_t lanes, std::size_t n, std::int32_t* out) {
  rows_planes(rows, nrows, gs, used, lanes, n, out);
}

namespace {

// out[q] = the products of one row of packed halves with split planes q < Q: per chunk of 32
// bytes the row's low and high halves against the planes' even and odd bytes (vpmaddubsw),
// gathered apart in 16 bits for up to eight chunks, then widened (vpmaddwd by 1).
template <int Q>
inline void halves_planes(const std::uint8_t* row, const std::uint8_t* tail,
                          const std::int8_t* const* evens, const std::int8_t* const* odds,
                          std::size_t bytes, std::int32_t* out) {
  const __m256i low = _mm256_set1_epi8(0x0F), ones = _mm256_set1_epi16(1);
  const std::size_t whole = bytes / kBytes, chunks = (bytes + kBytes - 1) / kBytes;
  __m256i wide[Q];
  for (int q = 0; q < Q; ++q) wide[q] = _mm256_setzero_si256();
  for (std::size_t c0 = 0; c0 < chunks; c0 += kChunksPerWiden) {
    const std::size_t c1 = std::min(chunks, c0 + kChunksPerWiden);
    __m256i es[Q], os[Q];
    for (int q = 0; q < Q; ++q) es[q] = os[q] = _mm256_setzero_si256();
    for (std::size_t c = c0; c < c1; ++c) {
      const __m256i v = load(c < whole ? row + c * kBytes : tail);
      const __m256i l = _mm256_and_si256(v, low);
      const __m256i h = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
      for (int q = 0; q < Q; ++q) {
        es[q] = _mm256_add_epi16(es[q], _mm256_maddubs_epi16(l, load(evens[q] + c * kBytes)));
        os[q] = _mm256_add_epi16(os[q], _mm256_maddubs_epi16(h, load(odds[q] + c * kBytes)));
      }
    }
    for (int q = 0; q < Q; ++q) {
      wide[q] = _mm256_add_epi32(
          wide[q], _mm256_add_epi32(_mm256_madd_epi16(es[q], ones), _mm256_madd_epi16(os[q], ones)));
    }
  }
  if constexpr (Q == 4) {
    const __m256i s = _mm256_hadd_epi32(_mm256_hadd_epi32(wide[0], wide[1]),
                                        _mm256_hadd_epi32(wide[2], wide[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1)));
  } else {
    for (int q = 0; q < Q; ++q) out[q] = hsum(wide[q]);
  }
}

// Two rows against planes q < Q at once, each plane's chunk loaded once for both: the low and
// high halves' products summed together in 16 bits (two pair sums a chunk, at most 7620 in
// size, so four chunks fit) and widened every four chunks. The same integers as
// halves_planes().
template <int Q>
inline void halves_planes2(const std::uint8_t* const* rows, const std::uint8_t* const* tails,
                           const std::int8_t* const* evens, const std::int8_t* const* odds,
                           std::size_t bytes, std::size_t stride, std::int32_t* out) {
  constexpr std::size_t kPerWiden = 4;
  const __m256i low = _mm256_set1_epi8(0x0F), ones = _mm256_set1_epi16(1);
  const std::size_t whole = bytes / kBytes, chunks = (bytes + kBytes - 1) / kBytes;
  __m256i wide[2][Q];
  for (int q = 0; q < Q; ++q) wide[0][q] = wide[1][q] = _mm256_setzero_si256();
  for (std::size_t c0 = 0; c0 < chunks; c0 += kPerWiden) {
    const std::size_t c1 = std::min(chunks, c0 + kPerWiden);
    __m256i acc[2][Q];
    for (int q = 0; q < Q; ++q) acc[0][q] = acc[1][q] = _mm256_setzero_si256();
    for (std::size_t c = c0; c < c1; ++c) {
      const __m256i v0 = load(c < whole ? rows[0] + c * kBytes : tails[0]);
      const __m256i v1 = load(c < whole ? rows[1] + c * kBytes : tails[1]);
      const __m256i l0 = _mm256_and_si256(v0, low);
      const __m256i h0 = _mm256_and_si256(_mm256_srli_epi16(v0, 4), low);
      const __m256i l1 = _mm256_and_si256(v1, low);
      const __m256i h1 = _mm256_and_si256(_mm256_srli_epi16(v1, 4), low);
      for (int q = 0; q < Q; ++q) {
        const __m256i e = load(evens[q] + c * kBytes), o = load(odds[q] + c * kBytes);
        acc[0][q] = _mm256_add_epi16(acc[0][q], _mm256_add_epi16(_mm256_maddubs_epi16(l0, e),
                                                                 _mm256_maddubs_epi16(h0, o)));
        acc[1][q] = _mm256_add_epi16(acc[1][q], _mm256_add_epi16(_mm256_maddubs_epi16(l1, e),
                                                                 _mm256_maddubs_epi16(h1, o)));
      }
    }
    for (int r = 0; r < 2; ++r) {
      for (int q = 0; q < Q; ++q) {
        wide[r][q] = _mm256_add_epi32(wide[r][q], _mm256_madd_epi16(acc[r][q], ones));
      }
    }
  }
  (void)stride;
  for (int r = 0; r < 2; ++r) {
    if constexpr (Q == 4) {
      const __m256i s = _mm256_hadd_epi32(_mm256_hadd_epi32(wide[r][0], wide[r][1]),
                                          _mm256_hadd_epi32(wide[r][2], wide[r][3]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + r * stride),
                       _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1)));
    } else {
      for (int q = 0; q < Q; ++q) out[r * stride + q] = hsum(wide[r][q]);
    }
  }
}

}  // namespace

// Four planes at a time through all the rows, two rows at a time, as rows_planes() goes.
void batch_nibble_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows,
                            const std::int8_t* const* evens, const std::int8_t* const* odds,
                            std::size_t count, std::size_t bytes, std::size_t,
                            std::int32_t* out) {
  const Tails<std::uint8_t> row_tails(rows, nrows, bytes);
  std::size_t j = 0;
  auto group = [&](auto q_count) {
    constexpr int Q = decltype(q_count)::value;
    std::size_t r = 0;
    for (; r + 2 <= nrows; r += 2) {
      const std::uint8_t* tails[2] = {row_tails.of(r), row_tails.of(r + 1)};
      halves_planes2<Q>(rows + r, tails, evens + j, odds + j, bytes, count, out + r * count + j);
    }
    for (; r < nrows; ++r) {
      halves_planes<Q>(rows[r], row_tails.of(r), evens + j, odds + j, bytes, out + r * count + j);
    }
    j += Q;
  };
  while (j + 4 <= count) group(std::integral_constant<int, 4>());
  switch (count - j) {
    case 3:
      return group(std::integral_constant<int, 3>());
    case 2:
      return group(std::integral_constant<int, 2>());
    case 1:
      return group(std::integral_constant<int, 1>());
    default:
      return;
  }
}

namespace {

// |q[i..i+8) - (a + s (r[i..i+8) - 128))|, each step rounded on its own.
inline __m256 l1_terms(const float* q, const std::uint8_t* r, __m256 a, __m256 s) {
  const __m256i c = _mm256_sub_epi32(
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r))),
      _mm256_set1_epi32(128));
  const __m256 y = _mm256_add_ps(a, _mm256_mul_ps(s, _mm256_cvtepi32_ps(c)));
  return _mm256_and_ps(_mm256_sub_ps(_mm256_loadu_ps(q), y),
                       _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
}

}  // namespace

float l1_sum_avx2(const float* q, const std::uint8_t* r, std::size_t n, float a, float s) {
  const __m256 va = _mm256_set1_ps(a), vs = _mm256_set1_ps(s);
  __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc0 = _mm256_add_ps(acc0, l1_terms(q + i, r + i, va, vs));
    acc1 = _mm256_add_ps(acc1, l1_terms(q + i + 8, r + i + 8, va, vs));
    acc2 = _mm256_add_ps(acc2, l1_terms(q + i + 16, r + i + 16, va, vs));
    acc3 = _mm256_add_ps(acc3, l1_terms(q + i + 24, r + i + 24, va, vs));
  }
  for (; i + 8 <= n; i += 8) acc0 = _mm256_add_ps(acc0, l1_terms(q + i, r + i, va, vs));
  const __m256 v = _mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  float total = _mm_cvtss_f32(h);
  for (; i < n; ++i) {
    const float y = a + s * static_cast<float>(static_cast<int>(r[i]) - 128);
    total += std::fabs(q[i] - y);
  }
  return total;
}

}  // namespace korvane_index::compact::kernels
