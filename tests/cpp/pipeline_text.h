// The pipeline's answer as one string, for test tables: the document, or
// "ERR " and the failure message.
#pragma once

#include <string>
#include <string_view>

#include "transform/pipeline.h"

namespace zorvat::transform {

inline std::string pipeline_text(std::string_view payload) {
  PipelineResult r = columnarize_json(payload);
  if (r.kind == PipelineResult::Kind::failure) return "ERR " + r.message;
  return std::string(r.bytes.view());
}

}  // namespace zorvat::transform
