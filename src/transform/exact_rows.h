// The exact path's row source: the reader's row objects into the column
// plan, then the document.
#pragma once

#include <cstddef>

#include "base/buffer.h"
#include "json/reader.h"
#include "json/value.h"

namespace zorvat::transform {

// The columnar document for `rows` (every element an object):
// - "columns": the names that vary, in order of first appearance;
// - "rows": one array per input row with its cells in column order (null
//   where a row lacks the member);
// - "constants": from two rows on, the columns whose cell is equal in every
//   row (numbers compared by value as doubles; nested values structurally),
//   each with the first row's value.
// Columns whose cell is null in every row appear nowhere. Never fails (but
// for memory); thread safe.
OutputBuffer write_columnar(json::RowList rows, std::size_t cell_bytes = 0);

// Cell equality: two numbers are equal when their values as doubles are
// equal (1 == 1.0 == 1e0, 0 == -0.0); anything else compares structurally.
bool cells_equal(const json::Value& a, const json::Value& b);

}  // namespace zorvat::transform
