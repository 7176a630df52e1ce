// getrandom() for systems whose glibc predates it (2.25): the system call
// itself where the kernel has it (3.17 and later), /dev/urandom otherwise.
// The definition stays inside the module and the command (hidden, and the
// module's version script exports nothing but its init function), so it never
// stands in for a newer glibc's own.
#include "getrandom_compat.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

extern "C" __attribute__((visibility("hidden"))) ssize_t getrandom(void* buffer, std::size_t length,
                                                                   unsigned int flags) {
  long n = syscall(SYS_getrandom, buffer, length, flags);
  if (n >= 0 || errno != ENOSYS) return n;
  // Before the first read the kernel's pool may not be seeded; this path is
  // only taken on kernels older than 3.17, which lack the call that waits.
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t got = read(fd, buffer, length);
  int saved = errno;
  close(fd);
  errno = saved;
  return got;
}
