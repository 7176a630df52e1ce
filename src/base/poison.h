// Marks memory that this project manages itself (arena chunks, output
// capacity) as off-limits to AddressSanitizer until it is handed out. Without
// it, an overrun inside a chunk, or into a buffer's unused tail, lands in
// memory the sanitizer believes is in use and goes unseen. No-ops elsewhere.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define ZORVAT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORVAT_ASAN 1
#endif
#endif

#ifdef ZORVAT_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace zorvat {

#ifdef ZORVAT_ASAN
inline constexpr bool kAsan = true;
inline void poison(const void* p, std::size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
inline void unpoison(const void* p, std::size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
inline constexpr bool kAsan = false;
inline void poison(const void*, std::size_t) {}
inline void unpoison(const void*, std::size_t) {}
#endif

}  // namespace zorvat
