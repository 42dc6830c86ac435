// NEON kernels for AArch64, in the SSE2 table's order: the eight accumulators of a blocked sum
// are two 4-lane registers, lanes 0-3 and 4-7 of each block. Multiplies and adds are separate
// instructions (the build turns contraction off, and no fused intrinsic is used), so every
// product and sum is rounded on its own, as in the reference.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <cmath>

#include "index/metric_kernels.h"

namespace korvane_index::kernels {
namespace {

inline float combine_neon(float32x4_t lo, float32x4_t hi) {
  float acc[8];
  vst1q_f32(acc, lo);
  vst1q_f32(acc + 4, hi);
  return combine8(acc);
}

float dot_neon(const float* a, const float* b, std::size_t blocks) {
  float32x4_t lo = vdupq_n_f32(0.0f), hi = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    lo = vaddq_f32(lo, vmulq_f32(vld1q_f32(a), vld1q_f32(b)));
    hi = vaddq_f32(hi, vmulq_f32(vld1q_f32(a + 4), vld1q_f32(b + 4)));
  }
  return combine_neon(lo, hi);
}

CosineSums cosine_neon(const float* a, const float* b, std::size_t blocks) {
  float32x4_t d0 = vdupq_n_f32(0.0f), d1 = vdupq_n_f32(0.0f);
  float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
  float32x4_t b0 = vdupq_n_f32(0.0f), b1 = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const float32x4_t x0 = vld1q_f32(a), x1 = vld1q_f32(a + 4);
    const float32x4_t y0 = vld1q_f32(b), y1 = vld1q_f32(b + 4);
    d0 = vaddq_f32(d0, vmulq_f32(x0, y0));
    d1 = vaddq_f32(d1, vmulq_f32(x1, y1));
    a0 = vaddq_f32(a0, vmulq_f32(x0, x0));
    a1 = vaddq_f32(a1, vmulq_f32(x1, x1));
    b0 = vaddq_f32(b0, vmulq_f32(y0, y0));
    b1 = vaddq_f32(b1, vmulq_f32(y1, y1));
  }
  return {combine_neon(d0, d1), combine_neon(a0, a1), combine_neon(b0, b1)};
}

CosineSums dot_norm_neon(const float* a, const float* b, std::size_t blocks) {
  float32x4_t d0 = vdupq_n_f32(0.0f), d1 = vdupq_n_f32(0.0f);
  float32x4_t b0 = vdupq_n_f32(0.0f), b1 = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const float32x4_t y0 = vld1q_f32(b), y1 = vld1q_f32(b + 4);
    d0 = vaddq_f32(d0, vmulq_f32(vld1q_f32(a), y0));
    d1 = vaddq_f32(d1, vmulq_f32(vld1q_f32(a + 4), y1));
    b0 = vaddq_f32(b0, vmulq_f32(y0, y0));
    b1 = vaddq_f32(b1, vmulq_f32(y1, y1));
  }
  return {combine_neon(d0, d1), 0.0f, combine_neon(b0, b1)};
}

float sqdiff_neon(const float* a, const float* b, std::size_t blocks) {
  float32x4_t lo = vdupq_n_f32(0.0f), hi = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    const float32x4_t e0 = vsubq_f32(vld1q_f32(a), vld1q_f32(b));
    const float32x4_t e1 = vsubq_f32(vld1q_f32(a + 4), vld1q_f32(b + 4));
    lo = vaddq_f32(lo, vmulq_f32(e0, e0));
    hi = vaddq_f32(hi, vmulq_f32(e1, e1));
  }
  return combine_neon(lo, hi);
}

float manhattan_neon(const float* a, const float* b, std::size_t n) {
  float sum = 0.0f;
  std::size_t i = 0;
  float diff[4];
  for (; i + 4 <= n; i += 4) {
    // The sum itself is one chain in index order; only the differences go wide.
    vst1q_f32(diff, vabsq_f32(vsubq_f32(vld1q_f32(a + i), vld1q_f32(b + i))));
    sum += diff[0];
    sum += diff[1];
    sum += diff[2];
    sum += diff[3];
  }
  for (; i < n; ++i) sum += std::fabs(a[i] - b[i]);
  return sum;
}

}  // namespace

const Table kNeon = {
    "neon", dot_neon, cosine_neon, dot_norm_neon, sqdiff_neon, manhattan_neon, nullptr};

}  // namespace korvane_index::kernels

#endif  // __aarch64__
