#include "json/utf8_vector.h"

#ifdef ZORVAT_UTF8_X86
#include <immintrin.h>

#include <cstddef>

#include "base/target_region.h"

ZORVAT_TARGET_BEGIN("avx2")
#include "json/utf8_blocks.h"

namespace zorvat::json::detail {
namespace {

struct Avx2 {
  static constexpr std::size_t kWidth = 32;
  __m256i v;

  [[gnu::always_inline]] static Avx2 load(const unsigned char* p) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
  }
  [[gnu::always_inline]] static Avx2 splat(unsigned char b) {
    return {_mm256_set1_epi8(static_cast<char>(b))};
  }
  [[gnu::always_inline]] static Avx2 table(const unsigned char (&t)[16]) {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)))};
  }
  // The 16-byte shift works per lane: the upper lane takes its bytes from
  // the lower one, the lower lane from prev's upper one.
  template <int N>
  [[gnu::always_inline]] static Avx2 before(Avx2 cur, Avx2 prev) {
    return {_mm256_alignr_epi8(cur.v, _mm256_permute2x128_si256(prev.v, cur.v, 0x21), 16 - N)};
  }
  [[gnu::always_inline]] Avx2 lookup(Avx2 index) const { return {_mm256_shuffle_epi8(v, index.v)}; }
  [[gnu::always_inline]] Avx2 shr4() const {
    return {_mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F))};
  }
  [[gnu::always_inline]] Avx2 subs(Avx2 o) const { return {_mm256_subs_epu8(v, o.v)}; }
  [[gnu::always_inline]] Avx2 operator&(Avx2 o) const { return {_mm256_and_si256(v, o.v)}; }
  [[gnu::always_inline]] Avx2 operator|(Avx2 o) const { return {_mm256_or_si256(v, o.v)}; }
  [[gnu::always_inline]] Avx2 operator^(Avx2 o) const { return {_mm256_xor_si256(v, o.v)}; }
  [[gnu::always_inline]] bool any_high() const { return _mm256_movemask_epi8(v) != 0; }
  [[gnu::always_inline]] bool any() const { return !_mm256_testz_si256(v, v); }
};

}  // namespace

bool valid_utf8_avx2(const char* p, std::size_t n) {
  return Utf8Blocks<Avx2>::valid(reinterpret_cast<const unsigned char*>(p), n);
}

}  // namespace zorvat::json::detail
ZORVAT_TARGET_END

#endif  // ZORVAT_UTF8_X86
