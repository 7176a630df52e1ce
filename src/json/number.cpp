#include "json/number.h"

#include <cmath>
#include <cstdint>

#include "json/powers_of_ten.h"

namespace zorvat::json {
namespace {

constexpr std::uint64_t kSignificandLimit = 1844674407370955161u;  // UINT64_MAX / 10

// significand * 10 + d would exceed UINT64_MAX.
inline bool significand_overflows(std::uint64_t significand, unsigned d) {
  return significand >= kSignificandLimit && (significand > kSignificandLimit || d > 5);
}

}  // namespace

bool scale_by_power_of_ten(double& f, std::int32_t exponent) {
  std::int64_t e = exponent;
  for (;;) {
    if (e >= -308 && e <= 308) {
      if (e >= 0) {
        f *= kPowersOfTen[e];
        return !std::isinf(f);
      }
      f /= kPowersOfTen[-e];
      return true;
    }
    if (f == 0) return true;
    if (e > 308) return false;
    f /= 1e308;
    e += 308;
  }
}

Result<Value, NumberError> read_number(const char*& cursor, const char* end, bool negative) {
  const char* p = cursor;
  // 1. First digit.
  if (p == end) return fail(NumberError{ErrorKind::eof_value, Position::consumed});
  if (!is_digit(*p)) {
    cursor = p + 1;
    return fail(NumberError{ErrorKind::invalid_number, Position::consumed});
  }
  std::uint64_t significand = 0;
  std::int64_t exponent = 0;  // kept within int32 by saturation below
  bool is_float = false;
  int appended = 0;  // digits taken into the significand, while below 19
  if (*p == '0') {
    // 2. A leading zero stands alone.
    ++p;
    if (p != end && is_digit(*p)) {
      cursor = p;
      return fail(NumberError{ErrorKind::invalid_number, Position::next_byte});
    }
  } else {
    // 3. Integer digits; past 2^64 - 1 the digits are dropped and counted.
    significand = static_cast<unsigned>(*p++ - '0');
    appended = 1;
    // Nineteen digits always fit: no overflow test until then.
    const char* const run = p;
    p = take_digits(p, end, significand, 18);
    appended += static_cast<int>(p - run);
    while (p != end && is_digit(*p)) {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (significand_overflows(significand, d)) {
        is_float = true;
        while (p != end && is_digit(*p)) {
          ++p;
          if (exponent < INT32_MAX) ++exponent;
        }
        break;
      }
      significand = significand * 10 + d;
      ++p;
    }
  }
  // 4. Fraction.
  if (p != end && *p == '.') {
    ++p;
    is_float = true;
    if (p == end) {
      cursor = p;
      return fail(NumberError{ErrorKind::eof_value, Position::next_byte});
    }
    if (!is_digit(*p)) {
      cursor = p;
      return fail(NumberError{ErrorKind::invalid_number, Position::next_byte});
    }
    const char* const run = p;
    p = take_digits(p, end, significand, static_cast<std::size_t>(19 - appended));
    exponent -= p - run;
    appended += static_cast<int>(p - run);
    while (p != end && is_digit(*p)) {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (significand_overflows(significand, d)) {
        while (p != end && is_digit(*p)) ++p;
        break;
      }
      significand = significand * 10 + d;
      if (exponent > INT32_MIN) --exponent;
      ++p;
    }
  }
  // 5. Exponent.
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    is_float = true;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end) {
      cursor = p;
      return fail(NumberError{ErrorKind::eof_value, Position::consumed});
    }
    if (!is_digit(*p)) {
      cursor = p + 1;
      return fail(NumberError{ErrorKind::invalid_number, Position::consumed});
    }
    std::int32_t value = 0;
    bool overflowed = false;
    while (p != end && is_digit(*p)) {
      int d = *p++ - '0';
      if (value >= 214748364 && (value > 214748364 || d > 7)) {
        if (significand != 0 && !exponent_negative) {
          cursor = p;
          return fail(NumberError{ErrorKind::number_out_of_range, Position::consumed});
        }
        while (p != end && is_digit(*p)) ++p;
        overflowed = true;
        break;
      }
      value = value * 10 + d;
    }
    if (overflowed) {
      cursor = p;
      return Value::floating(negative ? -0.0 : 0.0);
    }
    exponent += exponent_negative ? -static_cast<std::int64_t>(value) : value;
    if (exponent > INT32_MAX) exponent = INT32_MAX;
    if (exponent < INT32_MIN) exponent = INT32_MIN;
  }
  cursor = p;
  // 6. Result.
  if (!is_float) {
    return integer_literal_value(significand, negative);
  }
  double f = static_cast<double>(significand);
  if (!scale_by_power_of_ten(f, static_cast<std::int32_t>(exponent))) {
    return fail(NumberError{ErrorKind::number_out_of_range, Position::consumed});
  }
  return Value::floating(negative ? -f : f);
}

}  // namespace zorvat::json
