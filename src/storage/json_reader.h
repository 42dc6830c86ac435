// The JSON reader's state and its token-level pieces, shared by parse_json (json.cc) and the row
// decoder (record.cc). Private to src/storage.
//
// A Reader walks one text once. Every parsing member returns false on the first error and leaves
// the full message ("<reason> at line L column C") in the reader; nothing after a failure is
// meaningful. Errors are positioned in one of two ways, and which one each reason uses is part of
// the observable format:
//   consumed: at the number of bytes consumed so far;
//   peeked:   one byte further (the byte looked at but not taken), or the end of the text.
// Columns count bytes; a column of 0 is the start of a line.
//
// The hot paths (whitespace, numbers, the scan through a string) are inline here because the
// row decoder runs them once per vector component of every stored record.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "storage/json.h"
#include "korvane/value.h"

namespace korvane_storage::json_internal {

// Reasons, spelled exactly as callers see them.
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidUnicode = "invalid unicode code point";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHex = "unexpected end of hex escape";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";

// A number as the grammar classes it: an unsigned literal that fits 64 bits, a negative literal
// that fits a signed 64-bit integer, or else a double.
struct Number {
  enum class Kind : std::uint8_t { UInt, Int, Float };
  Kind kind = Kind::UInt;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0;
};

inline bool is_digit(int c) { return static_cast<unsigned>(c - '0') < 10; }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s);

class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Skips whitespace; the next byte, or -1 at the end of the text.
  int peek_ws() {
    while (p_ < end_) {
      const char c = *p_;
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
      ++p_;
    }
    return -1;
  }
  int peek() const { return p_ < end_ ? static_cast<unsigned char>(*p_) : -1; }
  void eat() { ++p_; }
  // REQUIRES: p within the text, at or after the current position.
  void move_to(const char* p) { p_ = p; }
  const char* pos() const { return p_; }
  const char* end() const { return end_; }

  // Steps to the next element of a list (close ']') or an object (close '}'), after its opening
  // bracket (first) or after an element: over the separating comma, refusing a missing or a
  // trailing one. Returns the element's first byte, kClosed when the container ends here (the
  // bracket not consumed), or kFailed with the error set.
  static constexpr int kClosed = -2;
  static constexpr int kFailed = -3;
  int next_element(bool first, char close) {
    const bool list = close == ']';
    int c = peek_ws();
    if (c == close) return kClosed;
    if (c == ',' && !first) {
      ++p_;
      c = peek_ws();
    } else if (c < 0) {
      fail_peeked(list ? kEofList : kEofObject);
      return kFailed;
    } else if (!first) {
      fail_peeked(list ? kExpectedListCommaOrEnd : kExpectedObjectCommaOrEnd);
      return kFailed;
    }
    if (c == close) {
      fail_peeked(kTrailingComma);
      return kFailed;
    }
    if (c < 0) {
      fail_peeked(kEofValue);
      return kFailed;
    }
    return c;
  }

  bool fail_consumed(std::string_view reason) { return fail_at(reason, p_ - begin_); }
  bool fail_peeked(std::string_view reason) {
    return fail_at(reason, p_ < end_ ? p_ - begin_ + 1 : end_ - begin_);
  }
  // "invalid type: <unexp>, expected <exp>" at the consumed position.
  bool fail_invalid_type(std::string_view unexp, std::string_view expected);

  // The rest of `null`, `true` or `false` after its first byte was taken.
  bool parse_ident(std::string_view rest);

  // REQUIRES: p_ just after the '-' when !positive, else at the first digit.
  bool parse_number(bool positive, Number& n);

  // REQUIRES: p_ just after the opening quote. On success `s` holds the unescaped, UTF-8
  // checked text; it points into the input or into the reader's scratch buffer and stays valid
  // until the next parse_string.
  bool parse_string(std::string_view& s) {
    const char* start = p_;
    // Fast path: no escape before the closing quote, the text is borrowed from the input.
    while (p_ < end_) {
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        s = std::string_view(start, p_ - start);
        ++p_;
        if (!valid_utf8(s)) return fail_consumed(kInvalidUnicode);
        return true;
      }
      if (c == '\\' || c < 0x20) break;
      ++p_;
    }
    return parse_string_slow(start, s);
  }

  // One complete value as a Value. `depth` is the number of arrays and objects around it.
  bool parse_value(Value& out, int depth);

  // Skips one value, checking its syntax but not its strings' UTF-8 nor its depth; any nesting
  // is followed on the heap, never on the C stack.
  bool skip_value();

  // The data error for a value of the wrong kind where `expected` was wanted. REQUIRES: p_ at the
  // value's first byte. A scalar is read first (its own syntax errors win); a `[` or `{` is
  // reported at its own offset without being taken.
  bool peek_invalid_type(std::string_view expected);

  // Only whitespace may remain.
  bool expect_end() {
    if (peek_ws() >= 0) return fail_peeked(kTrailingCharacters);
    return true;
  }

  JsonError take_error() { return JsonError{std::move(error_)}; }

 private:
  bool fail_at(std::string_view reason, std::ptrdiff_t index);
  bool parse_string_slow(const char* start, std::string_view& s);
  bool parse_escape();
  bool parse_unicode_escape();
  bool decode_hex_escape(unsigned& out);
  bool parse_number_tail(const char* digits, bool positive, std::uint64_t sig, bool overflowed,
                         Number& n);
  bool slow_double(const char* digits, std::uint64_t mant, std::int64_t exp10, double& d);
  bool skip_string();
  bool skip_integer();

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::string scratch_;  // unescaped string text
  std::string error_;
};

inline constexpr double kExactPowersOf10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Below this a significand takes any further digit without overflowing 64 bits.
inline constexpr std::uint64_t kSafeSignificand = (UINT64_MAX - 9) / 10;

// A literal with a fraction, an exponent or more integer digits than 64 bits hold: always a
// double. REQUIRES: p_ just after the integer digits taken into `sig` (all of them unless
// `overflowed`). Doubles are correctly rounded; the common short literal takes the exact
// path (an exact significand times or over an exact power of ten rounds once).
inline bool Reader::parse_number_tail(const char* digits, bool positive, std::uint64_t sig,
                                      bool overflowed, Number& n) {
  // A local cursor: the digit loops are the decoder's hottest code.
  const char* p = p_;
  const char* const end = end_;
  std::uint64_t mant = sig;  // the leading significant digits; all of them while `exact`
  std::int64_t exp10 = 0;    // value = mant * 10^exp10 (approximately, when !exact)
  bool exact = !overflowed;
  if (overflowed) {
    while (p < end && is_digit(*p)) {
      ++exp10;
      ++p;
    }
  }
  if (p < end && *p == '.') {
    ++p;
    const char* fraction = p;
    while (p < end && is_digit(*p)) {
      const auto d = static_cast<std::uint64_t>(*p - '0');
      if (exact) {
        if (mant <= kSafeSignificand || mant <= (UINT64_MAX - d) / 10) {
          mant = mant * 10 + d;
          --exp10;
        } else {
          exact = false;
        }
      }
      ++p;
    }
    if (p == fraction) {
      p_ = p;
      return fail_peeked(p == end ? kEofValue : kInvalidNumber);
    }
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool positive_exp = true;
    if (p < end && (*p == '+' || *p == '-')) {
      positive_exp = *p == '+';
      ++p;
    }
    if (p == end) {
      p_ = p;
      return fail_consumed(kEofValue);
    }
    if (!is_digit(*p)) {
      p_ = p + 1;
      return fail_consumed(kInvalidNumber);
    }
    std::int32_t e = *p++ - '0';
    while (p < end && is_digit(*p)) {
      const int d = *p++ - '0';
      if (e > (INT32_MAX - d) / 10) {
        // An exponent beyond 32 bits is out of range at once, or zero.
        p_ = p;
        if (mant != 0 && positive_exp) return fail_consumed(kNumberOutOfRange);
        while (p_ < end && is_digit(*p_)) ++p_;
        n.kind = Number::Kind::Float;
        n.d = positive ? 0.0 : -0.0;
        return true;
      }
      e = e * 10 + d;
    }
    exp10 += positive_exp ? e : -static_cast<std::int64_t>(e);
  }
  p_ = p;
  double d;
  if (mant == 0) {
    d = 0.0;
  } else if (exact && mant <= (std::uint64_t{1} << 53) && exp10 >= -22 && exp10 <= 22) {
    d = exp10 >= 0 ? static_cast<double>(mant) * kExactPowersOf10[exp10]
                   : static_cast<double>(mant) / kExactPowersOf10[-exp10];
  } else if (!slow_double(digits, mant, exp10, d)) {
    return false;
  }
  n.kind = Number::Kind::Float;
  n.d = positive ? d : -d;
  return true;
}

inline bool Reader::parse_number(bool positive, Number& n) {
  const char* p = p_;
  const char* const end = end_;
  const char* digits = p;
  if (p == end) return fail_consumed(kEofValue);
  const char first = *p++;
  std::uint64_t sig;
  if (first == '0') {
    // Only one leading zero.
    if (p < end && is_digit(*p)) {
      p_ = p;
      return fail_peeked(kInvalidNumber);
    }
    sig = 0;
  } else if (first >= '1' && first <= '9') {
    sig = static_cast<std::uint64_t>(first - '0');
    while (p < end && is_digit(*p)) {
      const auto d = static_cast<std::uint64_t>(*p - '0');
      if (sig > kSafeSignificand && sig > (UINT64_MAX - d) / 10) {
        p_ = p;
        return parse_number_tail(digits, positive, sig, true, n);
      }
      sig = sig * 10 + d;
      ++p;
    }
  } else {
    p_ = p;
    return fail_consumed(kInvalidNumber);
  }
  p_ = p;
  if (p < end && (*p == '.' || *p == 'e' || *p == 'E')) {
    return parse_number_tail(digits, positive, sig, false, n);
  }
  if (positive) {
    n.kind = Number::Kind::UInt;
    n.u = sig;
  } else {
    // Magnitudes 1..2^63 are signed integers; -0 and anything larger become doubles.
    const auto neg = static_cast<std::int64_t>(0 - sig);
    if (neg >= 0) {
      n.kind = Number::Kind::Float;
      n.d = -static_cast<double>(sig);
    } else {
      n.kind = Number::Kind::Int;
      n.i = neg;
    }
  }
  return true;
}

}  // namespace korvane_storage::json_internal
