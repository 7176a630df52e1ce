#include "json/float_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <string>
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
      {999999999999999.9, "999999999999999.9"},
      {9999999999999998.0, "9999999999999998.0"},  // E = 15, all 16 digits
      {9.9999e-6, "9.9999e-6"},
      {1e23, "1e+23"},  // not exact: the nearest double is 9.999999999999999e22
      {2.2250738585072009e-308, "2.225073858507201e-308"},         // largest subnormal
      {20 * std::numeric_limits<double>::denorm_min(), "1e-322"},  // a rounder decimal in the interval
      {200 * std::numeric_limits<double>::denorm_min(), "9.9e-322"},
      {1125899906842624.25, "1125899906842624.2"},  // exact tie between two 17-digit candidates: even
      {1125899906842624.75, "1125899906842624.8"},
      {std::ldexp(1.0, 60), "1.152921504606847e+18"},  // lower neighbour nearer than the upper
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

// What the layout rules make of the shortest digits and exponent that the
// standard library finds.
std::string expected_text(double x) {
  if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  const std::string s(buf, r.ptr);  // "d.ddde+XX"
  const std::size_t e = s.find('e');
  const std::string digits = s.substr(0, 1) + (e > 1 ? s.substr(2, e - 2) : "");
  const int exp = std::stoi(s.substr(e + 1));
  const int n = static_cast<int>(digits.size());
  std::string t = std::signbit(x) ? "-" : "";
  if (exp < -5 || exp > 15) {
    t += digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "") + (exp < 0 ? "e-" : "e+") +
         std::to_string(std::abs(exp));
  } else if (exp < 0) {
    t += "0." + std::string(-exp - 1, '0') + digits;
  } else if (n <= exp + 1) {
    t += digits + std::string(exp + 1 - n, '0') + ".0";
  } else {
    t += digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
  }
  return t;
}

// Empty when `x` formats correctly, else what went wrong.
std::string check_one(double x) {
  const std::string text = format(x);
  const std::string want = expected_text(x);
  if (text != want) return text + " instead of " + want;
  if (std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)) != std::bit_cast<std::uint64_t>(x))
    return text + " does not read back";
  return "";
}

// Fewer under AddressSanitizer, which CI also runs.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kRandomValues = 100'000;
#else
constexpr std::size_t kRandomValues = 1'000'000;
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
  // Doubles c * 2^q whose rounding interval ends exactly on a multiple of
  // 10^(k+1), the length just short of c's: the lower end (c - 1/2) 2^q when
  // 5^(k+1) divides 2c - 1, the upper one when it divides 2c + 1. Whether that
  // end belongs to the interval depends on the parity of c, so take both.
  for (int q = 2; q <= 80; ++q) {
    const int k = static_cast<int>(std::floor(q * std::log10(2.0)));
    std::uint64_t m = 1;
    for (int i = 0; i <= k; ++i) m *= 5;
    if (m >= (std::uint64_t{1} << 52)) break;
    for (std::uint64_t residue : {(m + 1) / 2, (m - 1) / 2}) {
      std::uint64_t c = (std::uint64_t{1} << 52) + (residue + m - (std::uint64_t{1} << 52) % m) % m;
      for (int i = 0; i < 4 && c < (std::uint64_t{1} << 53); ++i, c += m)
        values.push_back(std::ldexp(static_cast<double>(c), q));
    }
  }

  std::mt19937_64 rng(20240611);
  const std::size_t total = values.size() + kRandomValues;
  while (values.size() < total) {
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

std::size_t differential_count() {
  // A longer run: ZORVAT_FLOAT_DIFF_COUNT=2000000000 (about two minutes per 10^9).
  if (const char* n = std::getenv("ZORVAT_FLOAT_DIFF_COUNT")) return std::strtoull(n, nullptr, 10);
  return kRandomValues * 4;
}

// Every binade's edges, then many random doubles of the kinds that take
// different paths, against the standard library's shortest digits.
TEST(FormatFloatTest, BinadeEdgesAndRandomKindsAgreeWithShortestDigits) {
  std::uint64_t checked = 0;
  int failures = 0;
  auto check = [&](std::uint64_t bits) {
    const double x = std::bit_cast<double>(bits);
    const std::string problem = check_one(x);
    ++checked;
    if (!problem.empty() && ++failures <= 10) ADD_FAILURE() << "bits 0x" << std::hex << bits << ": " << problem;
  };

  constexpr std::uint64_t kFraction = (std::uint64_t{1} << 52) - 1;
  for (std::uint64_t bits = 0; bits < 0x7ff0000000000000u; bits += std::uint64_t{1} << 52) {
    for (std::uint64_t f = 0; f < 4; ++f) {
      for (std::uint64_t sign : {std::uint64_t{0}, std::uint64_t{1} << 63}) {
        check(sign | bits | f);
        check(sign | bits | (kFraction - f));
        check(sign | bits | std::uint64_t{1} << (51 - f));
      }
    }
  }

  std::mt19937_64 rng(20261207);
  const std::size_t count = differential_count();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t r = rng();
    const std::uint64_t sign = r & (std::uint64_t{1} << 63);
    std::uint64_t bits = 0;
    switch (r % 4) {
      case 0:  // any bit pattern
        bits = r & ~(std::uint64_t{0x7ff} << 52);
        bits |= (rng() % 0x7ff) << 52;
        break;
      case 1:  // binades of fixed notation and around it, low bits often clear
        bits = sign | (rng() % 120 + 1023 - 60) << 52 | (rng() & kFraction & (~std::uint64_t{0} << (r >> 8) % 53));
        break;
      case 2: {  // a short decimal read in: prices, coordinates, values in [0, 1)
        const double scale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
        const double x = static_cast<double>(rng() >> (r >> 8) % 64) / scale[(r >> 16) % 10];
        bits = sign | std::bit_cast<std::uint64_t>(x);
        break;
      }
      default:  // subnormal
        bits = sign | (rng() & kFraction);
        break;
    }
    check(bits);
  }
  EXPECT_EQ(failures, 0) << "of " << checked << " values";
}

}  // namespace
}  // namespace zorvat::json
