// Memory for large buffers (the payload copy, arena chunks, the output):
// blocks of 2 MiB and more are mapped on huge-page boundaries and marked for
// transparent huge pages. On the virtual machines this runs on, a page fault
// costs microseconds; a 100 MB payload touches 25,000 small pages but only
// 50 huge ones, which made faults a third of a large call's time.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace zorvat::json {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// `bytes` of storage (malloc below kHugePage, a huge-page mapping from it),
// or nullptr when memory is exhausted. Release with the same size.
void* allocate_pages(std::size_t bytes) noexcept;
void release_pages(void* p, std::size_t bytes) noexcept;

// An owned block from allocate_pages; empty for size 0.
class PageBuffer {
 public:
  PageBuffer() = default;
  explicit PageBuffer(std::size_t size) : size_(size) {
    if (size != 0) {
      data_ = static_cast<char*>(allocate_pages(size));
      if (data_ == nullptr) throw std::bad_alloc();
    }
  }
  PageBuffer(PageBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  PageBuffer& operator=(PageBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    return *this;
  }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer() {
    if (data_ != nullptr) release_pages(data_, size_);
  }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zorvat::json
