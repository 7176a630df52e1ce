// Shortest round-trip text of a finite double.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvat::json {

// The longest text format_float produces ("-0.000012345678901234568").
inline constexpr std::size_t kFloatTextMax = 24;

// Writes the text of finite `x` to `out` (room for kFloatTextMax bytes) and
// returns its length: the shortest digits that read back as `x` (ties to the
// even digit), fixed notation for decimal exponents -5..15 with ".0" on whole
// numbers, exponent notation ("1e+16", "1.5e-7") otherwise. Bytes of `out`
// past the returned length may be overwritten too. Thread safe.
std::size_t format_float(double x, char* out);

// The digits it writes, without the text: shortest_decimal in shortest_decimal.h.

}  // namespace zorvat::json
