#include "json/reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/writer.h"

namespace zorvat::json {
namespace {

// What the reader makes of a payload: the rows written back compactly and
// joined by spaces, or "ERR " and the error text.
std::string read(std::string_view payload) {
  Arena arena;
  auto rows = read_rows(payload, arena);
  if (!rows) return "ERR " + rows.error().text();
  OutputBuffer out;
  for (const Value& row : rows.value()) {
    if (out.size() != 0) out.push_back(' ');
    write_json_value(out, row);
  }
  return std::string(out.view());
}

struct Case {
  std::string payload;
  std::string expected;
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(read(c.payload), c.expected) << "payload: " << c.payload;
}

TEST(ReaderTest, TopLevelAndWhitespace) {
  check({
      {"", "ERR EOF while parsing a value at line 1 column 0"},
      {"  \n ", "ERR EOF while parsing a value at line 2 column 1"},
      {"\n\n", "ERR EOF while parsing a value at line 3 column 0"},
      {"[]", ""},
      {" [ ] \r\n", ""},
      {"\t[\r\n1\t,\n2 ]\n", "1 2"},
      {"\f[]", "ERR expected value at line 1 column 1"},  // form feed is not whitespace
      {"\xEF\xBB\xBF[]", "ERR expected value at line 1 column 1"},
      {"x", "ERR expected value at line 1 column 1"},
      {"[] x", "ERR trailing characters at line 1 column 4"},
      {"[1] x", "ERR trailing characters at line 1 column 5"},
      {"[1]]", "ERR trailing characters at line 1 column 4"},
      {"[1] [2]", "ERR trailing characters at line 1 column 5"},
  });
}

TEST(ReaderTest, InvalidTypeNamesTheTopLevelValue) {
  check({
      {"{}", "ERR invalid type: map, expected a sequence at line 1 column 0"},
      {"  {\"a\":1}", "ERR invalid type: map, expected a sequence at line 1 column 2"},
      {"\n  {", "ERR invalid type: map, expected a sequence at line 2 column 2"},
      {"5", "ERR invalid type: integer `5`, expected a sequence at line 1 column 1"},
      {"-5", "ERR invalid type: integer `-5`, expected a sequence at line 1 column 2"},
      {"-9223372036854775808",
       "ERR invalid type: integer `-9223372036854775808`, expected a sequence at line 1 column 20"},
      {"18446744073709551615",
       "ERR invalid type: integer `18446744073709551615`, expected a sequence at line 1 column 20"},
      {"1.5", "ERR invalid type: floating point `1.5`, expected a sequence at line 1 column 3"},
      {"-0", "ERR invalid type: floating point `-0.0`, expected a sequence at line 1 column 2"},
      {"1e2", "ERR invalid type: floating point `100.0`, expected a sequence at line 1 column 3"},
      {"1e21", "ERR invalid type: floating point `1e+21`, expected a sequence at line 1 column 4"},
      {"true", "ERR invalid type: boolean `true`, expected a sequence at line 1 column 4"},
      {"false", "ERR invalid type: boolean `false`, expected a sequence at line 1 column 5"},
      {"null", "ERR invalid type: null, expected a sequence at line 1 column 4"},
      {"\"ab\"", "ERR invalid type: string \"ab\", expected a sequence at line 1 column 4"},
      {"5 x", "ERR invalid type: integer `5`, expected a sequence at line 1 column 1"},
      // The value's own error wins over the invalid type.
      {"tru", "ERR EOF while parsing a value at line 1 column 3"},
      {"trux", "ERR expected ident at line 1 column 4"},
      {"-", "ERR EOF while parsing a value at line 1 column 1"},
      {"01", "ERR invalid number at line 1 column 2"},
      {"\"a", "ERR EOF while parsing a string at line 1 column 2"},
      {"1e400", "ERR number out of range at line 1 column 5"},
  });
}

TEST(ReaderTest, Arrays) {
  check({
      {"[", "ERR EOF while parsing a list at line 1 column 1"},
      {"[1", "ERR EOF while parsing a list at line 1 column 2"},
      {"[1,", "ERR EOF while parsing a value at line 1 column 3"},
      {"[1, ", "ERR EOF while parsing a value at line 1 column 4"},
      {"[1,]", "ERR trailing comma at line 1 column 4"},
      {"[1, ]", "ERR trailing comma at line 1 column 5"},
      {"[1 2]", "ERR expected `,` or `]` at line 1 column 4"},
      {"[,1]", "ERR expected value at line 1 column 2"},
      {"[1,,2]", "ERR expected value at line 1 column 4"},
      {"[1, }", "ERR expected value at line 1 column 5"},
      {"[{}, 2, ]", "ERR trailing comma at line 1 column 9"},
      {"[[],[[]],{}]", "[] [[]] {}"},
      {"[[1,[2,[3]]]]", "[1,[2,[3]]]"},
      {"[[1}", "ERR expected `,` or `]` at line 1 column 4"},
  });
}

TEST(ReaderTest, Objects) {
  check({
      {"[{", "ERR EOF while parsing an object at line 1 column 2"},
      {"[{1:2}]", "ERR key must be a string at line 1 column 3"},
      {"[{\"a\" 1}]", "ERR expected `:` at line 1 column 7"},
      {"[{\"a\"", "ERR EOF while parsing an object at line 1 column 5"},
      {"[{\"a\":", "ERR EOF while parsing a value at line 1 column 6"},
      {"[{\"a\":1,}]", "ERR trailing comma at line 1 column 9"},
      {"[{\"a\":1 \"b\":2}]", "ERR expected `,` or `}` at line 1 column 9"},
      {"[{\"a\":1,2}]", "ERR key must be a string at line 1 column 9"},
      {"[{\"a\":1,", "ERR EOF while parsing a value at line 1 column 8"},
      {"[{\"a\":1", "ERR EOF while parsing an object at line 1 column 7"},
      {"[{\"a\":1]", "ERR expected `,` or `}` at line 1 column 8"},
      {"[{\"a\":1,\"b\":2,\"a\":3}]", "{\"a\":3,\"b\":2}"},
      {"[{\"B\":1,\"b\":2}]", "{\"B\":1,\"b\":2}"},
      {"[{\"a\":{\"x\":[]},\"a\":{}}]", "{\"a\":{}}"},
      {"[ { \"a\" : 1 , \"b\" : [ ] } ]", "{\"a\":1,\"b\":[]}"},
  });
}

TEST(ReaderTest, Literals) {
  check({
      {"[null,true,false]", "null true false"},
      {"[nul]", "ERR expected ident at line 1 column 5"},
      {"[nul", "ERR EOF while parsing a value at line 1 column 4"},
      {"[nullx]", "ERR expected `,` or `]` at line 1 column 6"},
      {"[truefalse]", "ERR expected `,` or `]` at line 1 column 6"},
      {"[fals]", "ERR expected ident at line 1 column 6"},
      {"[NaN]", "ERR expected value at line 1 column 2"},
      {"[Infinity]", "ERR expected value at line 1 column 2"},
      {"['a']", "ERR expected value at line 1 column 2"},
  });
}

TEST(ReaderTest, NumberGrammar) {
  check({
      {"[01]", "ERR invalid number at line 1 column 3"},
      {"[-01]", "ERR invalid number at line 1 column 4"},
      {"[-]", "ERR invalid number at line 1 column 3"},
      {"[-x]", "ERR invalid number at line 1 column 3"},
      {"[- 1]", "ERR invalid number at line 1 column 3"},
      {"[1.]", "ERR invalid number at line 1 column 4"},
      {"[1.", "ERR EOF while parsing a value at line 1 column 3"},
      {"[1.e5]", "ERR invalid number at line 1 column 4"},
      {"[1e]", "ERR invalid number at line 1 column 4"},
      {"[1e+]", "ERR invalid number at line 1 column 5"},
      {"[1e", "ERR EOF while parsing a value at line 1 column 3"},
      {"[1e-", "ERR EOF while parsing a value at line 1 column 4"},
      {"[.5]", "ERR expected value at line 1 column 2"},
      {"[+1]", "ERR expected value at line 1 column 2"},
      {"[0x1]", "ERR expected `,` or `]` at line 1 column 3"},
      {"[1.5.2]", "ERR expected `,` or `]` at line 1 column 5"},
      {"[0,-0,0.0,-0.0,1E5,1e05,1e+2,0e0]", "0 -0.0 0.0 -0.0 100000.0 100000.0 100.0 0.0"},
  });
}

TEST(ReaderTest, NumberFormsAtTheBoundaries) {
  check({
      {"[18446744073709551615]", "18446744073709551615"},
      {"[18446744073709551616]", "1.8446744073709552e+19"},
      {"[18446744073709551615.0]", "1.8446744073709552e+19"},
      {"[-9223372036854775808]", "-9223372036854775808"},
      {"[-9223372036854775809]", "-9.223372036854776e+18"},
      {"[-18446744073709551615]", "-1.8446744073709552e+19"},
      {"[100000000000000000000000]", "1e+23"},
  });
}

// The conversion is stepwise, not correctly rounded; these pin its bits.
TEST(ReaderTest, NumberConversionIsTheStepwiseProcedure) {
  check({
      {"[9007199254740993.0]", "9007199254740994.0"},
      {"[18518e30]", "1.8518000000000001e+34"},
      {"[1.7976931348623158e308]", "ERR number out of range at line 1 column 23"},
      {"[1.7976931348623157e308]", "1.7976931348623157e+308"},
      {"[0.1,0.2,0.3]", "0.1 0.2 0.3"},
      {"[1e400]", "ERR number out of range at line 1 column 6"},
      {"[-1e400]", "ERR number out of range at line 1 column 7"},
      {"[1e99999999999]", "ERR number out of range at line 1 column 13"},
      {"[1e2147483647]", "ERR number out of range at line 1 column 13"},
      {"[1e2147483648]", "ERR number out of range at line 1 column 13"},
      {"[1e-400,0e99999999999,1e-99999999999,-1e-99999999999]", "0.0 0.0 0.0 -0.0"},
      {"[1e-320]", "1e-320"},
      {"[5e-324]", "5e-324"},
      {"[1000e-311]", "1e-308"},
      // Digits past the significand are dropped (not rounded).
      {"[184467440737095516159]", "1.844674407370955e+20"},
      {"[0.18446744073709551615999]", "0.1844674407370955"},
  });
}

TEST(ReaderTest, Strings) {
  check({
      {"[\"a", "ERR EOF while parsing a string at line 1 column 3"},
      {"[\"\\x\"]", "ERR invalid escape at line 1 column 4"},
      {"[\"\\", "ERR EOF while parsing a string at line 1 column 3"},
      {std::string("[\"\x01\"]"),
       "ERR control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("[\"\0\"]", 5),
       "ERR control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[\"a\tb\"]",
       "ERR control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {"[\"a\nb\"]",
       "ERR control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"[\"\xFF\"]", "ERR invalid unicode code point at line 1 column 4"},
      {"[\"ab\xED\xA0\x80 \"]", "ERR invalid unicode code point at line 1 column 9"},
      {"[\"\xC0\xAF\"]", "ERR invalid unicode code point at line 1 column 5"},
      {"[\"\xF4\x90\x80\x80\"]", "ERR invalid unicode code point at line 1 column 7"},
      {"[\"\\u00e9\\t\" , \"\x7F\xC3\xA9\xE2\x82\xAC\"]", "\"\xC3\xA9\\t\" \"\x7F\xC3\xA9\xE2\x82\xAC\""},
      {"[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"]", "\"\\\"\\\\/\\b\\f\\n\\r\\t\""},
      {"[\"\\u0000\"]", "\"\\u0000\""},
      {"[\"\\u001F\\u0020\\u007f\"]", "\"\\u001f \x7F\""},
      {"[\"\\uD83D\\uDE00\",\"\\ud83d\\ude00\"]", "\"\xF0\x9F\x98\x80\" \"\xF0\x9F\x98\x80\""},
      {"[\"\\uFFFF\"]", "\"\xEF\xBF\xBF\""},
      {"[\"\", \"x\"]", "\"\" \"x\""},
  });
}

TEST(ReaderTest, UnicodeEscapesAndSurrogates) {
  check({
      {"[\"\\udc00\"]", "ERR lone leading surrogate in hex escape at line 1 column 8"},
      {"[\"\\ud800\"]", "ERR unexpected end of hex escape at line 1 column 9"},
      {"[\"\\ud800\\n\"]", "ERR unexpected end of hex escape at line 1 column 10"},
      {"[\"\\ud800\\u0041\"]", "ERR lone leading surrogate in hex escape at line 1 column 14"},
      {"[\"\\ud800\\ud800\"]", "ERR lone leading surrogate in hex escape at line 1 column 14"},
      {"[\"\\ud800", "ERR EOF while parsing a string at line 1 column 8"},
      {"[\"\\ud800\\", "ERR EOF while parsing a string at line 1 column 9"},
      {"[\"\\ud800\\u12", "ERR EOF while parsing a string at line 1 column 12"},
      {"[\"\\ud800\\uZZZZ\"]", "ERR invalid escape at line 1 column 14"},
      {"[\"\\u12\"]", "ERR invalid escape at line 1 column 8"},
      {"[\"\\u12", "ERR EOF while parsing a string at line 1 column 6"},
      {"[\"\\u12G4\"]", "ERR invalid escape at line 1 column 8"},
  });
}

TEST(ReaderTest, PositionsCountLinesAndBytes) {
  check({
      {"[\n1,\n2,\n]", "ERR trailing comma at line 4 column 1"},
      {"[1,\r\n2 x]", "ERR expected `,` or `]` at line 2 column 3"},
      {"[\"\xC3\xA9\xE2\x82\xAC\", x]", "ERR expected value at line 1 column 11"},
      {"[\r\r x]", "ERR expected value at line 1 column 5"},
      {"[\n\n\n  \t}", "ERR expected value at line 4 column 4"},
  });
}

TEST(ReaderTest, NestingLimitCountsTheTopLevelArray) {
  std::string deep127 = std::string(127, '[') + std::string(127, ']');
  std::string deep128 = std::string(128, '[') + std::string(128, ']');
  std::string expected = std::string(126, '[') + std::string(126, ']');
  check({
      {deep127, expected},
      {deep128, "ERR recursion limit exceeded at line 1 column 128"},
      {"[" + std::string(125, '[') + "{\"a\":1}" + std::string(125, ']') + "]",
       std::string(125, '[') + "{\"a\":1}" + std::string(125, ']')},
      {"[" + std::string(126, '[') + "{}" + std::string(126, ']') + "]",
       "ERR recursion limit exceeded at line 1 column 128"},
  });
  // Width is unlimited: only nesting counts.
  std::string wide = "[";
  for (int i = 0; i < 10000; ++i) wide += i ? ",[[]]" : "[[]]";
  wide += "]";
  Arena arena;
  auto rows = read_rows(wide, arena);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows.value().size, 10000u);
}

// Strings without escapes point into the payload; ones with escapes are
// assembled separately. Both read back the same bytes.
TEST(ReaderTest, UnescapedStringsAreBorrowed) {
  std::string payload = "[\"plain\",\"esc\\n\"]";
  Arena arena;
  auto rows = read_rows(payload, arena);
  ASSERT_TRUE(rows);
  Str plain = rows.value().data[0].as_string();
  Str escaped = rows.value().data[1].as_string();
  EXPECT_EQ(plain.data, payload.data() + 2);
  EXPECT_EQ(escaped.view(), "esc\n");
  EXPECT_TRUE(escaped.data < payload.data() || escaped.data >= payload.data() + payload.size());
}

TEST(ReaderTest, LargeObjectsKeepTheRepeatedKeyRule) {
  std::string payload = "[{";
  for (int i = 0; i < 5000; ++i) payload += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  payload += "\"k0\":\"last\",\"k4999\":true}]";
  Arena arena;
  auto rows = read_rows(payload, arena);
  ASSERT_TRUE(rows);
  const Object& o = rows.value().data[0].as_object();
  ASSERT_EQ(o.size(), 5000u);
  EXPECT_EQ(o[0].value.as_string().view(), "last");
  EXPECT_TRUE(o[4999].value.as_bool());
  EXPECT_EQ(o.find({"k2500", 5})->as_unsigned(), 2500u);
}

}  // namespace
}  // namespace zorvat::json
