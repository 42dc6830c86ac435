// CompactCopy: an 8-bit copy of every vector of a RecordTable, kept beside its float arena.
//
// A vector x of n floats becomes n codes r[i] in 1..255 with x^[i] = a + s * (r[i] - 128) close
// to x[i] (a the midpoint of x's range, s the step that spans it in 254 steps), and four floats:
// a, s, an upper bound of the length of the residual x - x^ and an upper bound of the length of
// x, both rounded up (and the latter within 2^-22 of the true length when it is a normal float).
// A vector with a component that is not finite, or longer than the float range can bound, has a
// NaN residual: no bound can be made for it and a first pass must measure it exactly.
//
// The codes are kept as two halves, each packed two to a byte (component 2j in the low half of
// byte j, 2j + 1 in the high half, a zero half past an odd length): the high halves
// h[i] = r[i] >> 4 and the low halves l[i] = r[i] & 15, so r[i] = 16 h[i] + l[i]. The high halves
// alone are a coarser copy that serves a cheaper first look, with x~[i] = a4 + 16 s * (h[i] - 128)
// and an upper bound of |x - x~| (a4 a float near a + 1927.5 s, so that x~ sits mid-way of the
// codes each h stands for).
//
// A slot's halves start at byte (offset + slot) / 2 of their two arrays, offset its floats' offset
// in the arena (each row of ceil(length / 2) bytes fits before the next row's start), so the
// table's offsets and lengths address them.
//
// Writes follow the table's two steps: reserve() may throw std::bad_alloc and changes nothing
// observable; push(), move() and truncate() never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane_storage {

struct CompactMeta {
  float offset;
  float step;
  float residual;
  float norm;
};

// The coarse copy's offset a4 and its residual bound (NaN where the fine one is).
struct CoarseMeta {
  float offset;
  float residual;
};

// One vector's copies made ahead of push_encoded (encode_halves()): its packed high and low
// halves, (length + 1) / 2 bytes each, and their numbers.
struct EncodedCopy {
  std::span<const std::uint8_t> highs;
  std::span<const std::uint8_t> lows;
  CompactMeta meta;
  CoarseMeta coarse;
};

class CompactCopy {
 public:
  const CompactMeta& meta(std::size_t slot) const { return meta_[slot]; }
  const CoarseMeta& coarse(std::size_t slot) const { return coarse_[slot]; }
  // The packed halves of every slot; a slot's start at half_offset().
  const std::uint8_t* highs() const { return highs_.data(); }
  const std::uint8_t* lows() const { return lows_.data(); }
  // Where a slot's halves start in highs() and lows(), given its offset.
  static std::size_t half_offset(std::size_t slot, std::size_t offset) {
    return (offset + slot) / 2;
  }
  std::size_t bytes() const {
    return highs_.size() + lows_.size() + meta_.size() * sizeof(CompactMeta) +
           coarse_.size() * sizeof(CoarseMeta);
  }
  // Room for `slots` slots and `components` codes in all.
  void reserve(std::size_t slots, std::size_t components);
  // Appends the copy of v as the next slot, its codes at the next free offset.
  // REQUIRES: room reserved.
  void push(std::span<const float> v) noexcept;
  // The same with the copies of a vector of `length` components already made.
  // REQUIRES: room reserved.
  void push_encoded(const EncodedCopy& copy, std::size_t length) noexcept;
  // Slot `from`'s copy becomes slot `to`'s, its codes moved to offset `to_offset` (to <= from,
  // to_offset <= from's offset: compaction downward).
  void move(std::size_t to, std::size_t from, std::size_t to_offset, std::size_t from_offset,
            std::size_t length) noexcept;
  // Keeps the first `slots` slots and `components` codes.
  void truncate(std::size_t slots, std::size_t components) noexcept;

  // The copy of one vector: codes into out (v.size() of them) and its four numbers.
  static CompactMeta encode(std::span<const float> v, std::uint8_t* out) noexcept;
  // The coarse copy of the same vector from its codes: its high halves, (v.size() + 1) / 2
  // bytes, into out.
  static CoarseMeta encode_coarse(std::span<const float> v, const std::uint8_t* codes,
                                  const CompactMeta& fine, std::uint8_t* out) noexcept;
  // Both at once without the codes themselves: the packed high and low halves of the codes
  // encode() makes, (v.size() + 1) / 2 bytes each, and the numbers of both copies.
  static void encode_halves(std::span<const float> v, std::uint8_t* highs, std::uint8_t* lows,
                            CompactMeta& meta, CoarseMeta& coarse) noexcept;

 private:
  static std::size_t half_bytes(std::size_t slots, std::size_t components) {
    return (slots + components) / 2 + 1;
  }

  std::size_t components_ = 0;  // codes in all, the next slot's offset
  std::vector<CompactMeta> meta_;
  std::vector<CoarseMeta> coarse_;
  std::vector<std::uint8_t> highs_;  // (components_ + slots) / 2 bytes each
  std::vector<std::uint8_t> lows_;
};

}  // namespace korvane_storage
