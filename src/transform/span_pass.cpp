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
#include "json/pages.h"
#include "json/poison.h"
#include "json/reader.h"
#include "json/strings.h"
#include "json/value.h"
#include "json/writer.h"
#include "transform/bulk_utf8.h"
#include "transform/columnarize.h"

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

// ---- The row stream ----------------------------------------------------------

// A growable array of trivially copyable items, page-backed like the
// output: a large one grows by remapping rather than copying (so it is never
// held twice), and the capacity not yet handed out is poisoned.
template <class T>
class PagedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit PagedArray(std::size_t hint) { grow_to(hint < 64 ? 64 : hint); }
  PagedArray(const PagedArray&) = delete;
  PagedArray& operator=(const PagedArray&) = delete;
  ~PagedArray() {
    json::unpoison(data_, capacity_ * sizeof(T));
    json::release_pages(data_, capacity_ * sizeof(T));
  }

  std::size_t size() const { return size_; }
  T* data() { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // `n` more items, not initialised.
  T* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow_to(capacity_ * 2 > size_ + n ? capacity_ * 2 : size_ + n);
    T* p = data_ + size_;
    json::unpoison(p, n * sizeof(T));
    size_ += n;
    return p;
  }
  void push_back(const T& item) { std::memcpy(static_cast<void*>(extend(1)), &item, sizeof(T)); }

 private:
  void grow_to(std::size_t items) {
    if (items > SIZE_MAX / (2 * sizeof(T))) throw std::bad_alloc();
    std::size_t bytes = items * sizeof(T);
    const std::size_t old_bytes = capacity_ * sizeof(T);
    json::unpoison(data_, old_bytes);  // the old block is copied or remapped whole
    void* p;
    if (bytes < json::kHugePage) {
      p = std::realloc(data_, bytes);
    } else {
      bytes = (bytes + json::kHugePage - 1) & ~(json::kHugePage - 1);
      if (old_bytes >= json::kHugePage) {
        p = json::grow_pages(data_, old_bytes, bytes);
      } else {
        p = json::allocate_pages(bytes);
        if (p != nullptr && size_ != 0) std::memcpy(p, static_cast<void*>(data_), size_ * sizeof(T));
        if (p != nullptr) json::release_pages(data_, old_bytes);
      }
    }
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    capacity_ = bytes / sizeof(T);
    json::poison(data_ + size_, (capacity_ - size_) * sizeof(T));
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// ---- The pass ----------------------------------------------------------------

constexpr std::size_t kMaxDepth = 127;       // the reader's limit, the top-level array being level 1
constexpr std::size_t kCellLevel = 3;        // a row's cells sit inside the array and the row
constexpr std::size_t kLinearColumns = 32;   // below this many columns a scan beats hashing a name
constexpr std::size_t kTrackedKeys = 64;     // keys of a nested object checked for repeats
constexpr std::uint32_t kAbsent = UINT32_MAX;

// What the pass learns about a column, in 40 bytes: one huge row makes
// millions of columns. Row numbers fit 32 bits, as payloads over 4 GiB are
// handed back.
struct Column {
  const char* name_data;         // the decoded name
  std::uint32_t name_size_plain; // its size << 1 | 1 when it holds no quote, backslash or control byte
  std::uint32_t reference_read;  // 1 + the index of the reference's value in reference_values_, once read
  Cell reference;                // the first row's cell, while equal_rows != 0
  std::uint32_t equal_rows;      // leading rows whose cell equals the reference
  std::uint32_t non_null;        // rows with a non-null cell
  std::uint32_t stamp;           // 1 + the last row whose members were checked against this column
  std::uint32_t slot;            // that row's member index for it

  std::size_t name_size() const { return name_size_plain >> 1; }
  bool plain_name() const { return name_size_plain & 1; }
  Str name() const { return {name_data, name_size()}; }
};
static_assert(sizeof(Column) == 40);

// Column names to column numbers, from kLinearColumns columns on. Keyed
// SipHash, like every table whose size the input controls; 4-byte slots
// (column + 1), and a full table is replaced by one twice its size (the old
// one freed), so one huge row costs a few bytes per column here.
class ColumnIndex {
 public:
  bool empty() const { return slots_.empty(); }
  void release() { std::vector<std::uint32_t>().swap(slots_); }

  // The column named `name`; else records it as column `count` (the columns
  // so far being 0 .. count - 1) and returns kAbsent.
  template <class NameAt>
  std::uint32_t find_or_insert(NameAt name_at, Str name, std::uint32_t count) {
    if ((std::size_t{count} + 1) * 4 > slots_.size() * 3) rebuild(name_at, count);
    for (std::size_t i = slot_of(name);; i = (i + 1) & mask_) {
      const std::uint32_t s = slots_[i];
      if (s == 0) {
        slots_[i] = count + 1;
        return kAbsent;
      }
      if (name_at(s - 1) == name) return s - 1;
    }
  }

 private:
  std::size_t slot_of(Str name) const {
    return static_cast<std::size_t>(json::sip_hash13(key_, name.view())) & mask_;
  }

  template <class NameAt>
  void rebuild(NameAt name_at, std::uint32_t count) {
    if (slots_.empty()) key_ = json::take_table_key();
    std::size_t size = 64;
    while (size * 3 < (std::size_t{count} + 1) * 8) size *= 2;  // at most three-eighths full after
    release();
    slots_.assign(size, 0);
    mask_ = size - 1;
    for (std::uint32_t c = 0; c < count; ++c) {
      std::size_t i = slot_of(name_at(c));
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = c + 1;
    }
  }

  std::vector<std::uint32_t> slots_;
  std::size_t mask_ = 0;
  json::HashKey key_{};
};

// A key the previous row had at some member position, for the first test
// of the next row's key there: the name and its closing quote as two words,
// and masks of the bytes that count, so that a name of up to 15 bytes is
// compared in a few instructions. Longer names and names with a quote,
// backslash or control byte have no mask and take the general test.
struct ExpectedKey {
  std::uint64_t text[2];
  std::uint64_t mask[2];
  std::uint32_t column;
  std::uint32_t size;
};

class SpanPass {
 public:
  // `stop`: the payload's last byte that is not whitespace, a ']'.
  SpanPass(std::string_view payload, const char* stop)
      : begin_(payload.data()), end_(payload.data() + payload.size()), stop_(stop), stream_(payload.size() / 8),
        columns_(kLinearColumns) {
    // Room for the usual row width up front, rather than a reallocation per
    // doubling on every call.
    map_.reserve(kLinearColumns);
    expected_.reserve(kLinearColumns);
    row_columns_.reserve(kLinearColumns);
  }

  // The whole payload scanned and every fact gathered; false when it is handed back.
  bool scan();
  json::OutputBuffer write();
  SpanDecline decline() const { return {why_, true, after_row_}; }

 private:
  bool give_up() { return false; }
  bool leave_to_exact() {
    why_ = SpanDecline::Why::unsupported;
    return false;
  }

  const char* scan_row(const char* p);
  void expect_keys();
  const char* scan_value(const char* p, Cell& cell);
  const char* scan_scalar(const char* p, bool& verbatim);
  const char* scan_container(const char* p, Mode& mode);
  std::uint32_t find_column(const char* key, std::size_t size, bool escaped);
  void add_fact(Column& col, Cell cell, std::uint64_t row);
  void replace_cell(Column& col, std::size_t cells_at, Cell cell, std::uint64_t row);
  bool same_as_reference(Cell cell, Column& col);
  bool equal_by_value(Cell cell, Column& col);
  Value exact_value(Cell cell, json::Arena& arena);
  bool is_null(Cell cell) const { return begin_[cell.offset] == 'n'; }

  void write_cell(json::OutputBuffer& out, Cell cell, bool comma);
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

  // The one buffer of per-row data, in 32-bit words: per row a header
  // (member count << 1 | 1 when a column list follows the cells), the cells
  // (two words each), then the row's column list unless it shares the
  // previous row's.
  PagedArray<std::uint32_t> stream_;
  std::uint64_t rows_ = 0;
  std::uint64_t cell_bytes_ = 0;            // of all cells, for sizing the output
  PagedArray<Column> columns_;
  ColumnIndex index_;                       // over the column names, from kLinearColumns on
  std::vector<Value> reference_values_;     // references read by the exact procedures
  std::vector<std::uint32_t> map_;          // the columns of the last row's members, in order
  std::vector<ExpectedKey> expected_;       // map_'s keys, for the quick test
  std::vector<std::uint32_t> row_columns_;  // the current row's, once it parts from map_
  std::vector<Str> keys_;                   // keys of the open nested objects, for repeats
  std::string text_;                        // decoded strings, wrapped containers
  json::Arena arena_;                       // decoded names, the trees of reference values
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

void SpanPass::expect_keys() {
  expected_.resize(map_.size());
  for (std::size_t j = 0; j < map_.size(); ++j) {
    const Column& col = columns_[map_[j]];
    ExpectedKey& e = expected_[j];
    e = {};
    e.column = map_[j];
    e.size = static_cast<std::uint32_t>(col.name_size());
    if (!col.plain_name() || e.size > 15) continue;  // no mask: the general test
    char text[16] = {};
    std::memcpy(text, col.name_data, e.size);
    text[e.size] = '"';
    unsigned char mask[16] = {};
    std::memset(mask, 0xFF, e.size + 1);
    e.text[0] = json::load_word8(text);
    e.text[1] = json::load_word8(text + 8);
    e.mask[0] = json::load_word8(reinterpret_cast<const char*>(mask));
    e.mask[1] = json::load_word8(reinterpret_cast<const char*>(mask) + 8);
  }
}

// One row object, from its brace: its cells go to the stream and into the
// column facts. Rows usually repeat the previous row's keys in the same
// order, so each key is first compared with the column the previous row had
// at that position; only a miss looks the name up.
const char* SpanPass::scan_row(const char* p) {
  const std::uint64_t row = rows_;
  const std::size_t header = stream_.size();
  stream_.extend(1);
  std::size_t count = 0;  // distinct members so far
  bool shared = true;     // every member so far matched map_ at its position
  const std::size_t expected = expected_.size();  // map_'s, fixed until the row ends
  p = skip_to_token(p + 1);
  if (*p != '}') {
    for (;;) {
      if (*p != '"') return nullptr;
      const char* const key = p + 1;
      // The key the previous row had here, tested first by its bytes and the
      // closing quote: a name without quote, backslash or control byte can
      // only match a key written exactly so, which then needs no scan.
      std::uint32_t c = kAbsent;
      if (shared && count < expected && expected_[count].mask[0] != 0 && end_ - key >= 16) {
        const ExpectedKey& e = expected_[count];
        const std::uint64_t differ = ((json::load_word8(key) ^ e.text[0]) & e.mask[0]) |
                                     ((json::load_word8(key + 8) ^ e.text[1]) & e.mask[1]);
        if (differ == 0) {
          c = e.column;
          p = key + e.size + 1;
        }
      } else if (shared && count < expected) {
        const Column& expected = columns_[map_[count]];
        const std::size_t n = expected.name_size();
        if (expected.plain_name() && static_cast<std::size_t>(end_ - key) > n && key[n] == '"' &&
            json::same_bytes(key, expected.name_data, n)) {
          c = map_[count];
          p = key + n + 1;
        }
      }
      bool escaped = false;
      if (c == kAbsent) {
        bool key_verbatim = true;
        p = scan_string(key, end_, key_verbatim, escaped);
        if (p == nullptr) return nullptr;
      }
      const std::size_t key_size = static_cast<std::size_t>(p - 1 - key);
      if (*p != ':') {  // compact text has the colon right there
        p = skip_to_token(p);
        if (*p != ':') return nullptr;
      }
      p = skip_to_token(p + 1);
      Cell cell;
      p = scan_value(p, cell);
      if (p == nullptr) return nullptr;

      bool repeated = false;
      if (c == kAbsent) {  // a prefix of map_ holds no repeats, so only a key off it may repeat one
        if (shared) {
          shared = false;
          row_columns_.assign(map_.begin(), map_.begin() + static_cast<std::ptrdiff_t>(count));
          for (std::size_t j = 0; j < count; ++j) {
            columns_[map_[j]].stamp = static_cast<std::uint32_t>(row + 1);
            columns_[map_[j]].slot = static_cast<std::uint32_t>(j);
          }
        }
        c = find_column(key, key_size, escaped);
        Column& col = columns_[c];
        if (col.stamp == row + 1) {
          repeated = true;  // the last value wins, at the first key's position
          replace_cell(col, header + 1, cell, row);
        } else {
          col.stamp = static_cast<std::uint32_t>(row + 1);
          col.slot = static_cast<std::uint32_t>(count);
          row_columns_.push_back(c);
        }
      }
      if (!repeated) {
        std::memcpy(stream_.extend(2), &cell, sizeof cell);
        ++count;
        add_fact(columns_[c], cell, row);
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
  stream_.data()[header] = static_cast<std::uint32_t>(count << 1) | (shared ? 0 : 1);
  if (!shared) {
    std::uint32_t* list = stream_.extend(count);
    if (count != 0) std::memcpy(list, row_columns_.data(), count * 4);
    map_.swap(row_columns_);
    expect_keys();
  }
  ++rows_;
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
  Open open[kMaxDepth];
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
        if (kCellLevel + depth > kMaxDepth) return nullptr;  // the reader's recursion limit
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

std::uint32_t SpanPass::find_column(const char* key, std::size_t size, bool escaped) {
  Str name{key, size};
  if (escaped) {
    decode_string(key, key + size, text_);
    name = {arena_.copy_bytes(text_.data(), text_.size()), text_.size()};
  }
  const auto count = static_cast<std::uint32_t>(columns_.size());
  if (count < kLinearColumns) {
    for (std::uint32_t c = 0; c < count; ++c) {
      if (columns_[c].name() == name) return c;
    }
  } else {
    auto name_at = [this](std::size_t i) { return columns_[i].name(); };
    const std::uint32_t found = index_.find_or_insert(name_at, name, count);
    if (found != kAbsent) return found;
  }
  if (count >= UINT32_MAX - 1) throw std::length_error("too many columns");
  if (name.size >= (std::size_t{1} << 31)) throw std::length_error("column name too long");
  const bool plain = json::find_string_special(name.data, name.data + name.size) == name.data + name.size;
  const auto size_plain = static_cast<std::uint32_t>(name.size << 1 | plain);
  columns_.push_back(Column{name.data, size_plain, 0, Cell{0, 0}, 0, 0, 0, 0});
  return count;
}

// A null or absent cell never equals a non-null reference; once a row
// differs, the column is not compared again.
void SpanPass::add_fact(Column& col, Cell cell, std::uint64_t row) {
  cell_bytes_ += cell.length();
  if (is_null(cell)) return;
  ++col.non_null;
  if (row == 0) {
    col.reference = cell;
    col.equal_rows = 1;
  } else if (col.equal_rows == row && same_as_reference(cell, col)) {
    ++col.equal_rows;
  }
}

// A repeated key: its new cell replaces the row's earlier one, and the
// earlier one's part in the facts is taken back.
void SpanPass::replace_cell(Column& col, std::size_t cells_at, Cell cell, std::uint64_t row) {
  std::uint32_t* at = stream_.data() + cells_at + 2 * std::size_t{col.slot};
  Cell old;
  std::memcpy(&old, at, sizeof old);
  std::memcpy(at, &cell, sizeof cell);
  cell_bytes_ += cell.length();  // the old cell's bytes stay counted: an estimate
  if (!is_null(old)) {
    --col.non_null;
    if (row == 0) {
      col.equal_rows = 0;
    } else if (col.equal_rows == row + 1) {
      col.equal_rows = static_cast<std::uint32_t>(row);
    }
  }
  if (is_null(cell)) return;
  ++col.non_null;
  if (row == 0) {
    col.reference = cell;
    col.equal_rows = 1;
    col.reference_read = 0;
  } else if (col.equal_rows == row && same_as_reference(cell, col)) {
    ++col.equal_rows;
  }
}

// Equal bytes are equal cells.
inline bool SpanPass::same_as_reference(Cell cell, Column& col) {
  const std::size_t n = cell.length();
  const char* reference = begin_ + col.reference.offset;
  if (n == col.reference.length() && json::same_bytes(begin_ + cell.offset, reference, n)) return true;
  return equal_by_value(cell, col);
}

// Different bytes: numbers compare by value, strings decoded, containers as
// the exact reader reads them (cells_equal, as the exact path compares).
bool SpanPass::equal_by_value(Cell cell, Column& col) {
  const char* a = begin_ + cell.offset;
  const char* b = begin_ + col.reference.offset;
  const Lead lead = lead_of(*a);
  if (lead != lead_of(*b) || lead == Lead::literal) return false;
  if (lead == Lead::string && std::memchr(a, '\\', cell.length()) == nullptr &&
      std::memchr(b, '\\', col.reference.length()) == nullptr) {
    return false;
  }
  if (col.reference_read == 0) {
    reference_values_.push_back(exact_value(col.reference, arena_));
    col.reference_read = static_cast<std::uint32_t>(reference_values_.size());
  }
  json::Arena scratch;
  return cells_equal(exact_value(cell, scratch), reference_values_[col.reference_read - 1]);
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

json::OutputBuffer SpanPass::write() {
  // What only the scan needed goes before the output grows.
  index_.release();
  std::vector<std::uint32_t>().swap(map_);
  std::vector<std::uint32_t>().swap(row_columns_);

  const std::uint64_t n = rows_;
  std::vector<std::uint32_t> position(columns_.size(), kAbsent);
  std::size_t width = 0;
  std::uint64_t names = 0;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    const Column& col = columns_[c];
    if (col.non_null == 0) continue;
    names += col.name_size() + 4;
    if (n < 2 || col.equal_rows != n) position[c] = static_cast<std::uint32_t>(width++);
  }
  // Every cell, and a null and a comma for every place in the rows: more
  // than the document needs unless many cells are rewritten longer (then the
  // buffer grows as usual); the room never written is never touched.
  const std::uint64_t estimate = 64 + names + cell_bytes_ + 3 * n + 5 * n * width;
  json::OutputBuffer out(static_cast<std::size_t>(estimate));

  out.append(R"({"columns":[)");
  bool first = true;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (position[c] == kAbsent) continue;
    if (!first) out.push_back(',');
    first = false;
    json::write_json_string(out, columns_[c].name());
  }
  out.append(R"(],"rows":[)");

  // Output position -> member index of the row, for the rows of one column list.
  std::vector<std::uint32_t> member_at(width, kAbsent);
  const std::uint32_t* s = stream_.data();
  for (std::uint64_t r = 0; r < n; ++r) {
    const std::uint32_t header = *s++;
    const std::size_t count = header >> 1;
    const std::uint32_t* cells = s;
    s += 2 * count;
    if (header & 1) {
      std::fill(member_at.begin(), member_at.end(), kAbsent);
      for (std::size_t j = 0; j < count; ++j) {
        const std::uint32_t at = position[s[j]];
        if (at != kAbsent) member_at[at] = static_cast<std::uint32_t>(j);
      }
      s += count;
    }
    char* w = out.reserve(2);
    w[0] = ',';
    w[r != 0] = '[';
    out.commit(1 + (r != 0));
    for (std::size_t k = 0; k < width; ++k) {
      const std::uint32_t j = member_at[k];
      // A row sharing a longer row's column list has only its first members.
      if (j < count) {
        Cell cell;
        std::memcpy(&cell, cells + 2 * std::size_t{j}, sizeof cell);
        write_cell(out, cell, k != 0);
      } else {
        char* v = out.reserve(5);
        std::memcpy(v, ",null", 5);
        if (k == 0) std::memmove(v, v + 1, 4);
        out.commit(4 + (k != 0));
      }
    }
    out.push_back(']');
  }

  out.append(R"(],"constants":{)");
  first = true;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    const Column& col = columns_[c];
    if (col.non_null == 0 || position[c] != kAbsent) continue;
    if (!first) out.push_back(',');
    first = false;
    json::write_json_string(out, col.name());
    out.push_back(':');
    write_cell(out, col.reference, false);
  }
  out.append("}}");
  return out;
}

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
