#include "transform/exact_rows.h"

#include "json/writer.h"
#include "transform/column_plan.h"
#include "transform/document_writer.h"

namespace zorvat::transform {

using json::Kind;
using json::Value;

bool cells_equal(const Value& a, const Value& b) {
  if (a.kind() == Kind::number && b.kind() == Kind::number) {
    return a.number_as_double() == b.number_as_double();
  }
  return json::equal(a, b);
}

namespace {

// Cells are the rows' own member values, which the arena keeps for the call.
struct ValueCells {
  using Cell = const Value*;
  bool is_null(Cell cell) const { return cell->is_null(); }
  bool equal(Cell cell, Cell reference, std::uint32_t /*column*/) const { return cells_equal(*cell, *reference); }
  void write_cell(OutputRun& run, Cell cell, bool comma) const {
    run.with_buffer([&](OutputBuffer& out) {
      if (comma) out.push_back(',');
      json::write_json_value(out, *cell);
    });
  }
};

}  // namespace

OutputBuffer write_columnar(json::RowList rows, std::size_t cell_bytes) {
  ValueCells cells;
  ColumnPlan<ValueCells> plan(cells, rows.size * 8);
  for (const Value& row : rows) {
    auto intake = plan.begin_row();
    // The reader has resolved repeated keys already.
    for (const json::Member& m : row.as_object()) plan.add(intake, m.key(), &m.value);
    plan.end_row(intake);
  }
  return write_document(plan, cell_bytes);
}

}  // namespace zorvat::transform
