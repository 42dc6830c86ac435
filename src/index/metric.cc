#include "index/metric.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

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
  return kernels::scaled_by_norms(d, std::sqrt(na), std::sqrt(nb));
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

const Table kGeneric = {"generic",        dot_generic,    cosine_generic, dot_norm_generic,
                        sqdiff_generic, manhattan_generic, nullptr};

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
  return scaled_by_norms(sums.d, std::sqrt(sums.na), std::sqrt(sums.nb));
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

namespace {

// Scores from the whole-block sum of a pair of the query's length (Descriptor::finish).
float finish_cosine(Vec q, Vec v, float d, float v_squares, float q_norm) {
  for (std::size_t j = q.size() / 8 * 8; j < q.size(); ++j) {
    d += q[j] * v[j];
    v_squares += v[j] * v[j];
  }
  return scaled_by_norms(d, q_norm, std::sqrt(v_squares));
}

float finish_dot(Vec q, Vec v, float d, float, float) {
  for (std::size_t j = q.size() / 8 * 8; j < q.size(); ++j) d += q[j] * v[j];
  return d;
}

float finish_euclidean(Vec q, Vec v, float total, float, float) {
  for (std::size_t j = q.size() / 8 * 8; j < q.size(); ++j) {
    const float diff = q[j] - v[j];
    total += diff * diff;
  }
  return std::sqrt(total);
}

// In selector order: kTable[code] is the metric with that code.
constexpr Descriptor kTable[] = {
    {Metric::Cosine, "cosine", false, scalar::cosine, cosine, true, Sum::kDotNorm, finish_cosine,
     true},
    {Metric::Dot, "dot", false, scalar::dot, dot, true, Sum::kDot, finish_dot, false},
    {Metric::Euclidean, "euclidean", true, scalar::euclidean, euclidean, true, Sum::kSqDiff,
     finish_euclidean, false},
    {Metric::Manhattan, "manhattan", true, scalar::manhattan, manhattan, false, Sum::kDot, nullptr,
     false},
};
constexpr std::size_t kCount = sizeof(kTable) / sizeof(kTable[0]);

constexpr bool in_selector_order() {
  for (std::size_t i = 0; i < kCount; ++i) {
    if (static_cast<std::size_t>(kTable[i].selector) != i) return false;
  }
  return true;
}
static_assert(in_selector_order());

}  // namespace

const Descriptor& describe(Metric m) {
  const auto code = static_cast<std::size_t>(m);
  if (code >= kCount) std::abort();  // a selector forged from an unchecked byte
  return kTable[code];
}

std::span<const Descriptor> descriptors() { return kTable; }

}  // namespace kernels

// ---- The public face. ----

std::optional<Metric> metric_from_code(std::uint8_t code) {
  if (code >= kernels::descriptors().size()) return std::nullopt;
  return static_cast<Metric>(code);
}

std::optional<Metric> metric_from_name(std::string_view name) {
  for (const kernels::Descriptor& d : kernels::descriptors()) {
    if (name == d.name) return d.selector;
  }
  return std::nullopt;
}

const char* name_of(Metric m) { return kernels::describe(m).name; }
bool is_distance(Metric m) { return kernels::describe(m).distance; }

float CosineMetric::distance(Vec a, Vec b) const {
  return korvane_index::distance(Metric::Cosine, a, b);
}
float DotMetric::distance(Vec a, Vec b) const { return korvane_index::distance(Metric::Dot, a, b); }
float EuclideanMetric::distance(Vec a, Vec b) const {
  return korvane_index::distance(Metric::Euclidean, a, b);
}
float ManhattanMetric::distance(Vec a, Vec b) const {
  return korvane_index::distance(Metric::Manhattan, a, b);
}

const SimilarityMetric& metric_for(Metric m) {
  static const CosineMetric cosine;
  static const DotMetric dot;
  static const EuclideanMetric euclidean;
  static const ManhattanMetric manhattan;
  static const SimilarityMetric* const objects[] = {&cosine, &dot, &euclidean, &manhattan};
  static_assert(std::size(objects) == kernels::kCount);
  return *objects[static_cast<std::size_t>(kernels::describe(m).selector)];
}

float distance(Metric m, Vec a, Vec b) { return kernels::describe(m).pair(kernels::active(), a, b); }

}  // namespace korvane_index
