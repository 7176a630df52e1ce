// The fast path: one validating pass over the payload that records where
// each cell's bytes are (no value tree), learns the columns and constants on
// the way, then writes the document mostly by copying those bytes.
//
// It never words an error. Whatever it does not fully handle (any grammar,
// UTF-8 or escape error, a row that is not an object, nesting past the limit,
// a number that might overflow, a payload past 4 GiB) it hands back, saying
// where the exact reader may take over: the reader stays the one source of
// error text and position. When the pass accepts a payload, its bytes are
// the exact path's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/buffer.h"
#include "base/result.h"

namespace zorvat::transform {

// Why the span pass handed a payload back, and where.
struct SpanDecline {
  enum class Why : std::uint8_t {
    malformed,    // the text may break the grammar (the exact reader says where, or finds nothing)
    not_object,   // the row after `after_row` starts with a value that is not an object
    unsupported,  // that row holds what the pass leaves to the exact path (a number that
                  // might overflow, a cell of 1 GiB or more); it may still break the grammar
    too_large,    // past its 32-bit offsets; nothing was scanned
  };
  Why why;
  // The whole payload is valid UTF-8 (so no string can fail on it).
  bool utf8_valid;
  // Just past the last row the pass accepted, or 0 when it accepted none.
  // Every row it accepts, the exact reader reads without error, so that
  // reader may resume here (json::ReadFrom::after_row).
  std::size_t after_row;
};

// Cells hold 32-bit offsets into the payload and into the side text the
// pass writes: past this bound the pass hands the payload back (the side text
// can outgrow the payload, so the bound is tested as it grows, not only
// once). Tests pass a lower bound to cross it with small payloads.
inline constexpr std::size_t kMaxSpanOffset = UINT32_MAX;

// The fast path: the document from one pass over the payload, or why the
// exact path must answer instead.
Result<OutputBuffer, SpanDecline> fast_path(std::string_view payload,
                                    std::size_t max_offset = kMaxSpanOffset);

}  // namespace zorvat::transform
