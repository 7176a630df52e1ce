#include "json/writer.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "base/stack.h"
#include "json/float_format.h"
#include "json/strings.h"

namespace zorvat::json {
namespace {

// Escape letter per byte: 0 = copy unchanged, 'u' = \u00XX, otherwise the
// letter written after a backslash.
constexpr auto kEscapeTable = [] {
  struct Table {
    char entry[256];
  } t{};
  for (int c = 0; c < 0x20; ++c) t.entry[c] = 'u';
  t.entry[static_cast<unsigned char>('\b')] = 'b';
  t.entry[static_cast<unsigned char>('\t')] = 't';
  t.entry[static_cast<unsigned char>('\n')] = 'n';
  t.entry[static_cast<unsigned char>('\f')] = 'f';
  t.entry[static_cast<unsigned char>('\r')] = 'r';
  t.entry[static_cast<unsigned char>('"')] = '"';
  t.entry[static_cast<unsigned char>('\\')] = '\\';
  return t;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

constexpr auto kDigitPairs = [] {
  struct Pairs {
    char text[200];
  } t{};
  for (int i = 0; i < 100; ++i) {
    t.text[2 * i] = static_cast<char>('0' + i / 10);
    t.text[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

inline void put_pair(char* at, unsigned v) { std::memcpy(at, &kDigitPairs.text[2 * v], 2); }

// Writes `v` ending just before `end`; returns the first digit.
char* format_digits(std::uint64_t v, char* end) {
  char* p = end;
  while (v >= 10000) {
    unsigned group = static_cast<unsigned>(v % 10000);
    v /= 10000;
    p -= 4;
    put_pair(p, group / 100);
    put_pair(p + 2, group % 100);
  }
  unsigned rest = static_cast<unsigned>(v);
  while (rest >= 100) {
    p -= 2;
    put_pair(p, rest % 100);
    rest /= 100;
  }
  if (rest >= 10) {
    p -= 2;
    put_pair(p, rest);
  } else {
    *--p = static_cast<char>('0' + rest);
  }
  return p;
}

// An open array or object on the writer's stack: the next child to write.
struct Frame {
  const Value* container;
  std::size_t next;
};

using FrameStack = Stack<Frame, 16>;

// Writes a scalar completely, or opens a container (pushing a frame unless
// it is empty).
inline void write_head(OutputBuffer& out, const Value& v, FrameStack& stack) {
  switch (v.kind()) {
    case Kind::null:
      out.append("null", 4);
      return;
    case Kind::boolean:
      out.append(v.as_bool() ? std::string_view("true") : std::string_view("false"));
      return;
    case Kind::number:
      write_number(out, v);
      return;
    case Kind::string:
      write_json_string(out, v.as_string());
      return;
    case Kind::array:
    case Kind::object: {
      const bool object = v.kind() == Kind::object;
      out.push_back(object ? '{' : '[');
      if ((object ? v.as_object().size() : v.array_size()) != 0) return stack.push_back({&v, 0});
      out.push_back(object ? '}' : ']');
      return;
    }
  }
}

}  // namespace

void write_other_number(OutputBuffer& out, const Value& v) {
  char scratch[20];
  if (v.form() == NumberForm::unsigned_integer) return out.append(format_unsigned(v.as_unsigned(), scratch));
  if (v.form() == NumberForm::negative_integer) return out.append(format_negative(v.as_negative(), scratch));
  out.append("null", 4);
}

std::string_view format_unsigned(std::uint64_t v, char (&scratch)[20]) {
  char* end = scratch + 20;
  char* first = format_digits(v, end);
  return {first, static_cast<std::size_t>(end - first)};
}

std::string_view format_negative(std::int64_t v, char (&scratch)[20]) {
  // The magnitude as unsigned, so INT64_MIN needs no special case. Its 19
  // digits and the sign fit the 20 bytes.
  char* end = scratch + 20;
  char* first = format_digits(0 - static_cast<std::uint64_t>(v), end);
  *--first = '-';
  return {first, static_cast<std::size_t>(end - first)};
}

void write_json_string(OutputBuffer& out, Str s) {
  const char* p = s.data;
  const char* end = s.data + s.size;
  out.reserve(s.size + 2);  // the usual case, nothing to escape, in one growth
  out.push_back('"');
  for (;;) {
    // Runs without special bytes are found a vector at a time and copied in
    // one piece; the bytes that need escaping are exactly those the reader's
    // scanner stops at.
    const char* q;
    if (end - p < 16) {
      // Short runs (most keys and values): a table lookup per byte beats
      // the call into the vector search.
      q = p;
      while (q != end && kEscapeTable.entry[static_cast<unsigned char>(*q)] == 0) ++q;
    } else {
      q = find_string_special_inline(p, end);
    }
    out.append(p, static_cast<std::size_t>(q - p));
    if (q == end) break;
    unsigned char c = static_cast<unsigned char>(*q);
    char letter = kEscapeTable.entry[c];
    if (letter == 'u') {
      char* w = out.reserve(6);
      std::memcpy(w, "\\u00", 4);
      w[4] = kHexDigits[c >> 4];
      w[5] = kHexDigits[c & 0xF];
      out.commit(6);
    } else {
      char* w = out.reserve(2);
      w[0] = '\\';
      w[1] = letter;
      out.commit(2);
    }
    p = q + 1;
  }
  out.push_back('"');
}

void write_json_value(OutputBuffer& out, const Value& root) {
  FrameStack stack;
  write_head(out, root, stack);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const Value& c = *top.container;
    const bool is_object = c.kind() == Kind::object;
    const std::size_t size = is_object ? c.as_object().size() : c.array_size();
    if (top.next == size) {
      out.push_back(is_object ? '}' : ']');
      stack.pop_back();
      continue;
    }
    if (top.next != 0) out.push_back(',');
    const Value* child;
    if (is_object) {
      const Member& m = c.as_object()[top.next];
      write_json_string(out, m.key());
      out.push_back(':');
      child = &m.value;
    } else {
      child = &c.array_data()[top.next];
    }
    ++top.next;
    write_head(out, *child, stack);  // may push: `top` is not used after this
  }
}

}  // namespace zorvat::json
