#include "json/utf8_vector.h"

#ifdef ZORVAT_UTF8_NEON
#include <arm_neon.h>

#include <cstddef>

#include "json/utf8_blocks.h"

namespace zorvat::json::detail {
namespace {

struct Neon {
  static constexpr std::size_t kWidth = 16;
  uint8x16_t v;

  [[gnu::always_inline]] static Neon load(const unsigned char* p) { return {vld1q_u8(p)}; }
  [[gnu::always_inline]] static Neon splat(unsigned char b) { return {vdupq_n_u8(b)}; }
  [[gnu::always_inline]] static Neon table(const unsigned char (&t)[16]) { return load(t); }
  template <int N>
  [[gnu::always_inline]] static Neon before(Neon cur, Neon prev) {
    return {vextq_u8(prev.v, cur.v, 16 - N)};
  }
  [[gnu::always_inline]] Neon lookup(Neon index) const { return {vqtbl1q_u8(v, index.v)}; }
  [[gnu::always_inline]] Neon shr4() const { return {vshrq_n_u8(v, 4)}; }
  [[gnu::always_inline]] Neon subs(Neon o) const { return {vqsubq_u8(v, o.v)}; }
  [[gnu::always_inline]] Neon operator&(Neon o) const { return {vandq_u8(v, o.v)}; }
  [[gnu::always_inline]] Neon operator|(Neon o) const { return {vorrq_u8(v, o.v)}; }
  [[gnu::always_inline]] Neon operator^(Neon o) const { return {veorq_u8(v, o.v)}; }
  [[gnu::always_inline]] bool any_high() const { return vmaxvq_u8(v) >= 0x80; }
  [[gnu::always_inline]] bool any() const { return vmaxvq_u8(v) != 0; }
};

}  // namespace

bool valid_utf8_neon(const char* p, std::size_t n) {
  return Utf8Blocks<Neon>::valid(reinterpret_cast<const unsigned char*>(p), n);
}

}  // namespace zorvat::json::detail

#endif  // ZORVAT_UTF8_NEON
