// Byte-level string scanning for the reader: finding the end of an
// escape-free run and validating UTF-8.
#pragma once

#include <cstddef>

namespace zorvat::json {

// The first byte in [p, end) that is '"', '\\' or below 0x20; `end` if none.
// Bytes 0x7F and above are not special here. Reads only inside [p, end).
const char* find_string_special(const char* p, const char* end);

// True when [p, p + n) is valid UTF-8: no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated or stray continuation bytes.
bool is_valid_utf8(const char* p, std::size_t n);

}  // namespace zorvat::json
