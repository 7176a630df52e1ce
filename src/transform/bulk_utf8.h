// The span pass's check that a whole payload is valid UTF-8: the project's
// own validator, whose vector variants cover the payload a block at a time.
#pragma once

#include <cstddef>

#include "json/strings.h"

namespace zorvat::transform {

inline bool payload_is_utf8(const char* p, std::size_t n) { return json::is_valid_utf8(p, n); }

}  // namespace zorvat::transform
