// Property checks for the fuzz targets: a failed check prints what broke and
// aborts, which libFuzzer and the replay main both report with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zorvat::fuzz {

[[noreturn]] inline void broken(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "property broken: %s\n", what);
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void require(bool holds, const char* what, std::string_view detail = {}) {
  if (!holds) broken(what, detail);
}

}  // namespace zorvat::fuzz
