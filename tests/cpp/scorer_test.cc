#include "index/scorer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace korvane_index {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float Reference(Metric m, Vec q, Vec v) {
  switch (m) {
    case Metric::Cosine: return scalar::cosine(q, v);
    case Metric::Dot: return scalar::dot(q, v);
    case Metric::Euclidean: return scalar::euclidean(q, v);
    case Metric::Manhattan: return scalar::manhattan(q, v);
  }
  return 0.0f;
}

::testing::AssertionResult SameBits(float expected, float actual) {
  if (std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual) ||
      (std::isnan(expected) && std::isnan(actual))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

// Components over many magnitudes, with zeros and subnormals, so that any sum taken in another
// order rounds differently.
std::vector<float> RandomVector(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<int> exponent(-12, 12);
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    const unsigned k = rng() % 16;
    x = k == 0 ? 0.0f : k == 1 ? std::ldexp(1.5f, -140) : std::ldexp(mantissa(rng), exponent(rng));
    if (rng() & 1) x = -x;
  }
  return v;
}

// A pool of vectors mostly of the query's length, with some of other lengths, all zeros, a NaN,
// so that runs of equal-length vectors of every size up to a kernel's width and beyond occur.
std::vector<std::vector<float>> Pool(std::mt19937& rng, std::size_t len) {
  std::vector<std::vector<float>> pool;
  for (int i = 0; i < 40; ++i) {
    const unsigned kind = rng() % 10;
    if (kind == 0) {
      pool.push_back(RandomVector(rng, rng() % 20));
    } else if (kind == 1) {
      pool.emplace_back(len, 0.0f);
    } else {
      pool.push_back(RandomVector(rng, len));
      if (kind == 2 && len > 0) pool.back()[rng() % len] = kNaN;
    }
  }
  return pool;
}

const Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::Euclidean, Metric::Manhattan};

TEST(ScorerTest, EveryEntryPointEqualsTheReference) {
  std::mt19937 rng(5);
  for (std::size_t len : {0u, 3u, 8u, 13u, 64u, 389u}) {
    const auto query = RandomVector(rng, len);
    const auto zero_query = std::vector<float>(len, 0.0f);
    const auto pool = Pool(rng, len);
    std::vector<Vec> vs(pool.begin(), pool.end());
    for (Metric m : kMetrics) {
      for (const auto* q : {&query, &zero_query}) {
        const Scorer scorer(m, *q);
        std::vector<float> many(vs.size());
        scorer.score_many(vs, many.data());
        // Split differently, so that groups start at other offsets.
        std::vector<float> split(vs.size());
        scorer.score_many(std::span<const Vec>(vs).first(7), split.data());
        scorer.score_many(std::span<const Vec>(vs).subspan(7), split.data() + 7);
        std::vector<float> norms, with_norms(vs.size());
        for (Vec v : vs) norms.push_back(Scorer::norm(v));
        scorer.score_many(vs, norms.data(), with_norms.data());
        for (std::size_t i = 0; i < vs.size(); ++i) {
          const std::string where = "metric " + std::to_string(static_cast<int>(m)) +
                                    " length " + std::to_string(len) + " vector " +
                                    std::to_string(i);
          const float want = Reference(m, *q, vs[i]);
          ASSERT_TRUE(SameBits(want, scorer.score(vs[i]))) << where;
          ASSERT_TRUE(SameBits(want, many[i])) << where;
          ASSERT_TRUE(SameBits(want, split[i])) << where;
          ASSERT_TRUE(SameBits(want, with_norms[i])) << where;
          ASSERT_TRUE(SameBits(want, scorer.score_with_norm(vs[i], norms[i]))) << where;
        }
      }
    }
  }
}

TEST(ScorerTest, BatchEqualsEachQueryAlone) {
  std::mt19937 rng(6);
  for (std::size_t len : {5u, 16u, 389u}) {
    const auto pool = Pool(rng, len);
    for (Metric m : kMetrics) {
      // 19 queries: two full groups of the interleaved kernel and a partial one; then the same
      // with one query of another length, which the batch cannot interleave.
      for (bool mixed : {false, true}) {
        std::vector<std::vector<float>> queries;
        for (int i = 0; i < 19; ++i) queries.push_back(RandomVector(rng, len));
        queries[3].assign(len, 0.0f);
        if (mixed) queries[11] = RandomVector(rng, len + 1);
        std::vector<Scorer> scorers;
        for (const auto& q : queries) scorers.emplace_back(m, q);
        const BatchScorer batch(scorers);
        std::vector<float> out(queries.size());
        for (const auto& v : pool) {
          batch.scores(v, out.data());
          for (std::size_t i = 0; i < queries.size(); ++i) {
            ASSERT_TRUE(SameBits(Reference(m, queries[i], v), out[i]))
                << "metric " << static_cast<int>(m) << " query " << i << " mixed " << mixed;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvane_index
