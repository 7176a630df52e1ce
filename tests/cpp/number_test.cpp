#include "json/number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace zorvat::json {
namespace {

// Bit-identical values: same form and same bits (so -0.0 differs from 0.0).
bool identical(const Value& a, const Value& b) {
  if (a.kind() != b.kind() || a.form() != b.form()) return false;
  return a.as_unsigned() == b.as_unsigned();
}

// The procedure one digit at a time, as it is defined, for literals without
// exponent: digits join the significand while it stays within 2^64 - 1;
// integer digits past that raise the exponent, fraction digits are dropped.
Value reference_value(const std::string& text, bool negative) {
  std::uint64_t significand = 0;
  long exponent = 0;
  bool full = false, fraction = false, is_float = false;
  for (char c : text) {
    if (c == '.') {
      fraction = is_float = true;
      continue;
    }
    const unsigned d = static_cast<unsigned>(c - '0');
    if (!full && significand <= (UINT64_MAX - d) / 10) {
      significand = significand * 10 + d;
      exponent -= fraction;
    } else {
      full = is_float = true;
      exponent += !fraction;
    }
  }
  if (!is_float) return integer_literal_value(significand, negative);
  double f = static_cast<double>(significand);
  scale_by_power_of_ten(f, static_cast<std::int32_t>(exponent));
  return Value::floating(negative ? -f : f);
}

// The shortcut for plain numbers must give exactly what the general
// procedure gives, or decline; both give what the definition gives. Checked on numbers at every digit count
// around its limits, with and without sign and fraction.
TEST(NumberTest, SimpleShapesMatchTheGeneralProcedure) {
  std::mt19937_64 rng(20261207);
  std::vector<std::string> texts = {"0",
                                    "-0",
                                    "0.0",
                                    "-0.0",
                                    "7",
                                    "0.5",
                                    "-0.25",
                                    "10.10",
                                    "9223372036854775808",
                                    "9223372036854775809",
                                    "9999999999999999999",
                                    "18446744073709551615",
                                    "0.0000000000000000001",
                                    "1.000000000000000001",
                                    "00",
                                    "01",
                                    "1.",
                                    "1.e5",
                                    "1e5",
                                    "1E5",
                                    "12.5e-3",
                                    "1.5x"};
  for (int i = 0; i < 200000; ++i) {
    int int_digits = 1 + static_cast<int>(rng() % 21);
    int frac_digits = static_cast<int>(rng() % 22) - 2;  // negative: no fraction
    std::string t;
    for (int d = 0; d < int_digits; ++d) t += static_cast<char>('0' + (d == 0 ? 1 + rng() % 9 : rng() % 10));
    if (rng() % 8 == 0) t = "0";
    if (frac_digits > 0) {
      t += '.';
      for (int d = 0; d < frac_digits; ++d) t += static_cast<char>('0' + rng() % 10);
    }
    texts.push_back(t);
  }
  int shortcut_taken = 0;
  // What follows a number ends its last eight-digit word early; a long tail
  // lets every word be loaded whole.
  const std::size_t plain = texts.size();
  for (std::size_t i = 0; i < plain; i += 3) texts.push_back(texts[i] + (i % 2 ? "," : "]}"));
  for (std::size_t i = 1; i < plain; i += 3) texts.push_back(texts[i] + ",\"k\":12345678901234567890123456789}");
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string& text = texts[i];
    for (bool negative : {false, true}) {
      const char* end = text.data() + text.size();
      const char* fast_cursor = text.data();
      const char* slow_cursor = text.data();
      Value fast;
      SimpleNumber shape;
      const char* past = simple_shape(fast_cursor, end, shape);
      const bool taken = past != nullptr;
      if (taken) {
        fast = simple_result(simple_significand(fast_cursor, shape.int_digits, shape.fraction, end), shape.fraction,
                             negative);
      }
      if (taken) fast_cursor = past;
      auto slow = read_number(slow_cursor, end, negative);
      if (i < plain && slow.ok() && text.find_first_not_of("0123456789.") == std::string::npos) {
        ASSERT_TRUE(identical(slow.value(), reference_value(text, negative))) << (negative ? "-" : "") << text;
      }
      if (!taken) {
        EXPECT_EQ(fast_cursor, text.data()) << text;
        continue;
      }
      ++shortcut_taken;
      ASSERT_TRUE(slow.ok()) << text;
      EXPECT_TRUE(identical(fast, slow.value())) << (negative ? "-" : "") << text;
      EXPECT_EQ(fast_cursor, slow_cursor) << text;
    }
  }
  EXPECT_GT(shortcut_taken, 100000);
}

// The long-decimal test set against the shortest digits it stands for, on
// literals at the decisions' edges: the first 15 to 19 significant digits of
// a double and of its rounding interval's ends (exact in a long double), one
// unit either side, each asked of the double and its neighbours, so that ties
// to even, multiples of ten just inside and outside the interval, and the
// nearest integer on either side all come up.
TEST(NumberTest, LongDecimalTestAgreesWithTheShortestDigits) {
  const char* n = std::getenv("ZORVAT_LITERAL_COUNT");  // a longer run: ZORVAT_LITERAL_COUNT=100000000
  const std::size_t doubles = (n != nullptr ? std::strtoull(n, nullptr, 10) : 1000000) / 100;
  std::mt19937_64 rng(20261209);
  std::size_t printed = 0, checked = 0;
  for (std::size_t i = 0; i < doubles; ++i) {
    // c * 2^q from about 10^-7 to 10^17; some powers of two and some even c.
    std::uint64_t c = (rng() >> 11) | (std::uint64_t{1} << 52);
    if (i % 16 == 0) c = std::uint64_t{1} << 52;
    if (i % 3 == 0) c &= ~std::uint64_t{1};
    const int q = -76 + static_cast<int>(rng() % 84);
    const double x = std::ldexp(static_cast<double>(c), q);
    for (int end = -1; end <= 1; ++end) {
      char text[160];
      const long double at = std::ldexp(static_cast<long double>(2 * c + end), q - 1);
      std::snprintf(text, sizeof text, "%.90Lf", at);
      const std::string exact(text);
      const std::size_t point = exact.find('.');
      const std::size_t first = exact.find_first_not_of("0.");
      for (std::size_t digits = 15; digits <= 19; ++digits) {
        // The first `digits` significant digits, and their last position.
        std::uint64_t v = 0;
        std::size_t f = 0, taken = 0;
        for (std::size_t j = first; taken < digits && j < exact.size(); ++j) {
          if (j == point) continue;
          v = v * 10 + static_cast<unsigned>(exact[j] - '0');
          ++taken;
          if (j > point) f = j - point;
        }
        if (f == 0 || f >= kPowersOfFive.size() || (first < point && point - first > 16)) continue;
        for (std::uint64_t w : {v - 1, v, v + 1}) {
          for (double value : {std::nextafter(x, 0.0), x, std::nextafter(x, 1e300)}) {
            const auto last = static_cast<unsigned>(w % 10);
            const bool expected = shortest_digits_are(value, w, f);
            ASSERT_EQ(prints_in_its_digits(value, w, f, last), expected)
                << w << "e-" << f << " against " << exact << " (" << value << ")";
            ASSERT_EQ(prints_in_its_digits(-value, w, f, last), expected) << w << "e-" << f;
            printed += expected;
            ++checked;
          }
        }
      }
    }
  }
  // A generator whose literals never print as read would pass the above.
  EXPECT_GT(printed, checked / 50);
}

}  // namespace
}  // namespace zorvat::json
