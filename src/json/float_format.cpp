// Shortest round-trip double to text, table driven.
//
// A finite double is c * 2^q. Its rounding interval (the reals that read back
// as it) is scaled by 10^-k, k chosen so the interval is between 1 and 10 units
// wide: then it holds at most one multiple of ten, which is the shortest
// candidate when present; otherwise the integer nearest to the scaled value
// is. The scaling is one 64x128-bit multiplication by a table entry, rounded
// to odd so that comparisons with even integers stay exact; that this rounding
// is exact for every double is proven by tools/gen_pow10_table.py. The digits
// are then made 16 at a time and laid out with fixed-size stores.

#include "json/float_format.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "base/unaligned.h"
#include "json/powers_of_ten.h"
#include "json/shortest_decimal.h"  // the digits; ZORVAT_FLOAT_FORMAT_SSE2

#if defined(ZORVAT_FLOAT_FORMAT_SSE2)
#include <emmintrin.h>
#endif

namespace zorvat::json {
namespace {

using namespace shortest;

// "e-324" .. "e+308": copied, not formatted, 5 bytes whatever the length.
struct ExponentSuffix {
  char text[7];
  std::uint8_t size;
};
constexpr int kMinExponent = -324;
constexpr int kMaxExponent = 308;

constexpr auto kExponentSuffixes = [] {
  std::array<ExponentSuffix, kMaxExponent - kMinExponent + 1> t{};
  for (int e = kMinExponent; e <= kMaxExponent; ++e) {
    ExponentSuffix& s = t[e - kMinExponent];
    int n = 0;
    s.text[n++] = 'e';
    s.text[n++] = e < 0 ? '-' : '+';
    int a = e < 0 ? -e : e;
    if (a >= 100) s.text[n++] = static_cast<char>('0' + a / 100);
    if (a >= 10) s.text[n++] = static_cast<char>('0' + a / 10 % 10);
    s.text[n++] = static_cast<char>('0' + a % 10);
    s.size = static_cast<std::uint8_t>(n);
  }
  return t;
}();

// Significand 2^52 above the lowest binade: the lower neighbour is half as far
// as the upper one, so the interval is [4c - 1, 4c + 2] and its lower part may
// be too short to hold the nearest integer. Rare enough for three products.
[[gnu::noinline]] Decimal shortest_power_of_two(int q) {
  const u64 c = u64{1} << 52;
  const int k = flog10_three_quarters_pow2(q);
  const int h = q + flog2_pow10(-k) + 1;
  const Pow10 g = kPow10Table[k - kPow10MinK];
  const u64 vbl = round_to_odd(multiply(g, ((c << 2) - 1) << h));
  const u64 vb = round_to_odd(multiply(g, (c << 2) << h));
  const u64 vbr = round_to_odd(multiply(g, ((c << 2) + 2) << h));
  // c is even: the bounds belong to the interval.
  const u64 s = vb >> 2;
  const u64 sp10 = s / 10 * 10;
  const u64 tp10 = sp10 + 10;
  const bool sp10_in = vbl <= sp10 << 2;
  const bool tp10_in = tp10 << 2 <= vbr;
  if (sp10_in != tp10_in) return {sp10_in ? sp10 : tp10, k};
  const u64 t = s + 1;
  const bool s_in = vbl <= s << 2;
  const bool t_in = t << 2 <= vbr;
  if (s_in != t_in) return {s_in ? s : t, k};
  const u64 mid = (s << 2) + 2;
  return {vb < mid || (vb == mid && (s & 1) == 0) ? s : t, k};
}

inline int decimal_length(u64 v) {
  const int bits = 64 - std::countl_zero(v | 1);
  const int guess = (bits * 1233) >> 12;  // floor(log10 2^bits)
  return guess + (v >= kIntegerPowersOfTen[guess]);
}

[[maybe_unused]] constexpr u64 kZeroChars = 0x3030303030303030u;  // used by the portable path

// For fixed notation with the point after digit e (0..15): the bytes of the
// first 16 that lie before the point.
alignas(16) constexpr auto kPlainBytes = [] {
  std::array<std::array<u64, 2>, 16> t{};
  for (int e = 0; e < 16; ++e) {
    for (int i = 0; i <= e; ++i) t[e][i / 8] |= u64{0xff} << (8 * (i % 8));
  }
  return t;
}();

// The 16 digits after the first, as characters, from their two 8-digit halves,
// each split into groups of 4, 2 and 1 digits in parallel rather than digit by
// digit. Then the count of significant digits (the first one included), and
// the two stores the layouts need.
#if defined(ZORVAT_FLOAT_FORMAT_SSE2)

struct Chars16 {
  __m128i v;
};

// A multiplier kept in a register: left to itself the compiler turns the
// products by 100 and 10 into chains of shifts and adds, more instructions.
inline __m128i opaque(__m128i k) {
  __asm__("" : "+x"(k));
  return k;
}

inline Chars16 to_chars16(std::uint32_t high8, std::uint32_t low8) {
  const __m128i v = _mm_set_epi64x(low8, high8);
  const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(v, _mm_set1_epi64x(0xd1b71759)), 45);  // v / 10000
  const __m128i r4 = _mm_sub_epi64(v, _mm_mul_epu32(q4, _mm_set1_epi64x(10000)));
  const __m128i x4 = _mm_or_si128(q4, _mm_slli_epi64(r4, 32));                      // 4 digits per 32 bits
  const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(x4, _mm_set1_epi16(5243)), 3);  // x4 / 100
  const __m128i r2 = _mm_sub_epi16(x4, _mm_mullo_epi16(q2, opaque(_mm_set1_epi16(100))));
  const __m128i x2 = _mm_or_si128(q2, _mm_slli_epi32(r2, 16));   // 2 digits per 16 bits
  const __m128i q1 = _mm_mulhi_epu16(x2, _mm_set1_epi16(6554));  // x2 / 10
  // q1 | (x2 - 10 q1) << 8, as one product: x2 << 8 less 2559 q1.
  const __m128i x1 = _mm_sub_epi16(_mm_slli_epi16(x2, 8), _mm_mullo_epi16(q1, opaque(_mm_set1_epi16(2559))));
  return {_mm_add_epi8(x1, _mm_set1_epi8('0'))};
}

inline int significant_digits(Chars16 c) {
  const unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c.v, _mm_set1_epi8('0'))));
  const unsigned nonzero = zeros ^ 0xffff;
  return (31 ^ __builtin_clz((nonzero << 1) | 1)) + 1;  // 31 ^ clz: one bsr
}

inline void store16(char* p, Chars16 c) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), c.v); }

// The 17 digits with a point after digit e < 16: 18 bytes at p.
inline void store_with_point(char* p, char first, Chars16 c, int e) {
  const __m128i plain =
      _mm_or_si128(_mm_slli_si128(c.v, 1), _mm_cvtsi32_si128(static_cast<unsigned char>(first)));
  const __m128i moved = _mm_slli_si128(plain, 1);
  const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(kPlainBytes[e].data()));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                   _mm_or_si128(_mm_and_si128(keep, plain), _mm_andnot_si128(keep, moved)));
  const auto last2 = static_cast<std::uint16_t>(_mm_extract_epi16(c.v, 7));
  std::memcpy(p + 16, &last2, 2);
  p[e + 1] = '.';
}

#else  // the same with 64-bit words

struct Chars16 {
  u64 high, low;
};

inline u64 digits8(std::uint32_t v) {
  u64 x = (v / 10000) | (u64{v % 10000} << 32);
  const u64 hundreds = ((x * 10486) >> 20) & 0x0000007f0000007fu;  // x / 100 per 32-bit lane
  x = hundreds | ((x - 100 * hundreds) << 16);
  const u64 tens = ((x * 103) >> 10) & 0x000f000f000f000fu;  // x / 10 per 16-bit lane
  return tens | ((x - 10 * tens) << 8);
}

inline Chars16 to_chars16(std::uint32_t high8, std::uint32_t low8) {
  return {digits8(high8) + kZeroChars, digits8(low8) + kZeroChars};
}

inline int significant_digits(Chars16 c) {
  const u64 high = c.high ^ kZeroChars, low = c.low ^ kZeroChars;
  const u64 low_zero = u64{0} - (low == 0);  // masks, not branches: the data decides
  const u64 last = low | (high & low_zero);
  const int trailing = static_cast<int>(low_zero & 8) + (std::countl_zero(last | 1) >> 3) + (last == 0);
  return 17 - trailing;
}

inline void store16(char* p, Chars16 c) {
  std::memcpy(p, &c.high, 8);
  std::memcpy(p + 8, &c.low, 8);
}

inline void store_with_point(char* p, char first, Chars16 c, int e) {
  const u64 plain0 = static_cast<unsigned char>(first) | (c.high << 8);
  const u64 plain1 = (c.high >> 56) | (c.low << 8);
  const u64 moved0 = plain0 << 8;
  const u64 moved1 = (plain1 << 8) | (plain0 >> 56);
  const u64 text0 = (plain0 & kPlainBytes[e][0]) | (moved0 & ~kPlainBytes[e][0]);
  const u64 text1 = (plain1 & kPlainBytes[e][1]) | (moved1 & ~kPlainBytes[e][1]);
  std::memcpy(p, &text0, 8);
  std::memcpy(p + 8, &text1, 8);
  p[16] = static_cast<char>(c.low >> 48);
  p[17] = static_cast<char>(c.low >> 56);
  p[e + 1] = '.';
}

#endif

}  // namespace

namespace {

// The layout of digits * 10^exponent, digits given as 17 (zero filled on the
// right) and exponent that of the first one; p is 1 for a minus sign, already
// at out[0].
inline std::size_t write_text(u64 d17, int exponent, std::size_t p, char* out) {
  const u64 high9 = d17 / 100000000;
  const std::uint32_t first = static_cast<std::uint32_t>(high9) / 100000000;
  const Chars16 rest = to_chars16(static_cast<std::uint32_t>(high9) - first * 100000000,
                                  static_cast<std::uint32_t>(d17 - high9 * 100000000));
  const int n = significant_digits(rest);
  const char c0 = static_cast<char>('0' + first);

  if (exponent > 15 || exponent < -5) {
    out[p] = c0;
    out[p + 1] = '.';
    store16(out + p + 2, rest);
    const std::size_t at = p + 1 + (n > 1 ? n : 0);  // ends by 19: 5 more bytes fit
    const ExponentSuffix& suffix = kExponentSuffixes[exponent - kMinExponent];
    std::memcpy(out + at, suffix.text, 5);
    return at + suffix.size;
  }
  if (exponent < 0) {  // "0.", -exponent - 1 zeros, the digits: at most 24 bytes
    std::memcpy(out + p, "0.000000", 8);
    char* d = out + p + 1 - exponent;
    d[0] = c0;
    store16(d + 1, rest);
    return p + 1 - exponent + n;
  }
  // The point goes after digit `exponent`. A whole number keeps the zero after
  // the point, which the zero fill supplies.
  store_with_point(out + p, c0, rest, exponent);
  const int size = n > exponent + 2 ? n : exponent + 2;
  return p + 1 + static_cast<std::size_t>(size);
}

// A normal double has 16 or 17 digits here.
inline std::size_t write_normal(Decimal dec, std::size_t p, char* out) {
  u64 d17 = dec.digits;
  int exponent = dec.exponent + 16;
#if defined(ZORVAT_FLOAT_FORMAT_SSE2)
  // One comparison for both, its carry taken off the exponent.
  __asm__("cmp %2, %0\n\tcmovb %3, %0\n\tsbb $0, %1"
          : "+r"(d17), "+r"(exponent)
          : "r"(u64{10000000000000000u}), "r"(dec.digits * 10)
          : "cc");
#else
  const bool sixteen = d17 < 10000000000000000u;
  d17 = sixteen ? d17 * 10 : d17;
  exponent -= sixteen;
#endif
  return write_text(d17, exponent, p, out);
}

// The rare cases apart, reached by tail calls, so that the common case makes
// no call. They start from the bits again: c and q kept for them would stay
// live, in saved registers, through the common case.
[[gnu::noinline]] std::size_t write_regular_exact(u64 bits, char* out) {
  const u64 c = (bits & ((u64{1} << 52) - 1)) | (u64{1} << 52);
  const int q = static_cast<int>((bits >> 52) & 0x7ff) - 1075;
  return write_normal(shortest_regular_exact(c, q), bits >> 63, out);
}

[[gnu::noinline]] std::size_t write_rare(u64 bits, char* out) {
  const u64 fraction = bits & ((u64{1} << 52) - 1);
  const int biased = static_cast<int>(bits >> 52) & 0x7ff;
  const std::size_t p = bits >> 63;
  if (biased == 0x7ff) {  // not reached by callers; keep it harmless
    std::memcpy(out, "null", 4);
    return 4;
  }
  if (biased == 0 && fraction == 0) {
    std::memcpy(out + p, "0.0", 3);
    return p + 3;
  }
  if (biased > 1) return write_normal(shortest_power_of_two(biased - 1075), p, out);
  // The lowest power of two has its neighbours equally far, as subnormals do.
  if (biased == 1) return write_normal(shortest_regular(u64{1} << 52, -1074), p, out);
  const Decimal dec = shortest_regular(fraction, -1074);
  const int length = decimal_length(dec.digits);
  return write_text(dec.digits * kIntegerPowersOfTen[17 - length], dec.exponent + length - 1, p, out);
}

}  // namespace

namespace shortest {

Decimal shortest_regular_exact(u64 c, int q) {
  const int k = flog10_pow2(q);
  const int h = q + flog2_pow10(-k) + 1;
  const Pow10 g = kPow10Table[k - kPow10MinK];
  const Scaled v = multiply(g, c << (h + 2));

  // The bounds are 4c - 2 and 4c + 2, so they differ from the value by exactly
  // g << (h + 1), added to and taken from the one product.
  const int sh = h + 1;  // 2..5
  const u128 d_fraction = (static_cast<u128>((g.hi << sh) | (g.lo >> (64 - sh))) << 64) | (g.lo << sh);
  const u64 d_integer = g.hi >> (64 - sh);
  const u128 v_fraction = (static_cast<u128>(v.high) << 64) | v.low;
  u128 up_fraction, down_fraction;
  const bool carry = __builtin_add_overflow(v_fraction, d_fraction, &up_fraction);
  const bool borrow = __builtin_sub_overflow(v_fraction, d_fraction, &down_fraction);
  const Scaled up{v.integer + d_integer + carry, static_cast<u64>(up_fraction >> 64),
                  static_cast<u64>(up_fraction)};
  const Scaled down{v.integer - d_integer - borrow, static_cast<u64>(down_fraction >> 64),
                    static_cast<u64>(down_fraction)};
  const u64 vb = round_to_odd(v);
  const u64 vbr = round_to_odd(up);
  const u64 vbl = round_to_odd(down);
  const u64 open = c & 1;

  const u64 sp10 = (vb >> 2) / 10 * 10;
  return choose(vb, sp10, vbl + open, (sp10 << 2) + 1, ((sp10 + 10) << 2) + open, vbr + 1, k);
}

}  // namespace shortest

std::size_t format_float(double x, char* out) {
  const u64 bits = std::bit_cast<u64>(x);
  const u64 fraction = bits & ((u64{1} << 52) - 1);
  const u64 biased = (bits >> 52) & 0x7ff;

  // Every store stays inside out[0, kFloatTextMax); bytes past the returned
  // size are scratch.
  out[0] = '-';
  if (is_rare(fraction, biased)) [[unlikely]]
    return write_rare(bits, out);
  const std::size_t p = bits >> 63;
  const u64 c = fraction | (u64{1} << 52);
  const std::int64_t q = static_cast<std::int64_t>(biased) - 1075;
  Decimal dec;
  if (!shortest_regular_quick(c, q, dec)) [[unlikely]]
    return write_regular_exact(bits, out);
  return write_normal(dec, p, out);
}

}  // namespace zorvat::json
