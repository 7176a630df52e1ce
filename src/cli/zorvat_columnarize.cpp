// zorvat-columnarize: the columnar transform as a command.
//
//   zorvat-columnarize [--lines] [--max-input-size SIZE] [FILE | -]
//   zorvat-columnarize [--lines] [--max-input-size SIZE] [-j N] [--progress] [--sync] -o DIR FILE...
//
// The first form reads row-oriented JSON (or JSON Lines, or either
// compressed with gzip) from FILE or standard input and writes the columnar
// document to standard output. Exit status: 0 on success; 1 when the
// transform fails (its message, the same text as the Python RuntimeError,
// goes to standard error, perhaps followed by a hint) or when the input
// cannot be decompressed or the output cannot be written; 2 for a usage
// error (unknown option, bad arguments, unreadable input).
//
// All-or-nothing output: the whole document is built before the first byte
// is written, so a failure never leaves a partial document behind. POSIX
// file descriptors throughout, which are binary on every POSIX system.
//
// The second form writes each FILE's document into DIR, several at once
// (batch.h).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <csignal>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch.h"
#include "cli/input.h"
#include "cli/io.h"

#ifndef ZORVAT_VERSION
#error "ZORVAT_VERSION: the build passes the version of pyproject.toml"
#endif

namespace {

namespace cli = zorvat::cli;
using zorvat::OutputBuffer;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kHelp =
    "Usage: zorvat-columnarize [--lines] [--max-input-size SIZE] [FILE | -]\n"
    "       zorvat-columnarize [--lines] [--max-input-size SIZE] [-j N] [--progress]\n"
    "                          [--sync] -o DIR FILE...\n"
    "\n"
    "Turn row-oriented JSON (an array of objects) into a columnar document\n"
    "{\"columns\":[...],\"rows\":[[...],...],\"constants\":{...}}: the columns whose\n"
    "values vary, one value array per row, and the columns whose value is the\n"
    "same in every row. Columns that are null or absent in every row are dropped.\n"
    "\n"
    "Reads FILE, or standard input when FILE is '-' or absent, and writes the\n"
    "document to standard output, with no trailing newline. The output is built\n"
    "in full before anything is written: on failure nothing reaches standard\n"
    "output.\n"
    "\n"
    "Input compressed with gzip is decompressed first, whatever its name; once\n"
    "its start shows that the input will be rejected (a first byte that cannot\n"
    "begin it or, with --lines, a line), the rest is not decompressed. When\n"
    "an input is rejected and the likely cause is plain (JSON Lines without\n"
    "--lines, a byte order mark, Latin-1 text, a compression format other than\n"
    "gzip), a line 'hint: ...' follows the message.\n"
    "\n"
    "With -o DIR, each FILE's document goes to DIR under the FILE's base name,\n"
    "several FILEs at once. A file already there is replaced only once the new\n"
    "document is complete; a FILE that fails leaves it untouched. A failed FILE\n"
    "does not stop the others: its message, prefixed with 'FILE: ', goes to\n"
    "standard error, in the order of the FILEs.\n"
    "\n"
    "Options:\n"
    "  --lines               read JSON Lines: one object per line, blank lines\n"
    "                        skipped; the same document as for the array of those\n"
    "                        objects, and errors give the input's line and column\n"
    "  --max-input-size SIZE\n"
    "                        refuse an input larger than SIZE bytes, as read and\n"
    "                        decompressed (K, M, G or T after the number: times\n"
    "                        1024, 1024^2, ...; default: the memory available\n"
    "                        when the command starts, MemAvailable in\n"
    "                        /proc/meminfo)\n"
    "  -o, --output-dir DIR  write each FILE's document into DIR (an existing\n"
    "                        directory); needed for more than one FILE\n"
    "  -j, --jobs N          with -o: transform N FILEs at once (default: one\n"
    "                        per CPU available)\n"
    "  --progress            with -o: show a progress line on standard error even\n"
    "                        when it is not a terminal\n"
    "  --sync                with -o: flush each document to disk before it\n"
    "                        replaces the old one, so that a power loss cannot\n"
    "                        leave a partial file either (slower)\n"
    "  -h, --help            show this help and exit\n"
    "  --version             show the version and exit\n"
    "  --                    end of options (for a FILE whose name starts with '-')\n"
    "\n"
    "Exit status:\n"
    "  0  every document was written\n"
    "  1  an input was rejected (the reason, exactly as the Python module's\n"
    "     RuntimeError gives it, is written to standard error), could not be\n"
    "     decompressed, was larger than the input size limit, an output could\n"
    "     not be written, or, with -o, a FILE could not be read\n"
    "  2  usage error: unknown option, bad option value, more than one FILE\n"
    "     without -o, standard input with -o, unusable DIR, two FILEs with the\n"
    "     same base name, a FILE that a document would replace (its own or\n"
    "     another FILE's, through a link); without -o, an unreadable FILE\n";

int usage_error(std::string_view what) {
  std::string text(what);
  text += "\nTry '";
  text += cli::kProgram;
  text += " --help' for more information.";
  cli::complain(text);
  return kExitUsage;
}

// Writes `bytes` to standard output and closes it, reporting a failure.
int emit(std::string_view bytes) {
  int err = cli::write_all(STDOUT_FILENO, bytes);
  // close() is where some file systems report a deferred write error.
  if (err == 0 && ::close(STDOUT_FILENO) != 0 && errno != EINTR) err = errno;
  if (err != 0) {
    cli::complain("cannot write standard output: " + cli::describe(err));
    return kExitFailure;
  }
  return kExitOk;
}

bool parse_jobs(std::string_view text, unsigned& jobs) {
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, jobs);
  return ec == std::errc() && stop == end && jobs > 0;
}

// "SIZE", "SIZEK", "SIZEM", "SIZEG" or "SIZET": bytes, or times 1024,
// 1024^2, 1024^3, 1024^4.
bool parse_size(std::string_view text, std::size_t& size) {
  unsigned shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      case 'T': shift = 40; break;
      default: break;
    }
  }
  if (shift != 0) text.remove_suffix(1);
  const char* end = text.data() + text.size();
  std::uint64_t n = 0;
  auto [stop, ec] = std::from_chars(text.data(), end, n);
  if (ec != std::errc() || stop != end || n > (std::uint64_t{SIZE_MAX} >> shift)) return false;
  size = static_cast<std::size_t>(n << shift);
  return true;
}

// One input to standard output.
int run_single(const char* path, bool lines, std::size_t limit) {  // path null: standard input
  const std::string name = path == nullptr ? std::string("standard input") : std::string("'") + path + "'";
  OutputBuffer payload(0);
  int err;
  if (path == nullptr) {
    err = cli::read_all(STDIN_FILENO, payload, limit);
  } else {
    const int fd = cli::open_retrying(path, O_RDONLY);
    err = fd < 0 ? errno : cli::read_all(fd, payload, limit);
    if (fd >= 0) ::close(fd);
  }
  if (err == cli::kTooLarge) {
    cli::complain(name + " is larger than " + cli::size_limit_text(limit));
    return kExitFailure;
  }
  if (err != 0) return usage_error("cannot read " + name + ": " + cli::describe(err));

  if (cli::is_gzip(payload.view())) {
    cli::Gunzipped gunzipped = cli::gunzip(payload, lines, limit);
    if (gunzipped.status == cli::Gunzipped::Status::too_large) {
      cli::complain(name + " decompresses to more than " + cli::size_limit_text(limit));
      return kExitFailure;
    }
    if (gunzipped.status != cli::Gunzipped::Status::ok) {
      cli::complain("cannot decompress " + name + ": " + gunzipped.reason);
      return kExitFailure;
    }
  }

  cli::Answer answer = cli::convert(std::move(payload), lines);
  if (!answer.outcome) {
    cli::say(answer.outcome.error().message() + '\n');
    if (!answer.hint.empty()) cli::complain("hint: " + answer.hint);
    return kExitFailure;
  }
  return emit(answer.outcome.value().view());
}

// What the command line asks for.
struct Options {
  std::vector<std::string> files;
  const char* output_dir = nullptr;
  unsigned jobs = 0;
  bool progress = false;
  bool sync = false;
  bool lines = false;
  std::size_t max_input_size = 0;
  bool max_input_size_given = false;
};

// Reading the command line stops at the first argument that settles the exit
// status: --help or --version (answered at once) or a usage error. These
// return that status, or nothing when reading goes on.
using Settled = std::optional<int>;

// The options without a value, other than those that end the command.
bool take_flag(std::string_view arg, Options& options) {
  if (arg == "--progress") {
    options.progress = true;
  } else if (arg == "--sync") {
    options.sync = true;
  } else if (arg == "--lines") {
    options.lines = true;
  } else {
    return false;
  }
  return true;
}

Settled set_option_value(std::string_view name, const char* value, Options& options) {
  if (name == "-o" || name == "--output-dir") {
    options.output_dir = value;
  } else if (name == "--max-input-size") {
    if (!parse_size(value, options.max_input_size)) {
      return usage_error("invalid size '" + std::string(value) +
                         "': expected a number of bytes, perhaps followed by K, M, G or T");
    }
    options.max_input_size_given = true;
  } else if (!parse_jobs(value, options.jobs)) {
    return usage_error("invalid number of jobs '" + std::string(value) + "': expected a positive integer");
  }
  return std::nullopt;
}

// The options with a value, argv[i] being one: "-o DIR", "-oDIR",
// "--output-dir DIR" and "--output-dir=DIR"; likewise -j and --jobs, and
// --max-input-size. A value in the next argument moves `i` past it.
Settled take_option_with_value(int argc, char** argv, int& i, Options& options) {
  const std::string_view arg = argv[i];
  const bool is_long = arg[1] == '-';
  const std::size_t name_end = is_long ? std::min(arg.find('='), arg.size()) : 2;
  const std::string_view name = arg.substr(0, name_end);
  if (name != "-o" && name != "--output-dir" && name != "-j" && name != "--jobs" && name != "--max-input-size") {
    return usage_error("unknown option '" + std::string(arg) + "'");
  }
  const char* value = argv[i] + name_end + (is_long && name_end < arg.size() ? 1 : 0);
  if (name_end == arg.size()) {
    if (i + 1 == argc) return usage_error("option '" + std::string(name) + "' needs a value");
    value = argv[++i];
  }
  return set_option_value(name, value, options);
}

// Arguments in order, so that the first one to settle the exit status wins.
Settled parse_arguments(int argc, char** argv, Options& options) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      options.files.emplace_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") return emit(kHelp);
    if (arg == "--version") return emit(std::string(cli::kProgram) + " " ZORVAT_VERSION "\n");
    if (arg == "--") {
      options_done = true;
    } else if (!take_flag(arg, options)) {
      if (Settled status = take_option_with_value(argc, argv, i, options)) return status;
    }
  }
  return std::nullopt;
}

// Every FILE into the output directory.
int run_batch(Options& options) {
  for (const std::string& file : options.files) {
    if (file == "-") return usage_error("standard input ('-') has no name to write under in an output directory");
  }
  if (options.files.empty()) return usage_error("an output directory needs at least one FILE");
  cli::Batch batch({std::move(options.files), options.output_dir, options.jobs, options.progress,
                    options.sync, options.lines, options.max_input_size});
  std::string problem = batch.prepare();
  if (!problem.empty()) return usage_error(problem);
  return batch.run();
}

int run(int argc, char** argv) {
  Options options;
  if (Settled status = parse_arguments(argc, argv, options)) return *status;

  // Measured once, before any input is read.
  if (!options.max_input_size_given) options.max_input_size = cli::available_memory();

  if (options.output_dir != nullptr) return run_batch(options);
  const std::vector<std::string>& files = options.files;
  if (files.size() > 1) {
    return usage_error("more than one FILE needs an output directory (-o DIR)");
  }
  return run_single(files.empty() || files[0] == "-" ? nullptr : files[0].c_str(), options.lines,
                    options.max_input_size);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe downstream should be an EPIPE we report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    cli::complain("out of memory");
  } catch (const std::exception& e) {
    cli::complain(e.what());
  } catch (...) {
    cli::complain("unexpected failure");
  }
  return kExitFailure;
}
