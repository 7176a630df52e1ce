// columnarize_json on arbitrary bytes: an output or a message, never a crash
// or sanitizer report. A message comes exactly when the payload does not
// read as an array of objects. An output reads back with the project's own
// reader as {"columns":[...],"rows":[...],"constants":{...}} whose parts fit
// together, and a second run gives the same bytes (the per-table hash keys
// differ between runs, so nothing may depend on them).
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_check.h"
#include "json/reader.h"
#include "transform/pipeline.h"

using namespace zorvat;
using fuzz::require;
using transform::kInvalidJsonPrefix;
using transform::kNotObjectPrefix;
using transform::TransformError;

namespace {

// Deepest container level in `v`, counting `v` itself as `level` when it is
// a container (iterative: values nest up to the reader's limit).
std::size_t deepest_level(const json::Value& root, std::size_t level) {
  struct Item {
    const json::Value* v;
    std::size_t level;
  };
  std::vector<Item> todo{{&root, level}};
  std::size_t deepest = 0;
  while (!todo.empty()) {
    Item it = todo.back();
    todo.pop_back();
    if (it.v->kind() == json::Kind::array) {
      deepest = std::max(deepest, it.level);
      for (std::size_t i = 0; i < it.v->array_size(); ++i)
        todo.push_back({&it.v->array_data()[i], it.level + 1});
    } else if (it.v->kind() == json::Kind::object) {
      deepest = std::max(deepest, it.level);
      for (const json::Member& m : it.v->as_object()) todo.push_back({&m.value, it.level + 1});
    }
  }
  return deepest;
}

void check_document(const json::Value& doc, std::size_t row_count) {
  require(doc.is_object(), "output is an object");
  const json::Object& o = doc.as_object();
  require(o.size() == 3, "output has three members");
  require(o[0].key().view() == "columns" && o[1].key().view() == "rows" && o[2].key().view() == "constants",
          "members are columns, rows, constants in that order");
  const json::Value& columns = o[0].value;
  const json::Value& rows = o[1].value;
  const json::Value& constants = o[2].value;
  require(columns.kind() == json::Kind::array, "columns is an array");
  require(rows.kind() == json::Kind::array, "rows is an array");
  require(constants.is_object(), "constants is an object");

  std::unordered_set<std::string_view> names;
  for (std::size_t i = 0; i < columns.array_size(); ++i) {
    const json::Value& name = columns.array_data()[i];
    require(name.kind() == json::Kind::string, "column names are strings");
    require(names.insert(name.as_string().view()).second, "column names are distinct",
            name.as_string().view());
  }
  for (const json::Member& m : constants.as_object()) {
    require(!names.count(m.key().view()), "no name is both a column and a constant", m.key().view());
    require(!m.value.is_null(), "no constant is null", m.key().view());
  }
  require(constants.as_object().size() == 0 || row_count >= 2, "constants only from two rows on");

  const std::size_t width = columns.array_size();
  require(rows.array_size() == row_count, "one output row per input row");
  std::vector<bool> column_has_value(width, false);
  for (std::size_t r = 0; r < rows.array_size(); ++r) {
    const json::Value& row = rows.array_data()[r];
    require(row.kind() == json::Kind::array, "every row is an array");
    require(row.array_size() == width, "every row is as wide as columns");
    for (std::size_t c = 0; c < width; ++c) {
      if (!row.array_data()[c].is_null()) column_has_value[c] = true;
    }
  }
  for (std::size_t c = 0; c < width; ++c) {
    require(column_has_value[c], "no column is null in every row",
            columns.array_data()[c].as_string().view());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view payload(reinterpret_cast<const char*>(data), size);
  transform::Outcome result = transform::run_guarded([&] { return transform::columnarize_json(payload); });
  const bool panicked = !result.ok() && (result.error().kind() == TransformError::Kind::panic ||
                                         result.error().kind() == TransformError::Kind::unknown_panic);
  require(!panicked, "nothing reaches the failure boundary", panicked ? result.error().message() : std::string());

  // What the payload is, independently of the pipeline.
  zorvat::Arena input_arena;
  auto input = json::read_rows(payload, input_arena);
  bool all_objects = input.ok();
  std::size_t input_depth = 0;
  if (input.ok()) {
    for (const json::Value& row : input.value()) {
      all_objects = all_objects && row.is_object();
      input_depth = std::max(input_depth, deepest_level(row, 2));
    }
  }

  if (!result) {
    const std::string m = result.error().message();
    if (!input.ok()) {
      require(m == std::string(kInvalidJsonPrefix) + input.error().text(), "a reading failure carries the reader's text",
              m);
    } else {
      require(!all_objects, "an array of objects never fails", m);
      require(m.rfind(kNotObjectPrefix, 0) == 0, "a non-object row is named as such", m);
    }
    return 0;
  }
  require(all_objects, "only an array of objects succeeds");

  transform::Outcome again = transform::columnarize_json(payload);
  require(again.ok() && again.value().view() == result.value().view(), "the same payload, the same bytes");

  // The document re-read inside an array, as read_rows wants one. Its cells
  // sit two levels deeper than the input's values did, so an input within two
  // levels of the nesting limit cannot be re-read this way.
  std::string wrapped = "[";
  wrapped.append(result.value().view());
  wrapped += "]";
  zorvat::Arena output_arena;
  auto output = json::read_rows(wrapped, output_arena);
  if (!output.ok()) {
    require(input_depth + 2 > 127 && output.error().description == "recursion limit exceeded",
            "the output reads back", output.error().text());
    return 0;
  }
  require(output.value().size == 1, "the output is one value");
  check_document(output.value().data[0], input.value().size);
  return 0;
}
