// The 8-bit kernels for AArch64, in two versions: SDOT (the dot product instructions, asked of
// the processor at first use) and plain widening multiplies, which every AArch64 processor has.
// Both are exact integer arithmetic and give the portable products.
//
// SDOT multiplies signed bytes by signed bytes; the codes are unsigned. A code r flipped in its
// top bit reads as the signed byte r - 128, so
//   sum r[i] g[i] = sum (r[i] - 128) g[i] - sum (-128) g[i],
// two SDOT sums, each within 128 * 128 * n < 2^31 for n <= kMaxLength. Bytes past the length
// are zero in both operands (a zero code reads as -128, against a zero plane value): they add
// nothing to either sum. The key formulas need nothing of this file: the portable ones are
// already compiled for Advanced SIMD, which every AArch64 processor has.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstring>

#include "index/compact_kernels.h"

namespace korvane_index::compact::kernels {
namespace {

// --- widening multiplies ------------------------------------------------------------------

// Sixteen products: codes widened to 16 bits (0..255 fit a signed lane), plane values widened
// too, multiplied into 32-bit lanes and added there.
inline int32x4_t widen_step(int32x4_t acc, const std::uint8_t* r, const std::int8_t* g) {
  const uint8x16_t c = vld1q_u8(r);
  const int8x16_t q = vld1q_s8(g);
  const int16x8_t c_lo = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(c)));
  const int16x8_t c_hi = vreinterpretq_s16_u16(vmovl_high_u8(c));
  const int16x8_t q_lo = vmovl_s8(vget_low_s8(q));
  const int16x8_t q_hi = vmovl_high_s8(q);
  acc = vmlal_s16(acc, vget_low_s16(c_lo), vget_low_s16(q_lo));
  acc = vmlal_high_s16(acc, c_lo, q_lo);
  acc = vmlal_s16(acc, vget_low_s16(c_hi), vget_low_s16(q_hi));
  return vmlal_high_s16(acc, c_hi, q_hi);
}

// --- dot product instructions ---------------------------------------------------------------

#define KORVANE_DOTPROD __attribute__((target("arch=armv8.2-a+dotprod")))

// Sixteen bytes of codes as the signed bytes r - 128.
KORVANE_DOTPROD inline int8x16_t centred(const std::uint8_t* r) {
  return vreinterpretq_s8_u8(veorq_u8(vld1q_u8(r), vdupq_n_u8(0x80)));
}

// The last n % 16 bytes (0 < count < 16) of a row or plane, zero-padded to sixteen.
inline void pad_tail(std::uint8_t (&to)[16], const void* from, std::size_t count) {
  std::memset(to, 0, sizeof to);
  std::memcpy(to, from, count);
}

// R rows against U planes over sixteen codes from `at`: R * U product sums, and U sums of the
// planes shared by every row.
template <int R, int U>
KORVANE_DOTPROD inline void sdot_step(const std::uint8_t* const* rows, const std::int8_t* const* gs,
                                      std::size_t at, int32x4_t (&acc)[R][U],
                                      int32x4_t (&sum)[U]) {
  const int8x16_t m128 = vdupq_n_s8(-128);
  int8x16_t g[U];
  for (int u = 0; u < U; ++u) {
    g[u] = vld1q_s8(gs[u] + at);
    sum[u] = vdotq_s32(sum[u], g[u], m128);
  }
  for (int r = 0; r < R; ++r) {
    const int8x16_t c = centred(rows[r] + at);
    for (int u = 0; u < U; ++u) acc[r][u] = vdotq_s32(acc[r][u], c, g[u]);
  }
}

// R rows against U planes: out[r * lanes + u].
template <int R, int U>
KORVANE_DOTPROD void sdot_tile(const std::uint8_t* const* rows, const std::int8_t* const* gs,
                               std::size_t lanes, std::size_t n, std::int32_t* out) {
  int32x4_t acc[R][U], sum[U];
  for (int u = 0; u < U; ++u) {
    sum[u] = vdupq_n_s32(0);
    for (int r = 0; r < R; ++r) acc[r][u] = vdupq_n_s32(0);
  }
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) sdot_step<R, U>(rows, gs, i, acc, sum);
  if (i < n) {
    std::uint8_t tail_rows[R][16], tail_planes[U][16];
    const std::uint8_t* codes[R];
    const std::int8_t* planes[U];
    for (int r = 0; r < R; ++r) {
      pad_tail(tail_rows[r], rows[r] + i, n - i);
      codes[r] = tail_rows[r];
    }
    for (int u = 0; u < U; ++u) {
      pad_tail(tail_planes[u], gs[u] + i, n - i);
      planes[u] = reinterpret_cast<const std::int8_t*>(tail_planes[u]);
    }
    sdot_step<R, U>(codes, planes, 0, acc, sum);
  }
  for (int r = 0; r < R; ++r) {
    for (int u = 0; u < U; ++u) out[r * lanes + u] = vaddvq_s32(vsubq_s32(acc[r][u], sum[u]));
  }
}

template <int R>
KORVANE_DOTPROD void sdot_rows(const std::uint8_t* const* rows, const std::int8_t* const* gs,
                               std::size_t used, std::size_t lanes, std::size_t n,
                               std::int32_t* out) {
  std::size_t j = 0;
  for (; j + 4 <= used; j += 4) sdot_tile<R, 4>(rows, gs + j, lanes, n, out + j);
  switch (used - j) {
    case 3:
      return sdot_tile<R, 3>(rows, gs + j, lanes, n, out + j);
    case 2:
      return sdot_tile<R, 2>(rows, gs + j, lanes, n, out + j);
    case 1:
      return sdot_tile<R, 1>(rows, gs + j, lanes, n, out + j);
    default:
      return;
  }
}

}  // namespace

std::int32_t code_dot_neon(const std::uint8_t* r, const std::int8_t* g, std::size_t n) {
  int32x4_t acc0 = vdupq_n_s32(0), acc1 = acc0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc0 = widen_step(acc0, r + i, g + i);
    acc1 = widen_step(acc1, r + i + 16, g + i + 16);
  }
  for (; i + 16 <= n; i += 16) acc0 = widen_step(acc0, r + i, g + i);
  std::int32_t total = vaddvq_s32(vaddq_s32(acc0, acc1));
  for (; i < n; ++i) total += static_cast<std::int32_t>(r[i]) * g[i];
  return total;
}

void code_dots_neon(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out) {
  for (std::size_t j = 0; j < count; ++j) out[j] = code_dot_neon(r, gs[j], n);
}

void block_dots_neon(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used, const std::int8_t*,
                     std::size_t lanes, std::size_t n, std::int32_t* out) {
  block_dots_by_rows(code_dots_neon, rows, nrows, gs, lanes, used, n, out);
}

// One row against one plane: the two sums of the file's head, two of each to hide latency.
KORVANE_DOTPROD std::int32_t code_dot_sdot(const std::uint8_t* r, const std::int8_t* g,
                                           std::size_t n) {
  const int8x16_t m128 = vdupq_n_s8(-128);
  int32x4_t p0 = vdupq_n_s32(0), p1 = p0, s0 = p0, s1 = p0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const int8x16_t g0 = vld1q_s8(g + i), g1 = vld1q_s8(g + i + 16);
    p0 = vdotq_s32(p0, centred(r + i), g0);
    p1 = vdotq_s32(p1, centred(r + i + 16), g1);
    s0 = vdotq_s32(s0, g0, m128);
    s1 = vdotq_s32(s1, g1, m128);
  }
  for (; i + 16 <= n; i += 16) {
    const int8x16_t g0 = vld1q_s8(g + i);
    p0 = vdotq_s32(p0, centred(r + i), g0);
    s0 = vdotq_s32(s0, g0, m128);
  }
  if (i < n) {
    std::uint8_t tr[16], tg[16];
    pad_tail(tr, r + i, n - i);
    pad_tail(tg, g + i, n - i);
    const int8x16_t g0 = vreinterpretq_s8_u8(vld1q_u8(tg));
    p1 = vdotq_s32(p1, centred(tr), g0);
    s1 = vdotq_s32(s1, g0, m128);
  }
  return vaddvq_s32(vsubq_s32(vaddq_s32(p0, p1), vaddq_s32(s0, s1)));
}

KORVANE_DOTPROD void code_dots_sdot(const std::uint8_t* r, const std::int8_t* const* gs,
                                    std::size_t count, std::size_t n, std::int32_t* out) {
  sdot_rows<1>(&r, gs, count, count, n, out);
}

KORVANE_DOTPROD void block_dots_sdot(const std::uint8_t* const* rows, std::size_t nrows,
                                     const std::int8_t* const* gs, std::size_t used,
                                     const std::int8_t*, std::size_t lanes, std::size_t n,
                                     std::int32_t* out) {
  std::size_t r = 0;
  for (; r + 4 <= nrows; r += 4) sdot_rows<4>(rows + r, gs, used, lanes, n, out + r * lanes);
  for (; r < nrows; ++r) sdot_rows<1>(rows + r, gs, used, lanes, n, out + r * lanes);
}

}  // namespace korvane_index::compact::kernels

#endif
