#include "transform/pipeline.h"

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

  return PipelineResult::output(write_columnar(rows.value(), arena));
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
