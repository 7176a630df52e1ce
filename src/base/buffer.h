// Growable output byte buffer: the writer's sink. Starts with room for 128
// bytes and at least doubles when it must grow, so appends are amortised O(1).
// Owns its storage (see pages.h: large buffers sit on huge pages); moving
// transfers it.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "base/pages.h"
#include "base/poison.h"

namespace zorvat {

class OutputBuffer {
 public:
  explicit OutputBuffer(std::size_t initial_capacity = 128) {
    if (initial_capacity != 0) grow_to(initial_capacity);
  }
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        open_(std::exchange(other.open_, 0)) {}
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(open_, other.open_);
    return *this;
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() {
    unpoison(data_, capacity_);
    release_pages(data_, capacity_);
  }

  // Room for `n` more bytes; write at most that many at the returned pointer,
  // then commit what was written. Only the reserved bytes are writable under
  // AddressSanitizer, and only until the next commit.
  char* reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow_for(n);
    if constexpr (kAsan) {
      unpoison(data_ + size_, n);
      if (open_ < size_ + n) open_ = size_ + n;
    }
    return data_ + size_;
  }
  void commit(std::size_t n) {
    size_ += n;
    if constexpr (kAsan) {
      if (open_ > size_) poison(data_ + size_, open_ - size_);
      open_ = size_;
    }
  }

  void append(const char* p, std::size_t n) {
    std::memcpy(reserve(n), p, n);
    commit(n);
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    *reserve(1) = c;
    commit(1);
  }

  // Copies the contents to `dest` (room for size() bytes) and empties the
  // buffer. Storage too large to be kept for the next call goes back to the
  // system a huge page at a time as it is copied, so a huge document is not
  // held twice at its end. Only whole huge pages go: discarding part of one
  // splits it, and the next call that reuses the block would fault its
  // pages back 4 KiB at a time.
  void move_out(char* dest) noexcept {
    const bool discard = capacity_ > kKeptBytes;
    std::size_t done = 0;
    while (done < size_) {
      const std::size_t n = size_ - done < kHugePage ? size_ - done : kHugePage;
      std::memcpy(dest + done, data_ + done, n);
      if (discard && n == kHugePage) discard_pages(data_ + done, n);
      done += n;
    }
    size_ = 0;
    poison(data_, capacity_);
    open_ = 0;
  }

  // Drops the bytes from `n` on.
  void truncate(std::size_t n) {
    if (n >= size_) return;
    size_ = n;
    poison(data_ + size_, open_ > size_ ? open_ - size_ : 0);
    open_ = size_;
  }

  const char* data() const { return data_; }
  // Byte `i` of those written, to patch them.
  char* data_at(std::size_t i) { return data_ + i; }
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
  void grow_to(std::size_t capacity) {
    unpoison(data_, capacity_);  // the old block is copied or remapped whole
    void* p = grow_block(data_, capacity_, size_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    poison(data_ + size_, capacity_ - size_);
    open_ = size_;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t open_ = 0;  // end of the bytes reserve() made writable (AddressSanitizer builds)
};

// Appends to an OutputBuffer through a position held in registers, for a
// loop of many small writes: through the buffer itself, each would load and
// store its size around the bytes written, as a char store may alias it. A
// run lives in one function and never escapes it (its members are then
// registers); `with_buffer` hands the buffer itself, in step with what the
// run wrote, to a writer that needs it. Under AddressSanitizer a run reserves
// exactly what each write asks, as the buffer does.
class OutputRun {
 public:
  explicit OutputRun(OutputBuffer& out) : out_(out) { resume(0); }
  OutputRun(const OutputRun&) = delete;
  OutputRun& operator=(const OutputRun&) = delete;
  ~OutputRun() { pause(); }

  [[gnu::always_inline]] char* reserve(std::size_t n) {
    if (kAsan || static_cast<std::size_t>(end_ - at_) < n) {
      pause();
      resume(n);
    }
    return at_;
  }
  void commit(std::size_t n) { at_ += n; }
  void push_back(char c) {
    *reserve(1) = c;
    commit(1);
  }
  // f(OutputBuffer&), with every byte the run wrote committed before it.
  // Should f throw, the run holds no position into storage f may have moved,
  // and its destructor commits nothing more.
  template <class F>
  void with_buffer(F&& f) {
    pause();
    at_ = end_ = nullptr;
    f(out_);
    resume(0);
  }

 private:
  void pause() {
    if (at_ != nullptr) out_.commit(static_cast<std::size_t>(at_ - (out_.data() + out_.size())));
  }
  void resume(std::size_t n) {
    at_ = out_.reserve(n);
    end_ = kAsan ? at_ + n : at_ + (out_.capacity() - out_.size());
  }

  OutputBuffer& out_;
  char* at_ = nullptr;   // where the next byte goes
  char* end_ = nullptr;  // the end of the room reserved
};

}  // namespace zorvat
