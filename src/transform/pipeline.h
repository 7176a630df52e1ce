// The row pipeline: payload bytes in, columnar document bytes or a failure
// message out. Touches no Python object and takes no lock: any number of
// threads may run it at once on their own payloads.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "json/buffer.h"
#include "json/pages.h"

namespace zorvat::transform {

inline constexpr std::string_view kInvalidJsonPrefix = "invalid row-oriented JSON: ";
inline constexpr std::string_view kNotObjectPrefix = "expected a JSON object row, got: ";
inline constexpr std::string_view kSerializationPrefix = "serialization error: ";
inline constexpr std::string_view kPanicPrefix = "internal panic during columnarization: ";
inline constexpr std::string_view kUnknownPanic = "unknown panic in columnarize_json";

// Storage for a caller's private copy of the payload: large copies sit on
// huge pages, which saves most of their page faults (see json/pages.h).
using json::allocate_pages;
using json::release_pages;

// Either the output bytes or a failure message (UTF-8), owned.
struct PipelineResult {
  enum class Kind { output, failure };
  Kind kind;
  json::OutputBuffer bytes;  // the document, when kind == output
  std::string message;       // when kind == failure

  static PipelineResult output(json::OutputBuffer b) { return {Kind::output, std::move(b), {}}; }
  static PipelineResult failure(std::string m) {
    return {Kind::failure, json::OutputBuffer(0), std::move(m)};
  }
};

// Reads, checks, columnarizes and writes. Every expected failure comes back
// as a message; it throws only when something unexpected happens (memory
// exhaustion, a broken invariant), which the boundary below contains.
PipelineResult columnarize_json(std::string_view payload);

// What the boundary caught: the text the failure carried, if any.
struct ContainedFailure {
  bool has_text = false;
  std::string text;
};

using Guarded = std::variant<PipelineResult, ContainedFailure>;

// The failure boundary: runs `operation` (which returns a PipelineResult) and
// converts any exception into a ContainedFailure, copying its text. Nothing
// escapes it. Needs no interpreter lock.
template <class Operation>
Guarded run_guarded(Operation&& operation) noexcept {
  try {
    try {
      return Guarded(std::in_place_index<0>, operation());
    } catch (const std::exception& e) {
      return Guarded(std::in_place_index<1>, ContainedFailure{true, e.what()});
    } catch (...) {
      return Guarded(std::in_place_index<1>, ContainedFailure{false, {}});
    }
  } catch (...) {
    // Copying the text itself failed (memory exhausted): report it textless.
    return Guarded(std::in_place_index<1>, ContainedFailure{});
  }
}

// "internal panic during columnarization: " + the failure's text, or the
// fixed text for a failure without one. Composed after the lock is back.
std::string compose_panic_message(const ContainedFailure& failure);

}  // namespace zorvat::transform
