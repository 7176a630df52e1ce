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
// text, written into a fixed buffer (the widest numbers fit).
class PositionText {
 public:
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

// Why a call produced no document, as data: its kind and, for a reading
// error, the reader error's kind, line and column; the detail without the
// position. The message is a fixed prefix, chosen by the kind, then the
// tail: the detail, and a reading error's position. It is composed once,
// from those fields, when the error is made (the one place), so that
// reporting it needs no further C++ allocation: the binding joins prefix and
// tail itself.
class TransformError {
 public:
  enum class Kind : std::uint8_t {
    invalid_json,   // detail: the reader error's description
    not_object,     // detail: the first non-object row as compact JSON
    panic,          // detail: the text an unexpected failure carried
    unknown_panic,  // an unexpected failure without a text (detail fixed)
  };

  static TransformError reading(const json::ReaderError& error);
  static TransformError not_object(std::string row);
  static TransformError panic(std::string what);
  // Allocates nothing: what is left when even a text could not be copied.
  static TransformError unknown_panic() noexcept;

  Kind kind() const { return kind_; }
  // For invalid_json (else none, 0, 0): which reader error, and where, as
  // ReaderError counts.
  json::ErrorKind reader_kind() const { return reader_kind_; }
  std::uint64_t line() const { return line_; }
  std::uint64_t column() const { return column_; }
  std::string_view detail() const {
    return kind_ == Kind::unknown_panic ? kUnknownPanic : std::string_view(tail_).substr(0, detail_size_);
  }

  std::string_view prefix() const { return kind_ == Kind::invalid_json ? kInvalidJsonPrefix
                                           : kind_ == Kind::not_object ? kNotObjectPrefix
                                                                        : kPanicPrefix; }
  // The message after the prefix: the detail, then " at line L column C"
  // for a reading error.
  std::string_view tail() const { return kind_ == Kind::unknown_panic ? kUnknownPanic : std::string_view(tail_); }
  std::string message() const;

 private:
  TransformError(Kind kind, std::string detail, json::ErrorKind reader_kind, std::uint64_t line, std::uint64_t column);
  explicit TransformError(Kind kind) noexcept : kind_(kind) {}

  Kind kind_;
  json::ErrorKind reader_kind_ = json::ErrorKind::none;
  std::uint64_t line_ = 0;
  std::uint64_t column_ = 0;
  std::size_t detail_size_ = 0;
  std::string tail_;
};

}  // namespace zorvat
