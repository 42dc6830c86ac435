// Reading follows one fixed grammar and one fixed set of error texts and positions (listed with
// the reader in json_reader.h), because stored rows written elsewhere must open here and callers
// see the texts. Doubles are read correctly rounded.
//
// Writing is compact. Floats use the shortest digits that read back to the same bits, laid out
// in fixed notation for a moderate decimal exponent and as d[.ddd]e±X otherwise; the fixed range
// depends on the width (write_f32, write_f64).
#include "storage/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <charconv>
#include <cmath>
#include <system_error>

#include "storage/float_text.h"
#include "storage/json_reader.h"

namespace korvane_storage {
namespace json_internal {

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::ptrdiff_t left = end - p;
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || !cont(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3) return false;
      // No overlong forms below U+0800, no surrogates U+D800..U+DFFF.
      const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
      const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
      if (p[1] < lo || p[1] > hi || !cont(p[2])) return false;
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4) return false;
      // No overlong forms below U+10000, nothing above U+10FFFF.
      const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
      const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
      if (p[1] < lo || p[1] > hi || !cont(p[2]) || !cont(p[3])) return false;
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

namespace {

void append_utf8(unsigned cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text of a string inside a data error: quoted, with the escapes a debugging print uses.
std::string describe_string(std::string_view s) {
  std::string out = "string \"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    unsigned cp = c;
    std::size_t len = 1;
    if (c == 0xC2 && i + 1 < s.size()) {
      cp = static_cast<unsigned char>(s[i + 1]) & 0x3F;
      cp |= 0x80;
      len = 2;
    }
    // C0 controls, DEL and the C1 controls (U+0080..U+009F) are not printable.
    if (cp < 0x20 || cp == 0x7F || (len == 2 && cp <= 0x9F)) {
      char buf[16];
      auto r = std::to_chars(buf, buf + sizeof buf, cp, 16);
      out += "\\u{";
      out.append(buf, r.ptr);
      out += '}';
      i += len - 1;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string describe_number(const Number& n) {
  switch (n.kind) {
    case Number::Kind::UInt: return "integer `" + std::to_string(n.u) + "`";
    case Number::Kind::Int: return "integer `" + std::to_string(n.i) + "`";
    case Number::Kind::Float: {
      std::string out = "floating point `";
      write_f64(n.d, out);
      out += '`';
      return out;
    }
  }
  return {};
}

}  // namespace

bool Reader::fail_at(std::string_view reason, std::ptrdiff_t index) {
  const char* at = begin_ + index;
  std::size_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_; q < at; ++q) {
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  }
  error_.assign(reason);
  error_ += " at line ";
  error_ += std::to_string(line);
  error_ += " column ";
  error_ += std::to_string(at - line_start);
  return false;
}

bool Reader::fail_invalid_type(std::string_view unexp, std::string_view expected) {
  std::string reason = "invalid type: ";
  reason += unexp;
  reason += ", expected ";
  reason += expected;
  return fail_consumed(reason);
}

bool Reader::parse_ident(std::string_view rest) {
  for (char want : rest) {
    if (p_ == end_) return fail_consumed(kEofValue);
    if (*p_++ != want) return fail_consumed(kExpectedIdent);
  }
  return true;
}

bool Reader::slow_double(const char* digits, std::uint64_t mant, std::int64_t exp10, double& d) {
  const auto r = std::from_chars(digits, p_, d, std::chars_format::general);
  assert(r.ptr == p_);
  if (r.ec == std::errc()) return true;
  // Out of range one way or the other; mant's leading digit tells which.
  std::int64_t magnitude = exp10;
  for (std::uint64_t m = mant; m >= 10; m /= 10) ++magnitude;
  if (magnitude >= 0) return fail_consumed(kNumberOutOfRange);
  d = 0.0;
  return true;
}

bool Reader::decode_hex_escape(unsigned& out) {
  if (end_ - p_ < 4) {
    p_ = end_;
    return fail_consumed(kEofString);
  }
  unsigned v = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(p_[k]);
    ok &= h >= 0;
    v = (v << 4) | static_cast<unsigned>(h & 0xF);
  }
  p_ += 4;
  if (!ok) return fail_consumed(kInvalidEscape);
  out = v;
  return true;
}

bool Reader::parse_unicode_escape() {
  unsigned n = 0;
  if (!decode_hex_escape(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail_consumed(kLoneSurrogate);
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(n, scratch_);
    return true;
  }
  // A leading surrogate must be followed by the escape of a trailing one.
  if (p_ == end_) return fail_consumed(kEofString);
  if (*p_++ != '\\') return fail_consumed(kUnexpectedEndOfHex);
  if (p_ == end_) return fail_consumed(kEofString);
  if (*p_++ != 'u') return fail_consumed(kUnexpectedEndOfHex);
  unsigned n2 = 0;
  if (!decode_hex_escape(n2)) return false;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_consumed(kLoneSurrogate);
  append_utf8((((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000, scratch_);
  return true;
}

bool Reader::parse_escape() {
  if (p_ == end_) return fail_consumed(kEofString);
  switch (*p_++) {
    case '"': scratch_ += '"'; return true;
    case '\\': scratch_ += '\\'; return true;
    case '/': scratch_ += '/'; return true;
    case 'b': scratch_ += '\b'; return true;
    case 'f': scratch_ += '\f'; return true;
    case 'n': scratch_ += '\n'; return true;
    case 'r': scratch_ += '\r'; return true;
    case 't': scratch_ += '\t'; return true;
    case 'u': return parse_unicode_escape();
    default: return fail_consumed(kInvalidEscape);
  }
}

// Entered at the first escape or control byte; what came before it is copied, not re-read.
bool Reader::parse_string_slow(const char* start, std::string_view& s) {
  scratch_.clear();
  const char* run = start;
  while (true) {
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++p_;
    }
    if (p_ == end_) return fail_consumed(kEofString);
    const char c = *p_;
    if (c == '"') {
      scratch_.append(run, p_);
      ++p_;
      s = scratch_;
      // Escapes always add whole, valid characters, so checking the result checks the raw runs.
      if (!valid_utf8(s)) return fail_consumed(kInvalidUnicode);
      return true;
    }
    if (c == '\\') {
      scratch_.append(run, p_);
      ++p_;
      if (!parse_escape()) return false;
      run = p_;
      continue;
    }
    ++p_;
    return fail_consumed(kControlCharacter);
  }
}

bool Reader::parse_value(Value& out, int depth) {
  const int c = peek_ws();
  switch (c) {
    case -1: return fail_peeked(kEofValue);
    case 'n':
      ++p_;
      if (!parse_ident("ull")) return false;
      out = Value::null();
      return true;
    case 't':
      ++p_;
      if (!parse_ident("rue")) return false;
      out = Value::boolean(true);
      return true;
    case 'f':
      ++p_;
      if (!parse_ident("alse")) return false;
      out = Value::boolean(false);
      return true;
    case '"': {
      ++p_;
      std::string_view s;
      if (!parse_string(s)) return false;
      out = Value::string(std::string(s));
      return true;
    }
    case '[': {
      if (depth >= kMaxJsonDepth) return fail_peeked(kRecursionLimit);
      ++p_;
      Value::Array items;
      for (bool first = true;; first = false) {
        const int e = next_element(first, ']');
        if (e == kClosed) break;
        if (e == kFailed) return false;
        items.emplace_back();
        if (!parse_value(items.back(), depth + 1)) return false;
      }
      ++p_;
      out = Value::array(std::move(items));
      return true;
    }
    case '{': {
      if (depth >= kMaxJsonDepth) return fail_peeked(kRecursionLimit);
      ++p_;
      Value::Object members;
      for (bool first = true;; first = false) {
        const int e = next_element(first, '}');
        if (e == kClosed) break;
        if (e == kFailed) return false;
        if (e != '"') return fail_peeked(kKeyMustBeString);
        ++p_;
        std::string_view key;
        if (!parse_string(key)) return false;
        members.push_back(Value::Member{std::string(key), Value()});
        const int colon = peek_ws();
        if (colon < 0) return fail_peeked(kEofObject);
        if (colon != ':') return fail_peeked(kExpectedColon);
        ++p_;
        if (!parse_value(members.back().value, depth + 1)) return false;
      }
      ++p_;
      out = Value::object(std::move(members));
      return true;
    }
    default: {
      if (c != '-' && !is_digit(c)) return fail_peeked(kExpectedValue);
      const bool positive = c != '-';
      if (!positive) ++p_;
      Number n;
      if (!parse_number(positive, n)) return false;
      switch (n.kind) {
        case Number::Kind::UInt: out = Value::uinteger(n.u); break;
        case Number::Kind::Int: out = Value::integer(n.i); break;
        case Number::Kind::Float: out = Value::floating(n.d); break;
      }
      return true;
    }
  }
}

// Unlike the full parse, skipping follows the grammar loosely where a full parse would give a
// more specific reason: after a comma it expects a value or key outright (`[1,]` is "expected
// value", `{"a":1,}` is "key must be a string"), and numbers get no range check and report
// every malformation as "invalid number".
bool Reader::skip_integer() {
  const char first = p_ < end_ ? *p_ : '\0';
  if (p_ < end_) ++p_;
  if (first == '0') {
    if (p_ < end_ && is_digit(*p_)) return fail_peeked(kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    while (p_ < end_ && is_digit(*p_)) ++p_;
  } else {
    return fail_consumed(kInvalidNumber);
  }
  if (p_ < end_ && *p_ == '.') {
    ++p_;
    const char* fraction = p_;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    if (p_ == fraction) return fail_peeked(kInvalidNumber);
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    const char d = p_ < end_ ? *p_ : '\0';
    if (p_ < end_) ++p_;
    if (!is_digit(d)) return fail_consumed(kInvalidNumber);
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
  return true;
}

bool Reader::skip_string() {
  while (true) {
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++p_;
    }
    if (p_ == end_) return fail_consumed(kEofString);
    const char c = *p_++;
    if (c == '"') return true;
    if (c != '\\') return fail_consumed(kControlCharacter);
    if (p_ == end_) return fail_consumed(kEofString);
    switch (*p_++) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
      case 'u': {
        unsigned ignored = 0;
        if (!decode_hex_escape(ignored)) return false;
        break;
      }
      default: return fail_consumed(kInvalidEscape);
    }
  }
}

bool Reader::skip_value() {
  // The open brackets around the current position, innermost last.
  std::string open;
  while (true) {
    const int c = peek_ws();
    bool opened = false;
    switch (c) {
      case -1: return fail_peeked(kEofValue);
      case 'n': ++p_; if (!parse_ident("ull")) return false; break;
      case 't': ++p_; if (!parse_ident("rue")) return false; break;
      case 'f': ++p_; if (!parse_ident("alse")) return false; break;
      case '-': ++p_; if (!skip_integer()) return false; break;
      case '"': ++p_; if (!skip_string()) return false; break;
      case '[':
      case '{':
        ++p_;
        open += static_cast<char>(c);
        opened = true;
        break;
      default:
        if (!is_digit(c)) return fail_peeked(kExpectedValue);
        if (!skip_integer()) return false;
        break;
    }
    if (!opened && open.empty()) return true;
    // After a value, or just inside a bracket: close brackets until a comma or a new element.
    bool after_value = !opened;
    while (true) {
      const int e = peek_ws();
      const char frame = open.back();
      if (e == ',' && after_value) {
        ++p_;
        break;
      }
      if ((e == ']' && frame == '[') || (e == '}' && frame == '{')) {
        ++p_;
        open.pop_back();
        if (open.empty()) return true;
        after_value = true;
        continue;
      }
      if (e < 0) return fail_peeked(frame == '[' ? kEofList : kEofObject);
      if (after_value) {
        return fail_peeked(frame == '[' ? kExpectedListCommaOrEnd : kExpectedObjectCommaOrEnd);
      }
      break;
    }
    if (open.back() == '{') {
      const int k = peek_ws();
      if (k < 0) return fail_peeked(kEofObject);
      if (k != '"') return fail_peeked(kKeyMustBeString);
      ++p_;
      if (!skip_string()) return false;
      const int colon = peek_ws();
      if (colon < 0) return fail_peeked(kEofObject);
      if (colon != ':') return fail_peeked(kExpectedColon);
      ++p_;
    }
  }
}

bool Reader::peek_invalid_type(std::string_view expected) {
  const int c = peek();
  switch (c) {
    case 'n':
      ++p_;
      if (!parse_ident("ull")) return false;
      return fail_invalid_type("null", expected);
    case 't':
      ++p_;
      if (!parse_ident("rue")) return false;
      return fail_invalid_type("boolean `true`", expected);
    case 'f':
      ++p_;
      if (!parse_ident("alse")) return false;
      return fail_invalid_type("boolean `false`", expected);
    case '"': {
      ++p_;
      std::string_view s;
      if (!parse_string(s)) return false;
      return fail_invalid_type(describe_string(s), expected);
    }
    case '[': return fail_invalid_type("sequence", expected);
    case '{': return fail_invalid_type("map", expected);
    default: {
      if (c != '-' && !is_digit(c)) return fail_peeked(kExpectedValue);
      const bool positive = c != '-';
      if (!positive) ++p_;
      Number n;
      if (!parse_number(positive, n)) return false;
      return fail_invalid_type(describe_number(n), expected);
    }
  }
}

}  // namespace json_internal

Result<Value, JsonError> parse_json(std::string_view text) {
  json_internal::Reader reader(text);
  Value v;
  if (!reader.parse_value(v, 0) || !reader.expect_end()) return reader.take_error();
  return v;
}

// ---- Writer -------------------------------------------------------------------------------

namespace {

// Writes n shortest round-trip digits with decimal exponent e (the first digit's) by the float
// rule: fixed notation for e in [fixed_min, fixed_max], otherwise d[.ddd]e±X. Returns the end.
// Fixed notation is at most 1 + 2 + 6 + 17 or 17 + 15 + 2 bytes.
char* lay_out_digits(const char* digits, int n, int e, int fixed_min, int fixed_max, char* w) {
  auto put = [&w](const char* p, int len) {
    std::memcpy(w, p, static_cast<std::size_t>(len));
    w += len;
  };
  if (e < fixed_min || e > fixed_max) {
    *w++ = digits[0];
    if (n > 1) {
      *w++ = '.';
      put(digits + 1, n - 1);
    }
    *w++ = 'e';
    *w++ = e < 0 ? '-' : '+';
    char exp[8];
    put(exp, static_cast<int>(std::to_chars(exp, exp + sizeof exp, e < 0 ? -e : e).ptr - exp));
  } else if (e < 0) {
    *w++ = '0';
    *w++ = '.';
    std::memset(w, '0', static_cast<std::size_t>(-e - 1));
    w += -e - 1;
    put(digits, n);
  } else if (n <= e + 1) {
    put(digits, n);
    std::memset(w, '0', static_cast<std::size_t>(e + 1 - n));
    w += e + 1 - n;
    *w++ = '.';
    *w++ = '0';
  } else {
    put(digits, e + 1);
    *w++ = '.';
    put(digits + e + 1, n - e - 1);
  }
  return w;
}

// A double by the float rule, its shortest digits from std::to_chars. The text is built in a
// local buffer and appended once.
//
// Most numbers are well inside the fixed range, where that layout is plain fixed notation with
// ".0" after an integral value, and std::to_chars writes it directly. A magnitude at least a
// power of ten above the range's low end keeps its decimal exponent in range even when its
// shortest digits round up; below 10^15 (under 2^53) every integer digit is significant, so fixed
// notation holds exactly the shortest digits.
void write_double(double f, std::string& out) {
  constexpr int kFixedMin = -5, kFixedMax = 15;
  const double magnitude = f < 0 ? -f : f;
  if (magnitude >= 1e-4 && magnitude < 1e15) {
    char buf[48];
    const auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::fixed);
    out.append(buf, r.ptr);
    if (std::memchr(buf, '.', static_cast<std::size_t>(r.ptr - buf)) == nullptr) out += ".0";
    return;
  }
  // JSON has no form for these, and the digit layout below relies on an exponent being there.
  if (!std::isfinite(f)) {
    out += "null";
    return;
  }
  if (f == 0) {
    out += std::signbit(f) ? "-0.0" : "0.0";
    return;
  }
  // The shortest round-trip form, as [-]d[.ddd]e±XX.
  char sci[40];
  const auto r = std::to_chars(sci, sci + sizeof sci, f, std::chars_format::scientific);
  char buf[64];
  char* w = buf;
  const char* q = sci;
  if (*q == '-') {
    *w++ = '-';
    ++q;
  }
  char digits[24];  // at most 17 significant digits for a double
  int n = 0;
  for (; q < r.ptr && *q != 'e'; ++q) {
    if (*q != '.' && n < static_cast<int>(sizeof digits)) digits[n++] = *q;
  }
  ++q;  // 'e'
  const bool negative_exp = *q == '-';
  ++q;  // the exponent's sign, always written
  int e = 0;  // at most three digits
  for (; q < r.ptr; ++q) e = 10 * e + (*q - '0');
  if (negative_exp) e = -e;
  w = lay_out_digits(digits, n, e, kFixedMin, kFixedMax, w);
  out.append(buf, static_cast<std::size_t>(w - buf));
}

// What each byte becomes inside a string literal: 0 raw, otherwise the escape letter, or 'u'.
constexpr auto kEscapes = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

}  // namespace

namespace {

// The nine decimal digits of v < 10^9, leading zeros included, at out[0..9): the low eight as
// four pairs at once in the lanes of one 64-bit word (a lane's quotient by 100 as a product and a
// shift, exact below 10^4; by 10 likewise below 100), the first byte of the word the first digit.
inline void nine_digits(std::uint32_t v, char* out) {
  const std::uint32_t lo = v % 100000000;
  const std::uint64_t x = lo / 10000 | std::uint64_t{lo % 10000} << 32;
  const std::uint64_t hundreds = ((x * 5243) >> 19) & 0x0000007F0000007Full;
  const std::uint64_t pairs = hundreds | (x - hundreds * 100) << 16;
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
  const std::uint64_t text = (tens | (pairs - tens * 10) << 8) | 0x3030303030303030ull;
  out[0] = static_cast<char>('0' + v / 100000000);
  std::memcpy(out + 1, &text, 8);
}

// The number of decimal digits of 1 <= v < 10^9.
inline int digit_count(std::uint32_t v) {
  return 1 + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000) + (v >= 100000) +
         (v >= 1000000) + (v >= 10000000) + (v >= 100000000);
}

}  // namespace

namespace float_text {

char* write_f32_text(float f, char* w) {
  if (f == 0) {
    if (std::signbit(f)) *w++ = '-';
    std::memcpy(w, "0.0", 3);
    return w + 3;
  }
  if (f < 0) {
    *w++ = '-';
    f = -f;
  }
  const Decimal32 dec = shortest_f32(f);
  if constexpr (std::endian::native == std::endian::little) {
    // The digits right-aligned in nine places, then copied in blocks of fixed size: the two
    // layouts most components take (a magnitude below 1, or a point among the digits) write up
    // to 18 bytes from where the text began, whatever its length, and the caller's room holds
    // them (kMaxF32Text); the bytes past the end returned are not part of the text.
    char buf[32];
    nine_digits(dec.digits, buf);
    const int n = digit_count(dec.digits);
    const char* digits = buf + 9 - n;
    const int e = dec.exponent + n - 1;
    if (e < 0 && e >= -6) {
      std::memcpy(w, "0.000000", 8);
      w += 1 - e;
      std::memcpy(w, digits, 9);
      return w + n;
    }
    if (e >= 0 && e + 1 < n) {
      std::memcpy(w, digits, 9);
      std::memcpy(w + e + 2, digits + e + 1, 8);
      w[e + 1] = '.';
      return w + n + 1;
    }
    return lay_out_digits(digits, n, e, -6, 12, w);
  } else {
    char digits[12];
    const int n = static_cast<int>(write_digits(dec.digits, digits) - digits);
    return lay_out_digits(digits, n, dec.exponent + n - 1, -6, 12, w);
  }
}

}  // namespace float_text

void write_f32(float f, std::string& out) {
  if (!std::isfinite(f)) {
    out += "null";
    return;
  }
  char buf[float_text::kMaxF32Text];
  out.append(buf, static_cast<std::size_t>(float_text::write_f32_text(f, buf) - buf));
}

void write_f64(double d, std::string& out) { write_double(d, out); }

void write_json_string(std::string_view s, std::string& out) {
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char esc = kEscapes[static_cast<unsigned char>(s[i])];
    if (esc == 0) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    out += '\\';
    out += esc;
    if (esc == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto c = static_cast<unsigned char>(s[i]);
      out += "00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

void write_json(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Value::Kind::Null: out += "null"; return;
    case Value::Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
    case Value::Kind::UInt:
    case Value::Kind::Int: {
      char buf[24];
      const auto r = v.kind() == Value::Kind::UInt ? std::to_chars(buf, buf + 24, v.as_uint())
                                                   : std::to_chars(buf, buf + 24, v.as_int());
      out.append(buf, r.ptr);
      return;
    }
    case Value::Kind::Float: write_f64(v.as_float(), out); return;
    case Value::Kind::String: write_json_string(v.as_string(), out); return;
    case Value::Kind::Array: {
      out += '[';
      bool first = true;
      for (const Value& item : v.as_array()) {
        if (!first) out += ',';
        first = false;
        write_json(item, out);
      }
      out += ']';
      return;
    }
    case Value::Kind::Object: {
      out += '{';
      bool first = true;
      for (const Value::Member& m : v.as_object()) {
        if (!first) out += ',';
        first = false;
        write_json_string(m.key, out);
        out += ':';
        write_json(m.value, out);
      }
      out += '}';
      return;
    }
  }
}

std::string to_json(const Value& v) {
  std::string out;
  write_json(v, out);
  return out;
}

}  // namespace korvane_storage
