// The one writer of the columnar document, from a column plan (either row
// source's): {"columns":[...],"rows":[[...],...],"constants":{...}}.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/buffer.h"
#include "json/writer.h"
#include "transform/column_plan.h"

namespace zorvat::transform {

// The rows: each cell at its column's position, null where the row lacks it.
// `position`: per column, its place in the rows or kNoColumn; `width`: the
// number of places.
template <RowSource Source>
void write_rows(const ColumnPlan<Source>& plan, const std::vector<std::uint32_t>& position, std::size_t width,
                OutputBuffer& out) {
  Source& source = plan.source();
  // Per place, the member index that fills it in the rows of the last column list read.
  std::vector<std::uint32_t> member_at(width, kNoColumn);
  auto rows = plan.stream().rows();
  OutputRun run(out);
  for (std::uint64_t r = 0, n = plan.rows(); r < n; ++r) {
    const auto row = rows.next();
    if (row.list != nullptr) {
      std::fill(member_at.begin(), member_at.end(), kNoColumn);
      for (std::size_t j = 0; j < row.count; ++j) {
        const std::uint32_t at = position[row.list[j]];
        if (at != kNoColumn) member_at[at] = static_cast<std::uint32_t>(j);
      }
    }
    if (r != 0) run.push_back(',');
    run.push_back('[');
    for (std::size_t k = 0; k < width; ++k) {
      const std::uint32_t j = member_at[k];
      // A row sharing a longer row's column list has only its first members.
      if (j < row.count) {
        source.write_cell(run, row.cell(j), k != 0);
      } else {
        char* v = run.reserve(5);
        std::memcpy(v, ",null", 5);
        if (k == 0) std::memmove(v, v + 1, 4);
        run.commit(4 + (k != 0));
      }
    }
    run.push_back(']');
  }
}

// A column's name as a JSON string: most need no escape and are copied whole.
template <class Column>
void write_name(OutputBuffer& out, const Column& column) {
  if (column.plain_name()) return json::write_plain_string(out, column.name());
  json::write_json_string(out, column.name());
}

// `cell_bytes`: about the bytes the cells take as written, to size the output.
template <RowSource Source>
OutputBuffer write_document(ColumnPlan<Source>& plan, std::uint64_t cell_bytes) {
  plan.end_intake();
  const std::uint64_t n = plan.rows();
  const std::size_t columns = plan.column_count();

  // Each column goes to exactly one place: nowhere (null in every row), the
  // constants (from two rows on, every row's cell equal to the first's), or
  // a position in "columns".
  std::vector<std::uint32_t> position(columns, kNoColumn);
  std::size_t width = 0;
  std::uint64_t names = 0;
  for (std::uint32_t c = 0; c < columns; ++c) {
    const auto& col = plan.column(c);
    if (col.non_null == 0) continue;
    names += col.name_size() + 4;
    if (n < 2 || col.equal_rows != n) position[c] = static_cast<std::uint32_t>(width++);
  }
  // The cells, and a null and a comma for every place in the rows: more than
  // the document needs unless many cells are rewritten longer (then the
  // buffer grows as usual); the room never written is never touched.
  OutputBuffer out(static_cast<std::size_t>(64 + names + cell_bytes + 3 * n + 5 * n * width));

  out.append(R"({"columns":[)");
  bool first = true;
  for (std::uint32_t c = 0; c < columns; ++c) {
    if (position[c] == kNoColumn) continue;
    if (!first) out.push_back(',');
    first = false;
    write_name(out, plan.column(c));
  }
  out.append(R"(],"rows":[)");
  write_rows(plan, position, width, out);
  // The constants: the columns placed nowhere that are not null in every
  // row, each with its first row's cell.
  out.append(R"(],"constants":{)");
  first = true;
  for (std::uint32_t c = 0; c < columns; ++c) {
    const auto& col = plan.column(c);
    if (col.non_null == 0 || position[c] != kNoColumn) continue;
    if (!first) out.push_back(',');
    first = false;
    write_name(out, col);
    out.push_back(':');
    OutputRun run(out);
    plan.source().write_cell(run, col.reference, false);
  }
  out.append("}}");
  return out;
}

}  // namespace zorvat::transform
