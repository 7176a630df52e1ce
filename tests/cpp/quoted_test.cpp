#include "json/quoted.h"

#include <gtest/gtest.h>

#include <string>

namespace zorvat::json {
namespace {

std::string quote_of(std::string_view s) {
  std::string out;
  append_quoted(out, s);
  return out;
}

TEST(QuotedTest, Characters) {
  using namespace std::string_literals;
  struct Case {
    std::string in;
    std::string want;
  } cases[] = {
      {"", R"("")"},
      {"ab", R"("ab")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"it's", R"("it's")"},
      {" ~", R"(" ~")"},
      {"\t\n\r", R"("\t\n\r")"},
      {"a\0b"s, R"("a\0b")"},
      {"\x01\x08\x0B\x0C\x1B\x1F", R"("\u{1}\u{8}\u{b}\u{c}\u{1b}\u{1f}")"},
      {"\x7F", R"("\u{7f}")"},
      {"\xC2\x80\xC2\x85\xC2\x9F", R"("\u{80}\u{85}\u{9f}")"},
      {"\xC2\xA0", R"("\u{a0}")"},  // no-break space: a separator
      {"\xC2\xA1\xC3\xA9", "\"\xC2\xA1\xC3\xA9\""},
      {"\xC2\xAD", R"("\u{ad}")"},        // soft hyphen: Cf
      {"e\xCC\x81", R"("e\u{301}")"},     // combining acute extends the e
      {"\xEF\xBE\x9E", R"("\u{ff9e}")"},  // Lm, yet a grapheme extender
      {"\xE0\xA6\xBE", R"("\u{9be}")"},   // spacing mark that extends
      {"\xEF\xB8\x8F", R"("\u{fe0f}")"},  // variation selector
      {"\xE2\x80\x8B", R"("\u{200b}")"},
      {"\xE2\x80\xA8\xE3\x80\x80", R"("\u{2028}\u{3000}")"},  // line and ideographic space
      {"\xCD\xB8", R"("\u{378}")"},                           // unassigned
      {"\xEE\x80\x80\xEF\xA3\xBF", R"("\u{e000}\u{f8ff}")"},
      {"\xF3\xB0\x80\x80\xF4\x8F\xBF\xBD", R"("\u{f0000}\u{10fffd}")"},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", R"("\u{ffff}\u{10ffff}")"},  // noncharacters
      {"\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},
      {"\xE4\xB8\xAD\xE6\x96\x87", "\"\xE4\xB8\xAD\xE6\x96\x87\""},  // CJK
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},                  // U+1F600
      {"\xF3\xA0\x84\x80", R"("\u{e0100}")"},                        // supplementary variation selector
  };
  for (const Case& c : cases) EXPECT_EQ(quote_of(c.in), c.want) << c.want;
}

TEST(QuotedTest, AppendsToWhatIsThere) {
  std::string out = "string ";
  append_quoted(out, "x");
  EXPECT_EQ(out, "string \"x\"");
}

}  // namespace
}  // namespace zorvat::json
