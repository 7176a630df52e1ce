// The row pipeline: payload bytes in, columnar document bytes or an error
// out. Touches no Python object and takes no lock: any number of threads may
// run it at once on their own payloads.
#pragma once

#include <exception>
#include <string_view>

#include "base/buffer.h"
#include "base/result.h"
#include "transform/transform_error.h"

namespace zorvat::transform {

// The document's bytes, or why there is none.
using Outcome = Result<OutputBuffer, TransformError>;

// The entry: reads, checks, columnarizes and writes. Every expected failure comes back
// as an error; it throws only when something unexpected happens (memory
// exhaustion, a broken invariant), which run_guarded contains.
//
// The fast path (the span pass, span_pass.h) answers first; what it hands
// back goes to the exact path, which gives the same bytes and words every
// error.
Outcome columnarize_json(std::string_view payload);

// The exact path alone: the reader builds the rows, the row check,
// write_columnar.
Outcome exact_path(std::string_view payload);

// False when the environment held ZORVAT_EXACT_ONLY=1 at the first call: then
// columnarize_json takes the exact path only (the switch for testing that
// path; no result depends on it). Read once per process; the binding calls it
// while importing, so that the environment is never read without the
// interpreter lock.
bool span_pass_enabled();

// The failure boundary: runs `operation` (which returns an Outcome) and turns
// any exception into a panic error with the exception's text. Nothing
// escapes it. Needs no interpreter lock.
template <class Operation>
Outcome run_guarded(Operation&& operation) noexcept {
  try {
    try {
      return operation();
    } catch (const std::exception& e) {
      return fail(TransformError::panic(e.what()));
    } catch (...) {
      return fail(TransformError::unknown_panic());
    }
  } catch (...) {
    // Copying the text itself failed (memory exhausted): report it textless.
    return fail(TransformError::unknown_panic());
  }
}

}  // namespace zorvat::transform
