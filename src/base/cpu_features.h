// What the x86-64 processor this runs on offers beyond the baseline, read
// once. Read with CPUID and XGETBV directly rather than through the
// compiler's run-time support, which not every toolchain the wheels are built
// with links in.
#pragma once

namespace zorvat {

struct CpuFeatures {
  bool ssse3 = false;
  bool avx2 = false;  // and the OS saves the YMM registers
};

// All false on other processors.
const CpuFeatures& cpu_features();

}  // namespace zorvat
