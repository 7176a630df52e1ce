#include "base/hash.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/unaligned.h"

namespace zorvat {
namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void compress(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

struct ThreadKey {
  bool ready = false;
  HashKey key{};
};

thread_local ThreadKey thread_key;

HashKey draw_random_key() {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("could not read the OS random source");
    }
    filled += static_cast<std::size_t>(n);
  }
  HashKey key;
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  return key;
}

}  // namespace

std::uint64_t sip_hash13(HashKey key, std::string_view bytes) {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
             key.k1 ^ 0x7465646279746573ULL};
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  const std::size_t total = n + 1;  // the message is the key bytes plus 0xFF
  while (n >= 8) {
    s.compress(load_word8(p));
    p += 8;
    n -= 8;
  }
  // The last block: 0..7 remaining key bytes, the 0xFF terminator and, when
  // that fills eight bytes, one more block holding only the length byte.
  unsigned char tail[8] = {};
  std::memcpy(tail, p, n);
  tail[n] = 0xFF;
  std::uint64_t last;
  std::memcpy(&last, tail, 8);
  if (n == 7) {
    s.compress(last);
    last = 0;
  }
  s.compress(last | static_cast<std::uint64_t>(total) << 56);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

HashKey take_table_key() {
  ThreadKey& t = thread_key;
  if (!t.ready) {
    t.key = draw_random_key();
    t.ready = true;
  }
  HashKey key = t.key;
  ++t.key.k0;
  return key;
}

}  // namespace zorvat
