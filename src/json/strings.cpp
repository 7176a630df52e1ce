#include "json/strings.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/cpu_features.h"
#include "base/unaligned.h"
#include "json/string_kernels.h"
#include "json/utf8_sequence.h"
#include "json/utf8_vector.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define ZORVAT_STRINGS_X86 1
#include <emmintrin.h>
#endif

namespace zorvat::json {
namespace {

using u8 = unsigned char;

// ---- Word-at-a-time helpers (any unsigned word type) ----
//
// Every mask below is exact per byte: the additions never carry from one byte
// into the next, so any flagged byte is a real match and the first flagged
// byte is the first match.

template <class W>
constexpr W bytes_of(u8 c) {
  return static_cast<W>(~W{0} / 0xFF * c);
}

// High bit of every byte of `x` that is zero.
template <class W>
inline W zero_bytes(W x) {
  return static_cast<W>(~(((x & bytes_of<W>(0x7F)) + bytes_of<W>(0x7F)) | x) & bytes_of<W>(0x80));
}

template <class W>
inline W special_bytes(W x) {
  // (x & 0x7F) + 0x60 reaches the high bit exactly when the low seven bits are
  // at least 0x20; or-ing x then also clears every byte of 0x80 and up.
  W below_space =
      static_cast<W>(~(((x & bytes_of<W>(0x7F)) + bytes_of<W>(0x80 - 0x20)) | x) & bytes_of<W>(0x80));
  return zero_bytes<W>(x ^ bytes_of<W>('"')) | zero_bytes<W>(x ^ bytes_of<W>('\\')) | below_space;
}

// Offset of the lowest-addressed flagged byte of a non-zero mask.
template <class W>
inline unsigned first_flagged(W mask) {
  return static_cast<unsigned>(std::countr_zero(mask)) / 8;
}

inline bool is_special(u8 b) { return b == '"' || b == '\\' || b < 0x20; }

// Tests one word at `p` and, when the range is at least a word long, the last
// word of the range, which may overlap bytes already found clean.
template <class W, class Mask>
inline const u8* first_in_word_pair(const u8* p, const u8* end, Mask mask) {
  if (W m = mask(load_word<W>(p))) return p + first_flagged(m);
  const u8* last = end - sizeof(W);
  if (W m = mask(load_word<W>(last))) return last + first_flagged(m);
  return end;
}

// [p, end) shorter than 16 bytes.
inline const u8* find_special_short(const u8* p, const u8* end) {
  const std::size_t n = static_cast<std::size_t>(end - p);
  if (n >= 8) return first_in_word_pair<std::uint64_t>(p, end, special_bytes<std::uint64_t>);
  if (n >= 4) return first_in_word_pair<std::uint32_t>(p, end, special_bytes<std::uint32_t>);
  for (; p != end; ++p) {
    if (is_special(*p)) return p;
  }
  return end;
}

template <class W>
inline W high_bits(W x) {
  return x & bytes_of<W>(0x80);
}

// First byte of 0x80 and up in [p, end) shorter than 16 bytes, else `end`.
inline const u8* skip_ascii_short(const u8* p, const u8* end) {
  const std::size_t n = static_cast<std::size_t>(end - p);
  if (n >= 8) return first_in_word_pair<std::uint64_t>(p, end, high_bits<std::uint64_t>);
  if (n >= 4) return first_in_word_pair<std::uint32_t>(p, end, high_bits<std::uint32_t>);
  for (; p != end; ++p) {
    if (*p >= 0x80) return p;
  }
  return end;
}

// ---- Portable variant: eight bytes per step ----

template <class Mask>
inline const u8* first_by_words(const u8* p, const u8* end, Mask mask) {
  using W = std::uint64_t;
  for (; end - p >= 8; p += 8) {
    if (W m = mask(load_word<W>(p))) return p + first_flagged(m);
  }
  if (p == end) return end;
  const u8* last = end - 8;  // overlaps clean bytes; the range had >= 16
  if (W m = mask(load_word<W>(last))) return last + first_flagged(m);
  return end;
}

const u8* find_special_swar(const u8* p, const u8* end) {
  if (end - p < 16) return find_special_short(p, end);
  return first_by_words(p, end, special_bytes<std::uint64_t>);
}

const u8* skip_ascii_swar(const u8* p, const u8* end) {
  if (end - p < 16) return skip_ascii_short(p, end);
  return first_by_words(p, end, high_bits<std::uint64_t>);
}

// Alternates between skipping ASCII runs with `skip_ascii` and checking the
// non-ASCII run after each one sequence by sequence.
template <const u8* (*skip_ascii)(const u8*, const u8*)>
inline bool validate_utf8(const u8* p, const u8* end) {
  using W = std::uint64_t;
  p = skip_ascii(p, end);
  while (p != end) {
    do {
      const std::size_t len = utf8_sequence_length(p, end);
      if (len == 0) return false;
      p += len;
    } while (p != end && *p >= 0x80);
    // In non-Latin text the ASCII runs are mostly a space or a punctuation
    // mark: one word settles those without the wide skip.
    if (end - p >= 8) {
      if (W m = high_bits(load_word<W>(p))) {
        p += first_flagged(m);
        continue;
      }
      p += 8;
    }
    p = skip_ascii(p, end);
  }
  return true;
}

// ---- SSE2: sixteen bytes per step ----

#ifdef ZORVAT_STRINGS_X86

inline unsigned high_mask16(const void* p) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(static_cast<const __m128i*>(p))));
}

// For ranges of at least 16 bytes: 16 at a time, then the last 16 of the
// range, overlapping bytes already found clean.
template <unsigned (*mask16)(const void*)>
inline const u8* first_by_blocks16(const u8* p, const u8* end) {
  const u8* last = end - 16;
  for (; p < last; p += 16) {
    if (unsigned m = mask16(p)) return p + std::countr_zero(m);
  }
  if (unsigned m = mask16(last)) return last + std::countr_zero(m);
  return end;
}

inline const u8* find_special_sse2(const u8* p, const u8* end) {
  if (end - p < 16) return find_special_short(p, end);
  return first_by_blocks16<special_mask16>(p, end);
}

inline const u8* skip_ascii_sse2(const u8* p, const u8* end) {
  if (end - p < 16) return skip_ascii_short(p, end);
  return first_by_blocks16<high_mask16>(p, end);
}

bool valid_utf8_sse2(const u8* p, const u8* end) { return validate_utf8<skip_ascii_sse2>(p, end); }

#endif  // ZORVAT_STRINGS_X86

bool valid_utf8_swar(const u8* p, const u8* end) { return validate_utf8<skip_ascii_swar>(p, end); }

// ---- Variant table and dispatch ----

const u8* bytes(const char* p) { return reinterpret_cast<const u8*>(p); }
const char* chars(const u8* p) { return reinterpret_cast<const char*>(p); }

template <const u8* (*find)(const u8*, const u8*)>
const char* find_entry(const char* p, const char* end) {
  return chars(find(bytes(p), bytes(end)));
}

template <bool (*valid)(const u8*, const u8*)>
bool utf8_entry(const char* p, std::size_t n) {
  return valid(bytes(p), bytes(p) + n);
}

bool always() { return true; }
#ifdef ZORVAT_UTF8_X86
bool has_ssse3() { return cpu_features().ssse3; }
bool has_avx2() { return cpu_features().avx2; }
#endif

// Every variant, portable one first, best last. SSE2 is part of x86-64; the
// wider UTF-8 checks are chosen at run time. The vector searches for special
// and non-ASCII bytes stay at 16 bytes (a 32-byte AVX2 search measured no
// gain end to end).
constexpr detail::StringKernels kKernels[] = {
    {"swar", find_entry<find_special_swar>, utf8_entry<valid_utf8_swar>, find_entry<skip_ascii_swar>, always},
#ifdef ZORVAT_STRINGS_X86
    {"sse2", find_entry<find_special_sse2>, utf8_entry<valid_utf8_sse2>, find_entry<skip_ascii_sse2>, always},
#endif
#ifdef ZORVAT_UTF8_X86
    {"ssse3", find_entry<find_special_sse2>, detail::valid_utf8_ssse3, find_entry<skip_ascii_sse2>,
     has_ssse3},
    {"avx2", find_entry<find_special_sse2>, detail::valid_utf8_avx2, find_entry<skip_ascii_sse2>, has_avx2},
#endif
#ifdef ZORVAT_UTF8_NEON
    {"neon", find_entry<find_special_swar>, detail::valid_utf8_neon, find_entry<skip_ascii_swar>, always},
#endif
};

// The last variant that every processor of this build's target runs: its
// searches are called directly, with no run-time choice in the way.
constexpr std::size_t baseline_index() {
  std::size_t last = 0;
  for (std::size_t i = 0; i < std::size(kKernels); ++i) {
    if (kKernels[i].runs_here == always) last = i;
  }
  return last;
}
constexpr const detail::StringKernels& kBaseline = kKernels[baseline_index()];

// The UTF-8 check of the best variant this processor runs, chosen once.
using Utf8Check = bool (*)(const char*, std::size_t);
Utf8Check best_utf8_check() {
  static const Utf8Check chosen = [] {
    for (std::size_t i = std::size(kKernels); i-- > 0;) {
      if (kKernels[i].runs_here()) return kKernels[i].valid_utf8;
    }
    return kKernels[0].valid_utf8;
  }();
  return chosen;
}

}  // namespace

namespace detail {

bool valid_utf8_sequences(const char* p, std::size_t n) {
#ifdef ZORVAT_STRINGS_X86
  return valid_utf8_sse2(bytes(p), bytes(p) + n);
#else
  return valid_utf8_swar(bytes(p), bytes(p) + n);
#endif
}

}  // namespace detail

const char* find_string_special(const char* p, const char* end) { return kBaseline.find_special(p, end); }
bool is_valid_utf8(const char* p, std::size_t n) {
  // Short strings, the reader's usual, skip the choice of variant too.
  if (n < detail::kVectorUtf8From) return detail::valid_utf8_sequences(p, n);
  return best_utf8_check()(p, n);
}
const char* find_non_ascii(const char* p, const char* end) { return kBaseline.find_non_ascii(p, end); }

namespace detail {

std::span<const StringKernels> available_string_kernels() { return kKernels; }

}  // namespace detail
const char* scan_string_from(const char* q, const char* end, bool& verbatim, bool& escaped) {
  for (;;) {
    if (q == end) return nullptr;
    if (*q == '"') return q + 1;
    if (*q != '\\') return nullptr;  // a raw control character
    escaped = true;
    const Escape e = read_escape(q + 1, end);
    if (e.error != ErrorKind::none) return nullptr;
    verbatim = verbatim && e.writer_form;
    q = find_string_special_inline(e.next, end);
  }
}

void decode_string(const char* p, const char* end, std::string& out) {
  out.clear();
  while (p != end) {
    const char* q = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    if (q == nullptr) {
      out.append(p, end);
      return;
    }
    out.append(p, q);
    const Escape e = read_escape(q + 1, end);
    append_utf8(out, e.code_point);
    p = e.next;
  }
}

}  // namespace zorvat::json
