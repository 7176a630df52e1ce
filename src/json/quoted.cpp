#include "json/quoted.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

#include "json/strings.h"

namespace zorvat::json {
namespace {

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "json/unicode_tables.inc"

template <std::size_t N>
constexpr bool sorted_and_disjoint(const CodeRange (&ranges)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (ranges[i].first > ranges[i].last) return false;
    if (i > 0 && ranges[i - 1].last >= ranges[i].first) return false;
  }
  return true;
}
// The binary search below depends on it.
static_assert(sorted_and_disjoint(kPrintableRanges));
static_assert(sorted_and_disjoint(kGraphemeExtendRanges));

template <std::size_t N>
bool contains(const CodeRange (&ranges)[N], char32_t c) {
  const CodeRange* after = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                            [](char32_t v, const CodeRange& r) { return v < r.first; });
  return after != std::begin(ranges) && c <= after[-1].last;
}

// Only for U+00A0 and up. Private use code points are not printable (Co).
bool shows_as_itself(char32_t c) {
  return contains(kPrintableRanges, c) && !contains(kGraphemeExtendRanges, c);
}

void append_hex_escape(std::string& out, char32_t c) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out.push_back(digits[--n]);
  out.push_back('}');
}

std::size_t lead_length(unsigned char b) { return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1; }

void append_ascii(std::string& out, unsigned char b) {
  static constexpr std::pair<char, const char*> kNamed[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\t', "\\t"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\0', "\\0"}};
  for (const auto& [c, text] : kNamed) {
    if (b == static_cast<unsigned char>(c)) return void(out += text);
  }
  if (b >= 0x20 && b < 0x7F) return out.push_back(static_cast<char>(b));
  append_hex_escape(out, b);
}

}  // namespace

void append_quoted(std::string& out, std::string_view s) {
  out.push_back('"');
  const char* p = s.data();
  const char* const end = p + s.size();
  while (p != end) {
    const auto lead = static_cast<unsigned char>(*p);
    if (lead < 0x80) {
      append_ascii(out, lead);
      ++p;
      continue;
    }
    const std::size_t len = lead_length(lead);
    if (len == 1 || len > static_cast<std::size_t>(end - p) || !is_valid_utf8(p, len)) {
      // Not reachable with valid input; a stray byte shows as U+FFFD rather
      // than breaking the message's encoding.
      out += "\xEF\xBF\xBD";
      ++p;
      continue;
    }
    char32_t c = lead & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) c = (c << 6) | (static_cast<unsigned char>(p[i]) & 0x3F);
    if (c >= 0xA0 && shows_as_itself(c)) {
      out.append(p, len);
    } else {
      append_hex_escape(out, c);  // U+0080..U+009F, or not shown as itself
    }
    p += len;
  }
  out.push_back('"');
}

}  // namespace zorvat::json
