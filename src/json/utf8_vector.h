// The vector UTF-8 checks (utf8_blocks.h), one per instruction set, each
// declared where it can be built. The x86 ones run only where cpu_features()
// says so; NEON is part of every aarch64 processor.
#pragma once

#include <cstddef>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define ZORVAT_UTF8_X86 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define ZORVAT_UTF8_NEON 1
#endif

namespace zorvat::json::detail {

// The portable check, one sequence at a time (strings.cpp). Below this many
// bytes it beats the vector ones, which hand such input to it (measured
// with bench/strings_bench: 2 ns against 14 at 8 bytes, 9 against 14 at 24
// bytes of mostly non-ASCII text; from 64 on, the vectors win).
inline constexpr std::size_t kVectorUtf8From = 64;
bool valid_utf8_sequences(const char* p, std::size_t n);

#ifdef ZORVAT_UTF8_X86
bool valid_utf8_ssse3(const char* p, std::size_t n);
bool valid_utf8_avx2(const char* p, std::size_t n);
#endif
#ifdef ZORVAT_UTF8_NEON
bool valid_utf8_neon(const char* p, std::size_t n);
#endif

}  // namespace zorvat::json::detail
