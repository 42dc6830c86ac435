// What the AVX2 kernels (the one-pair table and the interleaved ones) share: a register of eight
// lanes is a blocked sum's eight accumulators. Included only by files compiled with -mavx2.
#pragma once

#include <immintrin.h>

#include "index/metric_kernels.h"

namespace korvane_index::kernels {

// The eight lanes combined in the fixed order.
inline float combine_avx(__m256 acc) {
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  return combine8(lanes);
}

}  // namespace korvane_index::kernels
