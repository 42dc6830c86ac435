// AVX2 kernels: one 8-lane register holds the eight accumulators of a blocked sum, lane j being
// accumulator j, so a block is one load, one multiply and one add per sum. The file is compiled
// with -mavx2 only (no -mfma): products and sums stay separately rounded.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>

#include "index/avx2_lanes.h"
#include "index/metric_kernels.h"
#include "index/scorer_kernels.h"

namespace korvane_index::kernels {
namespace {

float dot_avx2(const float* a, const float* b, std::size_t blocks) {
  __m256 acc = _mm256_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b)));
  }
  return combine_avx(acc);
}

CosineSums cosine_avx2(const float* a, const float* b, std::size_t blocks) {
  __m256 d = _mm256_setzero_ps(), na = _mm256_setzero_ps(), nb = _mm256_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const __m256 x = _mm256_loadu_ps(a), y = _mm256_loadu_ps(b);
    d = _mm256_add_ps(d, _mm256_mul_ps(x, y));
    na = _mm256_add_ps(na, _mm256_mul_ps(x, x));
    nb = _mm256_add_ps(nb, _mm256_mul_ps(y, y));
  }
  return {combine_avx(d), combine_avx(na), combine_avx(nb)};
}

CosineSums dot_norm_avx2(const float* a, const float* b, std::size_t blocks) {
  __m256 d = _mm256_setzero_ps(), nb = _mm256_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const __m256 y = _mm256_loadu_ps(b);
    d = _mm256_add_ps(d, _mm256_mul_ps(_mm256_loadu_ps(a), y));
    nb = _mm256_add_ps(nb, _mm256_mul_ps(y, y));
  }
  return {combine_avx(d), 0.0f, combine_avx(nb)};
}

float sqdiff_avx2(const float* a, const float* b, std::size_t blocks) {
  __m256 acc = _mm256_setzero_ps();
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const __m256 e = _mm256_sub_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(e, e));
  }
  return combine_avx(acc);
}

float manhattan_avx2(const float* a, const float* b, std::size_t n) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  float sum = 0.0f;
  std::size_t i = 0;
  alignas(32) float diff[8];
  for (; i + 8 <= n; i += 8) {
    _mm256_store_ps(diff, _mm256_and_ps(_mm256_sub_ps(_mm256_loadu_ps(a + i),
                                                      _mm256_loadu_ps(b + i)),
                                        magnitude));
    // The sum itself is one chain in index order; only the differences go wide.
    for (int j = 0; j < 8; ++j) sum += diff[j];
  }
  for (; i < n; ++i) sum += std::fabs(a[i] - b[i]);
  return sum;
}

}  // namespace

const Table kAvx2 = {
    "avx2", dot_avx2, cosine_avx2, dot_norm_avx2, sqdiff_avx2, manhattan_avx2, &kWideAvx2};

}  // namespace korvane_index::kernels

#endif  // __x86_64__
