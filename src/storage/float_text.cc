// The shortest digits follow the well-known interval method for binary floats: the float's
// rounding interval (half-way to each neighbour, the ends included when the significand is even,
// since a reader rounds ties to even) is scaled by a power of ten, computed exactly enough with
// one 32 x 64-bit product against a table of truncated powers of five, and digits are dropped
// while both ends still differ above them. The tables are computed at compile time.
#include "storage/float_text.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define KORVANE_RUN_SSSE3 1
#endif

namespace korvane_storage::float_text {
namespace {

using u128 = unsigned __int128;

constexpr int kMantissaBits = 23;
constexpr int kExponentBias = 127;
constexpr int kPow5InvBits = 59;  // significant bits kept of 2^k / 5^q
constexpr int kPow5Bits = 61;     // significant bits kept of 5^i
constexpr int kInvCount = 32;     // q <= log10(2^104) < 32
constexpr int kPow5Count = 48;    // i + 1 <= 151 - log10(5^151) + 1 < 48

// ceil(log2(5^e)) for e >= 1, and 1 for e = 0: the bit length of 5^e.
constexpr int pow5_bits(int e) {
  return static_cast<int>((static_cast<std::uint32_t>(e) * 1217359u) >> 19) + 1;
}
// floor(log10(2^e)) and floor(log10(5^e)), e >= 0.
constexpr std::uint32_t log10_pow2(int e) { return (static_cast<std::uint32_t>(e) * 78913u) >> 18; }
constexpr std::uint32_t log10_pow5(int e) { return (static_cast<std::uint32_t>(e) * 732923u) >> 20; }

constexpr u128 pow5(int i) {
  u128 p = 1;
  for (int k = 0; k < i; ++k) p *= 5;
  return p;
}
constexpr int bit_length(u128 v) {
  int n = 0;
  for (; v != 0; v >>= 1) ++n;
  return n;
}

struct Tables {
  std::uint64_t pow5[kPow5Count];  // the leading kPow5Bits bits of 5^i
  std::uint64_t inv[kInvCount];    // floor(2^(bits(5^q) - 1 + kPow5InvBits) / 5^q) + 1
};

constexpr Tables make_tables() {
  Tables t{};
  for (int i = 0; i < kPow5Count; ++i) {
    const u128 p = pow5(i);
    const int len = bit_length(p);
    t.pow5[i] = static_cast<std::uint64_t>(len > kPow5Bits ? p >> (len - kPow5Bits)
                                                          : p << (kPow5Bits - len));
  }
  for (int q = 0; q < kInvCount; ++q) {
    const u128 p = pow5(q);
    const int top = bit_length(p) - 1 + kPow5InvBits;  // the quotient of 2^top / p, bit by bit
    u128 rem = 0, quo = 0;
    for (int bit = top; bit >= 0; --bit) {
      rem = 2 * rem + (bit == top ? 1 : 0);
      quo *= 2;
      if (rem >= p) {
        rem -= p;
        quo |= 1;
      }
    }
    t.inv[q] = static_cast<std::uint64_t>(quo + 1);
  }
  return t;
}

constexpr Tables kTables = make_tables();
static_assert(kTables.inv[0] == (std::uint64_t{1} << 59) + 1);
static_assert(kTables.pow5[0] == std::uint64_t{1} << 60);

// floor(m * factor / 2^shift).
inline std::uint32_t mul_shift(std::uint32_t m, std::uint64_t factor, int shift) {
  return static_cast<std::uint32_t>((static_cast<u128>(m) * factor) >> shift);
}

inline bool multiple_of_pow5(std::uint32_t v, std::uint32_t p) {
  std::uint32_t count = 0;
  while (v != 0 && v % 5 == 0) {
    v /= 5;
    ++count;
  }
  return count >= p;
}

inline bool multiple_of_pow2(std::uint32_t v, std::uint32_t p) {
  return (v & ((std::uint32_t{1} << p) - 1)) == 0;
}

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The number of leading bytes of w (the first byte lowest) that are ASCII digits.
inline int digit_prefix(std::uint64_t w) {
  const std::uint64_t v = w ^ 0x3030303030303030ull;  // a digit's byte becomes 0..9
  // A byte's top bit ends up set when it is above 9 (or had its top bit set already).
  const std::uint64_t high =
      (((v & 0x7F7F7F7F7F7F7F7Full) + 0x7676767676767676ull) | v) & 0x8080808080808080ull;
  return high == 0 ? 8 : std::countr_zero(high) >> 3;
}

// The value of the first n (1..8) digits of w, the first byte being the most significant digit.
inline std::uint64_t digits_value(std::uint64_t w, int n) {
  std::uint64_t v = (w & 0x0F0F0F0F0F0F0F0Full) << (8 * (8 - n));
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFull;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFull;
  return (v * 10000 + (v >> 32)) & 0xFFFFFFFFull;
}

constexpr std::uint64_t kPow10[] = {1ull,
                                    10ull,
                                    100ull,
                                    1000ull,
                                    10000ull,
                                    100000ull,
                                    1000000ull,
                                    10000000ull,
                                    100000000ull};

constexpr double kExactPowersOf10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The nearest doubles to 10^-k.
constexpr double kInversePowersOf10[] = {1e0,   1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                         1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15,
                                         1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22};

// (float)(the correctly rounded double of mant / 10^k), for mant <= 2^53 and 1 <= k <= 22.
// The quotient is the one correctly rounded division; a product with the rounded inverse is
// within a few units of the last place of it, and narrowing either gives the same float unless
// a float rounding boundary (half-way between two floats) lies that close. Only then is the
// division made.
inline float narrowed_quotient(std::uint64_t mant, int k, bool negative) {
  if (mant == 0) return negative ? -0.0f : 0.0f;
  // Exact either way (mant <= 2^53); the signed conversion is the one instruction.
  const double m = static_cast<double>(static_cast<std::int64_t>(mant));
  const double approx = m * kInversePowersOf10[k];
  // The 29 bits a float drops from a double's significand (the value is far above the
  // subnormal floats: at least 10^-22); half-way is 2^28.
  const std::uint64_t dropped = std::bit_cast<std::uint64_t>(approx) & ((std::uint64_t{1} << 29) - 1);
  const std::uint64_t half = std::uint64_t{1} << 28;
  double d;
  if (dropped > half + 16 || dropped + 16 < half) {
    d = approx;
  } else {
    d = m / kExactPowersOf10[k];
  }
  return static_cast<float>(negative ? -d : d);
}

// Appends the digits at p to *mant (none taken when p is not at a digit); returns the count.
// Stops after 24 digits, more than any literal this path takes.
inline int take_digits(const char*& p, const char* end, std::uint64_t& mant) {
  int count = 0;
  while (end - p >= 8 && count < 24) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    const int n = digit_prefix(w);
    if (n == 0) return count;
    mant = mant * kPow10[n] + digits_value(w, n);
    p += n;
    count += n;
    if (n < 8) return count;
  }
  while (p < end && is_digit(*p) && count < 24) {
    mant = mant * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p;
    ++count;
  }
  return count;
}

}  // namespace

Decimal32 shortest_f32(float f) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t ieee_mantissa = bits & ((1u << kMantissaBits) - 1);
  const std::uint32_t ieee_exponent = bits >> kMantissaBits;  // the sign bit is clear
  int e2;
  std::uint32_t m2;
  if (ieee_exponent == 0) {
    e2 = 1 - kExponentBias - kMantissaBits - 2;
    m2 = ieee_mantissa;
  } else {
    e2 = static_cast<int>(ieee_exponent) - kExponentBias - kMantissaBits - 2;
    m2 = (1u << kMantissaBits) | ieee_mantissa;
  }
  const bool accept_bounds = (m2 & 1) == 0;

  // The value and the ends of its interval, times 4: mv = 4m, mp = 4m + 2, mm = 4m - 1 or - 2
  // (the gap below a power of two is half the gap above).
  const std::uint32_t mv = 4 * m2;
  const std::uint32_t mp = 4 * m2 + 2;
  const std::uint32_t mm_shift = ieee_mantissa != 0 || ieee_exponent <= 1;
  const std::uint32_t mm = 4 * m2 - 1 - mm_shift;

  // Scaled by 10^-e10: vr, vp, vm, each floor(x * 2^e2 / 10^e10).
  std::uint32_t vr, vp, vm;
  int e10;
  bool vm_trailing_zeros = false, vr_trailing_zeros = false;
  std::uint32_t last_removed = 0;
  if (e2 >= 0) {
    const std::uint32_t q = log10_pow2(e2);
    e10 = static_cast<int>(q);
    const int k = kPow5InvBits + pow5_bits(static_cast<int>(q)) - 1;
    const int i = -e2 + static_cast<int>(q) + k;
    vr = mul_shift(mv, kTables.inv[q], i);
    vp = mul_shift(mp, kTables.inv[q], i);
    vm = mul_shift(mm, kTables.inv[q], i);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      // The loop below may not run; the digit it would have removed first is needed anyway.
      const int l = kPow5InvBits + pow5_bits(static_cast<int>(q) - 1) - 1;
      last_removed = mul_shift(mv, kTables.inv[q - 1], -e2 + static_cast<int>(q) - 1 + l) % 10;
    }
    if (q <= 9) {
      // At most one of mp, mv and mm is a multiple of 5.
      if (mv % 5 == 0) {
        vr_trailing_zeros = multiple_of_pow5(mv, q);
      } else if (accept_bounds) {
        vm_trailing_zeros = multiple_of_pow5(mm, q);
      } else {
        vp -= multiple_of_pow5(mp, q);
      }
    }
  } else {
    const std::uint32_t q = log10_pow5(-e2);
    e10 = static_cast<int>(q) + e2;
    const int i = -e2 - static_cast<int>(q);
    const int k = pow5_bits(i) - kPow5Bits;
    int j = static_cast<int>(q) - k;
    vr = mul_shift(mv, kTables.pow5[i], j);
    vp = mul_shift(mp, kTables.pow5[i], j);
    vm = mul_shift(mm, kTables.pow5[i], j);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      j = static_cast<int>(q) - 1 - (pow5_bits(i + 1) - kPow5Bits);
      last_removed = mul_shift(mv, kTables.pow5[i + 1], j) % 10;
    }
    if (q <= 1) {
      // mv, mp and mm all end in at least two zero bits, so every scaled end is exact.
      vr_trailing_zeros = true;
      if (accept_bounds) {
        vm_trailing_zeros = mm_shift == 1;
      } else {
        --vp;
      }
    } else if (q < 31) {
      vr_trailing_zeros = multiple_of_pow2(mv, q - 1);
    }
  }

  // Drop digits while the interval still holds a shorter number.
  int removed = 0;
  std::uint32_t output;
  auto drop_digit = [&] {
    last_removed = vr % 10;
    vr /= 10;
    vp /= 10;
    vm /= 10;
    ++removed;
  };
  if (vm_trailing_zeros || vr_trailing_zeros) {
    // Some end is exact: the rare general case.
    while (vp / 10 > vm / 10) {
      vm_trailing_zeros &= vm % 10 == 0;
      vr_trailing_zeros &= last_removed == 0;
      drop_digit();
    }
    if (vm_trailing_zeros) {
      while (vm % 10 == 0) {
        vr_trailing_zeros &= last_removed == 0;
        drop_digit();
      }
    }
    // Exactly half-way: round to even.
    if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;
    output = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5);
  } else {
    while (vp / 10 > vm / 10) drop_digit();
    output = vr + (vr == vm || last_removed >= 5);
  }
  int exponent = e10 + removed;
  while (output >= 10 && output % 10 == 0) {
    output /= 10;
    ++exponent;
  }
  return {output, exponent};
}

char* write_digits(std::uint32_t v, char* out) {
  int n = 1;
  for (std::uint32_t t = v; t >= 10; t /= 10) ++n;
  char* w = out + n;
  while (v >= 100) {
    const std::uint32_t pair = v % 100;
    v /= 100;
    w -= 2;
    std::memcpy(w, kPairs + 2 * pair, 2);
  }
  if (v >= 10) {
    w -= 2;
    std::memcpy(w, kPairs + 2 * v, 2);
  } else {
    *--w = static_cast<char>('0' + v);
  }
  return out + n;
}

const char* read_plain_f32(const char* p, const char* end, float& out) {
  if (p == end) return nullptr;
  const bool negative = *p == '-';
  p += negative;
  if (p == end || !is_digit(*p)) return nullptr;
  std::uint64_t mant = 0;
  int int_digits;
  if (*p == '0') {
    ++p;
    int_digits = 1;
    if (p < end && is_digit(*p)) return nullptr;  // a leading zero before a digit: an error
  } else {
    int_digits = take_digits(p, end, mant);
  }
  if (p == end || *p != '.') return nullptr;  // integers and the truncated: the general path
  ++p;
  const int fraction_digits = take_digits(p, end, mant);
  if (fraction_digits == 0) return nullptr;
  if (p < end && (*p == 'e' || *p == 'E' || is_digit(*p))) return nullptr;
  // Every digit exact in 64 bits, and the significand exact in a double: mant / 10^k is then
  // the one correctly rounded double of the text, which is what the general reader makes.
  if (int_digits + fraction_digits > 19 || fraction_digits > 22 ||
      mant > (std::uint64_t{1} << 53)) {
    return nullptr;
  }
  out = narrowed_quotient(mant, fraction_digits, negative);
  return p;
}

namespace {

// One element of a run: the literal at p (its sign included) when it is in the fixed form and
// ends in ',' or ']' inside the next 16 bytes after the sign; sets the float and the terminator's
// position. The general component reader handles whatever this one does not.
inline bool read_run_element_scalar(const char* p, const char* end, float& out, const char*& term) {
  const char* after = read_plain_f32(p, end, out);
  if (after == nullptr || after == end || (*after != ',' && *after != ']')) return false;
  term = after;
  return true;
}

#if defined(KORVANE_RUN_SSSE3)

// For a literal whose '.' is at byte d and whose terminator is at byte t of a 16-byte window:
// the byte shuffle that moves its t - 1 digits, in order, to the window's end (the rest zero).
struct RunShuffles {
  alignas(16) std::uint8_t mask[16][16][16];
};

constexpr RunShuffles make_run_shuffles() {
  RunShuffles s{};
  for (int d = 0; d < 16; ++d) {
    for (int t = 0; t < 16; ++t) {
      for (int j = 0; j < 16; ++j) s.mask[d][t][j] = 0x80;
      if (d < 1 || t < d + 2) continue;
      int src = t - 1;  // the last digit, then backwards, skipping the '.'
      for (int j = 15; j >= 16 - (t - 1); --j, --src) {
        if (src == d) --src;
        s.mask[d][t][j] = static_cast<std::uint8_t>(src);
      }
    }
  }
  return s;
}

constexpr RunShuffles kRunShuffles = make_run_shuffles();

// The element at q (just past its sign, if any) when it is in the fixed form and ends inside
// the 16 bytes from q: stores its significand (at most 14 digits, so far below 2^53) and its
// fraction digits and returns the terminator's index, which the caller still has to check; -1
// for anything else. REQUIRES: 16 bytes readable at q.
__attribute__((target("ssse3"))) inline int fixed_digits(const char* q, std::uint64_t& mant,
                                                         int& fraction) {
  const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)),
                                      _mm_set1_epi8('0'));
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digits, _mm_set1_epi8(9)), digits);
  const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(is_digit)) & 0xFFFFu;
  if (other & 1u) return -1;  // no digit first
  const int d = std::countr_zero(other);
  const unsigned rest = other & (other - 1);
  if (rest == 0 || q[d] != '.' || (q[0] == '0' && d != 1)) return -1;
  const int t = std::countr_zero(rest);
  if (t == d + 1) return -1;
  const __m128i packed = _mm_shuffle_epi8(
      digits, _mm_load_si128(reinterpret_cast<const __m128i*>(kRunShuffles.mask[d][t])));
  const __m128i pairs =
      _mm_maddubs_epi16(packed, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
  const __m128i quads = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
  const __m128i octets = _mm_madd_epi16(_mm_packs_epi32(quads, quads),
                                        _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
  const auto high = static_cast<std::uint64_t>(_mm_cvtsi128_si32(octets));
  const auto low = static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(octets, 4)));
  mant = high * 100000000u + low;
  fraction = t - d - 1;
  return t;
}

// The same element as a float.
__attribute__((target("ssse3"))) inline int fixed_element(const char* q, bool negative, float& f) {
  std::uint64_t mant;
  int fraction;
  const int t = fixed_digits(q, mant, fraction);
  if (t >= 0) f = narrowed_quotient(mant, fraction, negative);
  return t;
}

// narrowed_quotient of two elements at once: out[j] = narrowed_quotient(mant[j], fraction[j],
// negative[j]), bit for bit. Each lane takes the scalar steps: the significand exactly as a
// double (below 2^52, it is the low bits of one), the product with the rounded inverse, the
// division where the 29 dropped bits lie within 16 of half-way, the sign, the narrowing (both
// narrowings round as the processor's mode says, to nearest). REQUIRES: mant[j] < 2^52,
// 1 <= fraction[j] <= 22.
__attribute__((target("ssse3"))) inline void narrowed_quotients2(const std::uint64_t* mant,
                                                                const int* fraction,
                                                                const bool* negative, float* out) {
  const __m128i magic = _mm_set1_epi64x(0x4330000000000000);  // 2^52
  const __m128i m_bits = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mant)), magic);
  const __m128d m = _mm_sub_pd(_mm_castsi128_pd(m_bits), _mm_castsi128_pd(magic));
  const __m128d inv =
      _mm_setr_pd(kInversePowersOf10[fraction[0]], kInversePowersOf10[fraction[1]]);
  __m128d d = _mm_mul_pd(m, inv);
  // The low 32 bits of each product's bits, minus half-way less 16: near half-way when 0..32.
  const __m128i low = _mm_and_si128(_mm_castpd_si128(d), _mm_set1_epi64x(0x1FFFFFFF));
  const __m128i off = _mm_sub_epi32(low, _mm_set1_epi32((1 << 28) - 16));
  const __m128i near = _mm_and_si128(_mm_cmpgt_epi32(off, _mm_set1_epi32(-1)),
                                     _mm_cmplt_epi32(off, _mm_set1_epi32(33)));
  // Only the low half of each 64-bit lane was compared; widen its verdict to the lane.
  const __m128i near64 = _mm_shuffle_epi32(near, _MM_SHUFFLE(2, 2, 0, 0));
  if (_mm_movemask_epi8(near64) != 0) {
    const __m128d exact =
        _mm_div_pd(m, _mm_setr_pd(kExactPowersOf10[fraction[0]], kExactPowersOf10[fraction[1]]));
    d = _mm_or_pd(_mm_and_pd(_mm_castsi128_pd(near64), exact),
                  _mm_andnot_pd(_mm_castsi128_pd(near64), d));
  }
  const __m128d sign = _mm_castsi128_pd(
      _mm_set_epi64x(negative[1] ? std::int64_t{-1} << 63 : 0, negative[0] ? std::int64_t{-1} << 63 : 0));
  const __m128 f = _mm_cvtpd_ps(_mm_xor_pd(d, sign));
  _mm_storel_pi(reinterpret_cast<__m64*>(out), f);
}

// The positions of ',' and ']' among the 64 bytes at p, one bit each.
__attribute__((target("ssse3"))) inline std::uint64_t separators(const char* p) {
  std::uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    const __m128i sep = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(']')));
    mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(sep))) << (16 * i);
  }
  return mask;
}

__attribute__((target("ssse3"))) const char* read_run_ssse3(const char* p, const char* end,
                                                            std::vector<float>& out) {
  const char* stop = p;  // where the general reader takes over
  // Blocks of 64 bytes: every separator in a block is found at once, so that each element's
  // bounds are known before the one ahead of it is read and the elements of a block decode
  // side by side instead of each waiting for the end of the one before.
  constexpr std::size_t kMostPerBlock = 16;  // a fixed-form element and its separator: 4 bytes
  std::size_t n = out.size();
  while (end - p >= 64 + 17) {
    out.resize(n + kMostPerBlock + 1);
    float* w = out.data() + n;
    const std::size_t before = n;
    std::uint64_t seps = separators(p);
    const char* element = p;
    bool closed = false, refused = false;
    // First the digits of every element of the block, then their floats two at a time: the
    // conversions of neighbouring elements then overlap instead of each waiting on its digits.
    alignas(16) std::uint64_t mants[kMostPerBlock + 1];
    int fractions[kMostPerBlock + 1];
    bool negatives[kMostPerBlock + 1];
    std::size_t taken = 0;
    while (seps != 0) {
      const char* term = p + std::countr_zero(seps);
      seps &= seps - 1;
      const bool negative = *element == '-';
      const char* q = element + negative;
      if (fixed_digits(q, mants[taken], fractions[taken]) != term - q) {
        refused = true;
        break;
      }
      negatives[taken++] = negative;
      if (*term == ']') {
        closed = true;
        stop = term;
        break;
      }
      stop = term;
      element = term + 1;
    }
    for (std::size_t j = 0; j + 1 < taken; j += 2) {
      narrowed_quotients2(mants + j, fractions + j, negatives + j, w + j);
    }
    if (taken % 2 != 0) {
      w[taken - 1] = narrowed_quotient(mants[taken - 1], fractions[taken - 1], negatives[taken - 1]);
    }
    n = before + taken;
    out.resize(n);
    if (closed || refused) return stop;
    if (element == p) break;  // an element longer than a block: not the fixed form
    p = element;
  }
  for (;;) {
    const bool negative = p < end && *p == '-';
    const char* q = p + negative;
    const char* term;
    float f;
    if (end - q < 16) {
      if (!read_run_element_scalar(p, end, f, term)) return stop;
    } else {
      const int t = fixed_element(q, negative, f);
      if (t < 0 || (q[t] != ',' && q[t] != ']')) return stop;
      term = q + t;
    }
    out.push_back(f);
    if (*term == ']') return term;
    stop = term;
    p = term + 1;
  }
}

// Asked of the processor directly, as the index's kernels are: the compiler's
// __builtin_cpu_supports keeps its data in a runtime library a shared module may not link.
bool has_ssse3() {
  static const bool yes = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_SSSE3) != 0;
  }();
  return yes;
}

#endif

}  // namespace

const char* read_plain_f32_run(const char* p, const char* end, std::vector<float>& out) {
#if defined(KORVANE_RUN_SSSE3)
  if (has_ssse3()) return read_run_ssse3(p, end, out);
#endif
  const char* stop = p;
  for (;;) {
    const char* term;
    float f;
    if (!read_run_element_scalar(p, end, f, term)) return stop;
    out.push_back(f);
    if (*term == ']') return term;
    stop = term;
    p = term + 1;
  }
}

}  // namespace korvane_storage::float_text
