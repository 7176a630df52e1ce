// What one UTF-8 sequence is: the one definition for the reader's
// validation and for the command's look at an input's bytes.
#pragma once

#include <cstddef>

namespace zorvat::json {

inline bool is_utf8_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the valid multi-byte sequence at `p` (2 to 4), or 0 when there is
// none (an ASCII byte included). The allowed range of the second byte is
// what rules out overlong forms, surrogates and code points above U+10FFFF.
// Reads only inside [p, end), p < end.
inline std::size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  using u8 = unsigned char;
  const std::size_t left = static_cast<std::size_t>(end - p);
  const u8 lead = p[0];
  if (lead < 0xC2) return 0;  // ASCII, a continuation byte, or C0/C1 (overlong)
  if (lead < 0xE0) return left >= 2 && is_utf8_continuation(p[1]) ? 2 : 0;
  if (lead < 0xF0) {
    if (left < 3) return 0;
    const u8 lo = lead == 0xE0 ? 0xA0 : 0x80;
    const u8 hi = lead == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi && is_utf8_continuation(p[2]) ? 3 : 0;
  }
  if (lead < 0xF5) {
    if (left < 4) return 0;
    const u8 lo = lead == 0xF0 ? 0x90 : 0x80;
    const u8 hi = lead == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi && is_utf8_continuation(p[2]) && is_utf8_continuation(p[3]) ? 4 : 0;
  }
  return 0;
}

}  // namespace zorvat::json
