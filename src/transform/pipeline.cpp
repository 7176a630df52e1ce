#include "transform/pipeline.h"

#include <algorithm>

#include "json/arena.h"
#include "json/reader.h"
#include "json/writer.h"
#include "transform/columnarize.h"

namespace zorvat::transform {

PipelineResult columnarize_json(std::string_view payload) {
  // Every value of the call lives in this arena and goes with it, on every
  // path out of this function.
  json::Arena arena;

  auto rows = json::read_rows(payload, arena);
  if (!rows) {
    std::string message(kInvalidJsonPrefix);
    message += rows.error().text();
    return PipelineResult::failure(std::move(message));
  }

  for (const json::Value& row : rows.value()) {
    if (!row.is_object()) {
      json::OutputBuffer text;
      json::write_json_value(text, row);
      std::string message(kNotObjectPrefix);
      message.append(text.data(), text.size());
      return PipelineResult::failure(std::move(message));
    }
  }

  // The document is rarely much smaller than half the payload: starting
  // there saves the early doublings of the output buffer (bounded, so a
  // huge payload does not reserve memory it may not need).
  const std::size_t start_capacity = std::clamp<std::size_t>(payload.size() / 2, 128, std::size_t{1} << 20);
  return PipelineResult::output(write_columnar(rows.value(), arena, start_capacity));
}

std::string compose_panic_message(const ContainedFailure& failure) {
  std::string message(kPanicPrefix);
  if (failure.has_text) {
    message += failure.text;
  } else {
    message += kUnknownPanic;
  }
  return message;
}

}  // namespace zorvat::transform
