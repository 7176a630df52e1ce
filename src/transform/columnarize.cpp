#include "transform/columnarize.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "json/writer.h"

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

// What the pass over the cells learns about a column.
struct ColumnFacts {
  const Str* name;             // the key of the row where the column first appeared
  Value reference;             // the first row's cell (null when absent)
  std::size_t equal_rows = 0;  // leading rows whose cell equals the reference
  bool has_non_null = false;
};

// One row-major pass over every member of every row: it discovers the
// columns in first-seen order, and learns which are all-null and which are
// constant. It also records which column each member belongs to (one map per
// run of rows with the same keys), so that building the rows never looks a
// key up.
//
// - A member's name is first compared with the column that the previous row
//   had at the same position (rows of one payload usually share their key
//   order); only on a miss is the keyed name set consulted.
// - A column is all-null when no row has a non-null cell in it. It is
//   constant (from two rows on) when every row's cell equals the first row's
//   non-null cell: a null or absent cell never equals a non-null reference,
//   and once a row differs the column is not compared again.
struct Scan {
  std::vector<ColumnFacts> columns;
  std::vector<std::uint32_t> maps;   // member -> column maps, one per run of rows sharing keys
  std::vector<std::size_t> row_map;  // per row: where its map starts in `maps`
};

Scan scan_rows(json::RowList rows, json::Arena& arena) {
  Scan s;
  s.row_map.reserve(rows.size);
  json::KeyIndex seen;
  auto name_at = [&s](std::size_t i) { return *s.columns[i].name; };
  seen.build(name_at, 0, 16, arena);
  const Object* previous = nullptr;
  std::size_t previous_map = 0;
  for (std::size_t r = 0; r < rows.size; ++r) {
    const Object& object = rows.data[r].as_object();
    // A row with the previous row's keys in the same order shares its map.
    bool shared = previous != nullptr && object.size() == previous->size();
    std::size_t map = shared ? previous_map : s.maps.size();
    for (std::size_t i = 0; i < object.size(); ++i) {
      const Member& m = object[i];
      std::size_t c;
      if (shared && m.key() == (*previous)[i].key()) {
        c = s.maps[previous_map + i];
      } else {
        if (shared) {  // the keys part ways here: this row gets a map of its own
          shared = false;
          map = s.maps.size();
          for (std::size_t j = 0; j < i; ++j) {
            const std::uint32_t same = s.maps[previous_map + j];
            s.maps.push_back(same);
          }
        }
        if (previous != nullptr && i < previous->size() &&
            *s.columns[s.maps[previous_map + i]].name == m.key()) {
          c = s.maps[previous_map + i];
        } else {
          c = seen.find_or_insert(name_at, m.key(), s.columns.size(), arena);
          if (c == json::KeyIndex::npos) {
            c = s.columns.size();
            s.columns.push_back({m.key_ref, Value(), 0, false});
          }
        }
        s.maps.push_back(static_cast<std::uint32_t>(c));
      }
      if (m.value.is_null()) continue;
      ColumnFacts& f = s.columns[c];
      f.has_non_null = true;
      if (r == 0) {
        f.reference = m.value;
        f.equal_rows = 1;
      } else if (f.equal_rows == r && cells_equal(m.value, f.reference)) {
        ++f.equal_rows;
      }
    }
    s.row_map.push_back(map);
    previous = &object;
    previous_map = map;
  }
  return s;
}

}  // namespace

ColumnLayout plan_columns(json::RowList rows, json::Arena& arena) {
  Scan scan = scan_rows(rows, arena);
  const std::size_t n = rows.size;
  ColumnLayout layout;
  layout.maps = std::move(scan.maps);
  layout.row_map = std::move(scan.row_map);
  layout.position.assign(scan.columns.size(), ColumnLayout::kDropped);
  // Each column goes to exactly one place: dropped (all-null), constants
  // (the first row's value, its own number form and member order kept), or
  // a position in "columns".
  for (std::size_t c = 0; c < scan.columns.size(); ++c) {
    const ColumnFacts& f = scan.columns[c];
    if (!f.has_non_null) continue;
    if (n >= 2 && f.equal_rows == n) {
      layout.constants.push_back({f.name, f.reference});
    } else {
      layout.position[c] = layout.names.size();
      layout.names.push_back(Value::string(*f.name));
    }
  }
  return layout;
}

void ColumnLayout::fill_row(const Object& row, std::size_t r, Value* cells) const {
  if (!names.empty()) std::memset(static_cast<void*>(cells), 0, names.size() * sizeof(Value));
  const std::uint32_t* column_of = maps.data() + row_map[r];
  for (std::size_t i = 0; i < row.size(); ++i) {
    std::size_t at = position[column_of[i]];
    if (at != kDropped) cells[at] = row[i].value;
  }
}

json::OutputBuffer write_columnar(json::RowList rows, json::Arena& arena, std::size_t initial_capacity) {
  const ColumnLayout layout = plan_columns(rows, arena);
  const std::size_t width = layout.names.size();
  json::OutputBuffer out(initial_capacity);
  out.append(R"({"columns":)");
  json::write_json_value(out, Value::array(layout.names.data(), width));
  out.append(R"(,"rows":[)");
  // One row's cells at a time, in a buffer reused for every row.
  std::vector<Value> cells(width);
  for (std::size_t r = 0; r < rows.size; ++r) {
    if (r != 0) out.push_back(',');
    layout.fill_row(rows.data[r].as_object(), r, cells.data());
    json::write_json_value(out, Value::array(cells.data(), width));
  }
  out.append(R"(],"constants":{)");
  for (std::size_t i = 0; i < layout.constants.size(); ++i) {
    if (i != 0) out.push_back(',');
    json::write_json_string(out, layout.constants[i].key());
    out.push_back(':');
    json::write_json_value(out, layout.constants[i].value);
  }
  out.append("}}");
  return out;
}

}  // namespace zorvat::transform
