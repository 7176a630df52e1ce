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

#include "json/error.h"
#include "json/powers_of_ten.h"
#include "json/result.h"
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

// An ASCII digit.
inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Eight bytes at p as one word, the first byte lowest.
inline std::uint64_t load_word8(const char* p) {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

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

// Appends to `significand` the digits at p, at most `limit` of them, eight
// per step where eight bytes remain, and returns past the last one taken.
inline const char* take_digits(const char* p, const char* end, std::uint64_t& significand, std::size_t limit) {
  while (limit != 0 && end - p >= 8) {
    const std::uint64_t x = load_word8(p);
    const std::uint64_t other = non_digit_bytes(x);
    std::size_t n = other == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(other)) >> 3;
    if (n > limit) n = limit;
    if (n == 0) return p;
    significand = significand * kIntegerPowersOfTen[n] + digits_value(x, static_cast<unsigned>(n));
    p += n;
    limit -= n;
    if (n != 8) return p;  // a non-digit or the limit ends the run here
  }
  for (; limit != 0 && p != end && is_digit(*p); ++p, --limit) {
    significand = significand * 10 + static_cast<unsigned>(*p - '0');
  }
  return p;
}

// Past the digit run at p, eight digits per step where eight bytes remain.
// Its digits are appended to `significand` while `count` (all digits seen)
// stays within 19, so a significand of 19 digits or fewer is exact; beyond
// that it is not kept. One pass finds the run's end and its value.
inline const char* read_digit_run(const char* p, const char* end, std::uint64_t& significand, std::size_t& count) {
  while (end - p >= 8) {
    const std::uint64_t x = load_word8(p);
    const std::uint64_t other = non_digit_bytes(x);
    const unsigned n = other == 0 ? 8 : static_cast<unsigned>(std::countr_zero(other)) >> 3;
    if (n == 0) return p;
    count += n;
    if (count <= 19) significand = significand * kIntegerPowersOfTen[n] + digits_value(x, n);
    p += n;
    if (n != 8) return p;
  }
  for (; p != end && is_digit(*p); ++p) {
    if (++count <= 19) significand = significand * 10 + static_cast<unsigned>(*p - '0');
  }
  return p;
}

// The value of a literal of at most 19 digits without exponent, from its
// digits as one integer and the number of them after the point: for a
// fraction one rounded division by an exactly representable power of ten.
inline Value simple_number_value(std::uint64_t significand, std::size_t fraction, bool negative) {
  if (fraction == 0) return integer_literal_value(significand, negative);
  const double f = static_cast<double>(significand) / kPowersOfTen[fraction];
  return Value::floating(negative ? -f : f);
}

// The shapes most numbers have, at most 19 digits in all with an optional
// fraction and no exponent, read without the general procedure's overflow
// and range checks, which they cannot trigger. The result is the one
// read_number gives: the same significand and exponent, and for a fraction
// the same single rounded division by an exactly representable power of ten.
// Returns false, with `cursor` unmoved, for any other shape (or an error),
// which read_number then handles from the start.
inline bool read_simple_number(const char*& cursor, const char* end, bool negative, Value& out) {
  const char* p = cursor;
  if (p == end || !is_digit(*p)) return false;
  if (*p == '0' && p + 1 != end && is_digit(p[1])) return false;  // a leading-zero error
  std::uint64_t significand = 0;
  std::size_t digits = 0;
  p = read_digit_run(p, end, significand, digits);
  std::size_t fraction = 0;
  if (p != end && *p == '.') {
    const char* const first = ++p;
    p = read_digit_run(p, end, significand, digits);
    fraction = static_cast<std::size_t>(p - first);
    if (fraction == 0) return false;
  }
  // More than 19 digits, or an exponent, are the general procedure's.
  if (digits > 19 || (p != end && (*p == 'e' || *p == 'E'))) return false;
  cursor = p;
  out = simple_number_value(significand, fraction, negative);
  return true;
}

}  // namespace zorvat::json
