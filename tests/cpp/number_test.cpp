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

// The shortcut for plain numbers must give exactly what the general
// procedure gives, or decline. Checked on numbers at every digit count
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
  // What follows a number ends its last eight-digit word early.
  const std::size_t plain = texts.size();
  for (std::size_t i = 0; i < plain; i += 3) texts.push_back(texts[i] + (i % 2 ? "," : "]}"));
  for (const std::string& text : texts) {
    for (bool negative : {false, true}) {
      const char* end = text.data() + text.size();
      const char* fast_cursor = text.data();
      const char* slow_cursor = text.data();
      Value fast;
      bool taken = read_simple_number(fast_cursor, end, negative, fast);
      auto slow = read_number(slow_cursor, end, negative);
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
