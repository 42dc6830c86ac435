// Float text for vector components, the hot half of the row format: float32 -> its shortest
// decimal digits (writing), and the common compact literal -> float32 (reading). Private to
// src/storage; json.cc and record.cc build on these.
//
// Both are exact. shortest_f32 gives the fewest significant digits that read back to the same
// float (of several such, the nearest to the float's value, a tie going to the even digit), the
// digits std::to_chars gives. read_plain_f32 takes only literals whose double it can form with one
// correctly rounded operation, and then narrows that double, exactly as the general reader does;
// anything else it leaves to the general reader.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane_storage::float_text {

// value = digits * 10^exponent; digits has at most 9 decimal digits and no trailing zero.
struct Decimal32 {
  std::uint32_t digits;
  int exponent;
};

// REQUIRES: f finite and positive.
Decimal32 shortest_f32(float f);

// The float rule's text of a finite f (json.h), at most kMaxF32Text bytes; returns the end.
// Defined in json.cc, beside the layout it shares with doubles.
// A sign, then "0." with five zeros and nine digits (the longest fixed form), or 13 + 2 bytes.
inline constexpr int kMaxF32Text = 18;
char* write_f32_text(float f, char* out);

// Writes the decimal digits of v (1 to 10 of them) at out; returns the end.
char* write_digits(std::uint32_t v, char* out);

// Reads `[-](0|[1-9][0-9]*).[0-9]+` from p (before end) when the literal has at most 19
// significant-or-leading digits all told, a significand of at most 2^53, at most 22 fraction
// digits, and no exponent; on success stores the component and returns the byte after the
// literal. Returns nullptr, storing nothing, for anything else (the general reader then reads
// the same bytes and reports any error in its own words).
const char* read_plain_f32(const char* p, const char* end, float& out);

// Reads a run of list elements in the writer's fixed form, `[-](0|[1-9][0-9]*).[0-9]+` each
// followed by ',' or ']', starting at the first element's first byte, and appends them to out:
// the floats read_plain_f32 makes of the same texts. Stops at the ']' after the last element it
// took, or at the ',' before the first one it does not take (such as one with an exponent), or
// returns p itself when it took none; the general reader goes on from there.
const char* read_plain_f32_run(const char* p, const char* end, std::vector<float>& out);

}  // namespace korvane_storage::float_text
