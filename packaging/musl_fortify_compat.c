/* The few glibc entry points that Debian's static zlib (libz.a, built
   against glibc with _FORTIFY_SOURCE) calls and musl lacks, for linking it
   into the musllinux wheels' command. They do what the unchecked calls do. */
#include <stdarg.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

int __vsnprintf_chk(char *s, size_t maxlen, int flag, size_t slen, const char *format, va_list ap) {
  (void)flag;
  (void)slen;
  return vsnprintf(s, maxlen, format, ap);
}

int __snprintf_chk(char *s, size_t maxlen, int flag, size_t slen, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = __vsnprintf_chk(s, maxlen, flag, slen, format, ap);
  va_end(ap);
  return n;
}

/* musl's off_t is 64 bits already. */
__attribute__((weak)) off_t lseek64(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }
