// Keyed hashing for every table whose size the input controls (object
// indexes, the column name set). Keys come from the OS random source, so a
// payload cannot be crafted to make keys collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zorvat {

struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// SipHash-1-3 of `bytes` followed by one 0xFF byte (the terminator keeps a key
// distinct from its own prefixes when keys are hashed back to back).
std::uint64_t sip_hash13(HashKey key, std::string_view bytes);

// The key for a new table: this thread's current pair, after which the
// thread's k0 is increased by one (wrapping). The pair is drawn once per
// thread from getrandom(2). Lock free; safe on any thread.
HashKey take_table_key();

}  // namespace zorvat
