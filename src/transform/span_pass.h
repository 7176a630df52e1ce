// The fast path: one validating pass over the payload that records where
// each cell's bytes are (no value tree), learns the columns and constants on
// the way, then writes the document mostly by copying those bytes.
//
// It never words an error. Whatever it does not fully handle (any grammar,
// UTF-8 or escape error, a row that is not an object, nesting past the limit,
// a number that might overflow, a payload past 4 GiB) it hands back, and the
// exact path (reader, row check, write_columnar) runs from the first byte:
// that path stays the one source of error text and position. When the pass
// accepts a payload, its bytes are the exact path's bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/buffer.h"
#include "json/result.h"

namespace zorvat::transform {

// Why the span pass handed a payload back.
struct SpanDecline {
  // True when the text may break the grammar (the exact reader will say
  // where, or find nothing); false when it stopped at something well formed
  // that it leaves to the exact path (a row that is not an object, a number
  // that might overflow, a payload too large for its 32-bit offsets).
  bool maybe_malformed;
  // The whole payload is valid UTF-8 (so no string can fail on it).
  bool utf8_valid;
};

Result<json::OutputBuffer, SpanDecline> columnarize_spans(std::string_view payload);

// How a number literal reads, for the pass and its tests.
struct NumberScan {
  const char* end = nullptr;  // past the literal; nullptr when the grammar is broken
  bool verbatim = false;      // the writer prints the number as exactly these bytes
  bool in_range = false;      // the number procedure cannot overflow on it
  // At most 19 digits and no exponent: `significand` (the digits as one
  // integer) and `fraction` (how many follow the point) are its reading.
  bool simple = false;
  std::uint32_t fraction = 0;
  std::uint64_t significand = 0;
};

// Scans the literal at `p` ('-' or a digit) within [p, end). Verbatim are the
// integers below 10^18 but -0, and the decimals without exponent of at most 15
// significant digits, decimal exponent -5 or more, that end in a non-zero
// digit or are exactly "<integer>.0": for those the procedure divides one
// exact integer by one exact power of ten (correctly rounded), no two of them
// share a double, so the shortest digits of the result are the literal's own.
NumberScan scan_number(const char* p, const char* end);

}  // namespace zorvat::transform
