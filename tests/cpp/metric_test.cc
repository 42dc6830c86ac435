#include "index/metric.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/metric_kernels.h"

namespace korvane_index {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Equal as bits; any two NaNs count as equal, since which NaN an operation yields is not part
// of any metric's definition.
::testing::AssertionResult SameBits(float expected, float actual) {
  if (std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual) ||
      (std::isnan(expected) && std::isnan(actual))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "expected " << expected << " (bits " << std::bit_cast<std::uint32_t>(expected)
         << "), got " << actual << " (bits " << std::bit_cast<std::uint32_t>(actual) << ")";
}

// Values over many magnitudes and both signs, with exact zeros, subnormals and (optionally)
// values whose squares overflow, so that rounding differences of a reordered sum show up.
std::vector<float> RandomVector(std::mt19937& rng, std::size_t n, bool huge) {
  std::uniform_int_distribution<int> kind(0, 19);
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    const int k = kind(rng);
    if (k == 0) {
      x = 0.0f;
    } else if (k == 1) {
      x = -0.0f;
    } else if (k == 2) {
      x = std::ldexp(mantissa(rng), -140);  // subnormal
    } else if (k == 3 && huge) {
      x = std::ldexp(mantissa(rng), 70);  // its square overflows
    } else {
      x = std::ldexp(mantissa(rng), exponent(rng) / 4);
    }
    if (rng() & 1) x = -x;
  }
  return v;
}

struct Named {
  const char* name;
  float (*oracle)(Vec, Vec);
  float (*fast)(const kernels::Table&, Vec, Vec);
  Metric selector;
};

const Named kMetrics[] = {
    {"cosine", scalar::cosine, kernels::cosine, Metric::Cosine},
    {"dot", scalar::dot, kernels::dot, Metric::Dot},
    {"euclidean", scalar::euclidean, kernels::euclidean, Metric::Euclidean},
    {"manhattan", scalar::manhattan, kernels::manhattan, Metric::Manhattan},
};

// Checks every kernel table, the dispatched distance() and the virtual interface against the
// reference, both argument orders.
void ExpectMatchesOracle(Vec a, Vec b, const std::string& where) {
  for (const Named& m : kMetrics) {
    const float want = m.oracle(a, b);
    ASSERT_TRUE(SameBits(want, m.oracle(b, a))) << m.name << " not symmetric " << where;
    for (const kernels::Table* t : kernels::supported()) {
      ASSERT_TRUE(SameBits(want, m.fast(*t, a, b))) << m.name << "/" << t->name << " " << where;
      ASSERT_TRUE(SameBits(want, m.fast(*t, b, a))) << m.name << "/" << t->name << " " << where;
    }
    ASSERT_TRUE(SameBits(want, distance(m.selector, a, b))) << m.name << " " << where;
    ASSERT_TRUE(SameBits(want, metric_for(m.selector).distance(a, b))) << m.name << " " << where;
  }
}

TEST(MetricTest, FastPathsEqualReferenceForEveryLengthPair) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 3; ++round) {
    const bool huge = round == 2;
    for (std::size_t la = 0; la <= 40; ++la) {
      for (std::size_t lb = 0; lb <= 40; ++lb) {
        const auto a = RandomVector(rng, la, huge);
        const auto b = RandomVector(rng, lb, huge);
        ExpectMatchesOracle(a, b,
                            "lengths " + std::to_string(la) + "," + std::to_string(lb));
      }
    }
  }
}

TEST(MetricTest, FastPathsEqualReferenceOnLongVectors) {
  std::mt19937 rng(7);
  for (std::size_t la : {384u, 1000u, 1536u, 4099u}) {
    for (std::size_t lb : {la, la + 3, la - 5, std::size_t{17}}) {
      const auto a = RandomVector(rng, la, false);
      const auto b = RandomVector(rng, lb, false);
      ExpectMatchesOracle(a, b, "lengths " + std::to_string(la) + "," + std::to_string(lb));
    }
  }
}

// The scan's cosine takes na from the query once and d, nb from this kernel.
TEST(MetricTest, DotNormKernelEqualsCosineKernel) {
  std::mt19937 rng(11);
  for (std::size_t blocks : {0u, 1u, 5u, 48u}) {
    const auto a = RandomVector(rng, 8 * blocks, false);
    const auto b = RandomVector(rng, 8 * blocks, blocks == 5);
    for (const kernels::Table* t : kernels::supported()) {
      const kernels::CosineSums all = t->cosine(a.data(), b.data(), blocks);
      const kernels::CosineSums two = t->dot_norm(a.data(), b.data(), blocks);
      EXPECT_TRUE(SameBits(all.d, two.d)) << t->name;
      EXPECT_TRUE(SameBits(all.nb, two.nb)) << t->name;
    }
  }
}

// The portable table is always there, and the processor's own tables are too: a build that
// compiled a kernel file but never dispatched to it would pass every comparison above unseen.
TEST(MetricTest, ProcessorTablesAreOffered) {
  std::vector<std::string> names;
  for (const kernels::Table* t : kernels::supported()) names.push_back(t->name);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "generic");
  EXPECT_EQ(std::string(kernels::active().name), names.back());
#if defined(__x86_64__)
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[1], "sse2");
#elif defined(__aarch64__)
  EXPECT_EQ(names, (std::vector<std::string>{"generic", "neon"}));
#else
  EXPECT_EQ(names.size(), 1u);
#endif
}

float Dot(std::vector<float> a, std::vector<float> b) { return distance(Metric::Dot, a, b); }

TEST(MetricTest, WorkedValues) {
  for (const Named& m : kMetrics) EXPECT_EQ(distance(m.selector, {}, {}), 0.0f) << m.name;

  EXPECT_EQ(distance(Metric::Cosine, std::vector<float>{1, 0}, std::vector<float>{2, 0}), 1.0f);
  EXPECT_EQ(distance(Metric::Cosine, std::vector<float>{1, 0}, std::vector<float>{-1, 0}), -1.0f);
  EXPECT_EQ(Dot({1, 2, 3}, {4, 5, 6}), 32.0f);
  EXPECT_EQ(distance(Metric::Euclidean, std::vector<float>{0, 0}, std::vector<float>{3, 4}), 5.0f);
  EXPECT_EQ(distance(Metric::Manhattan, std::vector<float>{1, 2}, std::vector<float>{4, -2, 7}),
            7.0f);
}

// The table is what everything reads: each entry sits at its code, names and orients its own
// metric, and no code past the table names a metric.
TEST(MetricTest, SelectorsAndNamesNameTheirOwnEntry) {
  for (const Named& m : kMetrics) {
    const auto code = static_cast<std::uint8_t>(m.selector);
    EXPECT_EQ(metric_from_code(code), m.selector) << m.name;
    EXPECT_EQ(metric_from_name(m.name), m.selector) << m.name;
    EXPECT_STREQ(name_of(m.selector), m.name);
    EXPECT_EQ(kernels::describe(m.selector).reference, m.oracle) << m.name;
    EXPECT_EQ(is_distance(m.selector), m.selector == Metric::Euclidean ||
                                           m.selector == Metric::Manhattan)
        << m.name;
  }
  for (int code = 4; code < 256; ++code) {
    EXPECT_FALSE(metric_from_code(static_cast<std::uint8_t>(code))) << code;
  }
  EXPECT_FALSE(metric_from_name("Cosine"));
  EXPECT_FALSE(metric_from_name(""));
}

// Lane j of every block shares accumulator j: the -1e8 cancels the 1e8 before the ones are
// added. Summing left to right would absorb seven ones into 1e8 and give 7.
TEST(MetricTest, BlockedSumCancelsWithinAnAccumulator) {
  std::vector<float> ones(16, 1.0f);
  std::vector<float> b = {1e8f, 1, 1, 1, 1, 1, 1, 1, -1e8f, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(Dot(ones, b), 14.0f);
  EXPECT_EQ(scalar::dot(ones, b), 14.0f);
}

// Each vector's tail starts after its own last whole block.
TEST(MetricTest, UnequalLengthsPairTailsAfterOwnBlocks) {
  std::vector<float> a(9, 0.0f);
  a[8] = 3.0f;
  std::vector<float> b(17, 0.0f);
  for (int i = 8; i < 16; ++i) b[i] = 1000.0f;  // ignored: beyond a's whole blocks
  b[16] = 5.0f;
  a[0] = 2.0f;
  b[0] = 7.0f;
  EXPECT_EQ(Dot(a, b), 2.0f * 7.0f + 3.0f * 5.0f);

  // A vector of 8 has no tail, so the 9th component of the other is ignored.
  std::vector<float> eight(8, 1.0f), nine(9, 1.0f);
  nine[8] = 100.0f;
  EXPECT_EQ(Dot(eight, nine), 8.0f);
}

TEST(MetricTest, NaNRules) {
  const std::vector<float> with_nan = {1.0f, kNaN, 2.0f};
  const std::vector<float> plain = {1.0f, 2.0f, 3.0f};
  const std::vector<float> zeros = {0.0f, 0.0f, 0.0f};
  for (const Named& m : kMetrics) {
    EXPECT_TRUE(std::isnan(distance(m.selector, with_nan, plain))) << m.name;
    EXPECT_TRUE(std::isnan(distance(m.selector, plain, with_nan))) << m.name;
  }
  // A zero sum of squares on either side wins over a NaN on the other.
  EXPECT_EQ(distance(Metric::Cosine, zeros, with_nan), 0.0f);
  EXPECT_EQ(distance(Metric::Cosine, with_nan, zeros), 0.0f);
  EXPECT_EQ(distance(Metric::Cosine, zeros, plain), 0.0f);
  EXPECT_EQ(distance(Metric::Cosine, plain, zeros), 0.0f);
  // A NaN beyond the shorter length takes no part.
  EXPECT_EQ(Dot({2.0f}, with_nan), 2.0f);
}

}  // namespace
}  // namespace korvane_index
