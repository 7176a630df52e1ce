// JSON strings at the byte level, for the reader and the span pass alike:
// finding the end of an escape-free run, validating UTF-8, and the one
// reading of escapes (checking a string's escapes, decoding its content,
// writing a code point as UTF-8).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "json/error.h"
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace zorvat::json {

// The first byte in [p, end) that is '"', '\\' or below 0x20; `end` if none.
// Bytes 0x7F and above are not special here. Reads only inside [p, end).
const char* find_string_special(const char* p, const char* end);

#ifdef __SSE2__
// One bit per byte of the 16 at `p` that is '"', '\\' or below 0x20.
inline unsigned special_mask16(const void* p) {
  const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
  const __m128i limit = _mm_set1_epi8(0x1F);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}
#endif

// find_string_special with the first 16 bytes tested inline: most keys and
// short values end there, and this saves the call into the vector search.
inline const char* find_string_special_inline(const char* p, const char* end) {
#ifdef __SSE2__
  if (end - p >= 16) {
    if (unsigned mask = special_mask16(p)) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  return find_string_special(p, end);
}

// The first byte in [p, end) that is 0x80 or above; `end` if none.
const char* find_non_ascii(const char* p, const char* end);

// True when [p, p + n) is valid UTF-8: no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated or stray continuation bytes.
bool is_valid_utf8(const char* p, std::size_t n);

// The JSON whitespace bytes: space, line feed, carriage return, tab.
inline bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The value of a hex digit, or -1.
inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The character a one-letter escape stands for (the letter after the
// backslash: " \ / b f n r t), or -1 for any other letter, 'u' included.
inline int short_escape_value(char letter) {
  switch (letter) {
    case '"':
    case '\\':
    case '/':
      return letter;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return -1;
  }
}

// Appends code point `cp` (at most U+10FFFF, not a surrogate) as UTF-8.
inline void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// One escape, from just past its backslash, read by the grammar's rules: the
// one reading of escapes for the reader, the span pass's check and its
// decoder.
struct Escape {
  const char* next;          // past it; after an error, where reading stopped
  std::uint32_t code_point;  // what it stands for
  ErrorKind error;           // none when it reads
  bool writer_form;          // the writer spells that character as these bytes
};

namespace detail {

// The value of the four hex digits at `p` into `out`; false when one is not
// a hex digit. Forced inline: with two callers the compiler makes a call of
// it, which costs every \u escape a few instructions.
[[gnu::always_inline]] inline bool read_hex4(const char* p, std::uint32_t& out) {
  const int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]), d = hex_value(p[3]);
  if ((a | b | c | d) < 0) return false;
  out = static_cast<std::uint32_t>((a << 12) | (b << 8) | (c << 4) | d);
  return true;
}

inline Escape escape_failed(const char* at, ErrorKind kind) { return Escape{at, 0, kind, false}; }

// The rest of a \u escape whose unit `lead` is a leading surrogate, `p` just
// past its digits: the trailing one must follow at once. Kept apart so that
// read_escape reads as its common path: short escapes and one-unit \u ones.
inline Escape read_surrogate_pair(const char* p, const char* end, std::uint32_t lead) {
  if (p == end) return escape_failed(p, ErrorKind::eof_string);
  if (*p++ != '\\') return escape_failed(p, ErrorKind::unexpected_end_of_hex_escape);
  if (p == end) return escape_failed(p, ErrorKind::eof_string);
  if (*p++ != 'u') return escape_failed(p, ErrorKind::unexpected_end_of_hex_escape);
  if (end - p < 4) return escape_failed(end, ErrorKind::eof_string);
  std::uint32_t low = 0;
  const bool hex = read_hex4(p, low);
  p += 4;
  if (!hex) return escape_failed(p, ErrorKind::invalid_escape);
  if (low < 0xDC00 || low > 0xDFFF) return escape_failed(p, ErrorKind::lone_leading_surrogate);
  return {p, 0x10000 + ((lead - 0xD800) << 10) + (low - 0xDC00), ErrorKind::none, false};
}

// Whether the writer spells `unit`, a \u escape's value whose four digits end
// at `digits_end`, as those digits: the controls without a short escape, as
// \u00 and two lower-case digits.
inline bool is_writer_hex_form(std::uint32_t unit, const char* digits_end) {
  const bool short_form = unit == '\b' || unit == '\t' || unit == '\n' || unit == '\f' || unit == '\r';
  return unit < 0x20 && !short_form && digits_end[-4] == '0' && digits_end[-3] == '0' &&
         !(digits_end[-1] >= 'A' && digits_end[-1] <= 'F');
}

}  // namespace detail

// The escape whose backslash is just before `p`.
inline Escape read_escape(const char* p, const char* end) {
  using detail::escape_failed;
  if (p == end) return escape_failed(p, ErrorKind::eof_string);
  const char letter = *p++;
  if (letter != 'u') {
    const int c = short_escape_value(letter);
    if (c < 0) return escape_failed(p, ErrorKind::invalid_escape);
    return {p, static_cast<std::uint32_t>(c), ErrorKind::none, letter != '/'};  // '/' is written bare
  }
  if (end - p < 4) return escape_failed(end, ErrorKind::eof_string);
  std::uint32_t unit = 0;
  const bool hex = detail::read_hex4(p, unit);
  p += 4;
  if (!hex) return escape_failed(p, ErrorKind::invalid_escape);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return escape_failed(p, ErrorKind::lone_leading_surrogate);
  if (unit < 0xD800 || unit > 0xDBFF) return {p, unit, ErrorKind::none, detail::is_writer_hex_form(unit, p)};
  return detail::read_surrogate_pair(p, end, unit);
}

// From just past a string's opening quote to just past its closing one, or
// nullptr where the reader would fail (UTF-8 aside: the caller has checked
// it). `escaped` is set when it holds an escape; `verbatim` drops when the
// writer spells its content otherwise. Inline up to the usual plain string;
// scan_string_from goes on from its first special byte `q`.
const char* scan_string_from(const char* q, const char* end, bool& verbatim, bool& escaped);
inline const char* scan_string(const char* p, const char* end, bool& verbatim, bool& escaped) {
  const char* q = find_string_special_inline(p, end);
  return q != end && *q == '"' ? q + 1 : scan_string_from(q, end, verbatim, escaped);
}

// The content between a string's quotes, [p, end), whose escapes
// scan_string has checked, decoded into `out`.
void decode_string(const char* p, const char* end, std::string& out);

}  // namespace zorvat::json
