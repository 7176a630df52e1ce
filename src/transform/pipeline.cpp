#include "transform/pipeline.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "json/arena.h"
#include "json/reader.h"
#include "json/writer.h"
#include "transform/columnarize.h"
#include "transform/span_pass.h"

namespace zorvat::transform {

bool span_pass_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("ZORVAT_EXACT_ONLY");
    return value == nullptr || std::string_view(value) != "1";
  }();
  return enabled;
}

Outcome columnarize_json(std::string_view payload) {
  if (span_pass_enabled()) {
    auto fast = columnarize_spans(payload);
    if (fast) return std::move(fast).value();
    // Where the pass stopped at what may be a reading error, the reader's
    // checking mode finds it without building the rows: an error near the
    // end then costs a second scan, not a second scan and a tree.
    if (fast.error().maybe_malformed) {
      auto checked = json::check_rows(payload, fast.error().utf8_valid);
      if (!checked) return fail(TransformError{TransformError::Kind::invalid_json, checked.error().text()});
    }
  }
  return columnarize_exact(payload);
}

Outcome columnarize_exact(std::string_view payload) {
  // Every value of the call lives in this arena and goes with it, on every
  // path out of this function.
  json::Arena arena;

  auto rows = json::read_rows(payload, arena);
  if (!rows) return fail(TransformError{TransformError::Kind::invalid_json, rows.error().text()});

  for (const json::Value& row : rows.value()) {
    if (!row.is_object()) {
      json::OutputBuffer text;
      json::write_json_value(text, row);
      return fail(TransformError{TransformError::Kind::not_object, std::string(text.view())});
    }
  }

  // The document is rarely much smaller than half the payload: starting
  // there saves the early doublings of the output buffer (bounded, so a
  // huge payload does not reserve memory it may not need).
  const std::size_t start_capacity = std::clamp<std::size_t>(payload.size() / 2, 128, std::size_t{1} << 20);
  return write_columnar(rows.value(), arena, start_capacity);
}

}  // namespace zorvat::transform
