#include "transform/span_pass.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/arena.h"
#include "json/number.h"
#include "json/reader.h"
#include "json/strings.h"
#include "json/value.h"
#include "json/writer.h"
#include "transform/bulk_utf8.h"
#include "transform/column_plan.h"
#include "transform/document_writer.h"
#include "transform/exact_rows.h"
#include "transform/key_words.h"
#include "transform/span_cell.h"

namespace zorvat::transform {

using json::decode_string;
using json::is_digit;
using json::is_whitespace;
using json::scan_string;
using json::Str;
using json::Value;
using span::Cell;
using span::Mode;

namespace {

// Up to the first byte that is not whitespace, which must come before any
// end of the readable bytes (the pass's stop_).
inline const char* skip_to_token(const char* p) {
  while (static_cast<unsigned char>(*p) <= ' ' && is_whitespace(*p)) ++p;
  return p;
}

constexpr std::size_t kMaxCellLength = (std::size_t{1} << 30) - 1;
constexpr std::size_t kCellLevel = 3;        // a row's cells sit inside the array and the row
constexpr std::size_t kTrackedKeys = 64;     // keys of a nested object checked for repeats
constexpr std::size_t kNotDiverted = SIZE_MAX;
constexpr std::size_t kSourceRoom = 8;  // before a cell's side text: its payload offset and length
static_assert(kSourceRoom == 2 * sizeof(std::uint32_t));

// A nested array or object open during a cell's scan.
struct OpenContainer {
  bool object;
  std::uint32_t keys;       // where this object's keys start in keys_
  std::uint64_t filter[4];  // one bit per key hash: most new keys need no comparison
};

// The compact text of the value being scanned, where it differs from the
// payload's bytes: from the first byte to drop (whitespace) or to rewrite (a
// scalar the writer spells otherwise) on, the payload's runs are copied to
// the side buffer around them, so each byte is read once.
struct Compact {
  const char* from;                   // payload bytes not yet copied or dropped
  std::size_t start = kNotDiverted;   // where the text begins in the side buffer
  bool number = false;                // a cell's number is kept as its value (Mode::number)
};

// ---- The pass ----------------------------------------------------------------

class SpanPass {
 public:
  using Cell = span::Cell;

  // `stop`: the payload's last byte that is not whitespace, a ']' or '}'.
  SpanPass(std::string_view payload, const char* stop, std::size_t max_offset)
      : begin_(payload.data()),
        end_(payload.data() + payload.size()),
        stop_(stop),
        max_offset_(max_offset),
        plan_(*this, payload.size() / 8) {}

  // The whole payload scanned into the plan; false when it is handed back.
  bool scan();
  // The output is sized from what the cells can take: the payload and the
  // side text less the keys of the non-null cells, which the document names
  // once. A buffer much larger than the document holds memory that the next
  // calls could have reused.
  OutputBuffer write() {
    words_.release();
    std::uint64_t bytes = static_cast<std::uint64_t>(end_ - begin_) + side_.size();
    std::uint64_t keys = 0;
    for (std::size_t c = 0; c < plan_.column_count(); ++c) {
      keys += (plan_.column(c).name_size() + 3) * std::uint64_t{plan_.column(c).non_null};  // "name":
    }
    return write_document(plan_, bytes - std::min(keys, bytes));
  }
  SpanDecline decline() const { return {why_, true, after_row_}; }

  // The cells, for the plan and the document writer.
  bool is_null(Cell cell) const { return cell.mode() == Mode::copy && begin_[cell.offset] == 'n'; }
  bool equal(Cell cell, Cell reference, std::uint32_t column) {
    return same_text(cell, reference) || equal_otherwise(cell, reference, column);
  }
  void write_cell(OutputRun& run, Cell cell, bool comma);

 private:
  bool give_up() { return false; }
  bool leave_to_exact() { why_ = SpanDecline::Why::unsupported; return false; }

  const char* scan_row(const char* p);
  const char* read_key(const char* key, Str& name);
  const char* scan_value(const char* p, Cell& cell);
  template <bool kCell = false>
  const char* scan_scalar(const char* p, Compact& c);
  const char* scan_container(const char* p, Compact& c, bool& keys_distinct);
  const char* drop_spaces(const char* q, Compact& c);
  const char* scan_nested_key(const char* q, OpenContainer& o, Compact& c, bool& keys_distinct);
  void divert(Compact& c, const char* at);
  // The string from `quote` to `past`, which the writer spells otherwise, in its spelling.
  void respell(Compact& c, const char* quote, const char* past) {
    divert(c, quote);
    decode_string(quote + 1, past - 1, text_);
    json::write_json_string(side_, {text_.data(), text_.size()});
    c.from = past;
  }

  static bool in_side(Cell cell) { return cell.mode() == Mode::side || cell.mode() == Mode::number; }
  const char* text(Cell cell) const { return in_side(cell) ? side_.data() + cell.offset : begin_ + cell.offset; }
  // The payload's bytes of a cell, whichever text it has.
  Str source_bytes(Cell cell) const;
  bool same_text(Cell a, Cell b) const {
    return a.length() == b.length() && json::same_bytes(text(a), text(b), a.length());
  }
  bool equal_otherwise(Cell cell, Cell reference, std::uint32_t column);
  bool equal_by_value(Cell cell, Cell reference, std::uint32_t column);
  Value exact_value(Str bytes, Arena& arena);
  void write_reread(OutputBuffer& out, Cell cell, bool comma);

  const char* const begin_;
  const char* const end_;
  // The closing ']' (or a row's '}' if it is missing), only whitespace after it. Every
  // token but it ends before it, so a row's scan never passes it: whitespace skips stop
  // there and a read at any position reached within a row needs no bound check.
  const char* const stop_;
  const std::size_t max_offset_;  // the largest offset a cell may hold (kMaxSpanOffset)
  SpanDecline::Why why_ = SpanDecline::Why::malformed;
  std::size_t after_row_ = 0;  // see SpanDecline

  ColumnPlan<SpanPass> plan_;
  KeyWordTable words_;
  OutputBuffer side_{0};  // compact texts of the cells that differ from their bytes
  // Per column, once a cell's bytes differed from the reference's: the
  // reference read by the exact procedures (1 + its index in
  // reference_values_), and the last cell found equal to it by value, so
  // that cells written alike need no second reading.
  std::vector<std::uint32_t> reference_read_;
  std::vector<Cell> equal_alike_;
  std::vector<Value> reference_values_;
  std::vector<Str> keys_;  // keys of the open nested objects, for repeats
  std::string text_;       // decoded strings, wrapped containers
  Arena arena_;      // decoded names, the trees of reference values
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
        if (json::starts_value(*p)) why_ = SpanDecline::Why::not_object;  // the exact path names it
        return give_up();
      }
      p = scan_row(p);
      if (p == nullptr) return false;
      after_row_ = static_cast<std::size_t>(p - begin_);
      if (p > stop_) return give_up();  // the row ended the payload: the reader words what is missing
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
  return p - 1 == stop_ || give_up();  // only whitespace follows
}

// One row object, from its brace, into the plan. Rows usually repeat the
// previous row's keys in the same order, so each key's raw bytes are first
// tested against the key the plan expects there; only a miss scans the key
// (and decodes it, if it has escapes) for the plan to look up.
const char* SpanPass::scan_row(const char* p) {
  auto row = plan_.begin_row();
  KeyWordList words = words_.list();
  const char* const last16 = end_ - 16;  // the last key start with 16 bytes to load
  p = skip_to_token(p + 1);
  if (*p != '}') {
    for (;;) {
      if (*p != '"') p = skip_to_token(p);  // compact text has the quote right there
      if (*p != '"') return nullptr;
      const char* const key = p + 1;
      // The key's raw bytes are exactly column g's name and closing quote.
      // (Inlined by force: clang calls it out of line, 6% of a call.)
      auto is_key = [&](std::size_t g) __attribute__((always_inline)) {
        const KeyWords& w = words.of(g);
        if (w.has_mask() && key <= last16) return w.match(key);
        return g != kNoColumn && written_as(plan_.column(g), key, end_);
      };
      std::size_t c = row.next;
      if (!is_key(c)) c = plan_.guess(row, is_key);
      Str name;
      p = c != kNoColumn ? key + plan_.column(c).name_size() + 1 : read_key(key, name);
      if (p == nullptr) return nullptr;
      if (*p != ':') p = skip_to_token(p);  // compact text has the colon right there
      if (*p != ':') return nullptr;
      p = skip_to_token(p + 1);
      Cell cell;
      p = scan_value(p, cell);
      if (p == nullptr) return nullptr;
      if (c != kNoColumn) {
        plan_.add(row, c, cell);
      } else {
        if (name.data == key) plan_.add_unguessed(row, name, cell);  // read as written: no escape
        else plan_.add(row, name, cell);
        words = words_.update(plan_);
      }

      if (*p != ',') p = skip_to_token(p);
      if (*p == ',') {
        ++p;
        continue;
      }
      if (*p != '}') return nullptr;
      break;
    }
  }
  plan_.end_row(row);
  return p + 1;
}

// A key no column's name matched as written: past its quote, or nullptr.
const char* SpanPass::read_key(const char* key, Str& name) {
  bool verbatim = true;
  bool escaped = false;
  const char* p = scan_string(key, end_, verbatim, escaped);
  if (p == nullptr) return nullptr;
  name = {key, static_cast<std::size_t>(p - 1 - key)};
  if (escaped) {
    decode_string(key, p - 1, text_);
    name = {arena_.copy_bytes(text_.data(), text_.size()), text_.size()};
  }
  return p;
}

[[gnu::always_inline]] inline const char* SpanPass::scan_value(const char* p, Cell& cell) {
  const char* const start = p;
  Compact c{p};
  Mode mode = Mode::copy;
  if (*p == '{' || *p == '[') {
    bool keys_distinct = true;
    p = scan_container(p, c, keys_distinct);
    if (p != nullptr && !keys_distinct) {
      mode = Mode::reread;
      if (c.start != kNotDiverted) side_.truncate(c.start - kSourceRoom);
      c.start = kNotDiverted;
    }
  } else {
    // Cells are often short integers (nested numbers are left to the general
    // reading). Only a number is tried: a string, literal or error fails the
    // test every time.
    const char* q = end_ - p >= 9 && (*p == '-' || is_digit(*p)) ? json::short_integer_end(p) : nullptr;
    p = q != nullptr ? q : scan_scalar<true>(p, c);
  }
  if (p == nullptr) return nullptr;
  auto length = static_cast<std::size_t>(p - start);
  auto offset = static_cast<std::size_t>(start - begin_);
  if (c.start != kNotDiverted) {
    divert(c, p);
    std::uint32_t source[2] = {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length)};
    std::memcpy(side_.data_at(c.start - kSourceRoom), source, kSourceRoom);
    mode = c.number ? Mode::number : Mode::side;
    offset = c.start;
    length = side_.size() - c.start;
    // A side offset that would not fit is never stored: this row and the
    // rest go to the exact path.
    if (offset > max_offset_) return leave_to_exact(), nullptr;
  }
  if (length > kMaxCellLength) return leave_to_exact(), nullptr;
  cell.offset = static_cast<std::uint32_t>(offset);
  cell.length_mode = static_cast<std::uint32_t>(length << 2) | static_cast<std::uint32_t>(mode);
  return p;
}

// The payload up to `at` joins the side text, which starts (after room for
// the cell's payload offset and length) at the first diversion.
[[gnu::always_inline]] inline void SpanPass::divert(Compact& c, const char* at) {
  if (c.start == kNotDiverted) {
    side_.reserve(kSourceRoom);
    side_.commit(kSourceRoom);
    c.start = side_.size();
  }
  const auto n = static_cast<std::size_t>(at - c.from);
  if (n - 1 < 16 && end_ - c.from >= 16) {  // mostly a few brackets and commas
    std::memcpy(side_.reserve(16), c.from, 16);
    side_.commit(n);
  } else if (n != 0) {
    side_.append(c.from, n);
  }
  c.from = at;
}

// A string, number or literal; one the writer spells otherwise joins the side
// text in its spelling, but a cell's number as its value, formatted when the
// document is written: its reading then overlaps the scan of what follows.
template <bool kCell>
[[gnu::always_inline]] inline const char* SpanPass::scan_scalar(const char* p, Compact& c) {
  auto literal = [this](const char* at, const char* word, std::size_t n) -> const char* {
    return static_cast<std::size_t>(end_ - at) >= n && std::memcmp(at, word, n) == 0 ? at + n : nullptr;
  };
  if (*p == '-' || is_digit(*p)) {
    const json::NumberLiteral number = json::read_number_literal<json::Need::value_if_rewritten>(p, end_);
    if (number.end == nullptr) {
      if (number.out_of_range) leave_to_exact();
      return nullptr;
    }
    if (!number.prints_as_read) {
      if (kCell) {  // the whole cell, undiverted so far: its source's room and value at once
        // number.value itself: a copy's 16-byte load of the two halves just stored stalls.
        std::memcpy(side_.reserve(kSourceRoom + sizeof number.value) + kSourceRoom, &number.value, sizeof number.value);
        side_.commit(kSourceRoom + sizeof number.value);
        c.start = side_.size() - sizeof number.value;
        c.number = true;
      } else {
        divert(c, p);
        json::write_number(side_, number.value);
      }
      c.from = number.end;
    }
    return number.end;
  }
  switch (*p) {
    case '"': {
      bool verbatim = true;
      bool escaped = false;
      const char* q = scan_string(p + 1, end_, verbatim, escaped);
      if (q != nullptr && !verbatim) respell(c, p, q);
      return q;
    }
    case 't':
      return literal(p, "true", 4);
    case 'f':
      return literal(p, "false", 5);
    case 'n':
      return literal(p, "null", 4);
    default:
      return nullptr;
  }
}

// Whitespace at q is dropped from the compact text.
[[gnu::always_inline]] inline const char* SpanPass::drop_spaces(const char* q, Compact& c) {
  const char* r = skip_to_token(q);
  if (r != q) {
    divert(c, q);
    c.from = r;
  }
  return r;
}

// A nested object's key at q, its colon and the whitespace to the value;
// nullptr on an error. Its objects' keys are known distinct while every key
// is unescaped and differs from the others of its object (a filter of one
// bit per key hash spares most comparisons; past kTrackedKeys keys an
// object is left to the exact reader).
const char* SpanPass::scan_nested_key(const char* q, OpenContainer& o, Compact& c, bool& keys_distinct) {
  if (*q != '"') return nullptr;
  const char* const start = q + 1;
  bool verbatim = true;
  bool escaped = false;
  q = scan_string(start, end_, verbatim, escaped);
  if (q == nullptr) return nullptr;
  if (!verbatim) respell(c, start - 1, q);
  const auto size = static_cast<std::size_t>(q - 1 - start);
  if (keys_distinct) {
    if (escaped || keys_.size() - o.keys >= kTrackedKeys) {
      keys_distinct = false;  // an escaped key may equal another once decoded
    } else {
      const Str k{start, size};
      if (keys_.size() == o.keys) std::memset(o.filter, 0, sizeof o.filter);
      unsigned hash = static_cast<unsigned>(size) * 7;
      if (size != 0) hash += static_cast<unsigned char>(start[0]) + 3u * static_cast<unsigned char>(start[size - 1]);
      hash &= 255;  // 256 bits: objects of dozens of keys still filter
      const std::uint64_t bit = std::uint64_t{1} << (hash & 63);
      if (o.filter[hash >> 6] & bit) {
        for (std::size_t i = o.keys; i < keys_.size(); ++i) {
          if (keys_[i] == k) keys_distinct = false;
        }
      }
      o.filter[hash >> 6] |= bit;
      keys_.push_back(k);
    }
  }
  if (*q != ':') q = drop_spaces(q, c);  // compact text has the colon right there
  if (*q != ':') return nullptr;
  return drop_spaces(q + 1, c);
}

// A nested array or object from its bracket, on an explicit stack, its
// compact text diverted to the side buffer where it differs from its bytes.
// `keys_distinct` drops when its objects may repeat a key. A bracket that
// closes on the payload's last byte cuts the row short; short of it, no read
// needs a bound check.
const char* SpanPass::scan_container(const char* p, Compact& c, bool& keys_distinct) {
  OpenContainer open[json::kMaxDepth];
  std::size_t depth = 0;
  keys_.clear();
  auto spaces = [&](const char* q) { return drop_spaces(q, c); };
  auto key = [&](const char* q, OpenContainer& o) { return scan_nested_key(q, o, c, keys_distinct); };

  bool at_value = true;  // else just after a value
  for (;;) {
    if (at_value) {
      const char ch = *p;
      if (ch == '[' || ch == '{') {
        if (kCellLevel + depth > json::kMaxDepth) return nullptr;  // the reader's recursion limit
        const bool object = ch == '{';
        open[depth].object = object;  // an object's filter is cleared at its first key
        open[depth++].keys = static_cast<std::uint32_t>(keys_.size());
        p = spaces(p + 1);
        if (*p == (object ? '}' : ']')) {
          if (p++ == stop_) return nullptr;
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
      p = scan_scalar(p, c);
      if (p == nullptr) return nullptr;
      at_value = false;
    }
    if (*p != ',') p = spaces(p);
    OpenContainer& top = open[depth - 1];
    if (*p == ',') {
      p = spaces(p + 1);
      if (top.object) {
        p = key(p, top);
        if (p == nullptr) return nullptr;
      }
      at_value = true;
      continue;
    }
    if (*p != (top.object ? '}' : ']') || p++ == stop_) return nullptr;
    if (top.object) keys_.resize(top.keys);  // an array adds no keys of its own
    --depth;
    if (depth == 0) break;
  }
  return p;
}

// ---- Cell equality ---------------------------------------------------------------

Str SpanPass::source_bytes(Cell cell) const {
  if (!in_side(cell)) return {begin_ + cell.offset, cell.length()};
  std::uint32_t source[2];
  std::memcpy(source, side_.data() + cell.offset - kSourceRoom, kSourceRoom);
  return {begin_ + source[0], source[1]};
}

// Equal texts are equal cells (equal() tests that first); so are texts equal
// to a cell already found equal to the reference.
bool SpanPass::equal_otherwise(Cell cell, Cell reference, std::uint32_t column) {
  if (column < equal_alike_.size() && equal_alike_[column].length() != 0 &&
      same_text(cell, equal_alike_[column])) {
    return true;
  }
  if (!equal_by_value(cell, reference, column)) return false;
  if (column >= equal_alike_.size()) equal_alike_.resize(std::size_t{column} + 1, Cell{0, 0});
  equal_alike_[column] = cell;
  return true;
}

// Different texts. Strings and literals differ: their texts are the writer's
// own. Numbers and containers compare as the exact path compares them
// (cells_equal), containers as the exact reader reads their bytes.
bool SpanPass::equal_by_value(Cell cell, Cell reference, std::uint32_t column) {
  auto lead = [this](Cell c) {  // '0' for a number
    const char b = *source_bytes(c).data;
    return b == '-' || is_digit(b) ? '0' : b;
  };
  const char kind = lead(cell);
  if (kind != lead(reference) || (kind != '0' && kind != '[' && kind != '{')) return false;
  if (kind == '0') {
    auto value = [this](Cell c) {
      const Str bytes = source_bytes(c);
      return json::read_number_literal(bytes.data, bytes.data + bytes.size).value;
    };
    return cells_equal(value(cell), value(reference));
  }
  if (column >= reference_read_.size()) reference_read_.resize(std::size_t{column} + 1, 0);
  if (reference_read_[column] == 0) {
    reference_values_.push_back(exact_value(source_bytes(reference), arena_));
    reference_read_[column] = static_cast<std::uint32_t>(reference_values_.size());
  }
  Arena scratch;
  return cells_equal(exact_value(source_bytes(cell), scratch), reference_values_[reference_read_[column] - 1]);
}

// A container's bytes as the exact reader reads them.
Value SpanPass::exact_value(Str bytes, Arena& arena) {
  char* wrapped = static_cast<char*>(arena.allocate(bytes.size + 2, 1));
  wrapped[0] = '[';
  std::memcpy(wrapped + 1, bytes.data, bytes.size);
  wrapped[bytes.size + 1] = ']';
  auto rows = json::read_rows({wrapped, bytes.size + 2}, arena);
  if (!rows || rows.value().size != 1) throw std::logic_error("span pass: a cell it accepted does not read");
  return rows.value().data[0];
}

// ---- Writing -------------------------------------------------------------------

inline void SpanPass::write_cell(OutputRun& run, Cell cell, bool comma) {
  const char* src = begin_ + cell.offset;
  const char* limit = end_;
  if (cell.mode() != Mode::copy) [[unlikely]] {
    if (cell.mode() == Mode::reread) {
      return run.with_buffer([&](OutputBuffer& out) { write_reread(out, cell, comma); });
    }
    if (cell.mode() == Mode::number) {
      Value value;
      std::memcpy(static_cast<void*>(&value), side_.data() + cell.offset, sizeof value);
      return run.with_buffer([&](OutputBuffer& out) {
        if (comma) out.push_back(',');
        json::write_number(out, value);
      });
    }
    src = side_.data() + cell.offset;
    limit = side_.data() + side_.size();
  }
  const std::size_t n = cell.length();
  char* w = run.reserve(n + 33);
  *w = ',';
  w += comma;
  // Most cells are short: one 32-byte move, when the buffer has 32 bytes
  // left to read, saves the call into memcpy. (32, not 16: a printed double
  // is 16 to 20 bytes, and a test on lengths around 16 is mispredicted.)
  if (n <= 32 && limit - src >= 32) {
    std::memcpy(w, src, 32);
  } else {
    std::memcpy(w, src, n);
  }
  run.commit(n + comma);
}

void SpanPass::write_reread(OutputBuffer& out, Cell cell, bool comma) {
  if (comma) out.push_back(',');
  Arena arena;
  json::write_json_value(out, exact_value({begin_ + cell.offset, cell.length()}, arena));
}

}  // namespace

Result<OutputBuffer, SpanDecline> fast_path(std::string_view payload, std::size_t max_offset) {
  using Why = SpanDecline::Why;
  if (payload.size() > max_offset) return fail(SpanDecline{Why::too_large, false, 0});
  // One vectorised check of the whole payload stands in for checking each
  // string: every string lies between ASCII quotes, so it is valid too.
  if (!payload_is_utf8(payload.data(), payload.size())) return fail(SpanDecline{Why::malformed, false, 0});
  // A payload cut short (the likeliest error near the end) is handed back
  // before the scan, unless it ends after a row: then the pass takes the rows
  // and the reader needs to check only what follows them.
  const char* last = payload.data() + payload.size();
  while (last != payload.data() && is_whitespace(last[-1])) --last;
  if (last == payload.data() || (last[-1] != ']' && last[-1] != '}')) return fail(SpanDecline{Why::malformed, true, 0});
  SpanPass pass(payload, last - 1, max_offset);
  if (!pass.scan()) return fail(pass.decline());
  return pass.write();
}

}  // namespace zorvat::transform
