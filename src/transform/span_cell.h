// The span pass's cell: where a member's value is, in 8 bytes, so that the
// column plan stores and copies it as a plain word.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvat::transform::span {

// Where a cell's text is.
enum class Mode : std::uint32_t {
  copy = 0,    // the payload's bytes, which are the output
  side = 1,    // the side buffer: the compact text the scan wrote, after its bytes' payload offset and length
  reread = 2,  // the payload's bytes of a container that may repeat a key: the exact reader, then the writer
  number = 3,  // the side buffer: a number's value after its bytes' payload offset and length
};

// A cell as 8 bytes: where its text is, how long, in which buffer.
struct Cell {
  std::uint32_t offset;
  std::uint32_t length_mode;  // length << 2 | mode

  std::size_t length() const { return length_mode >> 2; }
  Mode mode() const { return static_cast<Mode>(length_mode & 3); }
};
static_assert(sizeof(Cell) == 8);

}  // namespace zorvat::transform::span
