// Compact first pass: guaranteed score intervals from 8-bit copies of the vectors.
//
// A stored vector x of n floats has an 8-bit copy: codes r[i] in 1..255 and an offset a and
// step s such that x^[i] = a + s * (r[i] - 128) is close to x[i], with two numbers that bound
// what the copy lost: an upper bound of the length of the residual x - x^, and an upper bound of
// the length of x itself (the storage layer makes them; see compact_copy.h).
//
// CompactQuery prepares one query for one Metric. For a record of the query's length it turns
// the integer products of the record's codes with the query's 8-bit planes into an interval that
// certainly holds the score the metric's float kernel computes for the pair (compact.cc gives
// the argument). A caller keeps the k-th best lower bound and measures exactly only the records
// whose interval reaches it; the answer is then the exact one.
//
// A coarser look comes first for a single query: the same interval from the high halves of the
// codes alone (half the bytes), with one plane split for their packing (SplitPlane) and the
// coarse copy's offset and residual; only records that it cannot rule out pay for the codes.
// A batch of one-plane queries takes the same look (HalvesBlock): the high halves' products
// with every query's plane, then the low halves' for the pairs it cannot rule out.
// The store keeps the codes as their high and low halves only (unpack_halves() joins them).
//
// Manhattan's interval comes from the decoded codes instead of products with planes
// (manhattan_bound(); a Manhattan query has no planes, no coarse look and no QueryBlock).
// No interval is had for a query the bounds cannot cover (non-finite components, magnitudes
// near the float range's ends, a zero Cosine query): usable() is false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/metric.h"

namespace korvane_index::compact {
namespace kernels {
struct KeyTable;
}

// The integer products sum(r[i] * g[i]) for i < n: r the codes of one vector, g one 8-bit plane.
// The widest instructions the processor has, chosen at first use; every version gives the same
// integers. REQUIRES: n <= kMaxLength.
std::int32_t code_dot(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
// code_dot(r, gs[j], n) into out[j] for j < count: one vector against many planes.
void code_dots(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
               std::size_t n, std::int32_t* out);
// The portable version, for tests.
std::int32_t code_dot_portable(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
// Which version runs: "portable", "avx2", "avx512vnni", "neon" (widening multiplies) or
// "neon-sdot" (the dot product instructions).
const char* code_kernel_name();

// Tests: the named version runs from now on (queries made before keep their layout); false, and
// nothing changes, when this processor cannot run it.
bool use_code_kernels(const char* name);

// Longest vector the integer sums hold exactly (255 * 127 * n < 2^31).
constexpr std::size_t kMaxLength = 65536;

// What the copy keeps of one vector besides its codes.
struct CodeMeta {
  float offset;    // a
  float step;      // s, >= 0
  float residual;  // >= |x - x^|; NaN when the vector has no usable copy
  float norm;      // >= |x|, and |x| >= norm * (1 - 2^-22) when norm is a normal float
};

// Score interval; lo <= score <= hi for the float kernel's score.
struct Interval {
  double lo, hi;
};

// One 8-bit plane g of length n split for the packed high halves h of codes: even[j] = g[2j],
// odd[j] = g[2j + 1], zero past n. dots() gives sum(g[i] * h[i]) for rows of packed halves.
class SplitPlane {
 public:
  SplitPlane(const std::int8_t* g, std::size_t n);
  std::size_t bytes() const { return even_.size(); }
  const std::int8_t* even() const { return even_.data(); }
  const std::int8_t* odd() const { return odd_.data(); }
  void dots(const std::uint8_t* const* rows, std::size_t nrows, std::int32_t* out) const;

 private:
  std::vector<std::int8_t> even_, odd_;
};
// The portable version, for tests.
std::int32_t nibble_dot_portable(const std::uint8_t* row, const SplitPlane& plane);

// The codes r[i] = 16 h[i] + l[i] of one vector of length n from its packed high and low halves
// ((n + 1) / 2 bytes each, laid out as compact_copy.h says): n bytes into out. The kernels that
// take rows of codes run on these.
void unpack_halves(const std::uint8_t* highs, const std::uint8_t* lows, std::size_t n,
                   std::uint8_t* out);

class CompactQuery {
 public:
  static constexpr int kMaxPlanes = 2;

  // planes: how many 8-bit planes approximate the query (1 or 2): two make its own error
  // negligible, one halves the integer work.
  CompactQuery(Metric metric, Vec query, int planes = 2);

  bool usable() const { return usable_; }
  std::size_t length() const { return n_; }
  int planes() const { return planes_; }
  const std::int8_t* plane(int p) const { return g_[p].data(); }

  // The interval of the score for a record of length() with these products of its codes with
  // each plane (dots[p] = code_dot(codes, plane(p), n)). Both ends are NaN-free; an unbounded
  // record gives (-inf, +inf).
  Interval bound(const std::int32_t* dots, const CodeMeta& meta) const;

  // Manhattan: the interval of the score for a record of length() with these n codes
  // (1..255) and meta; (-inf, +inf) when the record cannot be bounded.
  Interval manhattan_bound(const std::uint8_t* codes, const CodeMeta& meta) const;

  // The interval of fl(score * factor) given the score's interval: decay's multiplication.
  static Interval scaled(Interval score, float factor);

 private:
  friend class QueryBlock;
  friend class HalvesBlock;
  Metric metric_;
  std::size_t n_ = 0;
  int planes_ = 0;
  bool usable_ = false;
  std::vector<std::int8_t> g_[kMaxPlanes];
  double t_[kMaxPlanes] = {0.0, 0.0};    // plane p's step
  double sum_g_[kMaxPlanes] = {0, 0};    // sum of plane p's values
  double q_up_ = 0;        // >= |q|
  double q2_lo_ = 0, q2_hi_ = 0;  // bounds of |q|^2
  double qhat_up_ = 0;     // >= |q^|
  double f_up_ = 0;        // >= |q - q^|
  double gamma_ = 0;       // relative rounding bound of the kernel's sum
  double tiny_ = 0;        // absolute bound of underflow in the kernel's products
  float query_norm_ = 0;   // Cosine: the kernel's norm of the query
  std::vector<float> query_;  // Manhattan: the query itself
  double l1_gamma_ = 0;       // Manhattan: relative rounding bound of the first pass's sum
  double sqrt_n_ = 0;         // Manhattan: >= sqrt(length)
};

// The coarse look of a batch: the first planes of several queries of one length, each split as
// SplitPlane splits it, for rows of packed halves (the high halves for the coarse products; the
// low halves, for one query at a time, give the rest of its fine product: 16 H + L).
class HalvesBlock {
 public:
  // REQUIRES: every query usable() with planes, all of one length.
  explicit HalvesBlock(std::span<const CompactQuery> queries);
  // Whether the chosen kernels have a coarse look for batches (otherwise a batch takes the
  // codes whole, as QueryBlock::dots() gives their products).
  static bool available();
  std::size_t count() const { return count_; }
  // out[r * count() + j] = sum over i < length of g_j[i] * h_r[i], g_j query j's first plane
  // and h_r the halves packed in rows[r] ((length + 1) / 2 bytes).
  void dots(const std::uint8_t* const* rows, std::size_t nrows, std::int32_t* out) const;
  // The same for query j and one row.
  std::int32_t dot(std::size_t j, const std::uint8_t* row) const;

 private:
  std::size_t count_ = 0, bytes_ = 0, stride_ = 0;  // stride_: bytes_ rounded up to 32
  std::vector<std::int8_t> even_, odd_;             // query j's at j * stride_, zero past bytes_
  std::vector<const std::int8_t*> evens_, odds_;
};

// Several queries of one metric, length and number of planes, for a first pass over many
// records: the products of rows of codes with all their planes, and the upper ends of their
// intervals, in the widest instructions the processor has. Each key is at least the upper key of
// bound(): the score's upper end for similarities, minus the lower end for distances.
class QueryBlock {
 public:
  // REQUIRES: every query usable(), of one metric, length and planes(); they outlive the block.
  explicit QueryBlock(std::span<const CompactQuery> queries);

  std::size_t count() const { return q_up_.size(); }
  // The stride of dots()'s rows: count() * planes, perhaps padded.
  std::size_t lanes() const { return lanes_; }

  // out[r * lanes() + j * planes + p] = code_dot(rows[r], query j's plane p, length) for
  // r < nrows; each row holds the length's codes.
  void dots(const std::uint8_t* const* rows, std::size_t nrows, std::int32_t* out) const;

  // out[j] >= the key of query j's score for the record; dots one row of dots().
  void upper_keys(const std::int32_t* dots, const CodeMeta& meta, double* out) const;
  // Bit j % 64 of words[j / 64] (count() bits in (count() + 63) / 64 words) is whether query j's
  // upper key, as upper_keys() gives it, reaches floors[j] (is not below it; NaN reaches): the
  // same bits as comparing those keys, with less work. keys: room for count() doubles it may use.
  void reaching(const std::int32_t* dots, const CodeMeta& meta, const double* floors,
                double* keys, std::uint64_t* words) const;
  // For a block of one query: out[r] for nrows records, dots as dots() gives them.
  void record_keys(const std::int32_t* dots, const CodeMeta* metas, std::size_t nrows,
                   double* out) const;

 private:
  kernels::KeyTable table() const;

  Metric metric_;
  int planes_;
  std::size_t n_ = 0, lanes_ = 0;
  double gamma_ = 0, tiny_ = 0, q_max_ = 0;
  std::vector<const std::int8_t*> gs_;     // each query's planes, query by query
  std::vector<std::int8_t> interleaved_;   // the same, laid out for the widest kernel (or empty)
  std::vector<double> t_, ts_, t128_;  // per plane: t, t S, 128 t |S|
  std::vector<double> qhat_up_, fx_, q_up_, q2_lo_, q2_hi_, f_up_, inv_lo_, inv_hi_;
};

}  // namespace korvane_index::compact
