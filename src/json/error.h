// The reader's errors and every text they carry: the error kinds with
// their descriptions (one enum, one table in error.cpp), the invalid-type
// wording, and the position text. The transform's messages are composed in
// transform/transform_error.h.
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
