// The instruction-set variants behind find_string_special and is_valid_utf8,
// exposed so that tests and benchmarks can run each one on this machine, not
// only the variant the dispatcher picks.
#pragma once

#include <cstddef>
#include <span>

namespace zorvat::json::detail {

struct StringKernels {
  const char* name;
  const char* (*find_special)(const char* p, const char* end);
  bool (*valid_utf8)(const char* p, std::size_t n);
  const char* (*find_non_ascii)(const char* p, const char* end);
  bool (*runs_here)();  // whether this processor has the instructions it uses
};

// Every variant built in, portable one first, including those this
// processor cannot run (runs_here says). Each handles any length on its own.
std::span<const StringKernels> available_string_kernels();

}  // namespace zorvat::json::detail
