#include "json/number.h"

#include <cmath>
#include <cstdint>

#include "json/powers_of_ten.h"

namespace zorvat::json {
namespace {

constexpr std::uint64_t kSignificandLimit = 1844674407370955161u;  // UINT64_MAX / 10

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

// significand * 10 + d would exceed UINT64_MAX.
inline bool significand_overflows(std::uint64_t significand, unsigned d) {
  return significand >= kSignificandLimit && (significand > kSignificandLimit || d > 5);
}

}  // namespace

bool shortest_digits_are(double value, std::uint64_t v, std::size_t fraction) {
  ShortestDecimal d;
  if (!shortest_decimal(value, d)) return false;
  // v == d.digits * 10^shift, the side with fewer digits scaled.
  const int shift = d.exponent + static_cast<int>(fraction);
  const bool up = shift >= 0;
  const unsigned by = static_cast<unsigned>(up ? shift : -shift);
  const std::uint64_t low = up ? d.digits : v;
  const std::uint64_t high = up ? v : d.digits;
  __extension__ using u128 = unsigned __int128;
  constexpr unsigned kPowers = kIntegerPowersOfTen.size();
  return by < kPowers && static_cast<u128>(low) * kIntegerPowersOfTen[by < kPowers ? by : 0] == high;
}

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

namespace {

// A literal being read by the general procedure.
struct Reading {
  const char* p;
  std::uint64_t significand = 0;
  std::int64_t exponent = 0;  // kept within int32 by saturation
  bool is_float = false;
  int appended = 0;  // digits taken into the significand, while below 19
};

// A run of integer digits (from a first non-zero one) or fraction
// digits into the significand: nineteen always fit, so no overflow test until
// then; past 2^64 - 1 the digits are dropped. Fraction digits taken lower the
// exponent, integer digits dropped raise it.
[[gnu::always_inline]] inline void take_run(Reading& r, const char* end, bool fraction) {
  const char* const run = r.p;
  r.p = take_digits(r.p, end, r.significand, static_cast<std::size_t>(19 - r.appended));
  if (fraction) r.exponent -= r.p - run;
  r.appended += static_cast<int>(r.p - run);
  for (; r.p != end && is_digit(*r.p); ++r.p) {
    const unsigned d = static_cast<unsigned>(*r.p - '0');
    if (significand_overflows(r.significand, d)) {
      r.is_float = true;
      for (; r.p != end && is_digit(*r.p); ++r.p) {
        if (!fraction && r.exponent < INT32_MAX) ++r.exponent;
      }
      return;
    }
    r.significand = r.significand * 10 + d;
    if (fraction && r.exponent > INT32_MIN) --r.exponent;
  }
}

// The exponent, from just past the 'e' or 'E'. `vanishes` when it is so
// negative that the number is a zero.
ErrorKind take_exponent(Reading& r, const char* end, bool& vanishes) {
  r.is_float = true;
  bool exponent_negative = false;
  if (r.p != end && (*r.p == '+' || *r.p == '-')) exponent_negative = *r.p++ == '-';
  if (r.p == end) return ErrorKind::eof_value;
  if (!is_digit(*r.p)) return ++r.p, ErrorKind::invalid_number;
  std::int32_t value = 0;
  while (r.p != end && is_digit(*r.p)) {
    int d = *r.p++ - '0';
    if (value >= 214748364 && (value > 214748364 || d > 7)) {
      if (r.significand != 0 && !exponent_negative) return ErrorKind::number_out_of_range;
      while (r.p != end && is_digit(*r.p)) ++r.p;
      vanishes = true;
      return ErrorKind::none;
    }
    value = value * 10 + d;
  }
  r.exponent += exponent_negative ? -static_cast<std::int64_t>(value) : value;
  if (r.exponent > INT32_MAX) r.exponent = INT32_MAX;
  if (r.exponent < INT32_MIN) r.exponent = INT32_MIN;
  return ErrorKind::none;
}

}  // namespace

std::uint64_t simple_significand_by_runs(const char* p, std::size_t int_digits, std::size_t fraction, const char* end) {
  std::uint64_t v = 0;
  const char* q = take_digits(p, end, v, int_digits);
  if (fraction != 0) take_digits(q + 1, end, v, fraction);
  return v;
}

NumberLiteral read_general_literal(const char* p, const char* end) {
  const bool negative = *p == '-';
  p += negative;
  auto number = read_number(p, end, negative);
  if (!number) return {nullptr, number.error().kind == ErrorKind::number_out_of_range, false, Value()};
  return {p, false, false, number.value()};
}

Result<Value, NumberError> read_number(const char*& cursor, const char* end, bool negative) {
  Reading r{cursor};
  auto failed = [&](ErrorKind kind, Position at) {
    cursor = r.p;
    return fail(NumberError{kind, at});
  };
  // The first digit.
  if (r.p == end) return fail(NumberError{ErrorKind::eof_value, Position::consumed});
  if (!is_digit(*r.p)) return ++r.p, failed(ErrorKind::invalid_number, Position::consumed);
  if (*r.p == '0') {
    // A leading zero stands alone.
    ++r.p;
    if (r.p != end && is_digit(*r.p)) return failed(ErrorKind::invalid_number, Position::next_byte);
  } else {
    take_run(r, end, false);
  }
  if (r.p != end && *r.p == '.') {
    r.is_float = true;
    if (++r.p == end) return failed(ErrorKind::eof_value, Position::next_byte);
    if (!is_digit(*r.p)) return failed(ErrorKind::invalid_number, Position::next_byte);
    take_run(r, end, true);
  }
  if (r.p != end && (*r.p == 'e' || *r.p == 'E')) {
    ++r.p;
    bool vanishes = false;
    const ErrorKind k = take_exponent(r, end, vanishes);
    if (k != ErrorKind::none) return failed(k, Position::consumed);
    if (vanishes) {
      cursor = r.p;
      return Value::floating(negative ? -0.0 : 0.0);
    }
  }
  cursor = r.p;
  // The value.
  if (!r.is_float) return integer_literal_value(r.significand, negative);
  double f = static_cast<double>(r.significand);
  if (!scale_by_power_of_ten(f, static_cast<std::int32_t>(r.exponent))) {
    return fail(NumberError{ErrorKind::number_out_of_range, Position::consumed});
  }
  return Value::floating(negative ? -f : f);
}

}  // namespace zorvat::json
