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

}  // namespace korvane_index::compact::kernels
