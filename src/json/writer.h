// The compact JSON writer: no whitespace anywhere, only the 32 control
// characters, '"' and '\\' escaped (\b \t \n \f \r in their short forms,
// the others as lower-case \u00XX), integers in their decimal form and floats
// by format_float. It has no failure outcome.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/buffer.h"
#include "json/float_format.h"
#include "json/value.h"

namespace zorvat::json {

// Appends the compact text of `v`. Iterative: nesting depth costs heap, not
// C stack. Read only; thread safe for distinct sinks.
void write_json_value(OutputBuffer& out, const Value& v);

// Appends the number `v` (integers in decimal, floats by format_float, the
// usual case inline; a float that is not finite as null).
void write_other_number(OutputBuffer& out, const Value& v);
inline void write_number(OutputBuffer& out, const Value& v) {
  if (v.form() != NumberForm::floating || !std::isfinite(v.as_float())) return write_other_number(out, v);
  out.commit(format_float(v.as_float(), out.reserve(kFloatTextMax)));
}

// Appends `s` as a JSON string: quotes, escapes, raw UTF-8 otherwise.
void write_json_string(OutputBuffer& out, Str s);
// The same for a string known to hold no byte that needs an escape (none
// that find_string_special stops at): copied whole between its quotes.
inline void write_plain_string(OutputBuffer& out, Str s) {
  char* w = out.reserve(s.size + 2);
  w[0] = '"';
  std::memcpy(w + 1, s.data, s.size);
  w[s.size + 1] = '"';
  out.commit(s.size + 2);
}

// Decimal text of an integer, written at the end of `scratch`; returns it.
std::string_view format_unsigned(std::uint64_t v, char (&scratch)[20]);
// `v` must be negative; the most negative value is handled without overflow.
std::string_view format_negative(std::int64_t v, char (&scratch)[20]);

}  // namespace zorvat::json
