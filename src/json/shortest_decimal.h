// The shortest digits of a double, the rule format_float writes by: the
// scaling and the choice of digits, in a header so that the number reader's
// test of a long literal can ask for them (float_format.cpp describes the
// method).
#pragma once

#include <bit>
#include <cstdint>

// ZORVAT_FLOAT_FORMAT_SCALAR builds the portable code on x86-64 too, so that
// it can be tested there: plain C++ for the SSE2 digits and for the few
// conditional moves otherwise written in assembly.
#if defined(__SSE2__) && defined(__x86_64__) && !defined(ZORVAT_FLOAT_FORMAT_SCALAR)
#define ZORVAT_FLOAT_FORMAT_SSE2 1
#endif

namespace zorvat::json {
namespace shortest {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

struct Pow10 {
  u64 hi, lo;
};

#include "json/pow10_table.inc"

// floor(log10(2^q)), floor(log10(3/4 * 2^q)), floor(log2(10^e)); the generator
// proves these exact over every exponent a double reaches.
constexpr int flog10_pow2(int q) { return (q * 78913) >> 18; }
constexpr int flog10_three_quarters_pow2(int q) { return (q * 1262611 - 524031) >> 22; }
constexpr int flog2_pow10(int e) { return (e * 1741647) >> 19; }

// The product g * cp as three 64-bit limbs: the integer part of g * cp / 2^128
// and 128 fraction bits.
struct Scaled {
  u64 integer, high, low;
};

inline Scaled multiply(Pow10 g, u64 cp) {
  const u128 lo = static_cast<u128>(g.lo) * cp;
  const u128 hi = static_cast<u128>(g.hi) * cp;
  u64 mid;
  const bool carry = __builtin_add_overflow(static_cast<u64>(hi), static_cast<u64>(lo >> 64), &mid);
  return {static_cast<u64>(hi >> 64) + carry, mid, static_cast<u64>(lo)};
}

// The value rounded to odd: the integer part, with the low bit set when the
// fraction is not zero. The table entries overshoot 10^-k by less than one
// unit, which adds less than 2^60 to the fraction bits, so a fraction below
// 2^60 is that error on an exact integer, not a real fraction.
inline u64 round_to_odd(const Scaled& v) { return v.integer | ((v.high | (v.low >> 60)) != 0); }

// A choice without a branch, which the compiler would otherwise pick for
// conditions that depend on the digits, noise to a branch predictor.
inline u64 select_below(u64 x, u64 y, u64 a, u64 b) {  // x < y ? a : b
#if defined(ZORVAT_FLOAT_FORMAT_SSE2)
  __asm__("cmp %3, %2\n\tcmovb %1, %0" : "+r"(b) : "r"(a), "r"(x), "r"(y) : "cc");
  return b;
#else
  return b ^ ((a ^ b) & (u64{0} - (x < y)));
#endif
}

struct Decimal {
  u64 digits;    // no more than 17 digits; may end in zeros
  int exponent;  // value = digits * 10^exponent
};

// Below, values are scaled by 4 * 10^-k: the double c * 2^q becomes about 4c
// (vb) and its rounding interval [vbl, vbr], whose ends belong to it when c is
// even. k makes the interval 1 to 10 units wide before the factor 4, so it
// holds at most one multiple of ten (sp10 or tp10, the shortest candidate when
// present) and always the integer nearest to the value.

// The multiple of ten in the interval if there is one, else the integer
// nearest to the value, the even one on a tie. vb is even only when exact, so
// its two low bits say how to round: 3 up, 2 (a tie) to even, 0 and 1 down.
// sp10 is in the interval when sp_lo < sp_hi, tp10 when tp_lo < tp_hi.
inline Decimal choose(u64 vb, u64 sp10, u64 sp_lo, u64 sp_hi, u64 tp_lo, u64 tp_hi, int k) {
  const u64 nearest = (vb + 1 + ((vb >> 2) & 1)) >> 2;
  return {select_below(sp_lo, sp_hi, sp10, select_below(tp_lo, tp_hi, sp10 + 10, nearest)), k};
}

// shortest_regular when an interval bound lies too close to a multiple of ten
// for its quick test: the bounds computed in full. Out of line (rare).
[[gnu::noinline]] Decimal shortest_regular_exact(u64 c, int q);

// The case of a neighbour on each side at the same distance: every double but
// the powers of two above the lowest binade. The bounds are 4c - 2 and 4c + 2,
// so they lie D = g << (h + 1) below and above the value. Rather than compute
// them, D and the distances from the value to 4 sp10 and 4 tp10 are compared
// truncated to 58 fraction bits. Where those truncations differ by 2 units or
// more, the exact quantities differ by at least 2^-58, far beyond the 2^-68
// that rounding to odd treats as zero, so the answer is the exact one; nearer
// cases go to shortest_regular_exact (values whose bound falls on or next to
// a short decimal, such as some integers above 2^53).
inline bool shortest_regular_quick(u64 c, std::int64_t q, Decimal& out) {
  const std::int64_t k = (q * 78913) >> 18;  // flog10_pow2, without widening for the index
  const int h = static_cast<int>(q + flog2_pow10(static_cast<int>(-k)) + 1);
  const Pow10 g = kPow10Table[k - kPow10MinK];
  const Scaled v = multiply(g, c << (h + 2));
  const u64 vb = round_to_odd(v);

  const u64 sp10 = (vb >> 2) / 10 * 10;
  const u64 d = g.hi >> (5 - h);  // D, 2..20, truncated to 58 fraction bits
  // The value less 4 sp10, 0..40, truncated; 4 tp10 less the value is 40 less
  // that, so rounded up instead. In units of 2^-58, the exact difference to D
  // is within 1 of above_sp10 - d either way, and 0 to 2 below below_tp10 - d.
  const u64 above_sp10 = ((v.integer - (sp10 << 2)) << 58) | (v.high >> 6);
  const u64 below_tp10 = (u64{40} << 58) - above_sp10;
  if (above_sp10 - d + 1 < 3 || below_tp10 - d < 3) [[unlikely]]
    return false;
  out = choose(vb, sp10, above_sp10, d, below_tp10, d, static_cast<int>(k));
  return true;
}

inline Decimal shortest_regular(u64 c, int q) {
  Decimal dec;
  return shortest_regular_quick(c, q, dec) ? dec : shortest_regular_exact(c, q);
}

// Zero, subnormals, powers of two, and what is not finite: write_rare's.
inline bool is_rare(u64 fraction, u64 biased) { return fraction == 0 || biased - 1 >= 0x7fe; }

}  // namespace shortest

// The digits format_float writes for `x`, as digits * 10^exponent (at most 17
// digits, which may end in zeros), for a finite x that is normal and not a
// power of two; false for any other x. Thread safe.
struct ShortestDecimal {
  std::uint64_t digits;
  int exponent;
};
inline bool shortest_decimal(double x, ShortestDecimal& out) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const std::uint64_t biased = (bits >> 52) & 0x7ff;
  if (shortest::is_rare(fraction, biased)) return false;
  const shortest::Decimal dec =
      shortest::shortest_regular(fraction | (std::uint64_t{1} << 52), static_cast<int>(biased) - 1075);
  out = {dec.digits, dec.exponent};
  return true;
}

}  // namespace zorvat::json
