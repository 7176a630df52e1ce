// The pipeline's answer as one string, for test tables: the document, or
// "ERR " and the failure message.
#pragma once

#include <string>
#include <string_view>

#include "transform/pipeline.h"

namespace zorvat::transform {

inline std::string pipeline_text(std::string_view payload) {
  Outcome r = columnarize_json(payload);
  if (!r) return "ERR " + r.error().message();
  return std::string(r.value().view());
}

}  // namespace zorvat::transform
