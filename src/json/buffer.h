// Growable output byte buffer: the writer's sink. Starts with room for 128
// bytes and at least doubles when it must grow, so appends are amortised O(1).
// Owns its storage (see pages.h: large buffers sit on huge pages); moving
// transfers it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "json/pages.h"

namespace zorvat::json {

class OutputBuffer {
 public:
  explicit OutputBuffer(std::size_t initial_capacity = 128) {
    if (initial_capacity != 0) grow_to(initial_capacity);
  }
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() { release_pages(data_, capacity_); }

  // Room for `n` more bytes; write them at the returned pointer, then commit.
  char* reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    return data_ + size_;
  }
  void commit(std::size_t n) { size_ += n; }

  void append(const char* p, std::size_t n) {
    std::memcpy(reserve(n), p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    *reserve(1) = c;
    ++size_;
  }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }

 private:
  void grow_for(std::size_t n) {
    std::size_t want = capacity_ * 2;
    if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    if (want < size_ + n) want = size_ + n;
    grow_to(want);
  }
  // Storage below kHugePage comes from malloc (so realloc can grow it in
  // place); from kHugePage on, from allocate_pages.
  void grow_to(std::size_t capacity) {
    if (capacity < kHugePage) {
      void* p = std::realloc(data_, capacity);
      if (p == nullptr) throw std::bad_alloc();
      data_ = static_cast<char*>(p);
    } else {
      capacity = (capacity + kHugePage - 1) & ~(kHugePage - 1);
      char* p = static_cast<char*>(allocate_pages(capacity));
      if (p == nullptr) throw std::bad_alloc();
      if (size_ != 0) std::memcpy(p, data_, size_);
      release_pages(data_, capacity_);
      data_ = p;
    }
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace zorvat::json
