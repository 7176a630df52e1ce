#include "cli/io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zorvat::cli {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 16;

// A descriptor opened with O_NONBLOCK (a shared pipe, an event loop's
// socket) answers EAGAIN instead of waiting: wait here until it is ready.
// Returns 0 or the errno of poll.
int wait_until_ready(int fd, short events) {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  // Readiness includes errors and hang-ups, which the retried call reports.
  return 0;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Runs `transfer` (one read or write on `fd`) until it answers other than
// with a signal or, on a non-blocking descriptor, a wait for `events`.
// Returns its count, or minus the errno of the failure.
template <class Transfer>
ssize_t retrying(int fd, short events, Transfer&& transfer) {
  for (;;) {
    const ssize_t n = transfer();
    if (n >= 0) return n;
    const int err = errno;
    if (err == EINTR) continue;
    if (!would_block(err)) return -err;
    if (int failed = wait_until_ready(fd, events)) return -failed;
  }
}

// strerror_r comes in two flavours; whichever this C library has.
[[maybe_unused]] const char* error_text(int rc, const char* buffer) { return rc == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* error_text(const char* text, const char*) { return text; }

}  // namespace

int open_retrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int read_all(int fd, OutputBuffer& out, std::size_t limit) {
  const std::size_t most = limit == SIZE_MAX ? limit : limit + 1;  // one more than the limit tells
  // A regular file gets a buffer of the bytes left in it plus one, where the
  // read that finds its end lands: no growth, so a large file is never held
  // twice. Anything else (a pipe, a file that grows meanwhile) grows by
  // doubling.
  std::size_t expected = kChunk;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0) at = 0;
    const auto left = static_cast<std::uintmax_t>(st.st_size > at ? st.st_size - at : 0);
    if (left > limit) return kTooLarge;
    expected = static_cast<std::size_t>(left) + 1;
  }
  out = OutputBuffer(std::min(expected, most));
  for (;;) {
    if (out.size() > limit) return kTooLarge;
    std::size_t room = out.capacity() - out.size();
    char* at = out.reserve(room != 0 ? room : kChunk);
    room = std::min(out.capacity() - out.size(), most - out.size());
    const ssize_t n = retrying(fd, POLLIN, [&] { return ::read(fd, at, room); });
    if (n < 0) return static_cast<int>(-n);
    if (n == 0) return 0;
    out.commit(static_cast<std::size_t>(n));
  }
}

std::size_t available_memory() {
  // "MemAvailable:   23281116 kB": what can be had without swapping, page
  // cache included (Linux 3.14 and later).
  if (std::FILE* f = std::fopen("/proc/meminfo", "re")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    }
    std::fclose(f);
    if (found) return kib > SIZE_MAX / 1024 ? SIZE_MAX : static_cast<std::size_t>(kib) * 1024;
  }
  const long pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    const auto n = static_cast<std::size_t>(pages);
    const auto size = static_cast<std::size_t>(page_size);
    return n > SIZE_MAX / size ? SIZE_MAX : n * size;
  }
  return SIZE_MAX;
}

int write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = retrying(fd, POLLOUT, [&] { return ::write(fd, p, left); });
    if (n < 0) return static_cast<int>(-n);
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

std::string describe(int err) {
  char buffer[256];
  return error_text(::strerror_r(err, buffer, sizeof buffer), buffer);
}

void say(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

void complain(std::string_view what) {
  std::string line(kProgram);
  line += ": ";
  line += what;
  line += '\n';
  say(line);
}

}  // namespace zorvat::cli
