// The span pass's check that a whole payload is valid UTF-8. Two builds of
// one answer: the module's core uses simdjson's validator (vectorised,
// several GB/s); the command's core uses the project's own (is_valid_utf8),
// so that the command needs no shared library beyond the C and C++ runtimes
// and stays one native executable in a repaired wheel.
#pragma once

#include <cstddef>

namespace zorvat::transform {

bool payload_is_utf8(const char* p, std::size_t n);

}  // namespace zorvat::transform
