// The benchmark payloads: the .json files of $ZORVAT_PAYLOADS (default
// build/payloads), written by tools/make_payloads.py, in name order.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

inline std::vector<std::filesystem::path> payload_files() {
  const char* dir = std::getenv("ZORVAT_PAYLOADS");
  std::filesystem::path root = dir != nullptr ? dir : "build/payloads";
  if (!std::filesystem::is_directory(root)) {
    std::fprintf(stderr, "no payloads in %s: run tools/make_payloads.py %s\n", root.c_str(), root.c_str());
    std::exit(1);
  }
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(root)) {
    if (e.path().extension() == ".json") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}
