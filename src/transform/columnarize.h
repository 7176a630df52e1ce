// columnarize_rows: row objects in, the columnar document out.
#pragma once

#include "json/arena.h"
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

// Cell equality: two numbers are equal when their values as doubles are
// equal (1 == 1.0 == 1e0, 0 == -0.0); anything else compares structurally.
bool cells_equal(const json::Value& a, const json::Value& b);

}  // namespace zorvat::transform
