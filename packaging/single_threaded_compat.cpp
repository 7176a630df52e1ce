// libstdc++'s static archive reads glibc's __libc_single_threaded (2.32 and
// later) to skip atomic operations on its reference counts; glibc 2.17 has no
// such variable, so a module that links libstdc++ in and must load there
// carries its own. It always says "not single-threaded": every count stays
// atomic, which is right in any process. Hidden, and the module's version
// script exports nothing but its init function, so it never stands in for a
// newer glibc's own.
extern "C" __attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
