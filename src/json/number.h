// The reader's number procedure. The conversion is deliberately not
// correctly rounded: an unsigned 64-bit significand (digits past it are
// dropped), a 32-bit decimal exponent and one rounded double operation per
// power-of-ten step. It decides the bits the writer later prints, so it is
// kept exactly as it is.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/result.h"
#include "base/unaligned.h"
#include "json/error.h"
#include "json/shortest_decimal.h"
#include "json/powers_of_ten.h"
#include "json/value.h"

namespace zorvat::json {

// Reads the number at `cursor` (its '-' already consumed when `negative`)
// and advances `cursor` past it, or to the read position of an error.
Result<Value, NumberError> read_number(const char*& cursor, const char* end, bool negative);

// f * 10^exponent by the stepwise procedure; false when the result overflows.
bool scale_by_power_of_ten(double& f, std::int32_t exponent);

// The value of a literal without fraction or exponent whose digits fit
// 64 bits: an unsigned integer; with a minus sign -0.0 for zero, a negative
// integer down to -2^63, and below that the nearest double.
inline Value integer_literal_value(std::uint64_t significand, bool negative) {
  if (!negative) return Value::unsigned_integer(significand);
  if (significand == 0) return Value::floating(-0.0);
  if (significand <= 9223372036854775808u) {
    return Value::negative_integer(static_cast<std::int64_t>(0 - significand));
  }
  return Value::floating(-static_cast<double>(significand));
}

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Flags the bytes of `x` that are not ASCII digits: a byte is a digit when its
// high nibble is 3 both as it is and plus 6. A carry out of a byte of 0xFA or
// more reaches only later bytes, past the first non-digit already, so the
// lowest flagged byte is exact.
inline std::uint64_t non_digit_bytes(std::uint64_t x) {
  constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u;
  constexpr std::uint64_t kThree = 0x3030303030303030u;
  return ((x & kHigh) ^ kThree) | (((x + 0x0606060606060606u) & kHigh) ^ kThree);
}

// The number the first n (1 to 8) bytes of `x` spell, all digits. Moving them
// to the top of the word makes the missing ones leading zeros; then pairs,
// quads and the halves combine in three multiplications instead of a loop.
// Subtracting '0' borrows only from bytes past the digits, which are dropped.
inline std::uint64_t digits_value(std::uint64_t x, unsigned n) {
  x = (x - 0x3030303030303030u) << (8 * (8 - n));
  x = x * 10 + (x >> 8);
  x = (((x & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
       (((x >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >>
      32;
  return x;
}

// The simple shape: at most 19 digits, no exponent.
struct SimpleNumber {
  std::size_t int_digits = 0;
  std::size_t fraction = 0;       // digits after the point
  std::size_t zeros = 0;          // of those, the zeros that lead below 1
  bool below_one = false;         // the integer part is a single 0
};

// One bit per byte of the 32 at w, set where the byte is not an ASCII digit.
inline std::uint32_t non_digit_mask32(const char* w) {
#ifdef __SSE2__
  auto digits16 = [](const char* q) {
    const __m128i t = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), _mm_set1_epi8('0'));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(9)), t)));
  };
  return ~(digits16(w) | digits16(w + 16) << 16);
#else
  std::uint32_t mask = 0;
  for (unsigned i = 0; i < 32; ++i) mask |= static_cast<std::uint32_t>(!is_digit(w[i])) << i;
  return mask;
#endif
}

// The simple shape at p (after any '-'), from one window of 32 bytes with no
// loop (bytes past `end` read as spaces): past it, or null for any other
// literal, a broken one, or one that does not end inside the window, which
// the general reading takes. Every literal that prints as read fits it.
inline const char* simple_shape(const char* p, const char* end, SimpleNumber& out) {
  char padded[32];
  const char* w = p;
  if (end - p < 32) {
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, p, static_cast<std::size_t>(end - p));
    w = padded;
  }
  const std::uint64_t other = non_digit_mask32(w) | std::uint64_t{1} << 32;
  const unsigned n = static_cast<unsigned>(std::countr_zero(other));
  out.below_one = w[0] == '0';
  if (n - 1 >= 19 || (out.below_one && n != 1)) return nullptr;  // a leading zero: the general reading words it
  out.int_digits = n;
  std::size_t length = n;
  if (w[n] == '.') {
    out.fraction = static_cast<std::size_t>(std::countr_zero(other >> (n + 1)));
    length += 1 + out.fraction;
    if (out.fraction == 0 || length >= 32) return nullptr;
    while (out.below_one && out.zeros < out.fraction && w[n + 1 + out.zeros] == '0') ++out.zeros;
    if (n + out.fraction - out.zeros > 19) return nullptr;
  }
  return (w[length] | 0x20) == 'e' ? nullptr : p + length;
}

// simple_significand where its words would pass `end` or do not fit its three.
std::uint64_t simple_significand_by_runs(const char* p, std::size_t int_digits, std::size_t fraction, const char* end);
inline Value simple_result(std::uint64_t v, std::size_t fraction, bool negative) {
  if (fraction == 0) return integer_literal_value(v, negative);
  // One rounded division by an exactly representable power of ten.
  const double f = static_cast<double>(v) / kPowersOfTen[fraction];
  return Value::floating(negative ? -f : f);
}

// The digits of the simple number whose shape simple_shape found at p (its
// integer digits, the point and `fraction` digits) as one integer, which
// simple_result turns into the value the general procedure gives, without its
// overflow and range checks, which the shape cannot trigger. Eight digits are
// one load and one conversion; leading zeros add nothing. Out of line: inlined,
// it costs the scans' loops registers, spilled around it (3-5% more
// instructions on float-heavy rows, GeoJSON and numeric rows, g++ 12).
[[gnu::noinline]] inline std::uint64_t simple_significand(const char* p, std::size_t int_digits, std::size_t fraction,
                                                         const char* end) {
  const std::size_t n = int_digits + fraction;
  if (int_digits > 8 || n > 24 || end - p < 25) return simple_significand_by_runs(p, int_digits, fraction, end);
  // The digits as words of eight without any point: the first takes the
  // bytes past it from one byte on, the others start past it.
  const std::uint64_t before = (std::uint64_t{2} << (8 * int_digits - 1)) - 1;
  const std::uint64_t first = (load_word8(p) & before) | (load_word8(p + 1) & ~before);
  if (n <= 8) return digits_value(first, n);
  if (n <= 16) return digits_value(first, 8) * kIntegerPowersOfTen[n - 8] + digits_value(load_word8(p + 9), n - 8);
  const std::uint64_t v = digits_value(first, 8) * 100000000u + digits_value(load_word8(p + 9), 8);
  return v * kIntegerPowersOfTen[n - 16] + digits_value(load_word8(p + 17), n - 16);
}

// Whether a simple decimal ending at `end` is laid out as the writer lays out
// its digits: fixed notation from decimal exponent -5 on (at most four zeros
// after "0."), no trailing zeros but in exactly "<integer>.0".
inline bool in_writer_layout(const SimpleNumber& s, const char* end) {
  return s.fraction != 0 && (end[-1] != '0' || s.fraction == 1) && s.zeros <= 4;
}
inline std::size_t significant_digits(const SimpleNumber& s) {
  return s.below_one ? s.fraction - s.zeros : s.int_digits + s.fraction;
}

// How the writer spells the simple number ending at `end`, as its shape
// alone tells.
enum class Spelling : unsigned char {
  // Its bytes exactly: the integers below 10^18 but -0, and the decimals in
  // its layout of at most 15 significant digits. For those the procedure
  // divides one exact integer by one exact power of ten (correctly rounded),
  // no two of them share a double, so the shortest digits of the result are
  // the literal's own.
  as_read,
  // Its bytes when the writer's shortest digits of its value are its own, as
  // they are for most of these, which shortest-digit printers wrote: the
  // decimals in its layout of 16 to 19 significant digits and at most 16
  // before the point (so in fixed notation).
  by_value,
  rewritten,
};
inline Spelling writer_spelling(const SimpleNumber& s, bool negative, const char* end) {
  if (s.fraction == 0) {
    return s.int_digits <= 18 && !(negative && s.below_one) ? Spelling::as_read : Spelling::rewritten;
  }
  if (!in_writer_layout(s, end)) return Spelling::rewritten;
  if (significant_digits(s) <= 15) return Spelling::as_read;
  return s.int_digits <= 16 ? Spelling::by_value : Spelling::rewritten;
}

// Whether `value`, read from the digits v with `fraction` of them after the
// point, has v's digits as its shortest ones: v * 10^-fraction is
// digits * 10^exponent, compared as integers. Out of line: prints_in_its_digits
// asks it only of rare literals.
[[gnu::noinline]] bool shortest_digits_are(double value, std::uint64_t v, std::size_t fraction);

// The same answer as shortest_digits_are without making the shortest digits:
// the literal v * 10^-f, whose last digit is `last`, is set against the
// rounding interval of `value` (c * 2^q, normal, not a power of two). The
// writer's digits, in units of 10^k (k = flog10_pow2(q), so the interval is 1
// to 10 units wide), are the multiple of ten in the interval if there is one,
// else the integer nearest the value. Scaled by 10^f * 2^(1 - q - f), the value
// is 2c * 5^f and the interval reaches 5^f to each side: exact integers, from
// one 64x64 product in place of the 128-bit scaling. A literal whose last
// digit is a unit (e = -f - k = 0) is the writer's when it is the integer
// nearest the value and no multiple of ten lies in the interval; one whose last
// digit is ten units or more (e >= 1) when it lies in the interval, which then
// reaches at most half a digit, so it too is the nearest; one whose last digit
// is below a unit (e < 0) never. A last digit 0 ("<integer>.0") and values far
// above 2^53 (q + f > 1, where the scaling is no left shift) are left to
// shortest_digits_are. Whether the interval holds its ends (it does when c is
// even) never matters here, for no literal decided here is one: an end,
// (2c +- 1) * 2^(q-1), has for q <= 0 its last digit, a 5, at 10^(q-1), below a
// unit, and for q >= 1 it is an integer, which a literal with a point spells
// only with a last digit 0.
inline bool prints_in_its_digits(double value, std::uint64_t v, std::size_t f, unsigned last) {
  using u64 = std::uint64_t;
  const u64 bits = std::bit_cast<u64>(value) & ~(u64{1} << 63);
  const u64 fraction_bits = bits & ((u64{1} << 52) - 1);
  const u64 biased = bits >> 52;
  if (shortest::is_rare(fraction_bits, biased)) return false;  // not the regular digits
  const int q = static_cast<int>(biased) - 1075;
  const int e = -static_cast<int>(f) - shortest::flog10_pow2(q);
  const int a = 1 - q - static_cast<int>(f);  // the scaling, 2^a in units of 10^-f
  if (e < 0 || last == 0 || static_cast<unsigned>(a) > 60 || f >= kPowersOfFive.size()) [[unlikely]]
    return (e >= 0 || last == 0) && shortest_digits_are(value, v, f);
  const u64 reach = kPowersOfFive[f];
  const u64 c = fraction_bits | u64{1} << 52;
  __extension__ const unsigned __int128 scaled = static_cast<unsigned __int128>(2 * c) * reach;
  const u64 low = static_cast<u64>(scaled);
  // The value's integer part in units of 10^-f, the rest scaled, and whether
  // it rounds up to the nearest integer (a tie to even).
  const u64 whole = (low >> a) | ((static_cast<u64>(scaled >> 64) << 1) << (63 - a));
  const u64 rest = low & ((u64{1} << a) - 1);
  const u64 one = u64{1} << a;
  const u64 up = (2 * rest > one) | ((2 * rest == one) & whole);
  const bool inside = (up != 0 ? one - rest : rest) < reach;
  // The multiples of ten either side, v - last below the value and
  // v - last + 10 above, both outside the interval.
  const u64 below = ((last - up) << a) + rest;
  const u64 above = ((10 - last + up) << a) - rest;
  const bool clear = (below > reach) & (above > reach);
  // Without a branch: which way each goes depends on the digits.
  const bool wide = e >= 1;
  return (v == whole + up) & ((wide & inside) | (!wide & clear));
}

// The commonest literal, an integer of at most 7 digits (but -0), found with
// one load: past it, or null for any other literal or an error, which
// read_number_literal then reads. It prints as read. Needs 9 bytes at p.
inline const char* short_integer_end(const char* p) {
  const char* q = p + (*p == '-');
  const std::uint64_t other = non_digit_bytes(load_word8(q));
  const unsigned n = static_cast<unsigned>(std::countr_zero(other)) >> 3;  // 8 when all are digits
  if (n - 1 >= 7 || q[n] == '.' || (q[n] | 0x20) == 'e') return nullptr;
  if (*q == '0' && n != 1) return nullptr;  // a leading-zero error, which the general reading words
  SimpleNumber s;
  s.int_digits = n;
  s.below_one = *q == '0';
  return writer_spelling(s, q != p, q + n) == Spelling::as_read ? q + n : nullptr;
}

// A literal at p ('-' or a digit) read by the procedures above.
struct NumberLiteral {
  const char* end = nullptr;    // past it; null when it does not read
  bool out_of_range = false;    // (end null) it reads past the double range
  bool prints_as_read = false;  // the writer prints exactly its bytes (see Need)
  Value value;                  // unless Need::value_if_rewritten and prints_as_read
};

// Any other literal at p ('-' or a digit), by the general procedure.
NumberLiteral read_general_literal(const char* p, const char* end);

// What a reading of a literal must produce besides its end.
enum class Need : unsigned char {
  value,               // the value, and whether it prints as read as its shape alone tells
  value_if_rewritten,  // the value only where the writer does not print the literal's own bytes,
                       // which for 16 or more significant digits its value decides
  nothing,             // a check: only whether it reads (the general procedure still makes a value)
};

// The number procedure, the one way both row sources read a literal: the
// simple shape from one window, the general procedure for anything else.
// Inline but for the general procedure.
template <Need kNeed = Need::value>
[[gnu::always_inline]] inline NumberLiteral read_number_literal(const char* p, const char* end) {
  NumberLiteral out;
  const bool negative = *p == '-';
  SimpleNumber s;
  out.end = simple_shape(p + negative, end, s);
  if (out.end == nullptr) [[unlikely]] return read_general_literal(p, end);
  if constexpr (kNeed == Need::nothing) return out;
  const Spelling spelling = writer_spelling(s, negative, out.end);
  out.prints_as_read = spelling == Spelling::as_read;
  if (kNeed == Need::value || !out.prints_as_read) {
    const std::uint64_t v = simple_significand(p + negative, s.int_digits, s.fraction, end);
    out.value = simple_result(v, s.fraction, negative);
    if (kNeed == Need::value_if_rewritten && spelling == Spelling::by_value) {
      const auto last = static_cast<unsigned>(out.end[-1] - '0');
      out.prints_as_read = prints_in_its_digits(out.value.as_float(), v, s.fraction, last);
    }
  }
  return out;
}

}  // namespace zorvat::json
