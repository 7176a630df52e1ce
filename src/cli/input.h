// What the command makes of an input's bytes around the transform: gzip
// undone, JSON Lines turned into the array they stand for, and, when the
// input is rejected, a hint at the likely cause.
#pragma once

#include <string>
#include <string_view>

#include "base/buffer.h"
#include "transform/pipeline.h"

namespace zorvat::cli {

// Gzip data, whatever the file is called: its first two bytes.
inline bool is_gzip(std::string_view bytes) {
  return bytes.size() >= 2 && bytes[0] == '\x1f' && bytes[1] == '\x8b';
}

// The limit on the size of an input, decompressed, as messages name it:
// "the input size limit of <limit> bytes (see --max-input-size)".
std::string size_limit_text(std::size_t limit);

struct Gunzipped {
  enum class Status {
    ok,         // `bytes` holds what the data decompress to, or enough of its start to reject it
    too_large,  // they decompress to more than the limit
    invalid,    // they cannot be decompressed: `reason` says why
  };
  Status status = Status::ok;
  std::string reason;
};

// Replaces the gzip data in `bytes` (one member, or several one after the
// other, perhaps followed by zero bytes of padding) by what it decompresses
// to, in steps, holding at most `limit` + 1 bytes of it. It stops early,
// leaving in `bytes` the start decompressed so far, once that start decides
// that the input (read with `lines` or not) is rejected, and how: the first
// byte other than whitespace of the input (of a line, with `lines`) cannot
// begin it; the rest is then neither decompressed nor checked, and convert
// gives for that start the message and hint that it gives for the whole
// input. With another status, `bytes` is left as it was. Throws
// std::bad_alloc when memory is exhausted.
Gunzipped gunzip(OutputBuffer& bytes, bool lines, std::size_t limit);

struct Answer {
  transform::Outcome outcome;
  std::string hint;  // with a failure, perhaps: its likely cause, one line without newline
};

// Columnarizes `payload` behind the same failure boundary as the Python
// entry: an unexpected internal failure becomes a failure message, never a
// crash. With `lines`, the payload is JSON Lines, read as the array of its
// non-blank lines. The payload is released as soon as the transform is done
// with it.
Answer convert(OutputBuffer payload, bool lines);

}  // namespace zorvat::cli
