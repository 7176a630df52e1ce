// A growable array of trivially copyable items, page-backed like the
// output buffer: a large one grows by remapping rather than copying (so it is
// never held twice), and the capacity not yet handed out is poisoned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/pages.h"
#include "base/poison.h"

namespace zorvat {

template <class T>
class PagedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit PagedArray(std::size_t hint) { grow_to(hint < 64 ? 64 : hint); }
  PagedArray(const PagedArray&) = delete;
  PagedArray& operator=(const PagedArray&) = delete;
  ~PagedArray() {
    unpoison(data_, bytes_);
    release_pages(data_, bytes_);
  }

  std::size_t size() const { return size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // `n` more items, not initialised.
  T* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow_to(capacity_ * 2 > size_ + n ? capacity_ * 2 : size_ + n);
    T* p = data_ + size_;
    unpoison(p, n * sizeof(T));
    size_ += n;
    return p;
  }
  void push_back(const T& item) { std::memcpy(static_cast<void*>(extend(1)), &item, sizeof(T)); }

 private:
  void grow_to(std::size_t items) {
    if (items > SIZE_MAX / (2 * sizeof(T))) throw std::bad_alloc();
    std::size_t bytes = items * sizeof(T);
    const std::size_t old_bytes = bytes_;
    unpoison(data_, old_bytes);  // the old block is copied or remapped whole
    void* p = grow_block(data_, old_bytes, size_ * sizeof(T), bytes);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    bytes_ = bytes;
    capacity_ = bytes / sizeof(T);
    poison(data_ + size_, bytes_ - size_ * sizeof(T));
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t bytes_ = 0;  // the block's, which need not be a multiple of sizeof(T)
};

}  // namespace zorvat
