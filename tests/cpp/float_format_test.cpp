#include "json/float_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zorvat::json {
namespace {

std::string format(double x) {
  // Exactly kFloatTextMax bytes on the heap, so AddressSanitizer sees any overrun.
  std::unique_ptr<char[]> out(new char[kFloatTextMax]);
  const std::size_t n = format_float(x, out.get());
  if (n > kFloatTextMax) return "length " + std::to_string(n);
  return std::string(out.get(), n);
}

struct Example {
  double value;
  const char* text;
};

TEST(FormatFloatTest, Examples) {
  const Example cases[] = {
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {100.0, "100.0"},
      {100.5, "100.5"},
      {-1.5, "-1.5"},
      {12345.678, "12345.678"},
      {9007199254740992.0, "9007199254740992.0"},
      {1e16, "1e+16"},
      {123456789012345680.0, "1.2345678901234568e+17"},
      {9223372036854775808.0, "9.223372036854776e+18"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {1e100, "1e+100"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {-2.5e-10, "-2.5e-10"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {2 * std::numeric_limits<double>::denorm_min(), "1e-323"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
      {1e15, "1000000000000000.0"},
      {1234567890123456.8, "1234567890123456.8"},
      {0.000012345678901234568, "0.000012345678901234568"},
      {-0.000012345678901234568, "-0.000012345678901234568"},  // the longest fixed form
      {-1.2345678901234568e-300, "-1.2345678901234568e-300"},  // the longest exponent form
      {1e21, "1e+21"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {9.5, "9.5"},
      {10.0, "10.0"},
      {999999999999999.9, "999999999999999.9"},
      {9999999999999998.0, "9999999999999998.0"},  // E = 15, all 16 digits
      {0.000099999, "0.000099999"},
      {9.9999e-6, "9.9999e-6"},
      {1e-5, "0.00001"},
      {1e22, "1e+22"},
      {1e23, "1e+23"},  // not exact: the nearest double is 9.999999999999999e22
      {5e-324 * 3, "1.5e-323"},
      {2.2250738585072009e-308, "2.225073858507201e-308"},  // largest subnormal
      {4.9406564584124654e-322, "4.94e-322"},
      {20 * std::numeric_limits<double>::denorm_min(), "1e-322"},  // a rounder decimal in the interval
      {200 * std::numeric_limits<double>::denorm_min(), "9.9e-322"},
      {1.7976931348623155e308, "1.7976931348623155e+308"},
      {1125899906842624.25, "1125899906842624.2"},  // exact tie between two 17-digit candidates: even
      {1125899906842624.75, "1125899906842624.8"},
      {std::ldexp(1.0, -1022), "2.2250738585072014e-308"},
      {std::ldexp(1.0, 1023), "8.98846567431158e+307"},
      {std::ldexp(1.0, -1021), "4.450147717014403e-308"},
      {std::ldexp(1.0, 60), "1.152921504606847e+18"},
  };
  for (const Example& c : cases) EXPECT_EQ(format(c.value), c.text) << "for " << c.text;
}

TEST(FormatFloatTest, NonFiniteStaysInBounds) {
  // Callers never pass these; the function must still neither crash nor overrun.
  for (double x : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()}) {
    EXPECT_LE(format(x).size(), kFloatTextMax);
  }
}

struct Decimal {
  std::string digits;  // significant digits: no leading or trailing zero
  int exponent;        // of the first digit
};

bool all_digits(std::string_view s) {
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  return !s.empty();
}

// The digits and exponent of `text` (sign already removed), or nothing when
// the text breaks a layout rule: exponent form only outside -5..15 with a
// sign and no padding, fixed form with one digit at least on each side of the
// point, no trailing zero after the point except the ".0" of a whole number.
std::optional<Decimal> parse_layout(std::string_view t) {
  Decimal d;
  const std::size_t e = t.find('e');
  if (e != std::string_view::npos) {
    const std::string_view mant = t.substr(0, e), exp = t.substr(e + 1);
    if (exp.size() < 2 || (exp[0] != '+' && exp[0] != '-') || !all_digits(exp.substr(1)) || exp[1] == '0')
      return std::nullopt;
    d.exponent = std::stoi(std::string(exp.substr(1))) * (exp[0] == '-' ? -1 : 1);
    if (d.exponent >= -5 && d.exponent <= 15) return std::nullopt;
    if (mant.size() == 2 || (mant.size() > 2 && mant[1] != '.')) return std::nullopt;
    d.digits = std::string(mant.substr(0, 1)) + std::string(mant.size() > 2 ? mant.substr(2) : "");
    if (!all_digits(d.digits)) return std::nullopt;
  } else {
    const std::size_t dot = t.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view whole = t.substr(0, dot), frac = t.substr(dot + 1);
    if (!all_digits(whole) || !all_digits(frac)) return std::nullopt;
    if (frac.back() == '0' && frac != "0") return std::nullopt;
    if (whole == "0") {
      const std::size_t first = frac.find_first_not_of('0');
      if (first == std::string_view::npos) return std::nullopt;
      d.exponent = -static_cast<int>(first) - 1;
      if (d.exponent < -5) return std::nullopt;
      d.digits = std::string(frac.substr(first));
    } else {
      d.exponent = static_cast<int>(whole.size()) - 1;
      if (whole[0] == '0' || d.exponent > 15) return std::nullopt;
      d.digits = std::string(whole) + std::string(frac == "0" ? "" : frac);
      d.digits.erase(d.digits.find_last_not_of('0') + 1);
    }
  }
  if (d.digits.empty() || d.digits.front() == '0' || d.digits.back() == '0') return std::nullopt;
  return d;
}

// The shortest digits of nonzero finite `x` by the standard library.
Decimal reference_decimal(double x) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  const std::string s(buf, r.ptr);
  const std::size_t e = s.find('e');
  Decimal d;
  d.digits = s.substr(0, 1) + (e > 1 ? s.substr(2, e - 2) : "");
  d.exponent = std::stoi(s.substr(e + 1));  // "+16" reads as 16
  return d;
}

// Empty when `x` formats correctly, else what went wrong.
std::string check_one(double x) {
  const std::string text = format(x);
  if (text.size() > kFloatTextMax) return text;
  const bool negative = std::signbit(x);
  if (negative != (!text.empty() && text[0] == '-')) return "sign of " + text;
  if (x == 0) return text == (negative ? "-0.0" : "0.0") ? "" : "zero as " + text;
  const std::optional<Decimal> got = parse_layout(std::string_view(text).substr(negative ? 1 : 0));
  if (!got) return "layout of " + text;
  if (std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)) != std::bit_cast<std::uint64_t>(x))
    return "round trip of " + text;
  const Decimal want = reference_decimal(x);
  if (got->digits != want.digits || got->exponent != want.exponent)
    return text + " instead of " + want.digits + "e" + std::to_string(want.exponent);
  return "";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRandomValues = 100'000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kRandomValues = 100'000;
#else
constexpr int kRandomValues = 1'000'000;
#endif
#else
constexpr int kRandomValues = 1'000'000;
#endif

TEST(FormatFloatTest, SweepAgreesWithShortestDigitsAndLayout) {
  std::vector<double> values;
  // Every power of two (where the lower neighbour is nearer) and of ten, with
  // their neighbours, and the edges of fixed notation.
  auto add_with_neighbours = [&](double x) {
    double down = x, up = x;
    values.push_back(x);
    for (int i = 0; i < 3; ++i) {
      down = std::nextafter(down, 0.0);
      up = std::nextafter(up, std::numeric_limits<double>::infinity());
      values.push_back(down);
      if (std::isfinite(up)) values.push_back(up);
    }
  };
  for (int e = -1074; e <= 1023; ++e) add_with_neighbours(std::ldexp(1.0, e));
  for (int e = -323; e <= 308; ++e)
    add_with_neighbours(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
  for (double x : {9.5e-6, 9.99999e-6, 9.9999999999999999e15, 1e16 - 2, 123456789012345.67})
    add_with_neighbours(x);

  std::mt19937_64 rng(20240611);
  while (values.size() < static_cast<std::size_t>(kRandomValues)) {
    const std::uint64_t r = rng();
    double x;
    switch (r % 8) {
      case 0:
      case 1:
      case 2: {  // any finite bit pattern
        x = std::bit_cast<double>(rng());
        if (!std::isfinite(x)) continue;
        break;
      }
      case 3: {  // subnormal
        x = std::bit_cast<double>(rng() & 0x800fffffffffffffu);
        break;
      }
      case 4:
      case 5: {  // a short decimal read in, so its shortest text is that decimal
        const std::uint64_t digits = rng() % 17 + 1;
        const std::string mantissa = std::to_string(rng() % 100'000'000'000'000'000u).substr(0, digits);
        const int exponent = static_cast<int>(rng() % 640) - 330;
        x = std::strtod((mantissa + "e" + std::to_string(exponent)).c_str(), nullptr);
        if (!std::isfinite(x)) continue;
        break;
      }
      case 6: {  // quarter, half and whole numbers near 2^53, where exact ties live
        const std::uint64_t c = (rng() & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
        x = std::ldexp(static_cast<double>(c), static_cast<int>(rng() % 12) - 6);
        break;
      }
      default: {  // integers and prices
        x = (r >> 8) % 2 ? static_cast<double>(rng() >> (rng() % 64))
                         : static_cast<double>(rng() % 10'000'000) / 100.0;
        break;
      }
    }
    values.push_back(r >> 63 ? -x : x);
  }

  int failures = 0;
  for (double x : values) {
    const std::string problem = check_one(x);
    if (!problem.empty() && ++failures <= 10)
      ADD_FAILURE() << "bits 0x" << std::hex << std::bit_cast<std::uint64_t>(x) << ": " << problem;
  }
  EXPECT_EQ(failures, 0) << "of " << values.size() << " values";
}

}  // namespace
}  // namespace zorvat::json
