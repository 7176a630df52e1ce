// Structure-aware round trip through columnarize_json. The input bytes steer
// a generator of valid row arrays (shared and shifting key orders, repeated
// and escaped keys, every number form, nulls, nesting), so nearly every input
// gets past the reader. Alongside the text the generator builds the rows it
// means, with the object insert rule, and checks:
//  - read_rows gives exactly those rows (member order and number forms too);
//  - expanding the columnar document back into rows (constants added, null
//    cells omitted) gives the input rows with their null members removed;
//  - the document built as values writes the same bytes as the pipeline's
//    direct writer;
//  - columns and constants are in first-seen order, constants keep the first
//    row's value, and no varying column could have been a constant.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/pages.h"
#include "document.h"
#include "fuzz_check.h"
#include "json/float_format.h"
#include "json/number.h"
#include "json/reader.h"
#include "json/writer.h"
#include "object_builder.h"
#include "transform/exact_rows.h"
#include "transform/pipeline.h"

using namespace zorvat;
using fuzz::require;

namespace {

// Container levels allowed in the input. The output re-read inside an array
// puts cells two levels deeper, and the reader allows 127.
constexpr int kMaxLevel = 125;

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  std::size_t below(std::size_t n) { return byte() % n; }
  bool one_in(unsigned n) { return byte() % n == 0; }
  // Like one_in, but never once the input is used up (where one_in always
  // holds): for choices that make a run slow.
  bool rarely(unsigned n) { return !exhausted() && byte() % n == n - 1; }
  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | byte();
    return w;
  }
  bool exhausted() const { return p_ == end_; }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Keys: a few awkward fixed ones (empty, quotes, a line feed, non-ASCII),
// then "k8", "k9", ... for wide rows.
const char* const kFixedKeys[] = {"a", "b", "c", "\xc3\xa9", "\"q\"", "line\nfeed", "\xf0\x9f\x98\x80", ""};
constexpr std::size_t kFixedKeyCount = sizeof kFixedKeys / sizeof kFixedKeys[0];

std::string key_bytes(std::size_t index) {
  return index < kFixedKeyCount ? kFixedKeys[index] : "k" + std::to_string(index);
}

const char* const kStrings[] = {
    "x", "", "\xc3\xa9t\xc3\xa9", "tab\there", "a\\b/c", "\xf0\x9f\x98\x80!", "\x01\x1f"};

// Number texts in many spellings of few values, so equal cells in different
// forms meet in one column.
const char* const kNumbers[] = {
    "0",
    "1",
    "1.0",
    "1e0",
    "10e-1",
    "-0",
    "-0.0",
    "0.0",
    "0e5",
    "-1",
    "-1.0",
    "2",
    "100",
    "1e2",
    "1E+2",
    "9007199254740993",
    "9007199254740992",
    "9007199254740992.0",
    "18446744073709551615",
    "18446744073709551616",
    "-9223372036854775808",
    "-9223372036854775809",
    "1.5",
    "0.1",
    "0.30000000000000004",
    "1e308",
    "5e-324",
    "2.2250738585072014e-308",
    "123456789012345678901234567890",
    "-1e-7",
    "0.000001",
    "1e16",
};

struct Generated {
  std::string text;
  json::Value value;
};

class Generator {
 public:
  Generator(Bytes& in, zorvat::Arena& arena) : in_(in), arena_(arena) {}

  // The payload text; `rows` receives the rows it means.
  std::string payload(std::vector<json::Value>& rows) {
    text_.clear();
    space();
    text_ += '[';
    std::size_t count = in_.below(4) == 0 ? in_.below(64) : in_.below(8);
    for (std::size_t r = 0; r < count && !in_.exhausted(); ++r) {
      if (r != 0) text_ += ',';
      space();
      rows.push_back(row());
      space();
    }
    text_ += ']';
    space();
    return text_;
  }

 private:
  void space() {
    if (in_.one_in(6)) text_ += " \n\t\r"[in_.below(4)];
  }

  // Appends `bytes` (valid UTF-8) as a JSON string, each character in one of
  // its spellings: raw, a short escape or \u escapes (a surrogate pair past
  // the BMP).
  void string_text(std::string_view bytes) {
    text_ += '"';
    for (std::size_t i = 0; i < bytes.size();) {
      unsigned char c = static_cast<unsigned char>(bytes[i]);
      std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      std::uint32_t cp = len == 1 ? c : c & (0x3F >> (len - 1));
      for (std::size_t k = 1; k < len; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
      bool escape = in_.one_in(3) || cp < 0x20;
      if (cp == '"' || cp == '\\') {
        text_ += escape ? (cp == '"' ? "\\u0022" : "\\u005C") : (cp == '"' ? "\\\"" : "\\\\");
      } else if (!escape) {
        text_.append(bytes.substr(i, len));
      } else if (cp == '\n' && in_.one_in(2)) {
        text_ += "\\n";
      } else if (cp == '/' && in_.one_in(2)) {
        text_ += "\\/";
      } else if (cp == '\t' && in_.one_in(2)) {
        text_ += "\\t";
      } else {
        auto unit = [this](std::uint32_t u) {
          char buf[8];
          std::snprintf(buf, sizeof buf, in_.one_in(2) ? "\\u%04x" : "\\u%04X", u);
          text_ += buf;
        };
        if (cp >= 0x10000) {
          unit(0xD800 + ((cp - 0x10000) >> 10));
          unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
          unit(cp);
        }
      }
      i += len;
    }
    text_ += '"';
  }

  // A string whose decoded length lies within a few bytes of one of the
  // arena's chunk sizes (16 KiB doubling to the cap) or of a multiple of the
  // huge page, so that unescaped copies meet every boundary of the bump
  // allocation. Larger sizes are rarer, to keep runs fast.
  std::string long_bytes() {
    std::size_t size = zorvat::Arena::kFirstChunk << in_.below(in_.rarely(8) ? 11 : 6);
    if (in_.rarely(8)) size = zorvat::kHugePage * (1 + in_.below(3));
    if (size > long_budget_) size = zorvat::Arena::kFirstChunk;  // a few large ones per input keep runs short
    long_budget_ -= size < long_budget_ ? size : long_budget_;
    size = size + in_.below(97) - 48;
    const char* const fills[] = {"a", "\xe4\xb8\xad", "\n"};
    std::string unit = fills[in_.below(3)];
    std::string bytes;
    bytes.reserve(size + 4);
    if (in_.one_in(2)) bytes += '\n';
    while (bytes.size() + unit.size() <= size) bytes += unit;
    while (bytes.size() < size) bytes += 'z';
    return bytes;
  }

  // As string_text, but one decision per string rather than per character:
  // every non-ASCII character spelled as \u escapes or none, control
  // characters always escaped.
  void long_text(std::string_view bytes) {
    const bool escape_all = in_.one_in(2);
    text_ += '"';
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c == '\n') {
        text_ += "\\n";
      } else if (c == 0xE4 && escape_all) {  // only the one CJK character is generated
        text_ += "\\u4e2d";
        i += 2;
      } else {
        text_ += static_cast<char>(c);
      }
    }
    text_ += '"';
  }

  json::Value long_string_value() {
    std::string bytes = long_bytes();
    long_text(bytes);
    return json::Value::string(keep(bytes));
  }

  json::Str keep(const std::string& bytes) {
    return {arena_.copy_bytes(bytes.data(), bytes.size()), bytes.size()};
  }

  json::Value string_value(const std::string& bytes) {
    string_text(bytes);
    return json::Value::string(keep(bytes));
  }

  // A number read from `text` by the reader's own procedure. Floats are kept
  // only where writing and reading again is exact: the procedure is not
  // correctly rounded by design, and that is not what this target checks.
  json::Value number_value(std::string text) {
    for (int attempt = 0;; ++attempt) {
      const char* p = text.data();
      bool negative = *p == '-';
      if (negative) ++p;
      auto read = json::read_number(p, text.data() + text.size(), negative);
      require(read.ok() && p == text.data() + text.size(), "generated number reads", text);
      json::Value v = read.value();
      if (v.form() != json::NumberForm::floating) {
        text_ += text;
        return v;
      }
      char out[json::kFloatTextMax];
      std::string written(out, json::format_float(v.as_float(), out));
      const char* q = written.data();
      bool neg = *q == '-';
      if (neg) ++q;
      auto reread = json::read_number(q, written.data() + written.size(), neg);
      json::Value back = reread.ok() ? reread.value() : json::Value();
      if (std::memcmp(&back, &v, sizeof v) == 0 || attempt == 3) {
        if (attempt == 3) text = "0.5", v = json::Value::floating(0.5);
        text_ += text;
        return v;
      }
      text = written;  // try the written form's value instead
    }
  }

  json::Value scalar() {
    switch (in_.below(10)) {
      case 0:
      case 1:
      case 2:
        text_ += "null";
        return json::Value::null();
      case 3:
        if (in_.one_in(2)) {
          text_ += "true";
          return json::Value::boolean(true);
        }
        text_ += "false";
        return json::Value::boolean(false);
      case 4:
      case 5:
        return number_value(kNumbers[in_.below(sizeof kNumbers / sizeof kNumbers[0])]);
      case 6: {
        std::uint64_t w = in_.word();
        switch (in_.below(3)) {
          case 0:
            return number_value(std::to_string(w));
          case 1:
            return number_value(std::to_string(-static_cast<std::int64_t>(w >> 1) - 1));
          default: {
            double d;
            std::memcpy(&d, &w, 8);
            if (!std::isfinite(d)) d = 0.25;
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", d);
            std::string t = buf;
            if (t.find_first_of(".en") == std::string::npos) t += ".0";
            return number_value(t);
          }
        }
      }
      case 7:
      case 8:
        return string_value(kStrings[in_.below(sizeof kStrings / sizeof kStrings[0])]);
      default: {
        std::string bytes;
        for (std::size_t n = in_.below(6); n > 0; --n) bytes += key_bytes(in_.below(kFixedKeyCount));
        return string_value(bytes);
      }
    }
  }

  json::Value value(int level) {
    std::size_t choice = in_.below(16);
    if (choice == 11 && in_.rarely(8)) return long_string_value();
    if (level > kMaxLevel || choice < 12) return scalar();
    if (choice == 12 || choice == 13) return array(level, in_.below(5));
    if (choice == 14) return object(level, in_.below(5));
    // A deep chain of single-element arrays, up to the allowed level.
    std::size_t depth = 1 + in_.below(static_cast<std::size_t>(kMaxLevel - level) + 1);
    json::Value top;
    json::Value* hole = &top;
    for (std::size_t i = 0; i < depth; ++i) {
      text_ += '[';
      json::Value* cell = arena_.allocate_array<json::Value>(1);
      *hole = json::Value::array(cell, 1);
      hole = cell;
    }
    *hole = scalar();
    text_.append(depth, ']');
    return top;
  }

  json::Value array(int level, std::size_t count) {
    text_ += '[';
    std::vector<json::Value> elements;
    for (std::size_t i = 0; i < count; ++i) {
      if (i != 0) text_ += ',';
      space();
      elements.push_back(value(level + 1));
      space();
    }
    text_ += ']';
    json::Value* stored = arena_.allocate_array<json::Value>(count);
    for (std::size_t i = 0; i < count; ++i) stored[i] = elements[i];
    return json::Value::array(stored, count);
  }

  json::Value object(int level, std::size_t count) {
    std::vector<std::size_t> keys;
    for (std::size_t i = 0; i < count; ++i)
      keys.push_back(in_.rarely(32) ? kLongKey : in_.below(kFixedKeyCount + 2));
    return object_with(level, keys);
  }

  json::Value object_with(int level, const std::vector<std::size_t>& keys) {
    testkit::ObjectBuilder builder(arena_);
    text_ += '{';
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i != 0) text_ += ',';
      space();
      std::string bytes;
      if (keys[i] == kLongKey) {
        if (long_key_.empty()) long_key_ = long_bytes();  // one per input, so rows can share it
        bytes = long_key_;
        long_text(bytes);
      } else {
        bytes = key_bytes(keys[i]);
        string_text(bytes);
      }
      space();
      text_ += ':';
      space();
      json::Value v;
      auto last = last_value_.find(keys[i]);
      if (level == 2 && last != last_value_.end() && in_.below(3) != 0) {
        text_ += last->second.text;  // the same spelling as before: constants
        v = last->second.value;
      } else {
        std::size_t before = text_.size();
        v = value(level + 1);
        if (level == 2) last_value_[keys[i]] = {text_.substr(before), v};
      }
      builder.insert(keep(bytes), v);
      space();
    }
    text_ += '}';
    return builder.finish();
  }

  // A row: mostly the previous row's keys in the same order (the common
  // shape), sometimes with one key changed or repeated, sometimes new keys,
  // sometimes wide enough for the hashed indexes.
  json::Value row() {
    switch (in_.below(6)) {
      case 0:
      case 1:
        break;
      case 2:
        if (!previous_keys_.empty()) {
          std::size_t at = in_.below(previous_keys_.size());
          previous_keys_[at] = in_.one_in(2)    ? previous_keys_[in_.below(previous_keys_.size())]
                               : in_.rarely(16) ? kLongKey
                                                : in_.below(kFixedKeyCount + 4);
        }
        break;
      case 3: {
        previous_keys_.clear();
        std::size_t count = 30 + in_.below(12);
        std::size_t base = in_.below(4);
        for (std::size_t i = 0; i < count; ++i)
          previous_keys_.push_back(kFixedKeyCount + (i * (base + 1)) % 41);
        for (std::size_t i = count; i > 1; --i) {
          if (in_.one_in(4)) std::swap(previous_keys_[i - 1], previous_keys_[in_.below(i)]);
        }
        break;
      }
      default:
        previous_keys_.clear();
        for (std::size_t n = in_.below(7); n > 0; --n)
          previous_keys_.push_back(in_.below(kFixedKeyCount + 3));
    }
    return object_with(2, previous_keys_);
  }

  Bytes& in_;
  zorvat::Arena& arena_;
  static constexpr std::size_t kLongKey = SIZE_MAX;
  std::string text_;
  std::string long_key_;
  std::size_t long_budget_ = 20 << 20;
  std::vector<std::size_t> previous_keys_;
  std::unordered_map<std::size_t, Generated> last_value_;
};

std::string text_of(const json::Value& v) {
  zorvat::OutputBuffer out;
  json::write_json_value(out, v);
  return std::string(out.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  zorvat::Arena model_arena;
  std::vector<json::Value> expected;
  std::string payload = Generator(in, model_arena).payload(expected);

  // The reader gives the rows the generator meant, byte for byte.
  zorvat::Arena input_arena;
  auto input = json::read_rows(payload, input_arena);
  require(input.ok(), "generated payload reads", input.ok() ? std::string() : input.error().text());
  const json::RowList rows = input.value();
  require(rows.size == expected.size(), "as many rows as generated");
  for (std::size_t r = 0; r < rows.size; ++r) {
    require(text_of(rows.data[r]) == text_of(expected[r]), "row reads as generated", payload);
  }

  transform::Outcome result = transform::columnarize_json(payload);
  require(result.ok(), "rows of objects columnarize", result.ok() ? std::string() : result.error().message());
  {
    // The document as values, written, is the same text as the one written
    // straight from the rows.
    zorvat::Arena arena;
    json::Value document = testkit::columnarize_rows(rows, arena);
    require(testkit::to_json_bytes(document).view() == result.value().view(), "both forms of the document agree");
  }
  std::string wrapped = "[" + std::string(result.value().view()) + "]";
  zorvat::Arena output_arena;
  auto output = json::read_rows(wrapped, output_arena);
  require(output.ok(), "output reads back", output.ok() ? std::string() : output.error().text());
  const json::Object& doc = output.value().data[0].as_object();
  const json::Value& columns = doc[0].value;
  const json::Value& out_rows = doc[1].value;
  const json::Object& constants = doc[2].value.as_object();

  // First appearance of every key, null members included.
  std::unordered_map<std::string_view, std::size_t> first_seen;
  for (const json::Value& row : rows) {
    for (const json::Member& m : row.as_object()) first_seen.emplace(m.key().view(), first_seen.size());
  }
  std::unordered_map<std::string_view, std::size_t> column_of;
  std::size_t last = 0;
  for (std::size_t c = 0; c < columns.array_size(); ++c) {
    std::string_view name = columns.array_data()[c].as_string().view();
    require(first_seen.count(name) && (c == 0 || first_seen[name] > last), "columns in first-seen order",
            name);
    last = first_seen[name];
    column_of.emplace(name, c);
  }
  for (std::size_t k = 0; k < constants.size(); ++k) {
    std::string_view name = constants[k].key().view();
    require(first_seen.count(name) && (k == 0 || first_seen[name] > last), "constants in first-seen order",
            name);
    last = first_seen[name];
    const json::Value* first = rows.data[0].as_object().find(constants[k].key());
    require(first != nullptr && json::equal(*first, constants[k].value),
            "a constant is the first row's value", name);
  }
  if (constants.size() != 0) require(rows.size >= 2, "constants only from two rows on");

  // Expanded rows equal the input rows less their nulls.
  for (std::size_t r = 0; r < rows.size; ++r) {
    const json::Value& cells = out_rows.array_data()[r];
    require(cells.array_size() == columns.array_size(), "row as wide as columns");
    std::size_t present = 0;
    for (const json::Member& m : rows.data[r].as_object()) {
      if (m.value.is_null()) continue;
      ++present;
      auto c = column_of.find(m.key().view());
      if (c != column_of.end()) {
        require(json::equal(cells.array_data()[c->second], m.value), "cell equals the input member",
                m.key().view());
        continue;
      }
      const json::Value* constant = constants.find(m.key());
      require(constant != nullptr, "every non-null member survives", m.key().view());
      require(transform::cells_equal(*constant, m.value), "a constant equals every row's cell",
              m.key().view());
    }
    std::size_t non_null_cells = 0;
    for (std::size_t c = 0; c < cells.array_size(); ++c) non_null_cells += !cells.array_data()[c].is_null();
    require(non_null_cells + constants.size() == present, "nothing is added to a row");
  }

  // A varying column really varies.
  if (rows.size >= 2) {
    for (std::size_t c = 0; c < columns.array_size(); ++c) {
      const json::Value& reference = out_rows.array_data()[0].array_data()[c];
      bool all_equal = !reference.is_null();
      for (std::size_t r = 1; all_equal && r < rows.size; ++r) {
        const json::Value& cell = out_rows.array_data()[r].array_data()[c];
        all_equal = !cell.is_null() && transform::cells_equal(cell, reference);
      }
      require(!all_equal, "a column equal in every row is a constant",
              columns.array_data()[c].as_string().view());
    }
  }
  return 0;
}
