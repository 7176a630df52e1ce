// What the command makes of an input's bytes around the transform: gzip
// undone, JSON Lines turned into the array they stand for, and, when the
// input is rejected, a hint at the likely cause.
#pragma once

#include <string>
#include <string_view>

#include "json/buffer.h"
#include "transform/pipeline.h"

namespace zorvat::cli {

// Gzip data, whatever the file is called: its first two bytes.
inline bool is_gzip(std::string_view bytes) {
  return bytes.size() >= 2 && bytes[0] == '\x1f' && bytes[1] == '\x8b';
}

// Replaces the gzip data in `bytes` (one member, or several one after the
// other) by what it decompresses to. Returns an empty string, or why it
// cannot be decompressed (`bytes` is then left as it was). Throws
// std::bad_alloc when memory is exhausted.
std::string gunzip(json::OutputBuffer& bytes);

struct Answer {
  transform::Outcome outcome;
  std::string hint;  // with a failure, perhaps: its likely cause, one line without newline
};

// Columnarizes `payload` behind the same failure boundary as the Python
// entry: an unexpected internal failure becomes a failure message, never a
// crash. With `lines`, the payload is JSON Lines, read as the array of its
// non-blank lines. The payload is released as soon as the transform is done
// with it.
Answer convert(json::OutputBuffer payload, bool lines);

}  // namespace zorvat::cli
