// Words loaded from any address. The hosts are little-endian (x86-64,
// aarch64): the byte at the lowest address is the word's lowest, which the
// digit, key and string tricks of the reading and writing rely on.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zorvat {

static_assert(std::endian::native == std::endian::little, "the first byte of a loaded word must be its lowest");

// sizeof(W) bytes at p, as one W; one unaligned load once compiled.
template <class W>
inline W load_word(const void* p) {
  W w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline std::uint64_t load_word8(const void* p) { return load_word<std::uint64_t>(p); }

}  // namespace zorvat
