// The reader's number procedure. The conversion is deliberately not
// correctly rounded: an unsigned 64-bit significand (digits past it are
// dropped), a 32-bit decimal exponent and one rounded double operation per
// power-of-ten step. It decides the bits the writer later prints, so it is
// kept exactly as it is.
#pragma once

#include <cstdint>

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

// The shapes most numbers have, at most 19 digits in all with an optional
// fraction and no exponent, read without the general procedure's overflow
// and range checks, which they cannot trigger. The result is the one
// read_number gives: the same significand and exponent, and for a fraction
// the same single rounded division by an exactly representable power of ten.
// Returns false, with `cursor` unmoved, for any other shape (or an error),
// which read_number then handles from the start.
inline bool read_simple_number(const char*& cursor, const char* end, bool negative, Value& out) {
  auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0'); };
  const char* p = cursor;
  if (p == end || digit(*p) > 9) return false;
  if (*p == '0' && p + 1 != end && digit(p[1]) <= 9) return false;  // a leading-zero error
  std::uint64_t significand = 0;
  int digits = 0;
  for (; p != end && digit(*p) <= 9; ++p) {
    if (++digits > 19) return false;
    significand = significand * 10 + digit(*p);
  }
  int fraction = 0;
  if (p != end && *p == '.') {
    ++p;
    if (p == end || digit(*p) > 9) return false;
    for (; p != end && digit(*p) <= 9; ++p) {
      if (++digits > 19) return false;
      significand = significand * 10 + digit(*p);
      ++fraction;
    }
  }
  if (p != end && (*p == 'e' || *p == 'E')) return false;
  cursor = p;
  if (fraction != 0) {
    const double f = static_cast<double>(significand) / kPowersOfTen[fraction];
    out = Value::floating(negative ? -f : f);
  } else {
    out = integer_literal_value(significand, negative);
  }
  return true;
}

}  // namespace zorvat::json
