// glibc declares getrandom() from 2.25 on; a build against an older glibc's
// symbols (the manylinux2014 wheels: glibc 2.17) includes this ahead of every
// core source instead, and links getrandom_compat.cpp.
#pragma once

#include <sys/types.h>

#include <cstddef>

extern "C" ssize_t getrandom(void* buffer, std::size_t length, unsigned int flags);
