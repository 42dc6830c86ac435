// SSE2 kernels: every x86-64 processor has SSE2, so this is the x86 floor. The eight
// accumulators of a blocked sum are two registers, lanes 0-3 and 4-7 of each block.
#if defined(__x86_64__)

#include <emmintrin.h>

#include <cmath>

#include "index/metric_kernels.h"

namespace korvane_index::kernels {
namespace {

inline float combine_sse(__m128 lo, __m128 hi) {
  alignas(16) float acc[8];
  _mm_store_ps(acc, lo);
  _mm_store_ps(acc + 4, hi);
  return combine8(acc);
}

float dot_sse2(const float* a, const float* b, std::size_t blocks) {
  __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    lo = _mm_add_ps(lo, _mm_mul_ps(_mm_loadu_ps(a), _mm_loadu_ps(b)));
    hi = _mm_add_ps(hi, _mm_mul_ps(_mm_loadu_ps(a + 4), _mm_loadu_ps(b + 4)));
  }
  return combine_sse(lo, hi);
}

CosineSums cosine_sse2(const float* a, const float* b, std::size_t blocks) {
  __m128 d0 = _mm_setzero_ps(), d1 = _mm_setzero_ps();
  __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
  __m128 b0 = _mm_setzero_ps(), b1 = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const __m128 x0 = _mm_loadu_ps(a), x1 = _mm_loadu_ps(a + 4);
    const __m128 y0 = _mm_loadu_ps(b), y1 = _mm_loadu_ps(b + 4);
    d0 = _mm_add_ps(d0, _mm_mul_ps(x0, y0));
    d1 = _mm_add_ps(d1, _mm_mul_ps(x1, y1));
    a0 = _mm_add_ps(a0, _mm_mul_ps(x0, x0));
    a1 = _mm_add_ps(a1, _mm_mul_ps(x1, x1));
    b0 = _mm_add_ps(b0, _mm_mul_ps(y0, y0));
    b1 = _mm_add_ps(b1, _mm_mul_ps(y1, y1));
  }
  return {combine_sse(d0, d1), combine_sse(a0, a1), combine_sse(b0, b1)};
}

CosineSums dot_norm_sse2(const float* a, const float* b, std::size_t blocks) {
  __m128 d0 = _mm_setzero_ps(), d1 = _mm_setzero_ps();
  __m128 b0 = _mm_setzero_ps(), b1 = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const __m128 y0 = _mm_loadu_ps(b), y1 = _mm_loadu_ps(b + 4);
    d0 = _mm_add_ps(d0, _mm_mul_ps(_mm_loadu_ps(a), y0));
    d1 = _mm_add_ps(d1, _mm_mul_ps(_mm_loadu_ps(a + 4), y1));
    b0 = _mm_add_ps(b0, _mm_mul_ps(y0, y0));
    b1 = _mm_add_ps(b1, _mm_mul_ps(y1, y1));
  }
  return {combine_sse(d0, d1), 0.0f, combine_sse(b0, b1)};
}

float sqdiff_sse2(const float* a, const float* b, std::size_t blocks) {
  __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const __m128 e0 = _mm_sub_ps(_mm_loadu_ps(a), _mm_loadu_ps(b));
    const __m128 e1 = _mm_sub_ps(_mm_loadu_ps(a + 4), _mm_loadu_ps(b + 4));
    lo = _mm_add_ps(lo, _mm_mul_ps(e0, e0));
    hi = _mm_add_ps(hi, _mm_mul_ps(e1, e1));
  }
  return combine_sse(lo, hi);
}

float manhattan_sse2(const float* a, const float* b, std::size_t n) {
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  float sum = 0.0f;
  std::size_t i = 0;
  alignas(16) float diff[4];
  for (; i + 4 <= n; i += 4) {
    _mm_store_ps(diff, _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)), magnitude));
    sum += diff[0];
    sum += diff[1];
    sum += diff[2];
    sum += diff[3];
  }
  for (; i < n; ++i) sum += std::fabs(a[i] - b[i]);
  return sum;
}

}  // namespace

const Table kSse2 = {
    "sse2", dot_sse2, cosine_sse2, dot_norm_sse2, sqdiff_sse2, manhattan_sse2, nullptr};

}  // namespace korvane_index::kernels

#endif  // __x86_64__
