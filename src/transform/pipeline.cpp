#include "transform/pipeline.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/arena.h"
#include "json/reader.h"
#include "json/writer.h"
#include "transform/exact_rows.h"
#include "transform/span_pass.h"

namespace zorvat::transform {

bool span_pass_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("ZORVAT_EXACT_ONLY");
    return value == nullptr || std::string_view(value) != "1";
  }();
  return enabled;
}

namespace {

TransformError not_object_error(const json::Value& row) {
  OutputBuffer text;
  json::write_json_value(text, row);
  return TransformError::not_object(std::string(text.view()));
}

// The exact path's error for a payload the span pass handed back, found from
// where the pass stopped rather than from the first byte: the rows it had
// accepted read without error and are all objects, so the first error of a
// full exact run lies past them. Nothing when only a full run can answer
// (the payload may well be valid). The reader, resumed, words every error.
std::optional<TransformError> error_after_decline(std::string_view payload, const SpanDecline& d) {
  using Why = SpanDecline::Why;
  switch (d.why) {
    case Why::malformed:
    case Why::unsupported: {
      // The checking mode builds nothing: an error near the end costs the
      // span pass up to it and a check of the last rows. A row left to the
      // exact path (a number out of range, most likely) is the only one that
      // can hold an error before the full run.
      auto checked = json::check_rows(payload, d.utf8_valid, {d.after_row, d.why == Why::unsupported});
      if (!checked) return TransformError::reading(checked.error());
      return std::nullopt;
    }
    case Why::not_object: {
      // A reading error anywhere comes first; without one, the row the pass
      // stopped at is the first that is not an object, and only it is built.
      auto checked = json::check_rows(payload, d.utf8_valid, {d.after_row, false});
      if (!checked) return TransformError::reading(checked.error());
      Arena arena;
      auto row = json::read_rows(payload, arena, {d.after_row, true});
      if (row && row.value().size == 1 && !row.value().data[0].is_object()) {
        return not_object_error(row.value().data[0]);
      }
      return std::nullopt;  // not expected: the full run answers
    }
    case Why::too_large:
      break;
  }
  return std::nullopt;
}

}  // namespace

Outcome columnarize_json(std::string_view payload) {
  if (span_pass_enabled()) {
    auto fast = fast_path(payload);
    if (fast) return std::move(fast).value();
    if (auto error = error_after_decline(payload, fast.error())) return fail(std::move(*error));
  }
  return exact_path(payload);
}

Outcome exact_path(std::string_view payload) {
  // Every value of the call lives in this arena and goes with it, on every
  // path out of this function.
  Arena arena;

  auto rows = json::read_rows(payload, arena);
  if (!rows) return fail(TransformError::reading(rows.error()));

  for (const json::Value& row : rows.value()) {
    if (!row.is_object()) return fail(not_object_error(row));
  }

  // The document is rarely much smaller than half the payload: starting
  // there saves the early doublings of the output buffer (bounded, so a
  // huge payload does not reserve memory it may not need).
  return write_columnar(rows.value(), std::min<std::size_t>(payload.size() / 2, std::size_t{1} << 20));
}

}  // namespace zorvat::transform
