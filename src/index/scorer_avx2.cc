// AVX2 versions of the interleaved kernels. Compiled with -mavx2 only (no -mfma): every product
// and sum stays separately rounded, as in the one-pair kernels.
#include "index/scorer_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "index/avx2_lanes.h"
#include "index/metric_kernels.h"

namespace korvane_index::kernels {
namespace {

template <Sum S>
inline __m256 term(__m256 acc, __m256 x, __m256 y) {
  if constexpr (S == Sum::kSqDiff) {
    const __m256 e = _mm256_sub_ps(x, y);
    return _mm256_add_ps(acc, _mm256_mul_ps(e, e));
  } else {
    return _mm256_add_ps(acc, _mm256_mul_ps(x, y));
  }
}

template <Sum S, std::size_t N>
void vectors_n(const float* q, const float* const* v, std::size_t blocks, float* sums,
               float* norms) {
  __m256 acc[N], sq[N];
  const float* p[N];
  for (std::size_t i = 0; i < N; ++i) {
    acc[i] = _mm256_setzero_ps();
    sq[i] = _mm256_setzero_ps();
    p[i] = v[i];
  }
  for (std::size_t b = 0; b < blocks; ++b, q += 8) {
    const __m256 x = _mm256_loadu_ps(q);
    for (std::size_t i = 0; i < N; ++i) {
      const __m256 y = _mm256_loadu_ps(p[i] + 8 * b);
      acc[i] = term<S>(acc[i], x, y);
      if constexpr (S == Sum::kDotNorm) sq[i] = _mm256_add_ps(sq[i], _mm256_mul_ps(y, y));
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    sums[i] = combine_avx(acc[i]);
    if constexpr (S == Sum::kDotNorm) norms[i] = combine_avx(sq[i]);
  }
}

template <Sum S, std::size_t N>
void queries_n(const float* const* q, const float* v, std::size_t blocks, float* sums,
               float* norm) {
  __m256 acc[N];
  const float* p[N];
  for (std::size_t i = 0; i < N; ++i) {
    acc[i] = _mm256_setzero_ps();
    p[i] = q[i];
  }
  __m256 sq = _mm256_setzero_ps();
  for (std::size_t b = 0; b < blocks; ++b, v += 8) {
    const __m256 y = _mm256_loadu_ps(v);
    if constexpr (S == Sum::kDotNorm) sq = _mm256_add_ps(sq, _mm256_mul_ps(y, y));
    for (std::size_t i = 0; i < N; ++i) acc[i] = term<S>(acc[i], _mm256_loadu_ps(p[i] + 8 * b), y);
  }
  for (std::size_t i = 0; i < N; ++i) sums[i] = combine_avx(acc[i]);
  if constexpr (S == Sum::kDotNorm) *norm = combine_avx(sq);
}

template <Sum S>
void vectors_of(const float* q, const float* const* v, std::size_t n, std::size_t blocks,
                float* sums, float* norms) {
  switch (n) {
    case 1: return vectors_n<S, 1>(q, v, blocks, sums, norms);
    case 2: return vectors_n<S, 2>(q, v, blocks, sums, norms);
    case 3: return vectors_n<S, 3>(q, v, blocks, sums, norms);
    case 4: return vectors_n<S, 4>(q, v, blocks, sums, norms);
    default: return;
  }
}

template <Sum S>
void queries_of(const float* const* q, std::size_t n, const float* v, std::size_t blocks,
                float* sums, float* norm) {
  switch (n) {
    case 1: return queries_n<S, 1>(q, v, blocks, sums, norm);
    case 2: return queries_n<S, 2>(q, v, blocks, sums, norm);
    case 3: return queries_n<S, 3>(q, v, blocks, sums, norm);
    case 4: return queries_n<S, 4>(q, v, blocks, sums, norm);
    case 5: return queries_n<S, 5>(q, v, blocks, sums, norm);
    case 6: return queries_n<S, 6>(q, v, blocks, sums, norm);
    case 7: return queries_n<S, 7>(q, v, blocks, sums, norm);
    case 8: return queries_n<S, 8>(q, v, blocks, sums, norm);
    default: return;
  }
}

void vectors_avx2(Sum sum, const float* q, const float* const* v, std::size_t n,
                  std::size_t blocks, float* sums, float* norms) {
  switch (sum) {
    case Sum::kDot: return vectors_of<Sum::kDot>(q, v, n, blocks, sums, norms);
    case Sum::kDotNorm: return vectors_of<Sum::kDotNorm>(q, v, n, blocks, sums, norms);
    case Sum::kSqDiff: return vectors_of<Sum::kSqDiff>(q, v, n, blocks, sums, norms);
  }
}

void queries_avx2(Sum sum, const float* const* q, std::size_t n, const float* v,
                  std::size_t blocks, float* sums, float* norm) {
  switch (sum) {
    case Sum::kDot: return queries_of<Sum::kDot>(q, n, v, blocks, sums, norm);
    case Sum::kDotNorm: return queries_of<Sum::kDotNorm>(q, n, v, blocks, sums, norm);
    case Sum::kSqDiff: return queries_of<Sum::kSqDiff>(q, n, v, blocks, sums, norm);
  }
}

}  // namespace

const Wide kWideAvx2 = {vectors_avx2, queries_avx2};

}  // namespace korvane_index::kernels

#endif
