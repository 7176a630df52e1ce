// Every text a caller can see, and the errors that carry them: the reader's
// error kinds with their descriptions (one enum, one table in error.cpp), the
// invalid-type wording, and the prefixes of the transform's messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zorvat::json {

class Value;

enum class ErrorKind : std::uint8_t {
  none,
  eof_list,
  eof_object,
  eof_string,
  eof_value,
  expected_colon,
  expected_list_comma_or_end,
  expected_object_comma_or_end,
  expected_ident,
  expected_value,
  invalid_escape,
  invalid_number,
  number_out_of_range,
  invalid_unicode_code_point,
  control_character,
  key_must_be_string,
  lone_leading_surrogate,
  trailing_comma,
  trailing_characters,
  unexpected_end_of_hex_escape,
  recursion_limit_exceeded,
  invalid_type,  // the description is composed; see the reader
};

// The fixed description of `kind` (empty for none and invalid_type).
std::string_view error_description(ErrorKind kind);

// The description for a top-level value that is not an array: "invalid
// type: <what>, expected a sequence". `first` is that value (a literal, number
// or string), or null when it is an object.
std::string invalid_type_description(const Value* first);

// Where an error's position is taken: just past the read position (the
// offending byte was not consumed) or at it (it was).
enum class Position : std::uint8_t { next_byte, consumed };

// A number that could not be read, and where its error is placed.
struct NumberError {
  ErrorKind kind;
  Position position;
};

// " at line <line> column <column>", the position that ends a reader error's
// text, held in place: reporting one needs no allocation.
class PositionText {
 public:
  PositionText() = default;  // empty: an error without a position
  PositionText(std::uint64_t line, std::uint64_t column);
  std::string_view view() const { return {data_, size_}; }

 private:
  char data_[64];  // " at line " + 20 digits + " column " + 20 digits
  std::size_t size_ = 0;
};

// A reader error as the caller sees it. Line counts from 1, column from 0
// (a byte count, so multi-byte characters count as several columns). Both are
// 64-bit: payloads over 4 GiB report exact positions.
struct ReaderError {
  ErrorKind kind = ErrorKind::none;
  std::string description;  // error_description(kind), or the composed invalid-type text
  std::uint64_t line = 1;
  std::uint64_t column = 0;

  // "<description> at line <line> column <column>"
  std::string text() const;
};

// Line and column of byte offset `offset` (0 <= offset <= size of `text`):
// the line is one plus the line feeds before the offset, the column the
// bytes between the last of them and the offset.
void locate(std::string_view text, std::uint64_t offset, std::uint64_t& line, std::uint64_t& column);

}  // namespace zorvat::json

namespace zorvat {

inline constexpr std::string_view kInvalidJsonPrefix = "invalid row-oriented JSON: ";
inline constexpr std::string_view kNotObjectPrefix = "expected a JSON object row, got: ";
inline constexpr std::string_view kPanicPrefix = "internal panic during columnarization: ";
inline constexpr std::string_view kUnknownPanic = "unknown panic in columnarize_json";

// Why a call produced no document, as fields; its message is built from them
// in one place (parts). The message is a fixed prefix, chosen by the kind,
// the detail, and for a reading error the position the reader gave; the
// binding joins the parts itself, so that it needs no C++ allocation to
// report one.
struct TransformError {
  enum class Kind : std::uint8_t {
    invalid_json,   // detail: the reader error's description; reader_kind, line and column set
    not_object,     // detail: the first non-object row as compact JSON
    panic,          // detail: the text an unexpected failure carried
    unknown_panic,  // an unexpected failure without a text (detail empty)
  };
  Kind kind;
  std::string detail;  // without the position
  // For invalid_json: which reader error, and where (as ReaderError counts).
  json::ErrorKind reader_kind = json::ErrorKind::none;
  std::uint64_t line = 0;
  std::uint64_t column = 0;

  static TransformError reading(json::ReaderError error);

  struct Parts {
    std::string_view prefix;
    std::string_view detail;
    json::PositionText position;  // empty but for invalid_json
  };
  // The message as prefix + detail + position. Views into this error.
  Parts parts() const;
  std::string message() const;
};

}  // namespace zorvat
