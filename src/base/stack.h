// The explicit stack that the reader, the writer and equality use instead of
// recursion: the first `Inline` items live inside the object (most values
// are shallow, and a heap allocation per use would dominate), deeper ones
// spill to the heap, which grows by doubling. std::vector's push_back does
// not inline well enough for the reader's one-push-per-value loop. The heap
// part is a block of pages.h, as the other large buffers: the top-level
// array's rows wait here until it closes, tens of MB for a large payload,
// which malloc would map afresh and fault in 4 KiB at a time on every call.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/pages.h"
#include "base/poison.h"

namespace zorvat {

template <class T, std::size_t Inline = 0>
class Stack {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Stack() = default;
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  ~Stack() {
    if (data_ == inline_) return;
    unpoison(data_, capacity_ * sizeof(T));
    release_pages(data_, capacity_ * sizeof(T));
  }

  // The heap part's unused capacity is poisoned for AddressSanitizer.
  void push_back(const T& item) {
    if (size_ == capacity_) grow();
    if constexpr (kAsan) {
      if (data_ != inline_) unpoison(data_ + size_, sizeof(T));
    }
    data_[size_++] = item;
  }
  void pop_back() { resize(size_ - 1); }
  T& back() { return data_[size_ - 1]; }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  T* data() { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  void resize(std::size_t size) {  // shrinking only
    if (data_ != inline_) poison(data_ + size, (size_ - size) * sizeof(T));
    size_ = size;
  }

 private:
  static constexpr std::size_t kInlineSlots = Inline == 0 ? 1 : Inline;  // no zero-length arrays

  [[gnu::noinline]] void grow() {
    const std::size_t capacity = capacity_ < 128 ? 256 : 2 * capacity_;
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const bool on_heap = data_ != inline_;
    if (on_heap) unpoison(data_, capacity_ * sizeof(T));  // copied or remapped whole
    std::size_t bytes = capacity * sizeof(T);  // becomes the block's size
    void* p = grow_block(on_heap ? data_ : nullptr, on_heap ? capacity_ * sizeof(T) : 0,
                         on_heap ? size_ * sizeof(T) : 0, bytes);
    if (p == nullptr) throw std::bad_alloc();
    if (!on_heap && size_ != 0) std::memcpy(p, inline_, size_ * sizeof(T));
    data_ = static_cast<T*>(p);
    capacity_ = bytes / sizeof(T);
    poison(data_ + size_, (capacity_ - size_) * sizeof(T));
  }

  T inline_[kInlineSlots];
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = Inline;
};

}  // namespace zorvat
