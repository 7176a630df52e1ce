// Shortest round-trip double to text, table driven.
//
// A finite double is c * 2^q. Its rounding interval (the reals that read back
// as it) is scaled by 10^-k, k chosen so the interval is between 1 and 10 units
// wide: then it holds at most one multiple of ten, which is the shortest
// candidate when present; otherwise the nearest of the two integers around the
// scaled value is. The scaling is one 64x128-bit multiplication per bound,
// rounded to odd so that comparisons with even integers stay exact; why that
// rounding is exact for every double is checked by tools/gen_pow10_table.py.

#include "json/float_format.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace zorvat::json {
namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

struct Pow10 {
  u64 hi, lo;
};

#include "json/pow10_table.inc"

constexpr auto kDigitPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// "e-324" .. "e+308", padded to 8 bytes so one fixed-size copy moves it.
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

constexpr auto kPowersOfTen = [] {
  std::array<u64, 20> t{};
  u64 p = 1;
  for (auto& v : t) {
    v = p;
    p *= 10;
  }
  return t;
}();

// floor(log10(2^q)), floor(log10(3/4 * 2^q)), floor(log2(10^e)); the generator
// proves these exact over every exponent a double reaches.
constexpr int flog10_pow2(int q) { return (q * 78913) >> 18; }
constexpr int flog10_three_quarters_pow2(int q) { return (q * 1262611 - 524031) >> 22; }
constexpr int flog2_pow10(int e) { return (e * 1741647) >> 19; }

// g * cp / 2^128 rounded to odd: the integer part, with the low bit set when
// the fraction is not zero. The table entries overshoot 10^-k by less than one
// unit, which adds less than 2^60 to the 128 fraction bits, so fractions below
// 2^60 are that error on an exact integer, not a real fraction.
inline u64 round_to_odd(Pow10 g, u64 cp) {
  const u128 lo = static_cast<u128>(g.lo) * cp;
  const u128 hi = static_cast<u128>(g.hi) * cp;
  const u128 mid = static_cast<u128>(static_cast<u64>(hi)) + static_cast<u64>(lo >> 64);
  const u64 top = static_cast<u64>(hi >> 64) + static_cast<u64>(mid >> 64);
  const u64 fraction_high = static_cast<u64>(mid);
  const u64 fraction_low = static_cast<u64>(lo);
  return top | ((fraction_high | (fraction_low >> 60)) != 0);
}

struct Decimal {
  u64 digits;    // no more than 17 digits; may end in zeros
  int exponent;  // value = digits * 10^exponent
};

// The shortest decimal in the rounding interval of c * 2^q, the nearest such
// one (ties to even) when several have that length. `lower_closer` marks the
// significand 2^52 above the lowest binade, whose lower neighbour is half as far.
inline Decimal shortest_decimal(u64 c, int q, bool lower_closer) {
  const u64 open = c & 1;  // bounds belong to the interval when c is even
  const u64 cb = c << 2;
  const u64 cbr = cb + 2;
  u64 cbl;
  int k;
  if (!lower_closer) {
    cbl = cb - 2;
    k = flog10_pow2(q);
  } else {
    cbl = cb - 1;
    k = flog10_three_quarters_pow2(q);
  }
  const int h = q + flog2_pow10(-k) + 1;
  const Pow10 g = kPow10Table[k - kPow10MinK];
  const u64 vbl = round_to_odd(g, cbl << h);
  const u64 vb = round_to_odd(g, cb << h);
  const u64 vbr = round_to_odd(g, cbr << h);

  // Scaled by 4, the interval is [vbl, vbr]; the value is vb.
  const u64 s = vb >> 2;
  const u64 sp10 = s / 10 * 10;
  const u64 tp10 = sp10 + 10;
  const bool sp10_in = vbl + open <= sp10 << 2;
  const bool tp10_in = (tp10 << 2) + open <= vbr;
  if (sp10_in != tp10_in) return {sp10_in ? sp10 : tp10, k};

  const u64 t = s + 1;
  const bool s_in = vbl + open <= s << 2;
  const bool t_in = (t << 2) + open <= vbr;
  if (s_in != t_in) return {s_in ? s : t, k};
  // Both in: the nearer one, the even one on a tie (vb against 4s + 2).
  const u64 mid = (s << 2) + 2;
  const bool take_s = vb < mid || (vb == mid && (s & 1) == 0);
  return {take_s ? s : t, k};
}

inline int decimal_length(u64 v) {
  const int bits = 64 - std::countl_zero(v | 1);
  const int guess = (bits * 1233) >> 12;  // floor(log10 2^bits)
  return guess + (v >= kPowersOfTen[guess]);
}

// Writes the 8 digits of v < 10^8.
inline void write8(char* p, std::uint32_t v) {
  const std::uint32_t hi = v / 10000;
  const std::uint32_t lo = v % 10000;
  std::memcpy(p, &kDigitPairs[2 * (hi / 100)], 2);
  std::memcpy(p + 2, &kDigitPairs[2 * (hi % 100)], 2);
  std::memcpy(p + 4, &kDigitPairs[2 * (lo / 100)], 2);
  std::memcpy(p + 6, &kDigitPairs[2 * (lo % 100)], 2);
}

// Number of '0' bytes at the end of the 8 bytes at p.
inline int trailing_zero_chars(const char* p) {
  u64 w;
  std::memcpy(&w, p, 8);
  w ^= 0x3030303030303030u;
  if constexpr (std::endian::native == std::endian::little) {
    return std::countl_zero(w) >> 3;
  } else {
    return std::countr_zero(w) >> 3;
  }
}

}  // namespace

std::size_t format_float(double x, char* out) {
  const u64 bits = std::bit_cast<u64>(x);
  const u64 fraction = bits & ((u64{1} << 52) - 1);
  const int biased = static_cast<int>(bits >> 52) & 0x7ff;

  // Text is built in a roomy local buffer with fixed-size copies and moved out
  // in one 24-byte copy: that beats exact-length moves.
  char buf[48];
  std::size_t p = bits >> 63;
  buf[0] = '-';

  if (biased == 0x7ff) {  // not reached by callers; keep it harmless
    std::memcpy(out, "null", 4);
    return 4;
  }
  if (biased == 0 && fraction == 0) {
    std::memcpy(buf + p, "0.0", 3);
    std::memcpy(out, buf, p + 3);
    return p + 3;
  }

  Decimal dec;
  if (biased != 0) {
    dec = shortest_decimal(fraction | (u64{1} << 52), biased - 1075, fraction == 0 && biased > 1);
  } else {
    dec = shortest_decimal(fraction, -1074, false);
  }

  // The digits as 17 characters, zero filled on the right.
  const int length = decimal_length(dec.digits);
  const int exponent = dec.exponent + length - 1;  // of the first digit
  const u64 d17 = dec.digits * kPowersOfTen[17 - length];
  char d[32];
  d[0] = static_cast<char>('0' + d17 / 10000000000000000u);
  const u64 rest = d17 % 10000000000000000u;
  write8(d + 1, static_cast<std::uint32_t>(rest / 100000000));
  write8(d + 9, static_cast<std::uint32_t>(rest % 100000000));
  std::memset(d + 17, '0', 15);
  int tz = trailing_zero_chars(d + 9);
  if (tz == 8) tz += trailing_zero_chars(d + 1);
  const int n = 17 - tz;  // significant digits

  std::size_t size;
  if (exponent > 15 || exponent < -5) {
    buf[p] = d[0];
    buf[p + 1] = '.';
    std::memcpy(buf + p + 2, d + 1, 16);
    const std::size_t at = p + 1 + (n > 1 ? n : 0);
    const ExponentSuffix& suffix = kExponentSuffixes[exponent - kMinExponent];
    std::memcpy(buf + at, &suffix, 8);
    size = at + suffix.size;
  } else if (exponent >= 0) {
    std::memcpy(buf + p, d, 16);
    buf[p + exponent + 1] = '.';
    if (n <= exponent + 1) {
      buf[p + exponent + 2] = '0';
      size = p + exponent + 3;
    } else {
      std::memcpy(buf + p + exponent + 2, d + exponent + 1, 16);
      size = p + n + 1;
    }
  } else {
    std::memcpy(buf + p, "0.000000", 8);
    std::memcpy(buf + p + 1 - exponent, d, 24);
    size = p + 1 - exponent + n;
  }
  std::memcpy(out, buf, kFloatTextMax);
  return size;
}

}  // namespace zorvat::json
