// The 8-bit kernels with AVX2: codes widened to 16 bits, products summed in pairs (vpmaddwd),
// exact. The key formulas of compact_kernels.h are compiled here too, four doubles to a register.
#include <immintrin.h>

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

void code_dots_avx2(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out) {
  for (std::size_t j = 0; j < count; ++j) out[j] = code_dot_avx2(r, gs[j], n);
}

void block_dots_avx2(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used, const std::int8_t*,
                     std::size_t lanes, std::size_t n, std::int32_t* out) {
  block_dots_by_rows(code_dots_avx2, rows, nrows, gs, lanes, used, n, out);
}

void query_keys_avx2(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                     double* out) {
  query_keys_any(kt, dots, meta, out);
}

void record_keys_avx2(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out) {
  record_keys_any(kt, dots, metas, nrows, out);
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
