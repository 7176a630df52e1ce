// columnarize_rows: row objects in, the columnar document out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "json/arena.h"
#include "json/buffer.h"
#include "json/reader.h"
#include "json/value.h"

namespace zorvat::transform {

// The document {"columns":[...],"rows":[[...],...],"constants":{...}} for
// `rows` (every element an object):
// - columns: the names that vary, in order of first appearance;
// - rows: one array per input row with its cells in column order (null where
//   a row lacks the member);
// - constants: from two rows on, the columns whose cell is equal in every row
//   (numbers compared by value as doubles; nested values structurally), each
//   with the first row's value.
// Columns whose cell is null in every row appear nowhere.
//
// The document shares the rows' (immutable) values rather than copying them:
// both live in `arena` for the rest of the call, and nothing can tell a
// shared value from a copy. Never fails; thread safe.
json::Value columnarize_rows(json::RowList rows, json::Arena& arena);

// The same document written straight to bytes, identical to
// to_json_bytes(columnarize_rows(rows, arena)) but without building the row
// arrays: one row's cells at a time go from the rows to the output, which
// saves their memory (16 bytes a cell) and a pass over them.
json::OutputBuffer write_columnar(json::RowList rows, json::Arena& arena, std::size_t initial_capacity = 128);

// Where every column of the rows goes; the work both forms above share.
struct ColumnLayout {
  static constexpr std::size_t kDropped = SIZE_MAX;

  std::vector<json::Value> names;            // "columns", as string values
  std::vector<json::Member> constants;       // "constants", in column order
  std::vector<std::size_t> position;         // per column found: index in names, or kDropped
  std::vector<std::uint32_t> member_column;  // per member of every row, in order: its column

  // Writes the cells of `row` (names.size() of them, null where absent) to
  // `cells`. Rows must be filled in order: the cursor walks member_column.
  void fill_row(const json::Object& row, const std::uint32_t*& member_cursor, json::Value* cells) const;
};

ColumnLayout plan_columns(json::RowList rows, json::Arena& arena);

// Cell equality: two numbers are equal when their values as doubles are
// equal (1 == 1.0 == 1e0, 0 == -0.0); anything else compares structurally.
bool cells_equal(const json::Value& a, const json::Value& b);

}  // namespace zorvat::transform
