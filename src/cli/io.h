// The command's I/O: whole reads and writes on POSIX descriptors that ride
// out short transfers, signals and non-blocking descriptors, and the
// messages on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/buffer.h"

namespace zorvat::cli {

inline constexpr std::string_view kProgram = "zorvat-columnarize";

// What read_all returns for an input of more than its limit.
inline constexpr int kTooLarge = -1;

// open(2) with O_CLOEXEC added, tried again when a signal interrupts it.
// Returns the descriptor, or -1 with errno set.
int open_retrying(const char* path, int flags);

// Reads `fd` to its end into `out` (replacing its contents). Returns 0, the
// errno of the failure, or kTooLarge when there are more than `limit` bytes
// (a regular file is measured first; at most `limit` + 1 bytes are held).
// Throws std::bad_alloc when memory is exhausted.
int read_all(int fd, OutputBuffer& out, std::size_t limit = SIZE_MAX);

// The memory this system has available now, in bytes: MemAvailable of
// /proc/meminfo, or the free pages that sysconf reports; SIZE_MAX when
// neither is known.
std::size_t available_memory();

// Writes all of `bytes`. Returns 0 or the errno of the write that failed.
int write_all(int fd, std::string_view bytes);

// The text of an errno value; unlike strerror, safe on any thread.
std::string describe(int err);

// Best effort: if standard error itself is gone there is no one to tell.
void say(std::string_view text);

// "zorvat-columnarize: <what>" and a newline on standard error.
void complain(std::string_view what);

}  // namespace zorvat::cli
