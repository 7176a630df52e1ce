#include "json/utf8_vector.h"

#ifdef ZORVAT_UTF8_X86
#include <tmmintrin.h>

#include <cstddef>

#include "base/target_region.h"

ZORVAT_TARGET_BEGIN("ssse3")
#include "json/utf8_blocks.h"

namespace zorvat::json::detail {
namespace {

struct Ssse3 {
  static constexpr std::size_t kWidth = 16;
  __m128i v;

  [[gnu::always_inline]] static Ssse3 load(const unsigned char* p) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
  }
  [[gnu::always_inline]] static Ssse3 splat(unsigned char b) { return {_mm_set1_epi8(static_cast<char>(b))}; }
  [[gnu::always_inline]] static Ssse3 table(const unsigned char (&t)[16]) { return load(t); }
  template <int N>
  [[gnu::always_inline]] static Ssse3 before(Ssse3 cur, Ssse3 prev) {
    return {_mm_alignr_epi8(cur.v, prev.v, 16 - N)};
  }
  [[gnu::always_inline]] Ssse3 lookup(Ssse3 index) const { return {_mm_shuffle_epi8(v, index.v)}; }
  [[gnu::always_inline]] Ssse3 shr4() const {
    return {_mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F))};
  }
  [[gnu::always_inline]] Ssse3 subs(Ssse3 o) const { return {_mm_subs_epu8(v, o.v)}; }
  [[gnu::always_inline]] Ssse3 operator&(Ssse3 o) const { return {_mm_and_si128(v, o.v)}; }
  [[gnu::always_inline]] Ssse3 operator|(Ssse3 o) const { return {_mm_or_si128(v, o.v)}; }
  [[gnu::always_inline]] Ssse3 operator^(Ssse3 o) const { return {_mm_xor_si128(v, o.v)}; }
  [[gnu::always_inline]] bool any_high() const { return _mm_movemask_epi8(v) != 0; }
  [[gnu::always_inline]] bool any() const {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) != 0xFFFF;
  }
};

}  // namespace

bool valid_utf8_ssse3(const char* p, std::size_t n) {
  return Utf8Blocks<Ssse3>::valid(reinterpret_cast<const unsigned char*>(p), n);
}

}  // namespace zorvat::json::detail
ZORVAT_TARGET_END

#endif  // ZORVAT_UTF8_X86
