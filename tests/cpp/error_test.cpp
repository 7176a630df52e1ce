// A transform error's fields, and its message built from them: what the
// command reads (kind, line, column) must be what the message says, on
// both paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "json/error.h"
#include "transform/pipeline.h"

namespace zorvat {
namespace {

using transform::TransformError;
using Kind = TransformError::Kind;
using json::ErrorKind;

struct FieldsCase {
  std::string_view payload;
  Kind kind;
  ErrorKind reader_kind;
  std::uint64_t line;
  std::uint64_t column;
  std::string_view detail;
  std::string_view message;
};

TEST(TransformErrorTest, FieldsAndMessage) {
  const FieldsCase cases[] = {
      {R"([{"a":}])", Kind::invalid_json, ErrorKind::expected_value, 1, 7, "expected value",
       "invalid row-oriented JSON: expected value at line 1 column 7"},
      {"[{\"a\":1},\n\n  {\"a\":tru}]", Kind::invalid_json, ErrorKind::expected_ident, 3, 11, "expected ident",
       "invalid row-oriented JSON: expected ident at line 3 column 11"},
      {"[{\"a\":1}]\n{\"a\":2}", Kind::invalid_json, ErrorKind::trailing_characters, 2, 1, "trailing characters",
       "invalid row-oriented JSON: trailing characters at line 2 column 1"},
      {"[{\"a\":\"Jos\xE9\"}]", Kind::invalid_json, ErrorKind::invalid_unicode_code_point, 1, 12,
       "invalid unicode code point", "invalid row-oriented JSON: invalid unicode code point at line 1 column 12"},
      {R"({"a":1})", Kind::invalid_json, ErrorKind::invalid_type, 1, 0, "invalid type: map, expected a sequence",
       "invalid row-oriented JSON: invalid type: map, expected a sequence at line 1 column 0"},
      {"1.5", Kind::invalid_json, ErrorKind::invalid_type, 1, 3, "invalid type: floating point `1.5`, expected a sequence",
       "invalid row-oriented JSON: invalid type: floating point `1.5`, expected a sequence at line 1 column 3"},
      {"", Kind::invalid_json, ErrorKind::eof_value, 1, 0, "EOF while parsing a value",
       "invalid row-oriented JSON: EOF while parsing a value at line 1 column 0"},
      {R"([{"a":1},[1, "x"]])", Kind::not_object, ErrorKind::none, 0, 0, R"([1,"x"])",
       R"(expected a JSON object row, got: [1,"x"])"},
  };
  for (const FieldsCase& c : cases) {
    for (const bool exact : {false, true}) {
      SCOPED_TRACE(std::string(c.payload) + (exact ? " (exact path)" : " (span pass first)"));
      const transform::Outcome o = exact ? transform::exact_path(c.payload) : transform::columnarize_json(c.payload);
      ASSERT_FALSE(o.ok());
      const TransformError& e = o.error();
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_EQ(e.reader_kind(), c.reader_kind);
      EXPECT_EQ(e.line(), c.line);
      EXPECT_EQ(e.column(), c.column);
      EXPECT_EQ(e.detail(), c.detail);
      EXPECT_EQ(std::string(e.prefix()) + std::string(e.tail()), c.message);
      EXPECT_EQ(e.message(), c.message);
    }
  }
}

// Errors made by hand: the position's widest numbers, and the panics, which
// have no position.
TEST(TransformErrorTest, MadeByHand) {
  const std::uint64_t most = UINT64_MAX;
  const struct {
    TransformError error;
    std::string_view detail;
    std::string_view message;
  } cases[] = {
      {TransformError::reading({ErrorKind::number_out_of_range, "number out of range", most, most}),
       "number out of range",
       "invalid row-oriented JSON: number out of range at line 18446744073709551615 column 18446744073709551615"},
      {TransformError::panic("index 7 out of range"), "index 7 out of range",
       "internal panic during columnarization: index 7 out of range"},
      {TransformError::unknown_panic(), "unknown panic in columnarize_json",
       "internal panic during columnarization: unknown panic in columnarize_json"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.detail(), c.detail);
    EXPECT_EQ(std::string(c.error.prefix()) + std::string(c.error.tail()), c.message);
    EXPECT_EQ(c.error.message(), c.message);
  }
  // The reader's own text ends with the same position.
  const json::ReaderError reader{ErrorKind::trailing_comma, "trailing comma", 12, 0};
  EXPECT_EQ(reader.text(), "trailing comma at line 12 column 0");
  EXPECT_EQ(TransformError::reading(reader).message(), "invalid row-oriented JSON: " + reader.text());
}

}  // namespace
}  // namespace zorvat
