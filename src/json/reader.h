// read_rows: the payload's one top-level JSON array, as a list of values.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/arena.h"
#include "base/result.h"
#include "json/error.h"
#include "json/value.h"

namespace zorvat::json {

// Values may nest this deep, the top-level array being level 1.
inline constexpr std::size_t kMaxDepth = 127;

// The elements of the top-level array, in document order. They live in the
// arena passed to read_rows; strings read without escapes point into the
// payload, which must outlive them.
struct RowList {
  const Value* data = nullptr;
  std::size_t size = 0;

  const Value* begin() const { return data; }
  const Value* end() const { return data + size; }
};

// Where a read starts and where it stops; by default the whole payload from
// its first byte.
struct ReadFrom {
  // 0, or the offset just past a row (a top-level array element) that a read
  // from the first byte reaches without error: the read resumes there in the
  // state that read has there, so it meets the same first error (text and
  // position) or none. The row list then starts with the row after it.
  std::size_t after_row = 0;
  // Stop once the next row is read: the list holds that row alone (or no row
  // when the array closes first), and nothing after it is looked at.
  bool one_row = false;
};

// One forward pass over `payload`: the complete row list, or the first error
// met and nothing else (everything built so far is left to the arena).
// Nesting is kept on heap stacks, never on the C stack: arrays and objects
// may nest 127 levels, the top-level array included. Thread safe (all state
// is in the call, apart from the per-thread hash key).
Result<RowList, ReaderError> read_rows(std::string_view payload, Arena& arena, ReadFrom from = {});

// read_rows without the rows: the same pass, the same error (text and
// position) or none, but nothing is built, so it costs a fraction of a read.
// `utf8_valid`: the caller has found the whole payload valid UTF-8, so no
// string needs that check (none could fail it).
struct Checked {};
Result<Checked, ReaderError> check_rows(std::string_view payload, bool utf8_valid, ReadFrom from = {});

// Whether a value can begin with byte c: where one cannot, the error is
// "expected value" at that byte; where one can, the value is read and named.
inline bool starts_value(char c) {
  return c == '{' || c == '[' || c == '"' || c == '-' || static_cast<unsigned char>(c - '0') < 10 || c == 't' ||
         c == 'f' || c == 'n';
}

}  // namespace zorvat::json
