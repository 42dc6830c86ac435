// The 8-bit kernels with AVX-512 VNNI: vpdpbusd multiplies unsigned codes by signed plane values
// four at a time and adds the four products to 32-bit lanes, exactly. The key formulas of
// compact_kernels.h are compiled here too, eight doubles to a register.
#include <immintrin.h>

#include <cstring>

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

// Four codes of a row, for every lane at once; a short last group is read byte by byte, and
// the interleaved planes hold zeros there.
inline __m512i codes4(const std::uint8_t* row, std::size_t at, std::size_t n) {
  std::uint32_t v = 0;
  std::memcpy(&v, row + at, std::min<std::size_t>(4, n - at));
  return _mm512_set1_epi32(static_cast<int>(v));
}

// R rows against C registers of 16 lanes each, starting at lane `first`.
template <int R, int C>
void block_tile(const std::uint8_t* const* rows, const std::int8_t* interleaved,
                std::size_t lanes, std::size_t first, std::size_t n, std::int32_t* out) {
  __m512i acc[R][C];
  for (int r = 0; r < R; ++r) {
    for (int c = 0; c < C; ++c) acc[r][c] = _mm512_setzero_si512();
  }
  const std::size_t whole = n / 4 * 4;
  auto group = [&](std::size_t at, bool last) {
    const std::int8_t* g = interleaved + (at / 4 * lanes + first) * 4;
    __m512i q[C];
    for (int c = 0; c < C; ++c) q[c] = _mm512_loadu_si512(g + c * 64);
    for (int r = 0; r < R; ++r) {
      __m512i b;
      if (last) {
        b = codes4(rows[r], at, n);
      } else {
        std::uint32_t v;
        std::memcpy(&v, rows[r] + at, 4);
        b = _mm512_set1_epi32(static_cast<int>(v));
      }
      for (int c = 0; c < C; ++c) acc[r][c] = _mm512_dpbusd_epi32(acc[r][c], b, q[c]);
    }
  };
  for (std::size_t at = 0; at < whole; at += 4) group(at, false);
  if (whole < n) group(whole, true);
  for (int r = 0; r < R; ++r) {
    for (int c = 0; c < C; ++c) {
      _mm512_storeu_si512(out + r * lanes + first + c * 16, acc[r][c]);
    }
  }
}

template <int R>
void block_rows(const std::uint8_t* const* rows, const std::int8_t* interleaved,
                std::size_t lanes, std::size_t n, std::int32_t* out) {
  std::size_t first = 0;
  for (; first + 64 <= lanes; first += 64) block_tile<R, 4>(rows, interleaved, lanes, first, n, out);
  switch ((lanes - first) / 16) {
    case 3:
      return block_tile<R, 3>(rows, interleaved, lanes, first, n, out);
    case 2:
      return block_tile<R, 2>(rows, interleaved, lanes, first, n, out);
    case 1:
      return block_tile<R, 1>(rows, interleaved, lanes, first, n, out);
    default:
      return;
  }
}

// R rows against U planes (a single query's), 64 codes at a time: R * U independent sums.
template <int R, int U>
void rows_tile(const std::uint8_t* const* rows, const std::int8_t* const* gs, std::size_t lanes,
               std::size_t n, std::int32_t* out) {
  __m512i acc[R][U];
  for (int r = 0; r < R; ++r) {
    for (int u = 0; u < U; ++u) acc[r][u] = _mm512_setzero_si512();
  }
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    __m512i g[U];
    for (int u = 0; u < U; ++u) g[u] = _mm512_loadu_si512(gs[u] + i);
    for (int r = 0; r < R; ++r) {
      const __m512i c = _mm512_loadu_si512(rows[r] + i);
      for (int u = 0; u < U; ++u) acc[r][u] = _mm512_dpbusd_epi32(acc[r][u], c, g[u]);
    }
  }
  if (i < n) {  // bytes past n read as zero
    const __mmask64 mask = (__mmask64{1} << (n - i)) - 1;
    __m512i g[U];
    for (int u = 0; u < U; ++u) g[u] = _mm512_maskz_loadu_epi8(mask, gs[u] + i);
    for (int r = 0; r < R; ++r) {
      const __m512i c = _mm512_maskz_loadu_epi8(mask, rows[r] + i);
      for (int u = 0; u < U; ++u) acc[r][u] = _mm512_dpbusd_epi32(acc[r][u], c, g[u]);
    }
  }
  for (int r = 0; r < R; ++r) {
    for (int u = 0; u < U; ++u) out[r * lanes + u] = _mm512_reduce_add_epi32(acc[r][u]);
  }
}

template <int U>
void rows_planes(const std::uint8_t* const* rows, std::size_t nrows, const std::int8_t* const* gs,
                 std::size_t lanes, std::size_t n, std::int32_t* out) {
  std::size_t r = 0;
  for (; r + 4 <= nrows; r += 4) rows_tile<4, U>(rows + r, gs, lanes, n, out + r * lanes);
  for (; r < nrows; ++r) rows_tile<1, U>(rows + r, gs, lanes, n, out + r * lanes);
}

// R rows' packed high halves against one split plane, 64 bytes (128 components) at a time.
template <int R>
void nibble_tile(const std::uint8_t* const* rows, const std::int8_t* even, const std::int8_t* odd,
                 std::size_t bytes, std::int32_t* out) {
  const __m512i low = _mm512_set1_epi8(0x0F);
  __m512i acc[R][2];
  for (int r = 0; r < R; ++r) acc[r][0] = acc[r][1] = _mm512_setzero_si512();
  auto step = [&](const __m512i* v, __m512i e, __m512i o) {
    for (int r = 0; r < R; ++r) {
      acc[r][0] = _mm512_dpbusd_epi32(acc[r][0], _mm512_and_si512(v[r], low), e);
      const __m512i high = _mm512_and_si512(_mm512_srli_epi16(v[r], 4), low);
      acc[r][1] = _mm512_dpbusd_epi32(acc[r][1], high, o);
    }
  };
  std::size_t j = 0;
  __m512i v[R];
  for (; j + 64 <= bytes; j += 64) {
    for (int r = 0; r < R; ++r) v[r] = _mm512_loadu_si512(rows[r] + j);
    step(v, _mm512_loadu_si512(even + j), _mm512_loadu_si512(odd + j));
  }
  if (j < bytes) {  // bytes past the row read as zero
    const __mmask64 mask = (__mmask64{1} << (bytes - j)) - 1;
    for (int r = 0; r < R; ++r) v[r] = _mm512_maskz_loadu_epi8(mask, rows[r] + j);
    step(v, _mm512_maskz_loadu_epi8(mask, even + j), _mm512_maskz_loadu_epi8(mask, odd + j));
  }
  for (int r = 0; r < R; ++r) {
    out[r] = _mm512_reduce_add_epi32(_mm512_add_epi32(acc[r][0], acc[r][1]));
  }
}

}  // namespace

void nibble_dots_vnni(const std::uint8_t* const* rows, std::size_t nrows, const std::int8_t* even,
                      const std::int8_t* odd, std::size_t bytes, std::int32_t* out) {
  std::size_t r = 0;
  for (; r + 4 <= nrows; r += 4) nibble_tile<4>(rows + r, even, odd, bytes, out + r);
  for (; r < nrows; ++r) nibble_tile<1>(rows + r, even, odd, bytes, out + r);
}

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
  for (; j < count; ++j) {
    // One or two planes (a single query's): both from one pass over the codes.
    if (j + 2 <= count) {
      __m256i a0 = _mm256_setzero_si256(), a1 = a0;
      const std::int8_t *g0 = gs[j], *g1 = gs[j + 1];
      std::size_t i = 0;
      for (; i + 32 <= n; i += 32) {
        const __m256i c = load(r + i);
        a0 = _mm256_dpbusd_epi32(a0, c, load(g0 + i));
        a1 = _mm256_dpbusd_epi32(a1, c, load(g1 + i));
      }
      if (i < n) {
        const std::size_t t = n - i;
        const __m256i c = load_tail(r + i, t);
        a0 = _mm256_dpbusd_epi32(a0, c, load_tail(g0 + i, t));
        a1 = _mm256_dpbusd_epi32(a1, c, load_tail(g1 + i, t));
      }
      out[j] = hsum(a0);
      out[++j] = hsum(a1);
    } else {
      out[j] = code_dot_vnni(r, gs[j], n);
    }
  }
}

void block_dots_vnni(const std::uint8_t* const* rows, std::size_t nrows,
                     const std::int8_t* const* gs, std::size_t used,
                     const std::int8_t* interleaved, std::size_t lanes, std::size_t n,
                     std::int32_t* out) {
  if (interleaved == nullptr) {
    if (used == 1) return rows_planes<1>(rows, nrows, gs, lanes, n, out);
    if (used == 2) return rows_planes<2>(rows, nrows, gs, lanes, n, out);
    return block_dots_by_rows(code_dots_vnni, rows, nrows, gs, lanes, used, n, out);
  }
  std::size_t r = 0;
  for (; r + 4 <= nrows; r += 4) block_rows<4>(rows + r, interleaved, lanes, n, out + r * lanes);
  for (; r < nrows; ++r) block_rows<1>(rows + r, interleaved, lanes, n, out + r * lanes);
}

void query_keys_vnni(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                     double* out) {
  query_keys_any(kt, dots, meta, out);
}

void record_keys_vnni(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out) {
  record_keys_any(kt, dots, metas, nrows, out);
}

}  // namespace korvane_index::compact::kernels
