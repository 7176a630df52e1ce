// The reader's number procedure. The conversion is deliberately not
// correctly rounded: an unsigned 64-bit significand (digits past it are
// dropped), a 32-bit decimal exponent and one rounded double operation per
// power-of-ten step. It decides the bits the writer later prints, so it is
// kept exactly as it is.
#pragma once

#include <cstdint>

#include "json/error.h"
#include "json/value.h"

namespace zorvat::json {

// Where an error's position is taken: just past the read position
// (the offending byte was not consumed) or at it (it was).
enum class Position : std::uint8_t { next_byte, consumed };

struct NumberStatus {
  ErrorKind error = ErrorKind::none;
  Position position = Position::next_byte;
};

// Reads the number at `cursor` (its '-' already consumed when `negative`)
// and advances `cursor` past it, or to the read position of an error.
NumberStatus read_number(const char*& cursor, const char* end, bool negative, Value& out);

// f * 10^exponent by the stepwise procedure; false when the result overflows.
bool scale_by_power_of_ten(double& f, std::int32_t exponent);

}  // namespace zorvat::json
