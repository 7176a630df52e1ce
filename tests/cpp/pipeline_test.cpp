#include "transform/pipeline.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "json/reader.h"
#include "json/writer.h"
#include "document.h"
#include "pipeline_text.h"
#include "transform/exact_rows.h"

namespace zorvat::transform {
namespace {

struct Case {
  std::string payload;
  std::string expected;
};

// The document built as a value and written by the general writer: the
// pipeline's direct writer must produce exactly these bytes.
std::string via_document(std::string_view payload) {
  zorvat::Arena arena;
  auto rows = json::read_rows(payload, arena);
  if (!rows) return "ERR";
  return std::string(testkit::to_json_bytes(testkit::columnarize_rows(rows.value(), arena)).view());
}

TEST(ColumnarizeTest, DocumentTable) {
  const std::vector<Case> cases = {
      {"[]", R"({"columns":[],"rows":[],"constants":{}})"},
      {"[{}]", R"({"columns":[],"rows":[[]],"constants":{}})"},
      {"[{},{}]", R"({"columns":[],"rows":[[],[]],"constants":{}})"},
      {R"([{"a":1}])", R"({"columns":["a"],"rows":[[1]],"constants":{}})"},
      {R"([{"a":1,"b":null}])", R"({"columns":["a"],"rows":[[1]],"constants":{}})"},
      {R"([{"a":1,"b":2},{"a":1,"b":3}])", R"({"columns":["b"],"rows":[[2],[3]],"constants":{"a":1}})"},
      {R"([{"a":1},{"a":1}])", R"({"columns":[],"rows":[[],[]],"constants":{"a":1}})"},
      {R"([{"a":1},{"b":2}])", R"({"columns":["a","b"],"rows":[[1,null],[null,2]],"constants":{}})"},
      {R"([{"a":1},{"a":1},{}])", R"({"columns":["a"],"rows":[[1],[1],[null]],"constants":{}})"},
      {R"([{"a":null},{"a":null}])", R"({"columns":[],"rows":[[],[]],"constants":{}})"},
      {R"([{"a":null},{}])", R"({"columns":[],"rows":[[],[]],"constants":{}})"},
      {R"([{"b":1,"a":2},{"a":3,"c":4}])",
       R"({"columns":["b","a","c"],"rows":[[1,2,null],[null,3,4]],"constants":{}})"},
      {R"([{"a":1,"b":"s"},{"b":"s","a":2},{"a":3,"b":"s"}])",
       R"({"columns":["a"],"rows":[[1],[2],[3]],"constants":{"b":"s"}})"},
      {R"([{"x":1},{"x":1.0}])", R"({"columns":[],"rows":[[],[]],"constants":{"x":1}})"},
      {R"([{"x":1.0},{"x":1}])", R"({"columns":[],"rows":[[],[]],"constants":{"x":1.0}})"},
      {R"([{"x":[1]},{"x":[1.0]}])", R"({"columns":["x"],"rows":[[[1]],[[1.0]]],"constants":{}})"},
      {R"([{"o":{"p":1,"q":2}},{"o":{"q":2,"p":1}}])",
       R"({"columns":[],"rows":[[],[]],"constants":{"o":{"p":1,"q":2}}})"},
      {R"([{"k":9007199254740993},{"k":9007199254740992}])",
       R"({"columns":[],"rows":[[],[]],"constants":{"k":9007199254740993}})"},
      {R"([{"k":-0.0},{"k":0}])", R"({"columns":[],"rows":[[],[]],"constants":{"k":-0.0}})"},
      {R"([{"a":1,"a":2},{"a":2}])", R"({"columns":[],"rows":[[],[]],"constants":{"a":2}})"},
      // Beyond the basic table: cross-form integers, strings vs numbers,
      // a single row never has constants, keys in shifting positions.
      {R"([{"n":-1},{"n":-1.0},{"n":-1e0}])", R"({"columns":[],"rows":[[],[],[]],"constants":{"n":-1}})"},
      {R"([{"n":1},{"n":"1"}])", R"({"columns":["n"],"rows":[[1],["1"]],"constants":{}})"},
      {R"([{"a":1,"b":2,"c":3}])", R"({"columns":["a","b","c"],"rows":[[1,2,3]],"constants":{}})"},
      {R"([{"a":1,"b":2},{"x":0,"b":2,"a":1},{"b":2,"a":1}])",
       R"({"columns":["x"],"rows":[[null],[0],[null]],"constants":{"a":1,"b":2}})"},
      {R"([{"a":null},{"a":1}])", R"({"columns":["a"],"rows":[[null],[1]],"constants":{}})"},
      // Rows of one size whose keys part ways after the first member.
      {R"([{"a":1,"b":2},{"a":1,"c":3},{"a":1,"c":3},{"c":4,"a":1}])",
       R"({"columns":["b","c"],"rows":[[2,null],[null,3],[null,3],[null,4]],"constants":{"a":1}})"},
      {R"([{"a":[]},{"a":[]}])", R"({"columns":[],"rows":[[],[]],"constants":{"a":[]}})"},
      {R"([{"a":{}},{"a":[]}])", R"({"columns":["a"],"rows":[[{}],[[]]],"constants":{}})"},
      {R"([{"s":"\u00e9\n"},{"s":"é\n"}])", R"({"columns":[],"rows":[[],[]],"constants":{"s":"é\n"}})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pipeline_text(c.payload), c.expected) << "payload: " << c.payload;
    EXPECT_EQ(via_document(c.payload), c.expected) << "payload: " << c.payload;
  }
}

// Wide rows with members in varying order exercise the hashed lookups; the
// name index outgrows (and frees) several tables, past the arena's first
// chunk at 5,000 columns and past whole huge pages (2 MiB) at 140,000.
TEST(ColumnarizeTest, WideRowsInShiftingOrder) {
  for (const int width : {40, 5000, 140000}) {
    std::string payload = "[";
    std::string expected_columns;
    std::string expected_rows;
    for (int r = 0; r < 3; ++r) {
      payload += r ? ",{" : "{";
      expected_rows += r ? ",[" : "[";
      for (int k = 0; k < width; ++k) {
        int key = (k + r * 7) % width;
        payload += (k ? ",\"c" : "\"c") + std::to_string(key) + "\":" + std::to_string(key * 10 + r);
      }
      for (int k = 0; k < width; ++k) expected_rows += (k ? "," : "") + std::to_string(k * 10 + r);
      payload += "}";
      expected_rows += "]";
    }
    for (int k = 0; k < width; ++k) expected_columns += (k ? ",\"c" : "\"c") + std::to_string(k) + "\"";
    payload += "]";
    EXPECT_EQ(pipeline_text(payload),
              "{\"columns\":[" + expected_columns + "],\"rows\":[" + expected_rows + "],\"constants\":{}}");
    EXPECT_EQ(via_document(payload), pipeline_text(payload));
  }
}

TEST(PipelineTest, Messages) {
  const std::vector<Case> cases = {
      {"", "ERR invalid row-oriented JSON: EOF while parsing a value at line 1 column 0"},
      {"{}", "ERR invalid row-oriented JSON: invalid type: map, expected a sequence at line 1 column 0"},
      {"[] x", "ERR invalid row-oriented JSON: trailing characters at line 1 column 4"},
      {"[] \t\n\r", R"({"columns":[],"rows":[],"constants":{}})"},
      {"[{},2,[3]]", "ERR expected a JSON object row, got: 2"},
      {"[null]", "ERR expected a JSON object row, got: null"},
      {"[[1, 2]]", "ERR expected a JSON object row, got: [1,2]"},
      {"[1.0]", "ERR expected a JSON object row, got: 1.0"},
      {"[-0]", "ERR expected a JSON object row, got: -0.0"},
      {R"(["a\"b\u0001"])", R"(ERR expected a JSON object row, got: "a\"b\u0001")"},
      {R"([{}, {"a":1}, [{"b":[1,{"c":null}]}]])",
       R"(ERR expected a JSON object row, got: [{"b":[1,{"c":null}]}])"},
      // A reading error anywhere wins over a non-object row.
      {"[1, }", "ERR invalid row-oriented JSON: expected value at line 1 column 5"},
      {"[1] x", "ERR invalid row-oriented JSON: trailing characters at line 1 column 5"},
      {"[", "ERR invalid row-oriented JSON: EOF while parsing a list at line 1 column 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(pipeline_text(c.payload), c.expected) << "payload: " << c.payload;
}

TEST(PipelineTest, BoundaryContainsEveryKindOfThrow) {
  struct Thrower {
    const char* name;
    void (*raise)();
    std::string expected;
  } throwers[] = {
      {"with text", [] { throw std::out_of_range("index 7 out of range"); },
       "internal panic during columnarization: index 7 out of range"},
      {"bad_alloc", [] { throw std::bad_alloc(); }, "internal panic during columnarization: std::bad_alloc"},
      {"without text", [] { throw 42; },
       "internal panic during columnarization: unknown panic in columnarize_json"},
  };
  for (const Thrower& t : throwers) {
    Outcome g = run_guarded([&]() -> Outcome {
      t.raise();
      return zorvat::OutputBuffer();
    });
    ASSERT_FALSE(g.ok()) << t.name;
    EXPECT_EQ(g.error().message(), t.expected) << t.name;
  }
  // A normal result passes through unchanged.
  Outcome ok = run_guarded([] { return columnarize_json("[]"); });
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().view(), R"({"columns":[],"rows":[],"constants":{}})");
}

}  // namespace
}  // namespace zorvat::transform
