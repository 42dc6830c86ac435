#include "index/metric.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

#include "index/metric_kernels.h"

namespace korvane_index {

// ---- The reference: written for reading, not for speed. ----

namespace scalar {
namespace {

template <class Term>
float blocked_sum(Vec a, Vec b, Term term) {
  const std::size_t blocks = std::min(a.size() / 8, b.size() / 8);
  float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (std::size_t i = 0; i < blocks; ++i) {
    for (std::size_t j = 0; j < 8; ++j) acc[j] += term(a[8 * i + j], b[8 * i + j]);
  }
  float total = (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
  const std::size_t tail = std::min(a.size() % 8, b.size() % 8);
  const std::size_t a0 = a.size() / 8 * 8;
  const std::size_t b0 = b.size() / 8 * 8;
  for (std::size_t j = 0; j < tail; ++j) total += term(a[a0 + j], b[b0 + j]);
  return total;
}

}  // namespace

float dot(Vec a, Vec b) {
  return blocked_sum(a, b, [](float x, float y) { return x * y; });
}

float cosine(Vec a, Vec b) {
  const float d = blocked_sum(a, b, [](float x, float y) { return x * y; });
  const float na = blocked_sum(a, b, [](float x, float) { return x * x; });
  const float nb = blocked_sum(a, b, [](float, float y) { return y * y; });
  if (na == 0.0f) return 0.0f;
  if (nb == 0.0f) return 0.0f;
  return d / (std::sqrt(na) * std::sqrt(nb));
}

float euclidean(Vec a, Vec b) {
  return std::sqrt(blocked_sum(a, b, [](float x, float y) {
    const float diff = x - y;
    return diff * diff;
  }));
}

float manhattan(Vec a, Vec b) {
  const std::size_t n = std::min(a.size(), b.size());
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += std::fabs(a[i] - b[i]);
  return sum;
}

}  // namespace scalar

// ---- SSE2: every x86-64 processor has it, so it is the floor. The eight accumulators are two
// registers, lanes 0-3 and 4-7 of each block. ----

namespace kernels {
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

const Table kSse2 = {"sse2", dot_sse2, cosine_sse2, dot_norm_sse2, sqdiff_sse2, manhattan_sse2};

namespace {

struct Choice {
  const Table* tables[2];
  std::size_t count;
};

// There is no AVX-512 table: a 16-lane register would hold two blocks whose lanes belong to the
// same accumulators, so each block still needs its own dependent add, and the scan is bound by
// memory bandwidth well before the 8-lane kernels run out of arithmetic.
const Choice& choice() {
  static const Choice c = [] {
    Choice made{{&kSse2, nullptr}, 1};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) made.tables[made.count++] = &kAvx2;
    return made;
  }();
  return c;
}

// Where each vector's tail starts and how many tail pairs there are.
struct Shape {
  std::size_t blocks, a_tail, b_tail, tail;
  Shape(std::size_t na, std::size_t nb)
      : blocks(std::min(na / 8, nb / 8)),
        a_tail(na / 8 * 8),
        b_tail(nb / 8 * 8),
        tail(std::min(na % 8, nb % 8)) {}
};

}  // namespace

const Table& active() {
  const Choice& c = choice();
  return *c.tables[c.count - 1];
}

std::span<const Table* const> supported() {
  const Choice& c = choice();
  return {c.tables, c.count};
}

float dot(const Table& t, Vec a, Vec b) {
  const Shape s(a.size(), b.size());
  float total = t.dot(a.data(), b.data(), s.blocks);
  for (std::size_t j = 0; j < s.tail; ++j) total += a[s.a_tail + j] * b[s.b_tail + j];
  return total;
}

float cosine(const Table& t, Vec a, Vec b) {
  const Shape s(a.size(), b.size());
  CosineSums sums = t.cosine(a.data(), b.data(), s.blocks);
  for (std::size_t j = 0; j < s.tail; ++j) {
    const float x = a[s.a_tail + j], y = b[s.b_tail + j];
    sums.d += x * y;
    sums.na += x * x;
    sums.nb += y * y;
  }
  return cosine_from(sums.d, sums.na, sums.nb);
}

float euclidean(const Table& t, Vec a, Vec b) {
  const Shape s(a.size(), b.size());
  float total = t.sqdiff(a.data(), b.data(), s.blocks);
  for (std::size_t j = 0; j < s.tail; ++j) {
    const float diff = a[s.a_tail + j] - b[s.b_tail + j];
    total += diff * diff;
  }
  return std::sqrt(total);
}

float manhattan(const Table& t, Vec a, Vec b) {
  return t.manhattan(a.data(), b.data(), std::min(a.size(), b.size()));
}

}  // namespace kernels

// ---- The public face. ----

float CosineMetric::distance(Vec a, Vec b) const { return kernels::cosine(kernels::active(), a, b); }
float DotMetric::distance(Vec a, Vec b) const { return kernels::dot(kernels::active(), a, b); }
float EuclideanMetric::distance(Vec a, Vec b) const {
  return kernels::euclidean(kernels::active(), a, b);
}
float ManhattanMetric::distance(Vec a, Vec b) const {
  return kernels::manhattan(kernels::active(), a, b);
}

const SimilarityMetric& metric_for(Metric m) {
  static const CosineMetric cosine;
  static const DotMetric dot;
  static const EuclideanMetric euclidean;
  static const ManhattanMetric manhattan;
  switch (static_cast<std::uint8_t>(m)) {
    case 0: return cosine;
    case 1: return dot;
    case 2: return euclidean;
    default: return manhattan;
  }
}

float distance(Metric m, Vec a, Vec b) {
  const kernels::Table& t = kernels::active();
  switch (static_cast<std::uint8_t>(m)) {
    case 0: return kernels::cosine(t, a, b);
    case 1: return kernels::dot(t, a, b);
    case 2: return kernels::euclidean(t, a, b);
    default: return kernels::manhattan(t, a, b);
  }
}

}  // namespace korvane_index
