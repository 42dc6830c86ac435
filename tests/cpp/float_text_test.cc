// The float32 writer and the direct component reader against the routines they replaced: every
// text must stay byte for byte what the std::to_chars-based writer wrote, and every component
// must read to the float the general number reader makes. KORVANE_LONG=1 checks all 2^32 floats.
#include "storage/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/json.h"
#include "storage/record.h"

namespace {

using korvane_storage::write_f32;

// The previous write_f32, kept as the oracle: std::to_chars in fixed notation inside
// [1e-5, 1e7), otherwise its scientific digits laid out by the float rule.
std::string oracle_f32(float f) {
  constexpr int fixed_min = -6, fixed_max = 12;
  std::string out;
  const float magnitude = f < 0 ? -f : f;
  if (magnitude >= 1e-5f && magnitude < 1e7f) {
    char buf[48];
    const auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::fixed);
    out.append(buf, r.ptr);
    if (std::memchr(buf, '.', static_cast<std::size_t>(r.ptr - buf)) == nullptr) out += ".0";
    return out;
  }
  if (!std::isfinite(f)) return "null";
  if (f == 0) return std::signbit(f) ? "-0.0" : "0.0";
  char sci[40];
  const auto r = std::to_chars(sci, sci + sizeof sci - 1, f, std::chars_format::scientific);
  *r.ptr = '\0';
  const char* q = sci;
  if (*q == '-') {
    out += '-';
    ++q;
  }
  std::string digits;
  for (; q < r.ptr && *q != 'e'; ++q) {
    if (*q != '.') digits += *q;
  }
  const int e = std::atoi(q + 1);
  const int n = static_cast<int>(digits.size());
  if (e < fixed_min || e > fixed_max) {
    out += digits[0];
    if (n > 1) out += "." + digits.substr(1);
    out += e < 0 ? "e-" : "e+";
    out += std::to_string(e < 0 ? -e : e);
  } else if (e < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + digits;
  } else if (n <= e + 1) {
    out += digits + std::string(static_cast<std::size_t>(e + 1 - n), '0') + ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(e + 1)) + "." +
           digits.substr(static_cast<std::size_t>(e + 1));
  }
  return out;
}

// The first float in [lo, hi) whose text differs, or none.
std::string first_mismatch(std::uint64_t lo, std::uint64_t hi) {
  std::string out;
  for (std::uint64_t b = lo; b < hi; ++b) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(b));
    out.clear();
    write_f32(f, out);
    if (out != oracle_f32(f)) return "bits " + std::to_string(b) + ": " + out + " vs " + oracle_f32(f);
  }
  return {};
}

TEST(FloatText, WriterMatchesThePreviousWriter) {
  std::vector<float> edges = {0.0f,
                              -0.0f,
                              std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN()};
  // Each power of ten and of two, with its neighbours: where the digit count, the exponent and
  // the layout change.
  for (int e = -46; e <= 39; ++e) edges.push_back(std::pow(10.0f, static_cast<float>(e)));
  for (int e = -149; e <= 127; ++e) edges.push_back(std::ldexp(1.0f, e));
  std::string mismatch;
  for (const float base : edges) {
    const auto b = std::bit_cast<std::uint32_t>(std::fabs(base));
    for (std::uint32_t sign : {0u, 0x80000000u}) {
      const std::uint64_t lo = b < 40 ? 0 : b - 40;
      const std::uint64_t hi = std::min<std::uint64_t>(std::uint64_t{b} + 40, 0x7F800001u);
      mismatch = first_mismatch(lo | sign, hi | sign);
      ASSERT_EQ(mismatch, "");
    }
  }
  std::mt19937 rng(16);
  for (int i = 0; i < 2000000; ++i) {
    const std::uint32_t b = rng();
    ASSERT_EQ(first_mismatch(b, std::uint64_t{b} + 1), "");
  }
  // Every float of [2^-7, 2^-5): the components of unit vectors of a few hundred dimensions.
  ASSERT_EQ(first_mismatch(std::bit_cast<std::uint32_t>(0x1p-7f), std::bit_cast<std::uint32_t>(0x1p-5f)), "");
}

// Runs check(lo, hi) over all 2^32 bit patterns in one share per core; each share gives its
// first fault, or "".
template <class Check>
void check_every_float(Check check) {
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::string> found(threads);
  std::vector<std::thread> pool;
  const std::uint64_t total = std::uint64_t{1} << 32;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] { found[t] = check(total * t / threads, total * (t + 1) / threads); });
  }
  for (auto& th : pool) th.join();
  for (const auto& f : found) EXPECT_EQ(f, "");
}

TEST(FloatText, WriterMatchesThePreviousWriterForEveryFloat) {
  if (std::getenv("KORVANE_LONG") == nullptr) GTEST_SKIP() << "KORVANE_LONG=1 checks all floats";
  check_every_float(first_mismatch);
}

// Every float the writer puts in the fixed form, 15 bytes at most, reads back through the run
// as itself, which is what the general reader makes of its shortest text.
TEST(FloatText, RunReadsEveryWrittenFloatBack) {
  if (std::getenv("KORVANE_LONG") == nullptr) GTEST_SKIP() << "KORVANE_LONG=1 checks all floats";
  check_every_float([](std::uint64_t lo, std::uint64_t hi) -> std::string {
    std::string text;
    std::vector<float> out;
    for (std::uint64_t b = lo; b < hi; ++b) {
      const float f = std::bit_cast<float>(static_cast<std::uint32_t>(b));
      if (!std::isfinite(f)) continue;
      text.clear();
      write_f32(f, text);
      // Left to the general reader: exponents, and the longest fixed forms (below 1e-5).
      const std::size_t digits = text.size() - (f < 0 || (f == 0 && std::signbit(f)));
      if (text.find('e') != std::string::npos || digits > 15) continue;
      text += "]                ";
      out.clear();
      korvane_storage::float_text::read_plain_f32_run(text.data(), text.data() + text.size(), out);
      if (out.size() != 1 || std::bit_cast<std::uint32_t>(out[0]) != b) {
        return "bits " + std::to_string(b) + ": " + text;
      }
    }
    return "";
  });
}

// The same floats in long lists, as rows hold them, so that each goes through the reader of
// whole blocks and lands at every place in a block (its floats are made two at a time).
TEST(FloatText, RunReadsEveryWrittenFloatBackInLists) {
  if (std::getenv("KORVANE_LONG") == nullptr) GTEST_SKIP() << "KORVANE_LONG=1 checks all floats";
  check_every_float([](std::uint64_t lo, std::uint64_t hi) -> std::string {
    std::string text;
    std::vector<std::uint32_t> want;
    std::vector<float> out;
    auto check = [&]() -> std::string {
      if (want.empty()) return "";
      text.back() = ']';
      text += R"(,"metadata":null,"timestamp":null})";
      out.clear();
      const char* stop =
          korvane_storage::float_text::read_plain_f32_run(text.data(), text.data() + text.size(), out);
      if (out.size() != want.size() || *stop != ']') return "a list stopped early: " + text;
      for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::bit_cast<std::uint32_t>(out[i]) != want[i]) return "bits " + std::to_string(want[i]);
      }
      text.clear();
      want.clear();
      return "";
    };
    for (std::uint64_t b = lo; b < hi; ++b) {
      const float f = std::bit_cast<float>(static_cast<std::uint32_t>(b));
      if (!std::isfinite(f)) continue;
      const std::size_t at = text.size();
      write_f32(f, text);
      const std::size_t digits = text.size() - at - (f < 0 || (f == 0 && std::signbit(f)));
      if (text.find('e', at) != std::string::npos || digits > 15) {
        text.resize(at);
        continue;
      }
      text += ',';
      want.push_back(static_cast<std::uint32_t>(b));
      if (want.size() == 384) {
        if (std::string fault = check(); !fault.empty()) return fault;
      }
    }
    return check();
  });
}

// What the general reader makes of a component: the literal as a correctly rounded double,
// narrowed (an integer literal directly).
float general_component(const std::string& text) {
  auto v = korvane_storage::parse_json(text);
  EXPECT_TRUE(v.ok()) << text;
  return static_cast<float>(v->as_float());
}

TEST(FloatText, DirectReaderMatchesTheGeneralReader) {
  std::mt19937_64 rng(384);
  std::vector<std::string> texts = {"0.0", "-0.0", "0.5", "-0.0000001", "1.0", "123456789.0",
                                    "0.1234567890123456789", "1234567890.123456789",
                                    "9007199254740993.0", "0.9007199254740993",
                                    "0.00000000000000000001", "3.4028235677973366e38",
                                    // half-way between two floats: ties go to even
                                    "1000000.03125", "1000000.09375", "-0.50000002980232238",
                                    "16777217.0", "16777219.0", "0.000030517578125"};
  for (int i = 0; i < 300000; ++i) {
    // Written components, and random digit strings of every length up to past the limits.
    if (i % 2 == 0) {
      std::string t;
      write_f32(std::bit_cast<float>(static_cast<std::uint32_t>(rng()) & 0xBFFFFFFFu), t);
      if (t != "null") texts.push_back(t);
      continue;
    }
    std::string t = rng() % 2 ? "-" : "";
    const int int_digits = static_cast<int>(rng() % 12);
    const int frac_digits = 1 + static_cast<int>(rng() % 25);
    if (int_digits == 0) t += '0';
    for (int k = 0; k < int_digits; ++k) t += static_cast<char>('0' + (k == 0 ? 1 + rng() % 9 : rng() % 10));
    t += '.';
    for (int k = 0; k < frac_digits; ++k) t += static_cast<char>('0' + rng() % 10);
    texts.push_back(t);
  }
  std::size_t direct = 0;
  for (const std::string& t : texts) {
    // Inside a row, followed by more bytes as always, and alone at the end of the text.
    for (const std::string& tail : {std::string(",0.25]"), std::string()}) {
      const std::string buf = t + tail;
      float f = -1.0f;
      const char* after = korvane_storage::float_text::read_plain_f32(buf.data(), buf.data() + buf.size(), f);
      if (after == nullptr) continue;
      ++direct;
      ASSERT_EQ(after, buf.data() + t.size()) << t;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(f), std::bit_cast<std::uint32_t>(general_component(t))) << t;
    }
  }
  EXPECT_GT(direct, texts.size() / 2);  // the common literals take the direct path
  // What it must leave to the general reader: exponents, integers, malformed literals.
  for (const std::string t : {"1e5", "1.5e-3", "0.5E1", "12", "-", "-.5", "01.5", "1.", "1.x", ".5",
                              "00.5"}) {
    float f = 0;
    EXPECT_EQ(korvane_storage::float_text::read_plain_f32(t.data(), t.data() + t.size(), f), nullptr) << t;
  }
}

// A list's elements: the run takes a prefix of them, each read as read_plain_f32 reads it, and
// stops at the separator after the last one taken (the ']' when it took them all); the writer's
// fixed-form components it always takes. Lists long and short cross the blocks it reads at once.
TEST(FloatText, RunReaderTakesAPrefixOfTheList) {
  std::mt19937_64 rng(64);
  auto written = [&] {
    for (;;) {
      std::string t;
      write_f32(std::bit_cast<float>(static_cast<std::uint32_t>(rng()) & 0xBFFFFFFFu), t);
      if (t.find('e') == std::string::npos && t != "null") return t;
    }
  };
  const std::vector<std::string> others = {"1e5", "-1.5e-3", "12", "01.5", "1.", "-", "0.5 ",
                                           "0.12345678901234567", "123456789012.5", "x"};
  // Within a few units of the last place of a double from half-way between two floats, where
  // the product with the inverse power narrows to the wrong float and only the division is right.
  const std::vector<std::string> halfway = {"0.7379090487957", "-0.6708924472332",
                                            "0.1039421223104", "-0.5950867831707",
                                            "0.1837143227458", "0.3431366533041"};
  for (int i = 0; i < 20000; ++i) {
    const int count = static_cast<int>(rng() % 48);
    const bool clean = i % 3 == 0;
    std::vector<std::string> elements;
    for (int k = 0; k < count; ++k) {
      elements.push_back(rng() % 8 == 0   ? halfway[rng() % halfway.size()]
                         : clean || rng() % 8 != 0 ? written()
                                                   : others[rng() % others.size()]);
    }
    std::string text;
    std::vector<std::size_t> seps;  // of each element
    for (const std::string& e : elements) {
      text += e;
      seps.push_back(text.size());
      text += ',';
    }
    if (!elements.empty()) text.back() = ']';
    text += i % 2 ? "" : R"(,"metadata":null,"timestamp":null})";
    std::vector<float> out = {7.0f};
    const char* stop = korvane_storage::float_text::read_plain_f32_run(text.data(), text.data() + text.size(), out);
    const std::size_t taken = out.size() - 1;
    ASSERT_LE(taken, elements.size());
    if (clean) {
      ASSERT_EQ(taken, elements.size()) << text;
    }
    ASSERT_EQ(stop, taken == 0 ? text.data() : text.data() + seps[taken - 1]) << text;
    for (std::size_t k = 0; k < taken; ++k) {
      float want;
      const std::string& e = elements[k];
      ASSERT_EQ(korvane_storage::float_text::read_plain_f32(e.data(), e.data() + e.size(), want), e.data() + e.size()) << e;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(out[k + 1]), std::bit_cast<std::uint32_t>(want)) << e;
    }
  }
}

// Rows decode the same with the direct path as the general reader reads their components, and
// its failures still carry the general reader's messages and positions.
TEST(FloatText, RowsDecodeThroughEitherPath) {
  auto rec = korvane_storage::decode_record(
      R"({"id":"a","vector":[0.5,-0.0,1e-7,12,0.30000001192092896,-1.25E2],"metadata":null,"timestamp":null})");
  ASSERT_TRUE(rec.ok());
  const std::vector<float> want = {0.5f, -0.0f, 1e-7f, 12.0f, 0.3f, -125.0f};
  ASSERT_EQ(rec->vector.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(rec->vector[i]), std::bit_cast<std::uint32_t>(want[i]));
  }
  auto bad = korvane_storage::decode_record(R"({"id":"a","vector":[0.5,01.5]})");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "invalid number at line 1 column 26");
  bad = korvane_storage::decode_record(R"({"id":"a","vector":[0.5,1.]})");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "invalid number at line 1 column 27");
  // Past a run of plain components, and after one the run leaves to the general reader.
  std::string row = R"({"id":"a","vector":[)";
  for (int k = 0; k < 40; ++k) row += k == 20 ? "1e-7," : "0.25,";
  const std::size_t column = row.size() + 2;
  bad = korvane_storage::decode_record(row + "01.5]}");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "invalid number at line 1 column " + std::to_string(column));
  rec = korvane_storage::decode_record(row + "-0.5]}");
  ASSERT_TRUE(rec.ok());
  ASSERT_EQ(rec->vector.size(), 41u);
  EXPECT_EQ(rec->vector[20], 1e-7f);
  EXPECT_EQ(rec->vector[40], -0.5f);
}

}  // namespace
