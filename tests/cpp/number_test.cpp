#include "json/number.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zorvat::json
