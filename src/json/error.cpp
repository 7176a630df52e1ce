#include "json/error.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "json/float_format.h"
#include "json/quoted.h"
#include "json/value.h"

namespace zorvat::json {

std::string_view error_description(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::none:
    case ErrorKind::invalid_type:
      return {};
    case ErrorKind::eof_list:
      return "EOF while parsing a list";
    case ErrorKind::eof_object:
      return "EOF while parsing an object";
    case ErrorKind::eof_string:
      return "EOF while parsing a string";
    case ErrorKind::eof_value:
      return "EOF while parsing a value";
    case ErrorKind::expected_colon:
      return "expected `:`";
    case ErrorKind::expected_list_comma_or_end:
      return "expected `,` or `]`";
    case ErrorKind::expected_object_comma_or_end:
      return "expected `,` or `}`";
    case ErrorKind::expected_ident:
      return "expected ident";
    case ErrorKind::expected_value:
      return "expected value";
    case ErrorKind::invalid_escape:
      return "invalid escape";
    case ErrorKind::invalid_number:
      return "invalid number";
    case ErrorKind::number_out_of_range:
      return "number out of range";
    case ErrorKind::invalid_unicode_code_point:
      return "invalid unicode code point";
    case ErrorKind::control_character:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ErrorKind::key_must_be_string:
      return "key must be a string";
    case ErrorKind::lone_leading_surrogate:
      return "lone leading surrogate in hex escape";
    case ErrorKind::trailing_comma:
      return "trailing comma";
    case ErrorKind::trailing_characters:
      return "trailing characters";
    case ErrorKind::unexpected_end_of_hex_escape:
      return "unexpected end of hex escape";
    case ErrorKind::recursion_limit_exceeded:
      return "recursion limit exceeded";
  }
  return {};
}

std::string invalid_type_description(const Value* first) {
  std::string d = "invalid type: ";
  if (first == nullptr) {
    d += "map";
  } else {
    const Value& v = *first;
    switch (v.kind()) {
      case Kind::null:
        d += "null";
        break;
      case Kind::boolean:
        d += v.as_bool() ? "boolean `true`" : "boolean `false`";
        break;
      case Kind::number:
        if (v.form() == NumberForm::floating) {
          char text[kFloatTextMax];
          d += "floating point `";
          d.append(text, format_float(v.as_float(), text));
        } else {
          d += "integer `";
          if (v.form() == NumberForm::negative_integer) d += '-';
          d += std::to_string(v.form() == NumberForm::unsigned_integer
                                  ? v.as_unsigned()
                                  : 0 - static_cast<std::uint64_t>(v.as_negative()));
        }
        d += "`";
        break;
      case Kind::string:
        d += "string ";
        append_quoted(d, v.as_string().view());
        break;
      case Kind::array:
      case Kind::object:
        break;  // not read as a first value that is not an array
    }
  }
  d += ", expected a sequence";
  return d;
}

PositionText::PositionText(std::uint64_t line, std::uint64_t column) {
  char* p = data_;
  const auto put = [&](std::string_view s) { p = std::copy(s.begin(), s.end(), p); };
  char* const end = data_ + sizeof data_;
  put(" at line ");
  p = std::to_chars(p, end, line).ptr;
  put(" column ");
  p = std::to_chars(p, end, column).ptr;
  size_ = static_cast<std::size_t>(p - data_);
}

std::string ReaderError::text() const { return description + std::string(PositionText(line, column).view()); }

void locate(std::string_view text, std::uint64_t offset, std::uint64_t& line, std::uint64_t& column) {
  const char* begin = text.data();
  const char* at = begin + offset;
  std::uint64_t feeds = 0;
  const char* line_start = begin;
  // memchr runs word-at-a-time, which matters for multi-GiB payloads.
  for (const char* p = begin; p < at;) {
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(at - p));
    if (hit == nullptr) break;
    ++feeds;
    p = static_cast<const char*>(hit) + 1;
    line_start = p;
  }
  line = feeds + 1;
  column = static_cast<std::uint64_t>(at - line_start);
}

}  // namespace zorvat::json
