#include "base/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zorvat {
namespace {

CpuFeatures detect() {
  CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  const unsigned max_leaf = __get_cpuid_max(0, nullptr);
  if (max_leaf < 1) return f;
  __cpuid(1, a, b, c, d);
  f.ssse3 = (c & bit_SSSE3) != 0;
  const bool osxsave = (c & bit_OSXSAVE) != 0;
  const bool avx = (c & bit_AVX) != 0;
  if (!osxsave || !avx || max_leaf < 7) return f;
  // The processor may have AVX while the OS does not save its registers on
  // a context switch: XCR0 must enable both the XMM and the YMM state.
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0x6) != 0x6) return f;
  __cpuid_count(7, 0, a, b, c, d);
  f.avx2 = (b & bit_AVX2) != 0;
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace zorvat
