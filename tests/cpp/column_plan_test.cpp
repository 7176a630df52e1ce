// The column plan on its own, fed member sequences as a row source would
// (repeated keys included), against the plain reading of the rules in
// tests/support: the rows as objects (a repeated key keeps its first
// position and takes the last value), then columnarize_rows.
#include "transform/column_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "document.h"
#include "json/reader.h"
#include "json/writer.h"
#include "transform/exact_rows.h"
#include "transform/document_writer.h"

namespace zorvat::transform {
namespace {

// Cells are the values of the members read from the test's text.
struct TestCells {
  using Cell = const json::Value*;
  bool is_null(Cell cell) const { return cell->is_null(); }
  bool equal(Cell cell, Cell reference, std::uint32_t /*column*/) const { return cells_equal(*cell, *reference); }
  void write_cell(zorvat::OutputRun& run, Cell cell, bool comma) const {
    run.with_buffer([&](zorvat::OutputBuffer& out) {
      if (comma) out.push_back(',');
      json::write_json_value(out, *cell);
    });
  }
};
static_assert(RowSource<TestCells>);

using Row = std::vector<std::pair<std::string, std::string>>;  // key, value as JSON text

// The rows as the plan is fed them, and as the plain reading sees them.
void expect_same_document(const std::vector<Row>& rows, const std::string& label) {
  std::string members = "[";  // every row's values, in order, for the plan
  std::string objects = "[";  // the rows as objects, for the plain reading
  for (const Row& row : rows) {
    objects += objects.size() > 1 ? ",{" : "{";
    for (std::size_t m = 0; m < row.size(); ++m) {
      zorvat::OutputBuffer key;
      json::write_json_string(key, {row[m].first.data(), row[m].first.size()});
      objects += (m != 0 ? "," : "") + std::string(key.view()) + ":" + row[m].second;
      members += (members.size() > 1 ? "," : "") + row[m].second;
    }
    objects += "}";
  }
  members += "]";
  objects += "]";

  zorvat::Arena arena;
  auto values = json::read_rows(members, arena);
  auto objects_read = json::read_rows(objects, arena);
  ASSERT_TRUE(values && objects_read) << label;
  const zorvat::OutputBuffer expected = testkit::to_json_bytes(testkit::columnarize_rows(objects_read.value(), arena));

  TestCells cells;
  ColumnPlan<TestCells> plan(cells, 64);
  const json::Value* value = values.value().data;
  for (const Row& row : rows) {
    auto intake = plan.begin_row();
    for (const auto& [key, text] : row) plan.add(intake, json::Str{key.data(), key.size()}, value++);
    plan.end_row(intake);
  }
  EXPECT_EQ(write_document(plan, 0).view(), expected.view()) << label << "\n" << objects;
}

TEST(ColumnPlanTest, MemberSequencesAsThePlainReadingHasThem) {
  const std::vector<std::pair<const char*, std::vector<Row>>> cases = {
      {"no rows", {}},
      {"one row: no constants", {{{"a", "1"}, {"b", "null"}}}},
      {"same keys", {{{"a", "1"}, {"b", "2"}}, {{"a", "3"}, {"b", "2"}}}},
      {"a key absent, then another", {{{"a", "1"}, {"b", "2"}}, {{"a", "1"}}, {{"b", "2"}}}},
      {"absent from the first row", {{{"b", "2"}}, {{"a", "1"}, {"b", "2"}}}},
      {"order changed", {{{"a", "1"}, {"b", "2"}, {"c", "3"}}, {{"c", "4"}, {"a", "1"}, {"b", "5"}}}},
      {"a new key in the middle", {{{"a", "1"}, {"c", "3"}}, {{"a", "2"}, {"b", "0"}, {"c", "3"}}}},
      {"empty rows", {{}, {{"a", "1"}}, {}}},
      {"repeated key: last value, first place", {{{"a", "1"}, {"b", "2"}, {"a", "3"}}, {{"b", "2"}, {"a", "4"}}}},
      {"repeated key within the shared list", {{{"a", "1"}, {"b", "2"}}, {{"a", "1"}, {"b", "2"}, {"a", "5"}}}},
      {"a repeat restores the constant", {{{"a", "1"}, {"a", "2"}}, {{"a", "2"}}, {{"a", "2"}}}},
      {"a repeat breaks the constant", {{{"a", "2"}}, {{"a", "2"}, {"a", "3"}}}},
      {"a repeat to null: the column drops", {{{"a", "1"}, {"a", "null"}}, {{"a", "null"}}}},
      {"a repeat from null", {{{"a", "null"}, {"a", "1"}}, {{"a", "1"}}}},
      {"numbers equal by value", {{{"n", "1"}, {"m", "[1,{\"x\":0}]"}}, {{"n", "1.0"}, {"m", "[1e0,{\"x\":-0.0}]"}}}},
      {"strings and literals differ", {{{"s", "\"1\""}, {"t", "true"}}, {{"s", "1"}, {"t", "true"}}}},
      {"all null", {{{"a", "null"}}, {{"a", "null"}, {"b", "1"}}}},
      {"escaped names", {{{"a\"b", "1"}, {"\xc3\xa9", "2"}}, {{"\xc3\xa9", "3"}, {"a\"b", "1"}}}},
  };
  for (const auto& [label, rows] : cases) expect_same_document(rows, label);
}

// Around the switch from scanning the names to indexing them (and past the
// columns the plan keeps an order for): rows of n distinct keys, reversed,
// with repeats, with keys missing, and with keys new past the switch.
TEST(ColumnPlanTest, AroundTheLinearScanLimit) {
  const std::size_t limit = json::kLinearSearchKeys;
  for (std::size_t n : {limit - 1, limit, limit + 1, limit + 2, 2 * limit + 1, std::size_t{1100}}) {
    auto key = [](std::size_t i) { return "k" + std::to_string(i); };
    Row first, reversed, sparse;
    for (std::size_t i = 0; i < n; ++i) first.push_back({key(i), std::to_string(i % 3)});
    for (std::size_t i = n; i-- > 0;) reversed.push_back({key(i), std::to_string(i % 3)});
    reversed.push_back({key(n / 2), "9"});
    for (std::size_t i = 0; i < n + 3; i += 2) sparse.push_back({key(i), "\"x\""});
    expect_same_document({first, reversed, sparse, first}, "n=" + std::to_string(n));
  }
}

// Random sequences from a few keys and values, each row a shuffle with
// repeats and gaps, some rows far wider than the limit.
TEST(ColumnPlanTest, RandomSequences) {
  std::mt19937_64 rng(20261209);
  const char* values[] = {"null", "1", "1.0", "2", "\"a\"", "true", "[1]", "{\"k\":1}"};
  for (int round = 0; round < 400; ++round) {
    const std::size_t keys = round % 4 == 0 ? 3 * json::kLinearSearchKeys : 6;
    std::vector<Row> rows(rng() % 6);
    for (Row& row : rows) {
      const std::size_t members = rng() % (keys + 3);
      for (std::size_t m = 0; m < members; ++m) {
        row.push_back({"c" + std::to_string(rng() % keys), values[rng() % std::size(values)]});
      }
      // Rows that mostly keep one order, as payloads do.
      if (rng() % 2) std::sort(row.begin(), row.end());
    }
    expect_same_document(rows, "round " + std::to_string(round));
  }
}

}  // namespace
}  // namespace zorvat::transform
