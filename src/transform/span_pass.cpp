#include "transform/span_pass.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "json/arena.h"
#include "json/float_format.h"
#include "json/number.h"
#include "json/reader.h"
#include "json/strings.h"
#include "json/value.h"
#include "json/writer.h"
#include "transform/bulk_utf8.h"
#include "transform/column_plan.h"
#include "transform/columnarize.h"
#include "transform/document_writer.h"

namespace zorvat::transform {

using json::Str;
using json::Value;

// ---- Numbers ---------------------------------------------------------------

namespace {

using json::is_digit;

// Past the digits at p, eight bytes per step where eight remain (float data
// has 16 to 20 digits); the byte loop takes the tail.
inline const char* skip_digits(const char* p, const char* end) {
  while (end - p >= 8) {
    const std::uint64_t other = json::non_digit_bytes(json::load_word8(p));
    if (other != 0) return p + (std::countr_zero(other) >> 3);
    p += 8;
  }
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// Below 10^300 in magnitude no step of the number procedure reaches the
// double range's end (10^308), whatever digits it drops or divides by.
constexpr std::size_t kSafeDigits = 300;

// kValue: also keep the digits as one integer, for a writer that needs the
// number's value; the scan for cells needs only its shape.
template <bool kValue>
NumberScan scan_number_as(const char* p, const char* end) {
  NumberScan out;
  const bool negative = *p == '-';
  if (negative) ++p;
  const char* const int_start = p;
  if (p == end || !is_digit(*p)) return out;
  std::uint64_t significand = 0;  // of the first 19 digits, all that a simple literal has
  std::size_t digits = 0;
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return out;  // a leading zero
    digits = 1;
  } else {
    p = kValue ? json::read_digit_run(p, end, significand, digits) : skip_digits(p, end);
  }
  const std::size_t int_digits = static_cast<std::size_t>(p - int_start);
  const char* frac_start = p;
  std::size_t frac_digits = 0;
  if (p != end && *p == '.') {
    frac_start = ++p;
    p = kValue ? json::read_digit_run(p, end, significand, digits) : skip_digits(p, end);
    frac_digits = static_cast<std::size_t>(p - frac_start);
    if (frac_digits == 0) return out;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end || !is_digit(*p)) return out;
    std::size_t exponent = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + static_cast<std::size_t>(*p - '0');
    }
    out.end = p;
    out.in_range = int_digits + (exponent_negative ? 0 : exponent) <= kSafeDigits;
    return out;
  }
  out.end = p;
  out.in_range = int_digits <= kSafeDigits;
  if constexpr (kValue) {
    out.simple = int_digits + frac_digits <= 19;
    out.significand = significand;
    out.fraction = static_cast<std::uint32_t>(frac_digits);
  }
  if (frac_digits == 0) {
    out.verbatim = int_digits <= 18 && !(negative && *int_start == '0');
    return out;
  }
  const bool point_zero = frac_digits == 1 && *frac_start == '0';
  if (p[-1] == '0' && !point_zero) return out;  // trailing zeros are not written back
  std::size_t significant;
  long exponent10;  // of the first significant digit
  if (*int_start == '0') {
    std::size_t zeros = 0;
    while (zeros < frac_digits && frac_start[zeros] == '0') ++zeros;
    if (zeros == frac_digits) {  // 0.0 and -0.0
      out.verbatim = true;
      return out;
    }
    significant = frac_digits - zeros;
    exponent10 = -static_cast<long>(zeros) - 1;
  } else {
    significant = int_digits + frac_digits;
    exponent10 = static_cast<long>(int_digits) - 1;
  }
  out.verbatim = significant <= 15 && exponent10 >= -5;
  return out;
}

}  // namespace

NumberScan scan_number(const char* p, const char* end) { return scan_number_as<true>(p, end); }

namespace {

// ---- Strings ---------------------------------------------------------------

using json::append_utf8;
using json::hex_value;
using json::is_whitespace;

// Up to the first byte that is not whitespace, which must come before any
// end of the readable bytes (the pass's closing ']').
inline const char* skip_to_token(const char* p) {
  while (static_cast<unsigned char>(*p) <= ' ' && is_whitespace(*p)) ++p;
  return p;
}

inline const char* skip_whitespace(const char* p, const char* end) {
  // Compact payloads have none: one compare settles the usual case.
  while (p != end && static_cast<unsigned char>(*p) <= ' ' && is_whitespace(*p)) ++p;
  return p;
}

// The four hex digits at p, or a negative number when one is not a digit.
inline int hex4(const char* p) {
  const int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]), d = hex_value(p[3]);
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

inline bool has_short_escape(int unit) {
  return unit == '\b' || unit == '\t' || unit == '\n' || unit == '\f' || unit == '\r';
}

// The escape at q (a backslash) as the reader checks it; returns what follows
// it, or nullptr when the reader would reject it. `verbatim` drops when the
// writer spells the character otherwise.
const char* scan_escape(const char* q, const char* end, bool& verbatim) {
  if (end - q < 2) return nullptr;
  if (q[1] != 'u') {
    if (json::short_escape_value(q[1]) < 0) return nullptr;
    if (q[1] == '/') verbatim = false;  // the writer leaves '/' unescaped
    return q + 2;
  }
  if (end - q < 6) return nullptr;
  const int unit = hex4(q + 2);
  if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return nullptr;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (end - q < 12 || q[6] != '\\' || q[7] != 'u') return nullptr;
    const int low = hex4(q + 8);
    if (low < 0xDC00 || low > 0xDFFF) return nullptr;
    verbatim = false;
    return q + 12;
  }
  // The writer's own form for the controls without a short escape: \u00 and
  // two lower-case digits.
  const bool writer_form = unit < 0x20 && !has_short_escape(unit) && q[2] == '0' && q[3] == '0' &&
                           !(q[5] >= 'A' && q[5] <= 'F');
  verbatim = verbatim && writer_form;
  return q + 6;
}

// From just past an opening quote to just past the closing one, or nullptr
// where the reader would fail. UTF-8 was validated for the whole payload.
inline const char* scan_string(const char* p, const char* end, bool& verbatim, bool& escaped) {
  for (;;) {
    const char* q = json::find_string_special_inline(p, end);
    if (q == end) return nullptr;
    if (*q == '"') return q + 1;
    if (*q != '\\') return nullptr;  // a raw control character
    escaped = true;
    p = scan_escape(q, end, verbatim);
    if (p == nullptr) return nullptr;
  }
}

// The content of a string between its quotes, [p, end), whose escapes the
// scan has already checked.
void decode_string(const char* p, const char* end, std::string& out) {
  out.clear();
  while (p != end) {
    const char* q = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    if (q == nullptr) {
      out.append(p, end);
      return;
    }
    out.append(p, q);
    if (q[1] != 'u') {
      out.push_back(static_cast<char>(json::short_escape_value(q[1])));
      p = q + 2;
      continue;
    }
    const auto unit = static_cast<std::uint32_t>(hex4(q + 2));
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const auto low = static_cast<std::uint32_t>(hex4(q + 8));
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      p = q + 12;
    } else {
      append_utf8(out, unit);
      p = q + 6;
    }
  }
}

// ---- Cells -----------------------------------------------------------------

// How a cell's output comes from its bytes.
enum class Mode : std::uint32_t {
  copy = 0,     // the bytes are the output
  rewrite = 1,  // a scalar through the exact number or string procedure; a container token by token
  reread = 2,   // a container whose objects may repeat a key: the exact reader, then the writer
};

// A cell as 8 bytes: where its text is in the payload, how long, and how it
// is written.
struct Cell {
  std::uint32_t offset;
  std::uint32_t length_mode;  // length << 2 | mode

  std::size_t length() const { return length_mode >> 2; }
  Mode mode() const { return static_cast<Mode>(length_mode & 3); }
};
static_assert(sizeof(Cell) == 8);

constexpr std::size_t kMaxCellLength = (std::size_t{1} << 30) - 1;

enum class Lead : std::uint8_t { literal, number, string, array, object };

inline Lead lead_of(char c) {
  switch (c) {
    case '"':
      return Lead::string;
    case '[':
      return Lead::array;
    case '{':
      return Lead::object;
    case 't':
    case 'f':
    case 'n':
      return Lead::literal;
    default:
      return Lead::number;
  }
}

// The number at [p, end) by the reader's own procedure: its fast shape
// first, then the general one, as the reader does.
Value number_value(const char* p, const char* end) {
  const bool negative = *p == '-';
  const char* q = negative ? p + 1 : p;
  Value v;
  if (json::read_simple_number(q, end, negative, v)) return v;
  auto number = json::read_number(q, end, negative);
  if (!number) throw std::logic_error("span pass: a number it accepted does not read");
  return number.value();
}

// The number a scan read, without reading it again when it was simple.
Value scanned_value(const char* p, const NumberScan& number) {
  if (number.simple) return json::simple_number_value(number.significand, number.fraction, *p == '-');
  return number_value(p, number.end);
}

// A number as the writer spells its form; numbers the pass accepts are finite.
void write_number(json::OutputBuffer& out, const Value& v) {
  char digits[20];
  switch (v.form()) {
    case json::NumberForm::unsigned_integer:
      out.append(json::format_unsigned(v.as_unsigned(), digits));
      return;
    case json::NumberForm::negative_integer:
      out.append(json::format_negative(v.as_negative(), digits));
      return;
    case json::NumberForm::floating:
      break;
  }
  out.commit(json::format_float(v.as_float(), out.reserve(json::kFloatTextMax)));
}

// ---- The pass ----------------------------------------------------------------

constexpr std::size_t kCellLevel = 3;     // a row's cells sit inside the array and the row
constexpr std::size_t kTrackedKeys = 64;  // keys of a nested object checked for repeats

class SpanPass {
 public:
  using Cell = ::zorvat::transform::Cell;

  // `stop`: the payload's last byte that is not whitespace, a ']'.
  SpanPass(std::string_view payload, const char* stop)
      : begin_(payload.data()), end_(payload.data() + payload.size()), stop_(stop), plan_(*this, payload.size() / 8) {}

  // The whole payload scanned into the plan; false when it is handed back.
  bool scan();
  // The cells take at most the payload's bytes, but for rewritten ones.
  json::OutputBuffer write() { return write_document(plan_, static_cast<std::uint64_t>(end_ - begin_)); }
  SpanDecline decline() const { return {why_, true, after_row_}; }

  // The cells, for the plan and the document writer.
  bool is_null(Cell cell) const { return begin_[cell.offset] == 'n'; }
  bool equal(Cell cell, Cell reference, std::uint32_t column);
  void write_cell(json::OutputBuffer& out, Cell cell, bool comma);

 private:
  bool give_up() { return false; }
  bool leave_to_exact() {
    why_ = SpanDecline::Why::unsupported;
    return false;
  }

  const char* scan_row(const char* p);
  const char* scan_value(const char* p, Cell& cell);
  const char* scan_scalar(const char* p, bool& verbatim);
  const char* scan_container(const char* p, Mode& mode);
  bool same_bytes(Cell a, Cell b) const {
    return a.length() == b.length() && json::same_bytes(begin_ + a.offset, begin_ + b.offset, a.length());
  }
  bool equal_by_value(Cell cell, Cell reference, std::uint32_t column);
  Value exact_value(Cell cell, json::Arena& arena);

  void write_slow(json::OutputBuffer& out, Cell cell);
  void rewrite_container(json::OutputBuffer& out, const char* p, const char* end);

  const char* const begin_;
  const char* const end_;
  // The closing ']' and only whitespace after it. Every token but it ends
  // before it, so a row's scan never passes it: whitespace skips stop there
  // and a read at any position reached within a row needs no bound check.
  const char* const stop_;
  SpanDecline::Why why_ = SpanDecline::Why::malformed;
  std::size_t after_row_ = 0;  // see SpanDecline

  ColumnPlan<SpanPass> plan_;
  // Per column, once a cell's bytes differed from the reference's: the
  // reference read by the exact procedures (1 + its index in
  // reference_values_), and the last cell found equal to it by value, so
  // that cells written alike need no second reading.
  std::vector<std::uint32_t> reference_read_;
  std::vector<Cell> equal_alike_;
  std::vector<Value> reference_values_;
  std::vector<Str> keys_;  // keys of the open nested objects, for repeats
  std::string text_;       // decoded strings, wrapped containers
  json::Arena arena_;      // decoded names, the trees of reference values
};

bool SpanPass::scan() {
  const char* p = skip_to_token(begin_);
  if (*p != '[') return give_up();
  p = skip_to_token(p + 1);
  if (*p == ']') {
    ++p;
  } else {
    for (;;) {
      if (*p != '{') {
        const char c = *p;
        const bool value =
            c == '[' || c == '"' || c == '-' || is_digit(c) || c == 't' || c == 'f' || c == 'n';
        if (value) why_ = SpanDecline::Why::not_object;  // the exact path names it
        return give_up();
      }
      p = scan_row(p);
      if (p == nullptr) return false;
      after_row_ = static_cast<std::size_t>(p - begin_);
      p = skip_to_token(p);
      if (*p == ',') {
        p = skip_to_token(p + 1);
        continue;
      }
      if (*p != ']') return give_up();
      ++p;
      break;
    }
  }
  return skip_whitespace(p, end_) == end_ || give_up();
}

// One row object, from its brace, into the plan. Rows usually repeat the
// previous row's keys in the same order, so each key's raw bytes are first
// tested against the key the plan expects there; only a miss scans the key
// (and decodes it, if it has escapes) for the plan to look up.
const char* SpanPass::scan_row(const char* p) {
  plan_.begin_row();
  p = skip_to_token(p + 1);
  if (*p != '}') {
    for (;;) {
      if (*p != '"') return nullptr;
      const char* const key = p + 1;
      std::uint32_t c = plan_.expected();
      const KeyWords* w = plan_.words(c);
      if (w != nullptr && w->mask[0] != 0 && end_ - key >= 16) {
        const std::uint64_t differ = ((json::load_word8(key) ^ w->text[0]) & w->mask[0]) |
                                     ((json::load_word8(key + 8) ^ w->text[1]) & w->mask[1]);
        if (differ == 0) {
          p = key + w->size + 1;
        } else {
          c = kNoColumn;
        }
      } else if (c != kNoColumn) {
        const auto& col = plan_.column(c);
        const std::size_t n = col.name_size();
        if (col.plain_name() && static_cast<std::size_t>(end_ - key) > n && key[n] == '"' &&
            json::same_bytes(key, col.name_data, n)) {
          p = key + n + 1;
        } else {
          c = kNoColumn;
        }
      }
      Str name;
      if (c == kNoColumn) {
        bool verbatim = true;
        bool escaped = false;
        p = scan_string(key, end_, verbatim, escaped);
        if (p == nullptr) return nullptr;
        name = {key, static_cast<std::size_t>(p - 1 - key)};
        if (escaped) {
          decode_string(key, p - 1, text_);
          name = {arena_.copy_bytes(text_.data(), text_.size()), text_.size()};
        }
      }
      if (*p != ':') {  // compact text has the colon right there
        p = skip_to_token(p);
        if (*p != ':') return nullptr;
      }
      p = skip_to_token(p + 1);
      Cell cell;
      p = scan_value(p, cell);
      if (p == nullptr) return nullptr;
      if (c != kNoColumn) {
        plan_.add(c, cell);
      } else {
        plan_.add(name, cell);
      }

      p = skip_to_token(p);
      if (*p == ',') {
        p = skip_to_token(p + 1);
        continue;
      }
      if (*p != '}') return nullptr;
      break;
    }
  }
  plan_.end_row();
  return p + 1;
}

const char* SpanPass::scan_value(const char* p, Cell& cell) {
  const char* const start = p;
  Mode mode;
  if (*p == '{' || *p == '[') {
    p = scan_container(p, mode);
    if (p > stop_) return nullptr;  // it closed on the final ']': the row is cut short
  } else {
    bool verbatim = true;
    p = scan_scalar(p, verbatim);
    mode = verbatim ? Mode::copy : Mode::rewrite;
  }
  if (p == nullptr) return nullptr;
  const auto length = static_cast<std::size_t>(p - start);
  if (length > kMaxCellLength) return leave_to_exact(), nullptr;
  cell.offset = static_cast<std::uint32_t>(start - begin_);
  cell.length_mode = static_cast<std::uint32_t>(length << 2) | static_cast<std::uint32_t>(mode);
  return p;
}

[[gnu::always_inline]] inline const char* SpanPass::scan_scalar(const char* p, bool& verbatim) {
  auto literal = [this](const char* at, const char* word, std::size_t n) -> const char* {
    return static_cast<std::size_t>(end_ - at) >= n && std::memcmp(at, word, n) == 0 ? at + n : nullptr;
  };
  switch (*p) {
    case '"': {
      bool escaped = false;
      return scan_string(p + 1, end_, verbatim, escaped);
    }
    case 't':
      return literal(p, "true", 4);
    case 'f':
      return literal(p, "false", 5);
    case 'n':
      return literal(p, "null", 4);
    default:
      break;
  }
  if (*p != '-' && !is_digit(*p)) return nullptr;
  const NumberScan number = scan_number_as<false>(p, end_);
  if (number.end == nullptr) return nullptr;
  if (!number.in_range) return leave_to_exact(), nullptr;
  verbatim = verbatim && number.verbatim;
  return number.end;
}

// A nested array or object from its bracket, on an explicit stack. It is
// copied as it stands when it has no whitespace, only verbatim scalars and
// objects whose keys are known to differ; rewritten token by token when only
// the keys are known to differ; re-read by the exact reader otherwise.
const char* SpanPass::scan_container(const char* p, Mode& mode) {
  struct Open {
    bool object;
    std::uint32_t keys;    // where this object's keys start in keys_
    std::uint64_t filter;  // one bit per key hash: most new keys need no comparison
  };
  Open open[json::kMaxDepth];
  std::size_t depth = 0;
  bool verbatim = true;
  bool keys_distinct = true;
  keys_.clear();

  auto spaces = [&](const char* q) {
    const char* r = skip_whitespace(q, end_);
    if (r != q) verbatim = false;
    return r;
  };
  // A key, its colon and the whitespace to the value; nullptr on an error.
  auto key = [&](const char* q, Open& o) -> const char* {
    if (*q != '"') return nullptr;
    const char* const start = q + 1;
    bool escaped = false;
    q = scan_string(start, end_, verbatim, escaped);
    if (q == nullptr) return nullptr;
    const auto size = static_cast<std::size_t>(q - 1 - start);
    if (keys_distinct) {
      if (escaped || keys_.size() - o.keys >= kTrackedKeys) {
        keys_distinct = false;  // an escaped key may equal another once decoded
      } else {
        const Str k{start, size};
        unsigned hash = static_cast<unsigned>(size) * 7;
        if (size != 0) {
          hash += static_cast<unsigned char>(start[0]) + 3u * static_cast<unsigned char>(start[size - 1]);
        }
        const std::uint64_t bit = std::uint64_t{1} << (hash & 63);
        if (o.filter & bit) {
          for (std::size_t i = o.keys; i < keys_.size(); ++i) {
            if (keys_[i] == k) keys_distinct = false;
          }
        }
        o.filter |= bit;
        keys_.push_back(k);
      }
    }
    q = spaces(q);
    if (q == end_ || *q != ':') return nullptr;
    q = spaces(q + 1);
    return q == end_ ? nullptr : q;
  };

  bool at_value = true;  // else just after a value
  for (;;) {
    if (at_value) {
      const char c = *p;
      if (c == '[' || c == '{') {
        if (kCellLevel + depth > json::kMaxDepth) return nullptr;  // the reader's recursion limit
        const bool object = c == '{';
        open[depth++] = {object, static_cast<std::uint32_t>(keys_.size()), 0};
        p = spaces(p + 1);
        if (p == end_) return nullptr;
        if (*p == (object ? '}' : ']')) {
          ++p;
          --depth;
          if (depth == 0) break;
          at_value = false;
          continue;
        }
        if (object) {
          p = key(p, open[depth - 1]);
          if (p == nullptr) return nullptr;
        }
        continue;
      }
      p = scan_scalar(p, verbatim);
      if (p == nullptr) return nullptr;
      at_value = false;
    }
    p = spaces(p);
    if (p == end_) return nullptr;
    Open& top = open[depth - 1];
    if (*p == ',') {
      p = spaces(p + 1);
      if (p == end_) return nullptr;
      if (top.object) {
        p = key(p, top);
        if (p == nullptr) return nullptr;
      }
      at_value = true;
      continue;
    }
    if (*p != (top.object ? '}' : ']')) return nullptr;
    ++p;
    keys_.resize(top.keys);
    --depth;
    if (depth == 0) break;
  }
  mode = !keys_distinct ? Mode::reread : verbatim ? Mode::copy : Mode::rewrite;
  return p;
}

// Equal bytes are equal cells; so are bytes equal to a cell already found
// equal to the reference.
bool SpanPass::equal(Cell cell, Cell reference, std::uint32_t column) {
  if (same_bytes(cell, reference)) return true;
  if (column < equal_alike_.size() && equal_alike_[column].length() != 0 &&
      same_bytes(cell, equal_alike_[column])) {
    return true;
  }
  if (!equal_by_value(cell, reference, column)) return false;
  if (column >= equal_alike_.size()) equal_alike_.resize(std::size_t{column} + 1, Cell{0, 0});
  equal_alike_[column] = cell;
  return true;
}

// Different bytes: numbers compare by value, strings decoded, containers as
// the exact reader reads them (cells_equal, as the exact path compares).
bool SpanPass::equal_by_value(Cell cell, Cell reference, std::uint32_t column) {
  const char* a = begin_ + cell.offset;
  const char* b = begin_ + reference.offset;
  const Lead lead = lead_of(*a);
  if (lead != lead_of(*b) || lead == Lead::literal) return false;
  if (lead == Lead::string && std::memchr(a, '\\', cell.length()) == nullptr &&
      std::memchr(b, '\\', reference.length()) == nullptr) {
    return false;
  }
  if (column >= reference_read_.size()) reference_read_.resize(std::size_t{column} + 1, 0);
  if (reference_read_[column] == 0) {
    reference_values_.push_back(exact_value(reference, arena_));
    reference_read_[column] = static_cast<std::uint32_t>(reference_values_.size());
  }
  json::Arena scratch;
  return cells_equal(exact_value(cell, scratch), reference_values_[reference_read_[column] - 1]);
}

Value SpanPass::exact_value(Cell cell, json::Arena& arena) {
  const char* p = begin_ + cell.offset;
  const std::size_t n = cell.length();
  switch (lead_of(*p)) {
    case Lead::literal:
      return *p == 'n' ? Value::null() : Value::boolean(*p == 't');
    case Lead::number:
      return number_value(p, p + n);
    case Lead::string:
      decode_string(p + 1, p + n - 1, text_);
      return Value::string({arena.copy_bytes(text_.data(), text_.size()), text_.size()});
    case Lead::array:
    case Lead::object:
      break;
  }
  char* wrapped = static_cast<char*>(arena.allocate(n + 2, 1));
  wrapped[0] = '[';
  std::memcpy(wrapped + 1, p, n);
  wrapped[n + 1] = ']';
  auto rows = json::read_rows({wrapped, n + 2}, arena);
  if (!rows || rows.value().size != 1) throw std::logic_error("span pass: a cell it accepted does not read");
  return rows.value().data[0];
}

// ---- Writing -------------------------------------------------------------------

inline void SpanPass::write_cell(json::OutputBuffer& out, Cell cell, bool comma) {
  if (cell.mode() != Mode::copy) {
    if (comma) out.push_back(',');
    write_slow(out, cell);
    return;
  }
  const char* src = begin_ + cell.offset;
  const std::size_t n = cell.length();
  char* w = out.reserve(n + 17);
  *w = ',';
  w += comma;
  // Most cells are short: one 16-byte move, when the payload has 16 bytes
  // left to read, saves the call into memcpy.
  if (n <= 16 && end_ - src >= 16) {
    std::memcpy(w, src, 16);
  } else {
    std::memcpy(w, src, n);
  }
  out.commit(n + comma);
}

void SpanPass::write_slow(json::OutputBuffer& out, Cell cell) {
  const char* p = begin_ + cell.offset;
  const char* end = p + cell.length();
  switch (lead_of(*p)) {
    case Lead::number:
      write_number(out, number_value(p, end));
      return;
    case Lead::string:
      decode_string(p + 1, end - 1, text_);
      json::write_json_string(out, {text_.data(), text_.size()});
      return;
    case Lead::literal:
      out.append(p, cell.length());
      return;
    case Lead::array:
    case Lead::object:
      break;
  }
  if (cell.mode() == Mode::rewrite) {
    rewrite_container(out, p, end);
    return;
  }
  json::Arena arena;
  json::write_json_value(out, exact_value(cell, arena));
}

// A container whose objects have distinct keys: reading and writing it
// changes only its whitespace and the scalars that are not verbatim, so the
// rest is copied token by token.
void SpanPass::rewrite_container(json::OutputBuffer& out, const char* p, const char* end) {
  while (p != end) {
    const char c = *p;
    if (c == '"') {
      bool verbatim = true;
      bool escaped = false;
      const char* q = scan_string(p + 1, end, verbatim, escaped);
      if (verbatim) {
        out.append(p, static_cast<std::size_t>(q - p));
      } else {
        decode_string(p + 1, q - 1, text_);
        json::write_json_string(out, {text_.data(), text_.size()});
      }
      p = q;
    } else if (c == '-' || is_digit(c)) {
      const NumberScan number = scan_number(p, end);
      if (number.verbatim) {
        out.append(p, static_cast<std::size_t>(number.end - p));
      } else {
        write_number(out, scanned_value(p, number));
      }
      p = number.end;
    } else {
      if (!is_whitespace(c)) out.push_back(c);
      ++p;
    }
  }
}

}  // namespace

Result<json::OutputBuffer, SpanDecline> columnarize_spans(std::string_view payload) {
  // Cells hold 32-bit offsets.
  if (payload.size() > UINT32_MAX) return fail(SpanDecline{SpanDecline::Why::too_large, false, 0});
  // One vectorised check of the whole payload stands in for checking each
  // string: every string lies between ASCII quotes, so it is valid too.
  if (!payload_is_utf8(payload.data(), payload.size())) return fail(SpanDecline{SpanDecline::Why::malformed, false, 0});
  // A payload cut short (the likeliest error near the end) is handed back
  // before the scan rather than after it.
  const char* last = payload.data() + payload.size();
  while (last != payload.data() && is_whitespace(last[-1])) --last;
  if (last == payload.data() || last[-1] != ']') return fail(SpanDecline{SpanDecline::Why::malformed, true, 0});
  SpanPass pass(payload, last - 1);
  if (!pass.scan()) return fail(pass.decline());
  return pass.write();
}

}  // namespace zorvat::transform
