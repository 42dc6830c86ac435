#include "storage/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace korvane_storage {
namespace {

std::string error_of(std::string_view text) {
  auto r = parse_json(text);
  return r ? std::string("<ok>") : r.error().message;
}

Value parse_ok(std::string_view text) {
  auto r = parse_json(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r ? "" : r.error().message);
  return r ? *r : Value();
}

struct ErrorCase {
  std::string text;
  std::string message;
};

TEST(ParseJson, ErrorsCarryReasonAndPosition) {
  const ErrorCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"abc", "expected value at line 1 column 1"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"nulll", "trailing characters at line 1 column 5"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e3", "invalid number at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"[1e99999999999999]", "number out of range at line 1 column 13"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\u12zz\"", "invalid escape at line 1 column 7"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\x\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,,}", "key must be a string at line 1 column 8"},
      {"[,1]", "expected value at line 1 column 2"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 "
                   "column 0"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                   "column 3"},
      {"[\n1,\n2,\n]", "trailing comma at line 4 column 1"},
      {"1.\n", "invalid number at line 2 column 0"},
      {"\r\n\r\n  x", "expected value at line 3 column 3"},
      {"NaN", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"\f1", "expected value at line 1 column 1"},
      {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
      {"[\"ok\",\"\xC0\xAF\"]", "invalid unicode code point at line 1 column 10"},
      {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},
      {"\"\xE2\x82\"", "invalid unicode code point at line 1 column 4"},
      {"[\"\xFF\\x\"]", "invalid escape at line 1 column 5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(c.text), c.message) << "input: " << c.text;
  }
}

TEST(ParseJson, NestingLimitIs127) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse_json(ok).ok());
  EXPECT_EQ(error_of(std::string(128, '[')), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of(std::string(126, '[') + "{\"a\":[" + std::string(200, '[')),
            "recursion limit exceeded at line 1 column 132");
  // Depth is about nesting, not count: many siblings at the limit are fine.
  std::string wide = std::string(126, '[');
  for (int i = 0; i < 300; ++i) wide += "[],";
  wide += "{}" + std::string(126, ']');
  EXPECT_TRUE(parse_json(wide).ok());
}

TEST(ParseJson, NumberClasses) {
  struct Case {
    const char* text;
    Value want;
  };
  const Case cases[] = {
      {"0", Value::uinteger(0)},
      {"18446744073709551615", Value::uinteger(UINT64_MAX)},
      {"18446744073709551616", Value::floating(18446744073709551616.0)},
      {"-1", Value::integer(-1)},
      {"-9223372036854775808", Value::integer(INT64_MIN)},
      {"-9223372036854775809", Value::floating(-9223372036854775809.0)},
      {"-18446744073709551615", Value::floating(-18446744073709551615.0)},
      {"1.0", Value::floating(1.0)},
      {"1e2", Value::floating(100.0)},
      {"1E+2", Value::floating(100.0)},
      {"25e-1", Value::floating(2.5)},
      {"1e-400", Value::floating(0.0)},
      {"0e99999999999", Value::floating(0.0)},
      {"1e-99999999999", Value::floating(0.0)},
      {"123456789012345678901234567890", Value::floating(1.2345678901234568e29)},
      {"0.1", Value::floating(0.1)},
      {"1.7976931348623157e308", Value::floating(1.7976931348623157e308)},
      {"4.9e-324", Value::floating(4.9e-324)},
      // Needs more than the exact fast path: correctly rounded all the same.
      {"2.2250738585072011e-308", Value::floating(2.2250738585072011e-308)},
      {"9007199254740993.0", Value::floating(9007199254740992.0)},
      {"0.30000000000000004441", Value::floating(0.30000000000000004)},
      {"1000000000000000000000000e-24", Value::floating(1.0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_ok(c.text), c.want) << c.text;
  }
  const Value neg_zero = parse_ok("-0");
  ASSERT_EQ(neg_zero.kind(), Value::Kind::Float);
  EXPECT_TRUE(std::signbit(neg_zero.as_float()));
  EXPECT_TRUE(std::signbit(parse_ok("-1e-400").as_float()));
}

TEST(ParseJson, StringsAndObjects) {
  EXPECT_EQ(parse_ok(R"("a\"\\\/\b\f\n\r\tz")"), Value::string("a\"\\/\b\f\n\r\tz"));
  EXPECT_EQ(parse_ok(R"("\u0000\u00e9\u20AC\ud83d\ude00")"),
            Value::string(std::string("\0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 10)));
  EXPECT_EQ(parse_ok("\"\x7F\xE2\x80\xA8\""), Value::string("\x7F\xE2\x80\xA8"));

  // Later value of a repeated key wins; members come out in key byte order.
  const Value obj = parse_ok(R"( {"b":1, "a":[true,false,null], "b":2, "\u00e9":{}} )");
  EXPECT_EQ(to_json(obj), "{\"a\":[true,false,null],\"b\":2,\"\xC3\xA9\":{}}");
  // Keys compare after unescaping.
  EXPECT_EQ(to_json(parse_ok(R"({"a":1,"\u0061":2})")), R"({"a":2})");
}

TEST(WriteJson, StringEscapes) {
  std::string out;
  write_json_string(std::string("\"\\/\b\t\n\f\r\x01\x1f\x7f\0x\xE2\x80\xA8", 16), out);
  EXPECT_EQ(out, std::string("\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\\u0000x\xE2\x80\xA8\""));
}

TEST(WriteJson, CompactValues) {
  Value v = Value::object();
  v.set("z", Value::array({Value::integer(-3), Value::uinteger(UINT64_MAX), Value::null()}));
  v.set("a", Value::floating(-0.0));
  v.set("m", Value::string("x"));
  EXPECT_EQ(to_json(v), R"({"a":-0.0,"m":"x","z":[-3,18446744073709551615,null]})");
}

TEST(WriteFloat, LayoutRule) {
  struct F32Case {
    float f;
    const char* text;
  };
  const F32Case f32_cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {0.1f, "0.1"},
      {100.0f, "100.0"},
      {-2.5f, "-2.5"},
      {12.5f, "12.5"},
      {16777216.0f, "16777216.0"},
      {1e-7f, "1e-7"},
      {1e-6f, "0.000001"},
      {1.5e-6f, "0.0000015"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {1.5e13f, "1.5e+13"},
      {3.4028235e+38f, "3.4028235e+38"},
      {-1.17549435e-38f, "-1.1754944e-38"},
      {1e-45f, "1e-45"},
  };
  for (const auto& c : f32_cases) {
    std::string out;
    write_f32(c.f, out);
    EXPECT_EQ(out, c.text);
  }
  struct F64Case {
    double d;
    const char* text;
  };
  const F64Case f64_cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {123456789012345.6, "123456789012345.6"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {5e-324, "5e-324"},
      {1.7976931348623157e+308, "1.7976931348623157e+308"},
      {-1.8446744073709552e+19, "-1.8446744073709552e+19"},
      {0.30000000000000004, "0.30000000000000004"},
  };
  for (const auto& c : f64_cases) {
    std::string out;
    write_f64(c.d, out);
    EXPECT_EQ(out, c.text);
  }
}

// The significant digits that the float rule wrote, without the fixed layout's padding zeros.
int written_digits(const std::string& text) {
  std::string d;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') d += c;
  }
  return static_cast<int>(d.find_last_not_of('0') - d.find_first_not_of('0') + 1);
}

template <class F>
int shortest_digits(F f) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  int n = 0;
  for (const char* p = buf; p < r.ptr && *p != 'e'; ++p) n += (*p >= '0' && *p <= '9');
  return n;
}

// The writer's digit layout assumes an exponent; non-finite numbers have none and used to run
// past its buffers.
TEST(WriteFloat, NonFiniteNumbersWriteNullInsteadOfOverflowing) {
  std::string out;
  write_f64(std::numeric_limits<double>::infinity(), out);
  write_f64(-std::numeric_limits<double>::quiet_NaN(), out);
  write_f32(-std::numeric_limits<float>::infinity(), out);
  EXPECT_EQ(out, "nullnullnull");
  EXPECT_EQ(to_json(Value::array({Value::floating(std::nan(""))})), "[null]");
}

TEST(WriteFloat, RoundTripsWithShortestDigits) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    const double d = std::bit_cast<double>(rng());
    if (!std::isfinite(d) || d == 0) continue;
    std::string out;
    write_f64(d, out);
    auto back = parse_json(out);
    ASSERT_TRUE(back.ok()) << out;
    ASSERT_EQ(back->kind(), Value::Kind::Float) << out;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back->as_float()), std::bit_cast<std::uint64_t>(d))
        << out;
    ASSERT_EQ(written_digits(out), shortest_digits(d)) << out;
  }
  for (int i = 0; i < 200000; ++i) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (!std::isfinite(f) || f == 0) continue;
    std::string out;
    write_f32(f, out);
    // Vector components are read as doubles and then narrowed.
    auto back = parse_json(out);
    ASSERT_TRUE(back.ok()) << out;
    ASSERT_EQ(back->kind(), Value::Kind::Float) << out;
    const float narrowed = static_cast<float>(back->as_float());
    ASSERT_EQ(std::bit_cast<std::uint32_t>(narrowed), std::bit_cast<std::uint32_t>(f)) << out;
    ASSERT_EQ(written_digits(out), shortest_digits(f)) << out;
  }
  // Dense around the magnitudes vectors hold, 2^-18 to 2^28: both ends of the fixed layout's
  // direct path and the integers where every digit counts.
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t exponent = 109 + static_cast<std::uint32_t>(rng() % 46);
    const float f = std::bit_cast<float>((static_cast<std::uint32_t>(rng()) & 0x807FFFFFu) | (exponent << 23));
    std::string out;
    write_f32(f, out);
    const float narrowed = static_cast<float>(parse_json(out)->as_float());
    ASSERT_EQ(std::bit_cast<std::uint32_t>(narrowed), std::bit_cast<std::uint32_t>(f)) << out;
    ASSERT_EQ(written_digits(out), shortest_digits(f)) << out;
    const float magnitude = std::fabs(f);
    // Exponents -6 to 12 are written in fixed notation, always with a point.
    if (magnitude >= 1e-6f && magnitude < 1e12f) {
      ASSERT_EQ(out.find('e'), std::string::npos) << out;
      ASSERT_NE(out.find('.'), std::string::npos) << out;
    }
  }
}

}  // namespace
}  // namespace korvane_storage
