// read_rows: the payload's one top-level JSON array, as a list of values.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/arena.h"
#include "json/error.h"
#include "json/result.h"
#include "json/value.h"

namespace zorvat::json {

// The elements of the top-level array, in document order. They live in the
// arena passed to read_rows; strings read without escapes point into the
// payload, which must outlive them.
struct RowList {
  const Value* data = nullptr;
  std::size_t size = 0;

  const Value* begin() const { return data; }
  const Value* end() const { return data + size; }
};

// One forward pass over `payload`: the complete row list, or the first error
// met and nothing else (everything built so far is left to the arena).
// Nesting is kept on heap stacks, never on the C stack: arrays and objects
// may nest 127 levels, the top-level array included. Thread safe (all state
// is in the call, apart from the per-thread hash key).
Result<RowList, ReaderError> read_rows(std::string_view payload, Arena& arena);

// read_rows without the rows: the same pass, the same error (text and
// position) or none, but nothing is built, so it costs a fraction of a read.
// `utf8_valid`: the caller has found the whole payload valid UTF-8, so no
// string needs that check (none could fail it).
struct Checked {};
Result<Checked, ReaderError> check_rows(std::string_view payload, bool utf8_valid);

}  // namespace zorvat::json
