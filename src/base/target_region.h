// Compiles the functions between ZORVAT_TARGET_BEGIN("avx2") and
// ZORVAT_TARGET_END for that instruction set, whatever the build's flags, so
// that a variant chosen at run time needs no -m flag for the whole build
// (which would let the compiler use it anywhere). Templates defined inside
// get it too; include standard headers before the region, never inside.
#pragma once

#define ZORVAT_PRAGMA(x) _Pragma(#x)
#if defined(__clang__)
#define ZORVAT_TARGET_BEGIN(isa) \
  ZORVAT_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define ZORVAT_TARGET_END ZORVAT_PRAGMA(clang attribute pop)
#else
#define ZORVAT_TARGET_BEGIN(isa) ZORVAT_PRAGMA(GCC push_options) ZORVAT_PRAGMA(GCC target(isa))
#define ZORVAT_TARGET_END ZORVAT_PRAGMA(GCC pop_options)
#endif
