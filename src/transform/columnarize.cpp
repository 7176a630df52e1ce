#include "transform/columnarize.h"

#include <vector>

namespace zorvat::transform {

using json::Kind;
using json::Member;
using json::Object;
using json::Str;
using json::Value;

bool cells_equal(const Value& a, const Value& b) {
  if (a.kind() == Kind::number && b.kind() == Kind::number) {
    return a.number_as_double() == b.number_as_double();
  }
  return json::equal(a, b);
}

namespace {

// One column: its name and where it sat in the row last looked at. Rows of a
// payload usually share their key order, so the position found in one row
// is where the next row has it too, and the lookup is one comparison.
struct Column {
  Str name;
  std::size_t hint = 0;
  bool keep = true;
};

const Value* cell(const Value& row, Column& column) {
  return row.as_object().find_with_hint(column.name, column.hint);
}

// Step 1: distinct member names in first-seen order. A name is checked
// against the column that the previous row had at the same position before
// the keyed name set is consulted, so uniform rows cost one comparison per
// member instead of one hash.
std::vector<Column> discover_columns(json::RowList rows, json::Arena& arena) {
  std::vector<Column> columns;
  json::KeyIndex seen;
  auto name_at = [&columns](std::size_t i) { return columns[i].name; };
  seen.build(name_at, 0, 16, arena);
  std::vector<std::size_t> previous;  // column of each member of the previous row
  std::vector<std::size_t> current;
  for (const Value& row : rows) {
    const Object& object = row.as_object();
    current.clear();
    for (std::size_t i = 0; i < object.size(); ++i) {
      const Str key = object[i].key;
      if (i < previous.size() && columns[previous[i]].name == key) {
        current.push_back(previous[i]);
        continue;
      }
      std::size_t at = seen.find_or_insert(name_at, key, columns.size(), arena);
      if (at == json::KeyIndex::npos) {
        at = columns.size();
        columns.push_back({key, i, true});
      }
      current.push_back(at);
    }
    previous.swap(current);
  }
  return columns;
}

}  // namespace

Value columnarize_rows(json::RowList rows, json::Arena& arena) {
  std::vector<Column> columns = discover_columns(rows, arena);

  // Step 2: drop the columns that are null in every row. Each test stops at
  // the first row with a non-null cell.
  for (Column& column : columns) {
    column.keep = false;
    for (const Value& row : rows) {
      const Value* v = cell(row, column);
      if (v != nullptr && !v->is_null()) {
        column.keep = true;
        break;
      }
    }
  }

  // Step 3: constants, from two rows on. The reference is the first row's
  // cell; the test stops at the first row that differs.
  std::vector<Member> constants;
  if (rows.size >= 2) {
    for (Column& column : columns) {
      if (!column.keep) continue;
      const Value* first = cell(rows.data[0], column);
      const Value reference = first != nullptr ? *first : Value::null();
      bool constant = true;
      for (const Value& row : rows) {
        const Value* v = cell(row, column);
        if (!cells_equal(v != nullptr ? *v : Value::null(), reference)) {
          constant = false;
          break;
        }
      }
      if (constant) {
        constants.push_back({column.name, reference});
        column.keep = false;
      }
    }
  }

  // Removing dropped names is a flag per column: the order of the rest is
  // unchanged, and it stays linear however many names are dropped.
  std::vector<Column> varying;
  for (const Column& column : columns) {
    if (column.keep) varying.push_back(column);
  }

  // Step 4: one array per row, each allocated once at its final size.
  const std::size_t width = varying.size();
  Value* row_arrays = arena.allocate_array<Value>(rows.size);
  for (std::size_t r = 0; r < rows.size; ++r) {
    Value* cells = arena.allocate_array<Value>(width);
    for (std::size_t c = 0; c < width; ++c) {
      const Value* v = cell(rows.data[r], varying[c]);
      cells[c] = v != nullptr ? *v : Value::null();
    }
    row_arrays[r] = Value::array(cells, width);
  }

  // Step 5: the document.
  Value* names = arena.allocate_array<Value>(width);
  for (std::size_t c = 0; c < width; ++c) names[c] = Value::string(varying[c].name);
  const Member document[3] = {
      {{"columns", 7}, Value::array(names, width)},
      {{"rows", 4}, Value::array(row_arrays, rows.size)},
      {{"constants", 9}, json::make_object(constants.data(), constants.size(), json::KeyIndex(), arena)},
  };
  return json::make_object(document, 3, json::KeyIndex(), arena);
}

}  // namespace zorvat::transform
