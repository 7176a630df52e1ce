// Memory for large buffers (arena chunks, the span pass's cells, the output):
// blocks of kPagedFrom and more are mapped on huge-page boundaries and
// marked for transparent huge pages. On the virtual machines this runs on,
// a page fault costs microseconds; a 100 MB payload touches 25,000 small
// pages but only 50 huge ones, which made faults a third of a large call's
// time. Released blocks of up to 128 MiB in all are kept for the next calls.
#pragma once

#include <cstddef>

namespace zorvat {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Blocks from this size on are mapped here and kept when released, not
// left to malloc: glibc hands blocks of this size back to the system when
// they are freed (unmapped, or trimmed off the heap's top), so every call
// faulted them in again, 4 KiB at a time. A block below kHugePage is marked
// for huge pages too: a growing buffer's first block is one (its pages move
// with it when it grows), and unmarked, a buffer that grows on to tens of
// MB faulted its first 2 MiB in 4 KiB at a time, 512 faults in every call
// too large for its blocks to be kept. A block that stays small holds a
// whole huge page once written, kept with it for the next calls.
inline constexpr std::size_t kPagedFrom = std::size_t{64} << 10;
// Released blocks kept for the next calls, in all at most.
inline constexpr std::size_t kKeptBytes = std::size_t{128} << 20;

// At least `bytes` of storage (malloc below kPagedFrom; from it a mapping
// on huge-page boundaries, advised huge pages), or nullptr when memory is
// exhausted. From kPagedFrom on, `bytes` becomes the block's size: whole
// huge pages, more when a block released earlier is reused. Release with
// that size.
void* allocate_pages(std::size_t& bytes) noexcept;
// `keep`: false for blocks freed to make room mid-call, which would only
// add to its peak if kept.
void release_pages(void* p, std::size_t bytes, bool keep = true) noexcept;

// Grows a block of `old_bytes` from this file (null and 0 for none) to at
// least `bytes`, keeping its first `used` bytes, for the growable buffers:
// realloc below kPagedFrom (which can grow in place), the pages remapped
// when both sizes are paged, else a new block and one copy. `bytes` becomes
// the new block's size. nullptr when memory is exhausted (the old block is
// then still valid).
void* grow_block(void* p, std::size_t old_bytes, std::size_t used, std::size_t& bytes) noexcept;

// Advises huge pages for the whole huge pages inside [p, p + bytes), memory
// from anywhere (another allocator's) not yet written: a large block that
// malloc maps afresh would otherwise be faulted in 4 KiB at a time. Advice
// only: nothing changes but how the pages come in.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// Hands the pages of [p, p + bytes), a stretch of a block of at least
// kHugePage from allocate_pages, back to the system; they read as zeros
// afterwards. For blocks whose contents are no longer needed.
void discard_pages(void* p, std::size_t bytes) noexcept;

}  // namespace zorvat
