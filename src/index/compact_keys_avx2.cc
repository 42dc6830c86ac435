// A single query's record keys from one plane (the coarse look) with AVX2, four records to a
// register. The operations are key_of()'s (compact_kernels.h), one for one and in its order, on
// doubles rounded alike, so every key is the portable one bit for bit; Cosine's choice of end is
// a blend rather than the branch the compiler makes of it in the portable loop.
#include <immintrin.h>

#include "index/compact_kernels.h"

namespace korvane_index::compact::kernels {
namespace {

inline __m256d fabs4(__m256d v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
inline __m256d mul(__m256d a, __m256d b) { return _mm256_mul_pd(a, b); }
inline __m256d add(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
inline __m256d sub(__m256d a, __m256d b) { return _mm256_sub_pd(a, b); }
inline __m256d all(double v) { return _mm256_set1_pd(v); }

// Records [from, from + 4): their keys into out, and whether key_of() serves all four (else the
// caller asks special_key() of each).
template <Metric M>
inline bool four_keys(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                      double* out) {
  // The four metas, one float column each: offset, step, residual, norm.
  __m128 c0 = _mm_loadu_ps(&metas[0].offset), c1 = _mm_loadu_ps(&metas[1].offset);
  __m128 c2 = _mm_loadu_ps(&metas[2].offset), c3 = _mm_loadu_ps(&metas[3].offset);
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  const __m256d a = _mm256_cvtps_pd(c0), s = _mm256_cvtps_pd(c1);
  const __m256d rho = _mm256_cvtps_pd(c2), x_up = _mm256_cvtps_pd(c3);
  const __m256d dot =
      _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(dots)));
  // low_norm(x_up)
  const __m256d x_lo = _mm256_and_pd(_mm256_cmp_pd(x_up, all(0x1p-126), _CMP_GE_OQ),
                                     mul(x_up, all(1.0 - 0x1p-22)));
  // plane_sums<1>
  const __m256d t = all(kt.t[0]), ts = all(kt.ts[0]), t128 = all(kt.t128[0]);
  const __m256d ts_abs = fabs4(ts);
  const __m256d est = add(all(0.0), add(mul(mul(t, s), dot), mul(ts, sub(a, mul(all(128.0), s)))));
  const __m256d mag = add(all(0.0), add(add(mul(mul(t, s), fabs4(dot)), mul(ts_abs, fabs4(a))),
                                        mul(t128, s)));
  __m256d key;
  if constexpr (M == Metric::Euclidean) {
    const __m256d e_real =
        add(add(mul(all(kt.qhat_up[0]), rho), mul(all(kt.f_up[0]), x_up)), mul(all(0x1p-47), mag));
    const __m256d slack =
        mul(all(0x1p-48), add(add(all(kt.q2_hi[0]), mul(x_up, x_up)),
                              mul(all(2.0), add(fabs4(est), e_real))));
    __m256d s_lo = sub(sub(add(all(kt.q2_lo[0]), mul(x_lo, x_lo)), mul(all(2.0), add(est, e_real))),
                       slack);
    // std::max(0.0, v) is v where 0 < v, else 0 (NaN too): vmaxpd(v, 0) gives the same.
    s_lo = _mm256_max_pd(sub(mul(s_lo, all(1.0 - kt.gamma)), all(kt.tiny)), all(0.0));
    __m256d lo = mul(_mm256_sqrt_pd(s_lo), all(1.0 - 0x1p-22));
    lo = sub(lo, add(mul(fabs4(lo), all(0x1p-40)), all(kKeyEta)));
    key = _mm256_xor_pd(lo, all(-0.0));  // -lo
  } else {
    const __m256d e = add(add(add(mul(all(kt.qhat_up[0]), rho), mul(all(kt.fx[0]), x_up)),
                              mul(all(0x1p-47), mag)),
                          all(kt.tiny));
    __m256d hi = add(est, e);
    if constexpr (M == Metric::Cosine) {
      const __m256d inv_x_lo = _mm256_div_pd(all(1.0 + 0x1p-40), x_lo);
      const __m256d inv_x_up = _mm256_div_pd(all(1.0 - 0x1p-40), x_up);
      const __m256d up = mul(mul(hi, all(kt.inv_lo[0])), inv_x_lo);
      const __m256d down = mul(mul(hi, all(kt.inv_hi[0])), inv_x_up);
      hi = _mm256_blendv_pd(down, up, _mm256_cmp_pd(hi, all(0.0), _CMP_GE_OQ));
      hi = add(hi, mul(fabs4(hi), all(0x1p-22)));
    }
    key = add(hi, add(mul(fabs4(hi), all(0x1p-40)), all(kKeyEta)));
  }
  _mm256_storeu_pd(out, key);
  // special_key() gives NaN (key_of serves) exactly where all of these hold.
  __m256d ok = _mm256_and_pd(_mm256_cmp_pd(rho, all(0.0), _CMP_GE_OQ),
                             _mm256_cmp_pd(x_up, all(0x1p40), _CMP_LT_OQ));
  if constexpr (M == Metric::Euclidean) {
    const __m256d sum = add(all(kt.q_max), x_up);
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(mul(sum, sum), all(0x1p100), _CMP_LT_OQ));
  } else {
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(mul(all(kt.q_max), x_up), all(0x1p100), _CMP_LT_OQ));
  }
  if constexpr (M == Metric::Cosine) {
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(x_lo, all(0x1p-40), _CMP_GE_OQ));  // x_up != 0 too
  }
  return _mm256_movemask_pd(ok) == 0xF;
}

template <Metric M>
void record_keys_one_plane(const KeyTable& table, const std::int32_t* dots, const CodeMeta* metas,
                           std::size_t nrows, double* out) {
  const KeyTable kt = table;
  std::size_t r = 0;
  for (; r + 4 <= nrows; r += 4) {
    if (four_keys<M>(kt, dots + r, metas + r, out + r)) continue;
    for (std::size_t j = r; j < r + 4; ++j) {
      const double special = special_key(kt, kt.q_max, terms_of(metas[j], M == Metric::Cosine),
                                         M == Metric::Cosine);
      if (!std::isnan(special)) out[j] = special;
    }
  }
  if (r < nrows) record_keys_as<M, 1>(kt, dots + r, metas + r, nrows - r, out + r);
}

}  // namespace

void record_keys_avx2(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out) {
  if (kt.planes == 1) {
    switch (kt.metric) {
      case Metric::Cosine:
        return record_keys_one_plane<Metric::Cosine>(kt, dots, metas, nrows, out);
      case Metric::Dot:
        return record_keys_one_plane<Metric::Dot>(kt, dots, metas, nrows, out);
      case Metric::Euclidean:
        return record_keys_one_plane<Metric::Euclidean>(kt, dots, metas, nrows, out);
      default:
        break;
    }
  }
  record_keys_any(kt, dots, metas, nrows, out);
}

}  // namespace korvane_index::compact::kernels
