// The explicit stack that the reader, the writer and equality use instead of
// recursion: the first `Inline` items live inside the object (most values
// are shallow, and a heap allocation per use would dominate), deeper ones
// spill to the heap, which grows by doubling. std::vector's push_back does
// not inline well enough for the reader's one-push-per-value loop.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace zorvat {

template <class T, std::size_t Inline = 0>
class Stack {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Stack() = default;
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  ~Stack() {
    if (data_ != inline_) std::free(data_);
  }

  void push_back(const T& item) {
    if (size_ == capacity_) grow();
    data_[size_++] = item;
  }
  void pop_back() { --size_; }
  T& back() { return data_[size_ - 1]; }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  T* data() { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  void resize(std::size_t size) { size_ = size; }  // shrinking only

 private:
  static constexpr std::size_t kInlineSlots = Inline == 0 ? 1 : Inline;  // no zero-length arrays

  void grow() {
    const std::size_t capacity = capacity_ < 128 ? 256 : 2 * capacity_;
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* p = data_ == inline_ ? std::malloc(capacity * sizeof(T)) : std::realloc(data_, capacity * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    if (data_ == inline_ && size_ != 0) std::memcpy(p, inline_, size_ * sizeof(T));
    data_ = static_cast<T*>(p);
    capacity_ = capacity;
  }

  T inline_[kInlineSlots];
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = Inline;
};

}  // namespace zorvat
