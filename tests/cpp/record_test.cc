#include "storage/record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace korvane_storage {
namespace {

std::string encode_ok(const Record& rec) {
  auto r = encode_record(rec);
  EXPECT_TRUE(r.ok()) << (r ? "" : r.error().message);
  return r ? *r : std::string();
}

Record decode_ok(std::string_view row) {
  auto r = decode_record(row);
  EXPECT_TRUE(r.ok()) << row << ": " << (r ? "" : r.error().message);
  return r ? *r : Record();
}

std::string decode_error(std::string_view row) {
  auto r = decode_record(row);
  return r ? std::string("<ok>") : r.error().message;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  }
  return true;
}

TEST(EncodeRecord, WritesAllKeysInOrder) {
  Record rec;
  EXPECT_EQ(encode_ok(rec), R"({"id":"","vector":[],"metadata":null,"timestamp":null})");

  rec.id = "a";
  rec.vector = {1.0f, 0.5f};
  rec.metadata = Value::object();
  rec.metadata->set("k", Value::string("v"));
  EXPECT_EQ(encode_ok(rec), R"({"id":"a","vector":[1.0,0.5],"metadata":{"k":"v"},"timestamp":null})");

  rec.id = "q\"\n";
  rec.vector = {0.1f, 100.0f, -2.5f, 1e-7f, 1e13f, -0.0f};
  rec.metadata = Value::null();
  rec.timestamp = UINT64_MAX;
  EXPECT_EQ(encode_ok(rec),
            "{\"id\":\"q\\\"\\n\",\"vector\":[0.1,100.0,-2.5,1e-7,1e+13,-0.0],"
            "\"metadata\":null,\"timestamp\":18446744073709551615}");
  // Metadata of kind null has the text of absent metadata, and reads back as absent.
  const Record back = decode_ok(encode_ok(rec));
  EXPECT_FALSE(back.metadata);
  EXPECT_EQ(back.timestamp, UINT64_MAX);
  EXPECT_TRUE(same_bits(back.vector, rec.vector));
}

TEST(EncodeRecord, RefusesRowsThatCouldNotBeReadBack) {
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity()};
  for (float f : bad) {
    Record rec{"x", {1.0f, 2.0f, f, f}, std::nullopt, std::nullopt};
    auto r = encode_record(rec);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "cannot store non-finite vector component at index 2");
  }

  // Finite components whose sum of squares is not: such a record would score NaN against every
  // query. The sum is the metrics' blocked one, so eight squares of 1e38 in eight lanes overflow
  // only when the lanes are added, and one component alone can reach almost sqrt(FLT_MAX).
  const std::vector<std::vector<float>> overflowing = {
      {2e19f}, {1e19f, 1e19f, 1e19f, 1e19f, 1e19f, 1e19f, 1e19f, 1e19f}, {0.0f, 1.0f, -3e30f}};
  for (const auto& v : overflowing) {
    auto r = encode_record(Record{"x", v, std::nullopt, std::nullopt});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "cannot store vector whose sum of squares is not finite");
  }
  encode_ok(Record{"x", {1.8e19f}, std::nullopt, std::nullopt});
  encode_ok(Record{"x", {-1.8e19f, 1e-30f, 1.0f}, std::nullopt, std::nullopt});

  auto nested = [](int levels) {
    Value v = Value::uinteger(1);
    for (int i = 0; i < levels; ++i) {
      if (i % 2) {
        v = Value::array({std::move(v)});
      } else {
        Value o = Value::object();
        o.set("k", std::move(v));
        v = std::move(o);
      }
    }
    return v;
  };
  Record rec{"x", {1.0f}, nested(126), std::nullopt};
  const std::string row = encode_ok(rec);
  EXPECT_EQ(decode_ok(row).metadata, rec.metadata);

  rec.metadata = nested(127);
  auto r = encode_record(rec);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "cannot store metadata nested deeper than 126 levels");

  // Text the reader would refuse as "invalid unicode code point": in the id, a string, a key.
  Value bad_key = Value::object();
  bad_key.set("k\xC3", Value::null());
  const Record bad_text[] = {
      {"\xFF", {}, std::nullopt, std::nullopt},
      {"x", {}, Value::array({Value::string("ok"), Value::string("\xED\xA0\x80")}), std::nullopt},
      {"x", {}, bad_key, std::nullopt},
  };
  for (const Record& bad : bad_text) {
    auto refused = encode_record(bad);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "cannot store text that is not valid UTF-8");
  }
}

// A Value built in C++ can hold any double; such a number used to overflow the float writer's
// stack buffer on its way into a row.
TEST(EncodeRecord, NonFiniteMetadataNumberIsRefusedNotWritten) {
  for (double d : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN()}) {
    Value meta = Value::object();
    meta.set("deep", Value::array({Value::uinteger(1), Value::floating(d)}));
    auto r = encode_record(Record{"x", {1.0f}, meta, std::nullopt});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "cannot store non-finite metadata number");
  }
}

TEST(DecodeRecord, AcceptedForms) {
  Record r = decode_ok(R"({"vector":[1],"id":"x","extra":{"deep":[1,2]}})");
  EXPECT_EQ(r.id, "x");
  EXPECT_EQ(r.vector, std::vector<float>{1.0f});
  EXPECT_FALSE(r.metadata);
  EXPECT_FALSE(r.timestamp);

  r = decode_ok(R"( ["x", [1, 2], {"k":true}, 7] )");
  EXPECT_EQ(r.id, "x");
  EXPECT_EQ(r.vector, (std::vector<float>{1.0f, 2.0f}));
  ASSERT_TRUE(r.metadata);
  EXPECT_EQ(*r.metadata->find("k"), Value::boolean(true));
  EXPECT_EQ(r.timestamp, 7u);

  r = decode_ok(R"(["x",[],null,null])");
  EXPECT_FALSE(r.metadata);
  EXPECT_FALSE(r.timestamp);

  // Keys compare after unescaping; unknown values of every kind are skipped.
  r = decode_ok("{\"\\u0069d\":\"y\",\"ID\":[{},[],\"s\\u0041\",-1.5e3,true,false,null],"
                "\"vector\":[],\"metadata\":\"m\"}");
  EXPECT_EQ(r.id, "y");
  EXPECT_EQ(r.metadata, Value::string("m"));

  // Integer literals up to 64 bits convert straight to float; everything else via double.
  r = decode_ok(R"({"id":"","vector":[72057598332895233,-9223372036854775807,-0,0.1,1e39,-1e39,)"
                R"(1e-50,18446744073709551616,3.4028235677973366e38]})");
  ASSERT_EQ(r.vector.size(), 9u);
  EXPECT_EQ(r.vector[0], 72057602627862528.0f);
  EXPECT_EQ(r.vector[1], -9223372036854775808.0f);
  EXPECT_TRUE(r.vector[2] == 0.0f && std::signbit(r.vector[2]));
  EXPECT_EQ(r.vector[3], 0.1f);
  EXPECT_EQ(r.vector[4], std::numeric_limits<float>::infinity());
  EXPECT_EQ(r.vector[5], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(r.vector[6], 0.0f);
  EXPECT_EQ(r.vector[7], 18446744073709551616.0f);
  EXPECT_EQ(r.vector[8], std::numeric_limits<float>::infinity());
}

TEST(DecodeRecord, Errors) {
  struct Case {
    const char* row;
    const char* message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"5", "invalid type: integer `5`, expected struct Record at line 1 column 1"},
      {"\"abc\"", "invalid type: string \"abc\", expected struct Record at line 1 column 5"},
      {"\"a\\\"\\t\\u0001\\u0000\"",
       "invalid type: string \"a\\\"\\t\\u{1}\\0\", expected struct Record at line 1 column 19"},
      {"null", "invalid type: null, expected struct Record at line 1 column 4"},
      {"true", "invalid type: boolean `true`, expected struct Record at line 1 column 4"},
      {" x", "expected value at line 1 column 2"},
      {"{}", "missing field `id` at line 1 column 2"},
      {"{\"vector\":[]}", "missing field `id` at line 1 column 13"},
      {"{\"id\":\"a\"}", "missing field `vector` at line 1 column 10"},
      {"{\"id\":\"a\",\"id\":\"b\",\"vector\":[]}", "duplicate field `id` at line 1 column 14"},
      {"{\"id\":\"a\",\"id\"  :\"b\"}", "duplicate field `id` at line 1 column 16"},
      {"{\"id\":\"x\",\"vector\":[],\"metadata\":null,\"metadata\":null}",
       "duplicate field `metadata` at line 1 column 48"},
      {"{\"timestamp\":null,\"timestamp\":1}", "duplicate field `timestamp` at line 1 column 29"},
      {"[\"a\",[]]", "invalid length 2, expected struct Record with 4 elements at line 1 column 8"},
      {"[]", "invalid length 0, expected struct Record with 4 elements at line 1 column 2"},
      {"[\"a\",[],null,null,5]", "trailing characters at line 1 column 19"},
      {"[\"a\",[],null,null,]", "trailing comma at line 1 column 19"},
      {"[\"a\",[],null,null", "EOF while parsing a list at line 1 column 17"},
      {"[\"a\",[],]", "trailing comma at line 1 column 9"},
      {"{\"id\":\"a\",\"vector\":[]} x", "trailing characters at line 1 column 24"},
      {"{\"id\":1}", "invalid type: integer `1`, expected a string at line 1 column 7"},
      {"{\"id\":\"a\",\"vector\":{}}", "invalid type: map, expected a sequence at line 1 column 19"},
      {"{\"id\":\"a\",\"vector\":null}",
       "invalid type: null, expected a sequence at line 1 column 23"},
      {"{\"id\":\"x\",\"vector\":[1,null]}",
       "invalid type: null, expected f32 at line 1 column 26"},
      {"{\"id\":\"x\",\"vector\":[\"1\"]}",
       "invalid type: string \"1\", expected f32 at line 1 column 23"},
      {"{\"id\":\"x\",\"vector\":[[1]]}", "invalid type: sequence, expected f32 at line 1 column 20"},
      {"{\"id\":\"x\",\"vector\":[1,]}", "trailing comma at line 1 column 23"},
      {"{\"id\":\"x\",\"vector\":[1e400]}", "number out of range at line 1 column 25"},
      {"{\"id\":\"x\",\"vector\":[],\"timestamp\":-1}",
       "invalid value: integer `-1`, expected u64 at line 1 column 36"},
      {"{\"id\":\"x\",\"vector\":[],\"timestamp\":1.0}",
       "invalid type: floating point `1.0`, expected u64 at line 1 column 37"},
      {"{\"id\":\"x\",\"vector\":[],\"timestamp\":-0}",
       "invalid type: floating point `-0.0`, expected u64 at line 1 column 36"},
      {"{\"id\":\"x\",\"vector\":[],\"timestamp\":18446744073709551616}",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 54"},
      {"{\"id\":\"x\",\"vector\":[],\"timestamp\":\"7\"}",
       "invalid type: string \"7\", expected u64 at line 1 column 37"},
      {"{\"id\":\"x\",\"vector\":[],\"metadata\":nul}",
       "expected ident at line 1 column 37"},
      {"{\"id\":\"x\",\"vector\":[],\"metadata\":[1,]}", "trailing comma at line 1 column 37"},
      {"{\"id\":\"x\",\"vector\":[],\"metadata\":{\"a\":1 \"b\":2}}",
       "expected `,` or `}` at line 1 column 41"},
      {"{\"id\":\"x\" \"vector\":[]}", "expected `,` or `}` at line 1 column 11"},
      {"{\"id\":\"x\",,}", "key must be a string at line 1 column 11"},
      {"{\"id\":\"x\",}", "trailing comma at line 1 column 11"},
      {"{\"id\" \"x\"}", "expected `:` at line 1 column 7"},
      // Unknown values are checked for syntax only, with the skipper's own reasons.
      {"{\"zz\":[1,],\"id\":\"x\",\"vector\":[]}", "expected value at line 1 column 10"},
      {"{\"zz\":{\"a\":1,},\"id\":\"x\",\"vector\":[]}", "key must be a string at line 1 column 14"},
      {"{\"zz\":[1 2]}", "expected `,` or `]` at line 1 column 10"},
      {"{\"zz\":{\"a\" 1}}", "expected `:` at line 1 column 12"},
      {"{\"zz\":[01]}", "invalid number at line 1 column 9"},
      {"{\"zz\":1.}", "invalid number at line 1 column 9"},
      {"{\"zz\":-", "invalid number at line 1 column 7"},
      {"{\"zz\":[[[", "EOF while parsing a list at line 1 column 9"},
      {"{\"zz\":\"\\q\"}", "invalid escape at line 1 column 9"},
      // Strings in stored bytes need not be UTF-8; a key or field string that is not fails.
      {"{\"id\":\"\xFF\",\"vector\":[]}", "invalid unicode code point at line 1 column 9"},
      {"{\"\xC3(\":1}", "invalid unicode code point at line 1 column 5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_error(c.row), c.message) << "row: " << c.row;
  }
  // A skipped value's strings are not checked for UTF-8, unlike the fields and keys.
  EXPECT_TRUE(decode_record("{\"zz\":\"\xFF\",\"id\":\"\",\"vector\":[]}").ok());
}

TEST(DecodeRecord, NestingLimitCountsTheRecord) {
  auto row = [](int metadata_levels) {
    return "{\"id\":\"x\",\"vector\":[],\"metadata\":" + std::string(metadata_levels, '[') +
           std::string(metadata_levels, ']') + "}";
  };
  EXPECT_TRUE(decode_record(row(126)).ok());
  EXPECT_EQ(decode_error(row(127)), "recursion limit exceeded at line 1 column 160");
}

TEST(DecodeRecord, DeepUnknownValueDoesNotExhaustTheStack) {
  const std::string deep(1000000, '[');
  EXPECT_EQ(decode_error("{\"zz\":" + deep), "EOF while parsing a list at line 1 column 1000006");
  const Record r = decode_ok("{\"zz\":" + deep + std::string(1000000, ']') +
                             ",\"id\":\"x\",\"vector\":[]}");
  EXPECT_EQ(r.id, "x");
  std::string objects;
  for (int i = 0; i < 300000; ++i) objects += "{\"k\":";
  EXPECT_EQ(decode_error("{\"zz\":" + objects + "1"),
            "EOF while parsing an object at line 1 column 1500007");
}

TEST(RecordCodec, RoundTrip) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 2000; ++iter) {
    Record rec;
    rec.id = std::to_string(rng()) + (iter % 3 ? "\xC3\xA9\"\\\x01" : "");
    rec.vector.resize(rng() % 40);
    for (float& f : rec.vector) {
      do {
        f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        // Past 1e18 forty squares could overflow, and such a vector is refused.
      } while (!std::isfinite(f) || std::fabs(f) > 1e18f);
    }
    if (iter % 2) {
      Value m = Value::object();
      m.set("n", Value::uinteger(rng()));
      m.set("i", Value::integer(-static_cast<std::int64_t>(rng() >> 2) - 1));
      double d;
      do {
        d = std::bit_cast<double>(rng());
      } while (!std::isfinite(d));
      m.set("d", Value::floating(d));
      m.set("a", Value::array({Value::null(), Value::boolean(true), Value::string("\n")}));
      rec.metadata = std::move(m);
    }
    if (iter % 5) rec.timestamp = rng();
    const std::string row = encode_ok(rec);
    const Record back = decode_ok(row);
    EXPECT_EQ(back.id, rec.id);
    EXPECT_TRUE(same_bits(back.vector, rec.vector)) << row;
    EXPECT_EQ(back.metadata, rec.metadata) << row;
    EXPECT_EQ(back.timestamp, rec.timestamp);
    EXPECT_EQ(encode_ok(back), row);
  }
}

}  // namespace
}  // namespace korvane_storage
