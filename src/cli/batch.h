// The runner that transforms many files at once, writing each document into
// an output directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>


namespace zorvat::cli {

struct BatchOptions {
  std::vector<std::string> files;  // paths; never "-"
  std::string output_dir;
  unsigned jobs = 0;               // 0: one per CPU this process may run on
  bool progress = false;           // a progress line even when standard error is not a terminal
  bool sync = false;               // each document on disk before it takes its name
  bool lines = false;              // the FILEs are JSON Lines
  std::size_t max_input_size = SIZE_MAX;  // bytes of a FILE, decompressed, at most
};

class Batch {
 public:
  explicit Batch(BatchOptions options);
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // Checks what can be checked before any work: the output directory, that
  // no two FILEs share an output path, and that no FILE is a file that a
  // document will replace (its own or another FILE's, under any name).
  // Returns the usage error, or an empty string.
  std::string prepare();

  // Transforms every FILE; the exit status (1 when any FILE failed).
  int run();

 private:
  struct Item {
    std::string path;
    std::string name;         // the base name: the output's name in the directory
    std::uint64_t size = 0;   // for progress; 0 when the file cannot be examined
    std::string message;      // a failure, held until the earlier FILEs are reported
    bool done = false;
  };

  std::string process(std::size_t index);
  std::string store(std::size_t index, std::string_view document);
  std::string output_path(const std::string& name) const;

  BatchOptions options_;
  std::vector<Item> items_;
  int dir_fd_ = -1;
};

}  // namespace zorvat::cli
