#include "document.h"

#include <cstring>

#include "json/writer.h"
#include "transform/columnarize.h"

namespace zorvat::testkit {

using json::Member;
using json::Str;
using json::Value;

Value columnarize_rows(json::RowList rows, json::Arena& arena) {
  const transform::ColumnLayout layout = transform::plan_columns(rows, arena);
  const std::size_t n = rows.size;
  const std::size_t width = layout.names.size();

  Value* row_arrays = arena.allocate_array<Value>(n);
  for (std::size_t r = 0; r < n; ++r) {
    Value* cells = arena.allocate_array<Value>(width);
    layout.fill_row(rows.data[r].as_object(), r, cells);
    row_arrays[r] = Value::array(cells, width);
  }

  Value* column_names = arena.allocate_array<Value>(width);
  if (width != 0) std::memcpy(static_cast<void*>(column_names), layout.names.data(), width * sizeof(Value));
  static constexpr Str kColumns{"columns", 7};
  static constexpr Str kRows{"rows", 4};
  static constexpr Str kConstants{"constants", 9};
  const Member document[3] = {
      {&kColumns, Value::array(column_names, width)},
      {&kRows, Value::array(row_arrays, n)},
      {&kConstants, json::make_object(layout.constants.data(), layout.constants.size(), json::KeyIndex(), arena)},
  };
  return json::make_object(document, 3, json::KeyIndex(), arena);
}

json::OutputBuffer to_json_bytes(const Value& v) {
  json::OutputBuffer out;
  json::write_json_value(out, v);
  return out;
}

}  // namespace zorvat::testkit
