#include "document.h"

#include <string_view>
#include <unordered_set>
#include <vector>

#include "json/writer.h"
#include "transform/exact_rows.h"

namespace zorvat::testkit {

using json::Member;
using json::Str;
using json::Value;

// Step by step as the rules read, with lookups rather than the pipeline's
// plan, so that the two can be compared.
Value columnarize_rows(json::RowList rows, zorvat::Arena& arena) {
  const std::size_t n = rows.size;
  std::vector<const Str*> names;
  std::unordered_set<std::string_view> seen;
  for (const Value& row : rows) {
    for (const Member& m : row.as_object()) {
      if (seen.insert(m.key().view()).second) names.push_back(m.key_ref);
    }
  }
  auto cell = [](const Value& row, Str name) {
    const Value* v = row.as_object().find(name);
    return v != nullptr ? *v : Value::null();
  };
  std::vector<Value> columns;
  std::vector<const Str*> column_keys;
  std::vector<Member> constants;
  for (const Str* name : names) {
    bool all_null = true;
    for (const Value& row : rows) all_null = all_null && cell(row, *name).is_null();
    if (all_null) continue;
    const Value reference = cell(rows.data[0], *name);
    bool constant = n >= 2;
    for (const Value& row : rows) constant = constant && transform::cells_equal(cell(row, *name), reference);
    if (constant) {
      constants.push_back({name, reference});
    } else {
      columns.push_back(Value::string(*name));
      column_keys.push_back(name);
    }
  }
  const std::size_t width = columns.size();
  Value* row_arrays = arena.allocate_array<Value>(n);
  for (std::size_t r = 0; r < n; ++r) {
    Value* cells = arena.allocate_array<Value>(width);
    for (std::size_t k = 0; k < width; ++k) cells[k] = cell(rows.data[r], *column_keys[k]);
    row_arrays[r] = Value::array(cells, width);
  }
  Value* column_names = arena.allocate_array<Value>(width);
  for (std::size_t k = 0; k < width; ++k) column_names[k] = columns[k];
  static constexpr Str kColumns{"columns", 7};
  static constexpr Str kRows{"rows", 4};
  static constexpr Str kConstants{"constants", 9};
  const Member document[3] = {
      {&kColumns, Value::array(column_names, width)},
      {&kRows, Value::array(row_arrays, n)},
      {&kConstants, json::make_object(constants.data(), constants.size(), json::KeyIndex(), arena)},
  };
  return json::make_object(document, 3, json::KeyIndex(), arena);
}

zorvat::OutputBuffer to_json_bytes(const Value& v) {
  zorvat::OutputBuffer out;
  json::write_json_value(out, v);
  return out;
}

}  // namespace zorvat::testkit
