// The columnarization: row objects in, the columnar document out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "json/arena.h"
#include "json/buffer.h"
#include "json/reader.h"
#include "json/value.h"

namespace zorvat::transform {

// The columnar document for `rows` (every element an object), written
// straight to bytes:
// - "columns": the names that vary, in order of first appearance;
// - "rows": one array per input row with its cells in column order (null
//   where a row lacks the member);
// - "constants": from two rows on, the columns whose cell is equal in every
//   row (numbers compared by value as doubles; nested values structurally),
//   each with the first row's value.
// Columns whose cell is null in every row appear nowhere. One row's cells at
// a time go from the rows to the output; no row array is built. Never fails
// (but for memory); thread safe.
json::OutputBuffer write_columnar(json::RowList rows, json::Arena& arena, std::size_t initial_capacity = 128);

// Where every column of the rows goes: the plan that write_columnar follows.
struct ColumnLayout {
  static constexpr std::size_t kDropped = SIZE_MAX;

  std::vector<json::Value> names;       // "columns", as string values
  std::vector<json::Member> constants;  // "constants", in column order
  std::vector<std::size_t> position;    // per column found: index in names, or kDropped
  // Member -> column maps: row r's member i is in column maps[row_map[r] + i].
  // Consecutive rows with the same keys in the same order share one map, so
  // this costs a word per row rather than one per member.
  std::vector<std::uint32_t> maps;
  std::vector<std::size_t> row_map;

  // Writes the cells of row `r` (names.size() of them, null where absent)
  // to `cells`.
  void fill_row(const json::Object& row, std::size_t r, json::Value* cells) const;
};

ColumnLayout plan_columns(json::RowList rows, json::Arena& arena);

// Cell equality: two numbers are equal when their values as doubles are
// equal (1 == 1.0 == 1e0, 0 == -0.0); anything else compares structurally.
bool cells_equal(const json::Value& a, const json::Value& b);

}  // namespace zorvat::transform
