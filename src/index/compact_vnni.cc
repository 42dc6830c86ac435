// code_dot with AVX-512 VNNI on 256-bit registers: vpdpbusd multiplies unsigned codes by signed
// plane values four at a time and adds the four products to 32-bit lanes, exactly.
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

inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// The last n % 32 bytes (n % 32 > 0) as one masked load: bytes past n read as zero.
inline __m256i load_tail(const void* p, std::size_t count) {
  return _mm256_maskz_loadu_epi8(static_cast<__mmask32>((std::uint64_t{1} << count) - 1), p);
}

}  // namespace

std::int32_t code_dot_vnni(const std::uint8_t* r, const std::int8_t* g, std::size_t n) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    acc0 = _mm256_dpbusd_epi32(acc0, load(r + i), load(g + i));
    acc1 = _mm256_dpbusd_epi32(acc1, load(r + i + 32), load(g + i + 32));
  }
  for (; i + 32 <= n; i += 32) acc0 = _mm256_dpbusd_epi32(acc0, load(r + i), load(g + i));
  if (i < n) acc1 = _mm256_dpbusd_epi32(acc1, load_tail(r + i, n - i), load_tail(g + i, n - i));
  return hsum(_mm256_add_epi32(acc0, acc1));
}

void code_dots_vnni(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out) {
  // Four planes at a time share each load of the codes.
  std::size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    const std::int8_t *g0 = gs[j], *g1 = gs[j + 1], *g2 = gs[j + 2], *g3 = gs[j + 3];
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      const __m256i c = load(r + i);
      a0 = _mm256_dpbusd_epi32(a0, c, load(g0 + i));
      a1 = _mm256_dpbusd_epi32(a1, c, load(g1 + i));
      a2 = _mm256_dpbusd_epi32(a2, c, load(g2 + i));
      a3 = _mm256_dpbusd_epi32(a3, c, load(g3 + i));
    }
    if (i < n) {
      const std::size_t t = n - i;
      const __m256i c = load_tail(r + i, t);
      a0 = _mm256_dpbusd_epi32(a0, c, load_tail(g0 + i, t));
      a1 = _mm256_dpbusd_epi32(a1, c, load_tail(g1 + i, t));
      a2 = _mm256_dpbusd_epi32(a2, c, load_tail(g2 + i, t));
      a3 = _mm256_dpbusd_epi32(a3, c, load_tail(g3 + i, t));
    }
    out[j] = hsum(a0);
    out[j + 1] = hsum(a1);
    out[j + 2] = hsum(a2);
    out[j + 3] = hsum(a3);
  }
  for (; j < count; ++j) out[j] = code_dot_vnni(r, gs[j], n);
}

}  // namespace korvane_index::compact::kernels
