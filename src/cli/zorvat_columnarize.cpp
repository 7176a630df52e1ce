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
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "cli/io.h"
#include "transform/pipeline.h"

namespace {

namespace cli = zorvat::cli;
using cli::complain;
using cli::kProgram;
using cli::say;
using zorvat::json::OutputBuffer;

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

int usage_error(std::string_view what) {
  std::string text(what);
  text += "\nTry '";
  text += kProgram;
  text += " --help' for more information.";
  complain(text);
  return kExitUsage;
}

// Writes `bytes` to standard output and closes it, reporting a failure.
int emit(std::string_view bytes) {
  int err = cli::write_all(STDOUT_FILENO, bytes);
  // close() is where some file systems report a deferred write error.
  if (err == 0 && ::close(STDOUT_FILENO) != 0 && errno != EINTR) err = errno;
  if (err != 0) {
    complain("cannot write standard output: " + cli::describe(err));
    return kExitFailure;
  }
  return kExitOk;
}

int run(int argc, char** argv) {
  const char* path = nullptr;  // null: standard input
  bool have_operand = false;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "-h" || arg == "--help") {
        return emit(kHelp);
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

  OutputBuffer payload(0);
  if (path == nullptr) {
    if (int err = cli::read_all(STDIN_FILENO, payload)) {
      return usage_error("cannot read standard input: " + cli::describe(err));
    }
  } else {
    int fd;
    do {
      fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    int err = fd < 0 ? errno : cli::read_all(fd, payload);
    if (fd >= 0) ::close(fd);
    if (err != 0) {
      return usage_error(std::string("cannot read '") + path + "': " + cli::describe(err));
    }
  }

  // The same boundary as the Python entry: an unexpected internal failure
  // becomes a message, never a crash.
  namespace tf = zorvat::transform;
  tf::Guarded guarded = tf::run_guarded([&] { return tf::columnarize_json(payload.view()); });
  payload = OutputBuffer(0);  // the input is no longer needed; give the memory back

  if (auto* caught = std::get_if<tf::ContainedFailure>(&guarded)) {
    say(tf::compose_panic_message(*caught) + '\n');
    return kExitFailure;
  }
  tf::PipelineResult& result = std::get<tf::PipelineResult>(guarded);
  if (result.kind == tf::PipelineResult::Kind::failure) {
    result.message += '\n';
    say(result.message);
    return kExitFailure;
  }

  return emit(result.bytes.view());
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
