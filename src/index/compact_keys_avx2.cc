// Keys with AVX2: a single query's for records four to a register (one plane for the coarse
// look, two for the codes), and a batch's for one record, queries four to a register. The operations are key_of()'s (compact_kernels.h), one for one and in its order, on
// doubles rounded alike, so every key is the portable one bit for bit; Cosine's choice of end is
// a blend rather than the branch the compiler makes of it in the portable loop.
#include <immintrin.h>

#include <limits>
#include <type_traits>

#include "index/compact_kernels.h"

namespace korvane_index::compact::kernels {
namespace {

inline __m256d fabs4(__m256d v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
inline __m256d mul(__m256d a, __m256d b) { return _mm256_mul_pd(a, b); }
inline __m256d add(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
inline __m256d sub(__m256d a, __m256d b) { return _mm256_sub_pd(a, b); }
inline __m256d all(double v) { return _mm256_set1_pd(v); }

// Four keys of one plane, lane by lane: a record's terms (x_up, x_lo and Cosine's inv_x_lo and
// inv_x_up) and the products (dot) against a query's constants (t ... inv_hi), in key_of()'s
// steps.
struct Lanes {
  __m256d t[2], ts[2], t128[2];  // per plane
  __m256d qhat_up, fx, f_up, q2_lo, q2_hi, inv_lo, inv_hi;
};

// Euclidean's key from the lower end of the squared distance, s_lo >= 0.
inline __m256d distance_key4(__m256d s_lo) {
  __m256d lo = mul(_mm256_sqrt_pd(s_lo), all(1.0 - 0x1p-22));
  lo = sub(lo, add(mul(fabs4(lo), all(0x1p-40)), all(kKeyEta)));
  return _mm256_xor_pd(lo, all(-0.0));  // -lo
}

// The key for Cosine and Dot; for Euclidean the lower end of the squared distance that
// distance_key4() takes. dot: the products with each of the P planes.
template <Metric M, int P = 1>
inline __m256d key_terms4(const KeyTable& kt, const Lanes& q, __m256d a, __m256d s, __m256d rho,
                          __m256d x_up, __m256d x_lo, __m256d inv_x_lo, __m256d inv_x_up,
                          const __m256d* dot) {
  // plane_sums<P>
  __m256d est = all(0.0), mag = all(0.0);
  for (int p = 0; p < P; ++p) {
    est = add(est, add(mul(mul(q.t[p], s), dot[p]), mul(q.ts[p], sub(a, mul(all(128.0), s)))));
    mag = add(mag, add(add(mul(mul(q.t[p], s), fabs4(dot[p])), mul(fabs4(q.ts[p]), fabs4(a))),
                       mul(q.t128[p], s)));
  }
  if constexpr (M == Metric::Euclidean) {
    const __m256d e_real =
        add(add(mul(q.qhat_up, rho), mul(q.f_up, x_up)), mul(all(0x1p-47), mag));
    const __m256d slack =
        mul(all(0x1p-48), add(add(q.q2_hi, mul(x_up, x_up)), mul(all(2.0), add(fabs4(est), e_real))));
    __m256d s_lo = sub(sub(add(q.q2_lo, mul(x_lo, x_lo)), mul(all(2.0), add(est, e_real))), slack);
    // std::max(0.0, v) is v where 0 < v, else 0 (NaN too): vmaxpd(v, 0) gives the same.
    return _mm256_max_pd(sub(mul(s_lo, all(1.0 - kt.gamma)), all(kt.tiny)), all(0.0));
  } else {
    const __m256d e =
        add(add(add(mul(q.qhat_up, rho), mul(q.fx, x_up)), mul(all(0x1p-47), mag)), all(kt.tiny));
    __m256d hi = add(est, e);
    if constexpr (M == Metric::Cosine) {
      const __m256d up = mul(mul(hi, q.inv_lo), inv_x_lo);
      const __m256d down = mul(mul(hi, q.inv_hi), inv_x_up);
      hi = _mm256_blendv_pd(down, up, _mm256_cmp_pd(hi, all(0.0), _CMP_GE_OQ));
      hi = add(hi, mul(fabs4(hi), all(0x1p-22)));
    }
    return add(hi, add(mul(fabs4(hi), all(0x1p-40)), all(kKeyEta)));
  }
}

template <Metric M, int P = 1>
inline __m256d keys4(const KeyTable& kt, const Lanes& q, __m256d a, __m256d s, __m256d rho,
                     __m256d x_up, __m256d x_lo, __m256d inv_x_lo, __m256d inv_x_up,
                     const __m256d* dot) {
  const __m256d v = key_terms4<M, P>(kt, q, a, s, rho, x_up, x_lo, inv_x_lo, inv_x_up, dot);
  if constexpr (M == Metric::Euclidean) {
    return distance_key4(v);
  } else {
    return v;
  }
}

// The first query's constants (its P planes') in every lane, or one plane's of queries [j, j + 4)
// in the four.
template <int P>
inline Lanes broadcast(const KeyTable& kt) {
  Lanes q{};
  for (int p = 0; p < P; ++p) {
    q.t[p] = all(kt.t[p]);
    q.ts[p] = all(kt.ts[p]);
    q.t128[p] = all(kt.t128[p]);
  }
  q.qhat_up = all(kt.qhat_up[0]);
  q.fx = all(kt.fx[0]);
  q.f_up = all(kt.f_up[0]);
  q.q2_lo = all(kt.q2_lo[0]);
  q.q2_hi = all(kt.q2_hi[0]);
  q.inv_lo = all(kt.inv_lo[0]);
  q.inv_hi = all(kt.inv_hi[0]);
  return q;
}
inline Lanes four_queries(const KeyTable& kt, std::size_t j) {
  auto at = [j](const double* v) { return _mm256_loadu_pd(v + j); };
  Lanes q{};
  q.t[0] = at(kt.t);
  q.ts[0] = at(kt.ts);
  q.t128[0] = at(kt.t128);
  q.qhat_up = at(kt.qhat_up);
  q.fx = at(kt.fx);
  q.f_up = at(kt.f_up);
  q.q2_lo = at(kt.q2_lo);
  q.q2_hi = at(kt.q2_hi);
  q.inv_lo = at(kt.inv_lo);
  q.inv_hi = at(kt.inv_hi);
  return q;
}

// Records [from, from + 4) against the first query's P planes (dots: P a record): their keys
// into out, and whether key_of() serves all four (else the caller asks special_key() of each).
template <Metric M, int P>
inline bool four_keys(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                      double* out) {
  // The four metas, one float column each: offset, step, residual, norm.
  __m128 c0 = _mm_loadu_ps(&metas[0].offset), c1 = _mm_loadu_ps(&metas[1].offset);
  __m128 c2 = _mm_loadu_ps(&metas[2].offset), c3 = _mm_loadu_ps(&metas[3].offset);
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  const __m256d a = _mm256_cvtps_pd(c0), s = _mm256_cvtps_pd(c1);
  const __m256d rho = _mm256_cvtps_pd(c2), x_up = _mm256_cvtps_pd(c3);
  __m256d dot[P];
  if constexpr (P == 1) {
    dot[0] = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(dots)));
  } else {
    // Four records' pairs of products, split into each plane's four.
    const __m256i both = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dots)),
        _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    dot[0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(both));
    dot[1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(both, 1));
  }
  // low_norm(x_up)
  const __m256d x_lo = _mm256_and_pd(_mm256_cmp_pd(x_up, all(0x1p-126), _CMP_GE_OQ),
                                     mul(x_up, all(1.0 - 0x1p-22)));
  __m256d inv_x_lo = all(1.0), inv_x_up = all(1.0);
  if constexpr (M == Metric::Cosine) {
    inv_x_lo = _mm256_div_pd(all(1.0 + 0x1p-40), x_lo);
    inv_x_up = _mm256_div_pd(all(1.0 - 0x1p-40), x_up);
  }
  _mm256_storeu_pd(out, keys4<M, P>(kt, broadcast<P>(kt), a, s, rho, x_up, x_lo, inv_x_lo,
                                    inv_x_up, dot));
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

// One record's terms in every lane.
struct RecordLanes {
  explicit RecordLanes(const RecordTerms& x)
      : a(all(x.a)), s(all(x.s)), rho(all(x.rho)), x_up(all(x.x_up)), x_lo(all(x.x_lo)),
        inv_x_lo(all(x.inv_x_lo)), inv_x_up(all(x.inv_x_up)) {}
  __m256d a, s, rho, x_up, x_lo, inv_x_lo, inv_x_up;
};

// One record against every query of the table with one plane, four queries to a register: for
// a record key_of() does not serve, all(special key); else four(j, terms) for queries [j, j + 4),
// terms being key_terms4()'s (a Euclidean key still needs distance_key4()), and one(j, key) for
// the queries past a multiple of four, key being key_of()'s. The record's terms are terms_of()'s.
template <Metric M, class All, class Four, class One>
inline void each_query(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                       const All& all_special, const Four& four, const One& one) {
  const RecordTerms x = terms_of(meta, M == Metric::Cosine);
  const double special = special_key(kt, kt.q_max, x, M == Metric::Cosine);
  if (!std::isnan(special)) return all_special(special);
  const RecordLanes r(x);
  std::size_t j = 0;
  for (; j + 4 <= kt.count; j += 4) {
    const __m256d dot =
        _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(dots + j)));
    four(j, key_terms4<M>(kt, four_queries(kt, j), r.a, r.s, r.rho, r.x_up, r.x_lo, r.inv_x_lo,
                          r.inv_x_up, &dot));
  }
  for (; j < kt.count; ++j) {
    const double dot = dots[j];
    one(j, key_of<M, 1>(kt, j, &dot, x));
  }
}

// One record's keys of one plane for every query of the table.
template <Metric M>
void query_keys_one_plane(const KeyTable& table, const std::int32_t* dots, const CodeMeta& meta,
                          double* __restrict out) {
  const KeyTable kt = table;
  each_query<M>(
      kt, dots, meta, [&](double special) { std::fill(out, out + kt.count, special); },
      [&](std::size_t j, __m256d terms) {
        if constexpr (M == Metric::Euclidean) terms = distance_key4(terms);
        _mm256_storeu_pd(out + j, terms);
      },
      [&](std::size_t j, double key) { out[j] = key; });
}

// Squared distances past which no floor of these four queries can be reached, lane by lane.
// Where s_lo > T (and finite) distance_key4(s_lo) < -D for the floor -D, D >= 0: its steps
// give lo >= sqrt(s_lo) (1 - 2^-21) - 2 eta, each rounding and the 2^-22 and 2^-40 shares of
// lo included, so lo > D once s_lo > (D + 2 eta)^2 / (1 - 2^-21)^2. T is (D + 2 eta)^2 taken up
// by three factors of 1 + 2^-19, whose 3 2^-19 outweigh the 2^-20 that asks for and the
// roundings of T's own steps. A floor above zero (or -inf) gives T = inf: nothing is skipped.
inline __m256d beyond_floors(__m256d floors) {
  const __m256d d = sub(all(0.0), floors);
  const __m256d up = all(1.0 + 0x1p-19);
  const __m256d b = mul(add(d, all(2 * kKeyEta)), up);
  const __m256d t = mul(mul(b, b), up);
  const __m256d usable = _mm256_cmp_pd(d, all(0.0), _CMP_GE_OQ);
  return _mm256_blendv_pd(all(std::numeric_limits<double>::infinity()), t, usable);
}

// query_keys_one_plane()'s keys against the floors, bit j of words[j / 64] set where key j is
// not below floors[j] (NaN included); Euclidean's square roots are taken only for the four
// queries whose floors the squared distances' lower ends do not already rule out.
template <Metric M>
void query_reach_one_plane(const KeyTable& table, const std::int32_t* dots, const CodeMeta& meta,
                           const double* floors, std::uint64_t* words) {
  const KeyTable kt = table;
  std::fill(words, words + (kt.count + 63) / 64, std::uint64_t{0});
  auto set = [&](std::size_t j, double key) {
    words[j / 64] |= static_cast<std::uint64_t>(!(key < floors[j])) << (j % 64);
  };
  each_query<M>(
      kt, dots, meta,
      [&](double special) {
        for (std::size_t j = 0; j < kt.count; ++j) set(j, special);
      },
      [&](std::size_t j, __m256d key) {
        const __m256d fl = _mm256_loadu_pd(floors + j);
        if constexpr (M == Metric::Euclidean) {
          const __m256d past = _mm256_and_pd(
              _mm256_cmp_pd(key, beyond_floors(fl), _CMP_GT_OQ),
              _mm256_cmp_pd(key, all(std::numeric_limits<double>::infinity()), _CMP_LT_OQ));
          if (_mm256_movemask_pd(past) == 0xF) return;
          key = distance_key4(key);
        }
        const auto bits =
            static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(key, fl, _CMP_NLT_UQ)));
        words[j / 64] |= bits << (j % 64);
      },
      set);
}

// A single query's keys for records four at a time, with one plane (the coarse look) or two
// (the codes); the rows past a multiple of four take the portable loop.
template <Metric M, int P>
void record_keys_wide(const KeyTable& table, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out) {
  const KeyTable kt = table;
  std::size_t r = 0;
  for (; r + 4 <= nrows; r += 4) {
    if (four_keys<M, P>(kt, dots + r * P, metas + r, out + r)) continue;
    for (std::size_t j = r; j < r + 4; ++j) {
      const double special = special_key(kt, kt.q_max, terms_of(metas[j], M == Metric::Cosine),
                                         M == Metric::Cosine);
      if (!std::isnan(special)) out[j] = special;
    }
  }
  if (r < nrows) record_keys_as<M, P>(kt, dots + r * P, metas + r, nrows - r, out + r);
}

}  // namespace

void query_keys_avx2(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                     double* out) {
  if (kt.planes == 1) {
    switch (kt.metric) {
      case Metric::Cosine:
        return query_keys_one_plane<Metric::Cosine>(kt, dots, meta, out);
      case Metric::Dot:
        return query_keys_one_plane<Metric::Dot>(kt, dots, meta, out);
      case Metric::Euclidean:
        return query_keys_one_plane<Metric::Euclidean>(kt, dots, meta, out);
      default:
        break;
    }
  }
  query_keys_any(kt, dots, meta, out);
}

bool query_reach_avx2(const KeyTable& kt, const std::int32_t* dots, const CodeMeta& meta,
                      const double* floors, std::uint64_t* words) {
  if (kt.planes != 1) return false;
  switch (kt.metric) {
    case Metric::Cosine:
      query_reach_one_plane<Metric::Cosine>(kt, dots, meta, floors, words);
      return true;
    case Metric::Dot:
      query_reach_one_plane<Metric::Dot>(kt, dots, meta, floors, words);
      return true;
    case Metric::Euclidean:
      query_reach_one_plane<Metric::Euclidean>(kt, dots, meta, floors, words);
      return true;
    default:
      return false;
  }
}

void record_keys_avx2(const KeyTable& kt, const std::int32_t* dots, const CodeMeta* metas,
                      std::size_t nrows, double* out) {
  auto with = [&](auto planes) {
    constexpr int P = decltype(planes)::value;
    switch (kt.metric) {
      case Metric::Cosine:
        record_keys_wide<Metric::Cosine, P>(kt, dots, metas, nrows, out);
        return true;
      case Metric::Dot:
        record_keys_wide<Metric::Dot, P>(kt, dots, metas, nrows, out);
        return true;
      case Metric::Euclidean:
        record_keys_wide<Metric::Euclidean, P>(kt, dots, metas, nrows, out);
        return true;
      default:
        return false;
    }
  };
  if (kt.planes == 1 && with(std::integral_constant<int, 1>())) return;
  if (kt.planes == 2 && with(std::integral_constant<int, 2>())) return;
  record_keys_any(kt, dots, metas, nrows, out);
}

}  // namespace korvane_index::compact::kernels
