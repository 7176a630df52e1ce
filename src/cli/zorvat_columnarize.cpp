// zorvat-columnarize: the columnar transform as a command.
//
//   zorvat-columnarize [FILE | -]
//
// Reads row-oriented JSON from FILE or standard input, writes the columnar
// document to standard output. Exit status: 0 on success; 1 when the
// transform fails (its message, the same text as the Python RuntimeError,
// goes to standard error) or when the output cannot be written; 2 for a
// usage error (unknown option, too many arguments, unreadable input).
//
// All-or-nothing output: the whole document is built before the first byte
// is written, so a failure never leaves a partial document behind. POSIX
// file descriptors throughout, which are binary on every POSIX system.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "transform/pipeline.h"

namespace {

constexpr std::string_view kProgram = "zorvat-columnarize";

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kHelp =
    "Usage: zorvat-columnarize [FILE | -]\n"
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
    "Options:\n"
    "  -h, --help  show this help and exit\n"
    "  --          end of options (for a FILE whose name starts with '-')\n"
    "\n"
    "Exit status:\n"
    "  0  the document was written\n"
    "  1  the input was rejected (the reason, exactly as the Python module's\n"
    "     RuntimeError gives it, is written to standard error) or the output\n"
    "     could not be written\n"
    "  2  usage error: unknown option, too many arguments, unreadable FILE\n";

// Writes all of `bytes`, riding out short writes and signals. Returns 0 or
// the errno of the write that failed.
int write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Best effort: if standard error itself is gone there is no one to tell.
void say(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

void complain(std::string_view what) {
  std::string line(kProgram);
  line += ": ";
  line += what;
  line += '\n';
  say(line);
}

int usage_error(std::string_view what) {
  std::string text(what);
  text += "\nTry '";
  text += kProgram;
  text += " --help' for more information.";
  complain(text);
  return kExitUsage;
}

// Reads `fd` to its end into `out`. Returns 0 or the errno of the failure.
int read_all(int fd, std::string& out) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<std::size_t>(st.st_size));
  }
  constexpr std::size_t kChunk = 1 << 16;
  for (;;) {
    std::size_t used = out.size();
    out.resize(used + kChunk);
    ssize_t n = ::read(fd, out.data() + used, kChunk);
    if (n < 0) {
      out.resize(used);
      if (errno == EINTR) continue;
      return errno;
    }
    out.resize(used + static_cast<std::size_t>(n));
    if (n == 0) return 0;
  }
}

int run(int argc, char** argv) {
  const char* path = nullptr;  // null: standard input
  bool have_operand = false;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "-h" || arg == "--help") {
        return write_all(STDOUT_FILENO, kHelp) == 0 ? kExitOk : kExitFailure;
      }
      if (arg == "--") {
        options_done = true;
        continue;
      }
      return usage_error("unknown option '" + std::string(arg) + "'");
    }
    if (have_operand) {
      return usage_error("too many arguments: expected at most one FILE, got '" + std::string(arg) + "' too");
    }
    have_operand = true;
    if (arg != "-") path = argv[i];
  }

  std::string payload;
  if (path == nullptr) {
    if (int err = read_all(STDIN_FILENO, payload)) {
      return usage_error("cannot read standard input: " + std::string(std::strerror(err)));
    }
  } else {
    int fd;
    do {
      fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    int err = fd < 0 ? errno : read_all(fd, payload);
    if (fd >= 0) ::close(fd);
    if (err != 0) {
      return usage_error(std::string("cannot read '") + path + "': " + std::strerror(err));
    }
  }

  // The same boundary as the Python entry: an unexpected internal failure
  // becomes a message, never a crash.
  namespace tf = zorvat::transform;
  tf::Outcome outcome = tf::run_guarded([&] { return tf::columnarize_json(payload); });
  std::string().swap(payload);  // the input is no longer needed; give the memory back

  if (!outcome) {
    say(outcome.error().message() + '\n');
    return kExitFailure;
  }

  int err = write_all(STDOUT_FILENO, outcome.value().view());
  // close() is where some file systems report a deferred write error.
  if (err == 0 && ::close(STDOUT_FILENO) != 0 && errno != EINTR) err = errno;
  if (err != 0) {
    complain("cannot write standard output: " + std::string(std::strerror(err)));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe downstream should be an EPIPE we report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    complain("out of memory");
  } catch (const std::exception& e) {
    complain(e.what());
  } catch (...) {
    complain("unexpected failure");
  }
  return kExitFailure;
}
