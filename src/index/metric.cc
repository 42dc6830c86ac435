#include "index/metric.h"

#include <algorithm>
#include <cmath>

#include "index/metric_kernels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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

// ---- The portable table: the reference's blocked loops over raw arrays, for any processor
// (and the compiler's own vectorisation, which keeps each lane's order). ----

namespace kernels {
namespace {

template <class Term>
float blocks_generic(const float* a, const float* b, std::size_t blocks, Term term) {
  float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (std::size_t i = 0; i < blocks; ++i, a += 8, b += 8) {
    for (std::size_t j = 0; j < 8; ++j) acc[j] += term(a[j], b[j]);
  }
  return combine8(acc);
}

float dot_generic(const float* a, const float* b, std::size_t blocks) {
  return blocks_generic(a, b, blocks, [](float x, float y) { return x * y; });
}

CosineSums cosine_generic(const float* a, const float* b, std::size_t blocks) {
  return {dot_generic(a, b, blocks),
          blocks_generic(a, b, blocks, [](float x, float) { return x * x; }),
          blocks_generic(a, b, blocks, [](float, float y) { return y * y; })};
}

CosineSums dot_norm_generic(const float* a, const float* b, std::size_t blocks) {
  return {dot_generic(a, b, blocks), 0.0f,
          blocks_generic(a, b, blocks, [](float, float y) { return y * y; })};
}

float sqdiff_generic(const float* a, const float* b, std::size_t blocks) {
  return blocks_generic(a, b, blocks, [](float x, float y) {
    const float diff = x - y;
    return diff * diff;
  });
}

float manhattan_generic(const float* a, const float* b, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += std::fabs(a[i] - b[i]);
  return sum;
}

}  // namespace

const Table kGeneric = {"generic",      dot_generic,    cosine_generic,
                        dot_norm_generic, sqdiff_generic, manhattan_generic};

namespace {

struct Choice {
  const Table* tables[3];
  std::size_t count;
};

// There is no AVX-512 table: a 16-lane register would hold two blocks whose lanes belong to the
// same accumulators, so each block still needs its own dependent add, and the scan is bound by
// memory bandwidth well before the 8-lane kernels run out of arithmetic.
#if defined(__x86_64__)
// AVX2 is usable when the processor has it and the operating system saves the YMM registers
// (OSXSAVE set, XCR0 enabling the SSE and AVX state). Asked of the processor directly, not through
// the compiler's __builtin_cpu_supports, whose data lives in a runtime library that not every
// toolchain links into a shared module (clang's compiler-rt outside of GCC's libgcc).
bool processor_has_avx2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u) return false;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_AVX2) != 0;
}
#endif

const Choice& choice() {
  static const Choice c = [] {
    Choice made{{&kGeneric, nullptr, nullptr}, 1};
#if defined(__x86_64__)
    made.tables[made.count++] = &kSse2;
    if (processor_has_avx2()) made.tables[made.count++] = &kAvx2;
#elif defined(__aarch64__)
    made.tables[made.count++] = &kNeon;  // Advanced SIMD is part of every AArch64 processor
#endif
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
