// AVX2 kernels: one 8-lane register holds the eight accumulators of a blocked sum, lane j being
// accumulator j, so a block is one load, one multiply and one add per sum. The file is compiled
// with -mavx2 only (no -mfma): products and sums stay separately rounded.
#include <immintrin.h>

#include <cmath>

#include "index/metric_kernels.h"

namespace korvane_index::kernels {
namespace {

inline float combine_avx(__m256 acc) {
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  return combine8(lanes);
}

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

void dot_x4_avx2(const float* a, const float* const* b, std::size_t blocks, float* out) {
  const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  __m256 s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  for (std::size_t o = 0; o < 8 * blocks; o += 8) {
    const __m256 x = _mm256_loadu_ps(a + o);
    s0 = _mm256_add_ps(s0, _mm256_mul_ps(x, _mm256_loadu_ps(b0 + o)));
    s1 = _mm256_add_ps(s1, _mm256_mul_ps(x, _mm256_loadu_ps(b1 + o)));
    s2 = _mm256_add_ps(s2, _mm256_mul_ps(x, _mm256_loadu_ps(b2 + o)));
    s3 = _mm256_add_ps(s3, _mm256_mul_ps(x, _mm256_loadu_ps(b3 + o)));
  }
  out[0] = combine_avx(s0);
  out[1] = combine_avx(s1);
  out[2] = combine_avx(s2);
  out[3] = combine_avx(s3);
}

void cosine_x4_avx2(const float* a, const float* const* b, std::size_t blocks, float* d,
                    float* nb) {
  const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
  __m256 d0 = _mm256_setzero_ps(), d1 = _mm256_setzero_ps();
  __m256 d2 = _mm256_setzero_ps(), d3 = _mm256_setzero_ps();
  __m256 n0 = _mm256_setzero_ps(), n1 = _mm256_setzero_ps();
  __m256 n2 = _mm256_setzero_ps(), n3 = _mm256_setzero_ps();
  for (std::size_t o = 0; o < 8 * blocks; o += 8) {
    const __m256 x = _mm256_loadu_ps(a + o);
    const __m256 y0 = _mm256_loadu_ps(b0 + o), y1 = _mm256_loadu_ps(b1 + o);
    const __m256 y2 = _mm256_loadu_ps(b2 + o), y3 = _mm256_loadu_ps(b3 + o);
    d0 = _mm256_add_ps(d0, _mm256_mul_ps(x, y0));
    n0 = _mm256_add_ps(n0, _mm256_mul_ps(y0, y0));
    d1 = _mm256_add_ps(d1, _mm256_mul_ps(x, y1));
    n1 = _mm256_add_ps(n1, _mm256_mul_ps(y1, y1));
    d2 = _mm256_add_ps(d2, _mm256_mul_ps(x, y2));
    n2 = _mm256_add_ps(n2, _mm256_mul_ps(y2, y2));
    d3 = _mm256_add_ps(d3, _mm256_mul_ps(x, y3));
    n3 = _mm256_add_ps(n3, _mm256_mul_ps(y3, y3));
  }
  d[0] = combine_avx(d0);
  d[1] = combine_avx(d1);
  d[2] = combine_avx(d2);
  d[3] = combine_avx(d3);
  nb[0] = combine_avx(n0);
  nb[1] = combine_avx(n1);
  nb[2] = combine_avx(n2);
  nb[3] = combine_avx(n3);
}

}  // namespace

const Table kAvx2 = {"avx2",         dot_avx2,    cosine_avx2,   sqdiff_avx2,
                     manhattan_avx2, dot_x4_avx2, cosine_x4_avx2};

}  // namespace korvane_index::kernels
