// The reader's error kinds and their texts: one enum, one table, so the
// whole contract of what a caller can see is in one place (error.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvat::json {

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

// A reader error as the caller sees it. Line counts from 1, column from 0
// (a byte count, so multi-byte characters count as several columns). Both are
// 64-bit: payloads over 4 GiB report exact positions.
struct ReaderError {
  std::string description;
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
