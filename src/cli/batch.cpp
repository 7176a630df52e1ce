#include "cli/batch.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "cli/input.h"
#include "cli/io.h"

namespace zorvat::cli {
namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(250);

unsigned available_cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

// The last component of `path`, as basename(1) gives it.
std::string base_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// One line on standard error, redrawn in place. Builds no string on the
// heap, so that drawing and clearing cannot fail.
class ProgressLine {
 public:
  void draw(std::size_t files_done, std::size_t files, double mb_done, double mb, double seconds) {
    char text[200];
    int n = std::snprintf(text, sizeof text, "\r%.*s: %zu/%zu files, %.1f/%.1f MB, %.1f MB/s",
                          static_cast<int>(kProgram.size()), kProgram.data(), files_done, files, mb_done, mb,
                          seconds > 0 ? mb_done / seconds : 0.0);
    if (n <= 1) return;
    const std::size_t shown = std::min(static_cast<std::size_t>(n), sizeof text - 1);  // "\r" included
    say({text, shown});
    const std::size_t width = shown - 1;
    if (width < width_) pad(width_ - width);
    width_ = width;
  }
  void clear() {
    if (width_ == 0) return;
    say("\r");
    pad(width_);
    say("\r");
    width_ = 0;
  }

 private:
  static void pad(std::size_t n) {
    static constexpr std::string_view kSpaces = "                                                                ";
    for (; n > kSpaces.size(); n -= kSpaces.size()) say(kSpaces);
    say(kSpaces.substr(0, n));
  }
  std::size_t width_ = 0;  // characters on the line now
};

// A file created for a document under a temporary name.
struct TempFile {
  int fd = -1;
  int err = 0;  // errno when fd is -1
  std::string name;
};

// Creates document `index`'s temporary file in the directory `dir_fd`, under
// a name of this process: 0600 when it will replace a file (its mode comes
// later), 0666 less the umask otherwise.
TempFile create_temp_file(int dir_fd, std::size_t index, bool replacing) {
  const std::string prefix = ".zorvat-columnarize-" + std::to_string(::getpid()) + "-" + std::to_string(index) + "-";
  TempFile temp;
  for (int attempt = 0; temp.fd < 0 && attempt < 100; ++attempt) {
    temp.name = prefix + std::to_string(attempt) + ".tmp";
    temp.fd = ::openat(dir_fd, temp.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
    if (temp.fd >= 0) break;
    temp.err = errno;
    if (temp.err != EEXIST && temp.err != EINTR) break;  // EEXIST: a leftover of a crashed run: another name
  }
  return temp;
}

// Gives the open file `fd` the owner, group and mode of `old`, as far as
// this process may: only root may give a file away, and only a member may
// pick its group; what this process may not set stays its own. An errno, or 0.
int take_over_owner_and_mode(int fd, const struct stat& old) {
  int err = 0;
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM) err = errno;
    else if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) err = errno;
  }
  // After fchown, which may clear the set-user-ID and set-group-ID bits.
  if (err == 0 && ::fchmod(fd, old.st_mode & 07777) != 0) err = errno;
  return err;
}

// The worker count: as asked (0: one per CPU), at least one, at most one
// per file.
std::size_t job_count(unsigned asked, std::size_t files) {
  return std::clamp<std::size_t>(asked != 0 ? asked : available_cpus(), 1, std::max<std::size_t>(files, 1));
}

// What the workers and the progress line share while a batch runs, all but
// `next` under `mutex`. The transform shares nothing between calls: the
// threads share only the next index to take and what goes to standard error.
struct Tally {
  Tally(std::size_t files, std::uint64_t bytes) : count(files), total_bytes(bytes) {}

  const std::size_t count;
  const std::uint64_t total_bytes;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable finished_changed;
  bool finished = false;
  bool failed = false;
  std::size_t reported = 0;  // files whose message has gone out, in order
  std::size_t files_done = 0;
  std::uint64_t bytes_done = 0;
  ProgressLine line;
};

// The thread that redraws the progress line until the tally is finished;
// none (not joinable) when no thread can be had, and the work goes on.
std::thread start_ticker(Tally& tally) {
  try {
    return std::thread([&tally] {
      std::unique_lock lock(tally.mutex);
      while (!tally.finished_changed.wait_for(lock, kProgressInterval, [&] { return tally.finished; })) {
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - tally.start;
        tally.line.draw(tally.files_done, tally.count, static_cast<double>(tally.bytes_done) / 1e6,
                        static_cast<double>(tally.total_bytes) / 1e6, elapsed.count());
      }
      tally.line.clear();
    });
  } catch (const std::system_error&) {
    return {};
  }
}

void stop_ticker(Tally& tally, std::thread& ticker) {
  {
    std::lock_guard lock(tally.mutex);
    tally.finished = true;
  }
  tally.finished_changed.notify_all();
  if (ticker.joinable()) ticker.join();
}

// Runs `work` on this thread and up to `jobs` - 1 others, until each returns.
template <class Work>
void run_on_threads(std::size_t jobs, Work& work) {
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(jobs - 1);
    while (helpers.size() + 1 < jobs) helpers.emplace_back(work);
  } catch (const std::exception&) {
    // Fewer threads than asked for: those there are take every file.
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

Batch::Batch(BatchOptions options) : options_(std::move(options)) {}

Batch::~Batch() {
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

std::string Batch::output_path(const std::string& name) const {
  const std::string& dir = options_.output_dir;
  return dir.empty() || dir.back() == '/' ? dir + name : dir + '/' + name;
}

std::string Batch::prepare() {
  const std::string& dir = options_.output_dir;
  dir_fd_ = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir_fd_ < 0 || ::faccessat(dir_fd_, ".", W_OK | X_OK, 0) != 0) {
    return "cannot use output directory '" + dir + "': " + describe(errno);
  }

  items_.reserve(options_.files.size());
  for (std::string& path : options_.files) {
    Item item;
    item.name = base_name(path);
    item.path = std::move(path);
    items_.push_back(std::move(item));
  }
  options_.files.clear();

  std::unordered_map<std::string_view, std::size_t> first_with_name;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    Item& item = items_[i];
    auto [seen, fresh] = first_with_name.emplace(item.name, i);
    if (!fresh) {
      return "'" + items_[seen->second].path + "' and '" + item.path + "' would both be written to '" +
             output_path(item.name) + "'";
    }
  }

  // The files this batch will replace, by identity: a FILE that is one of
  // them, under any name (a symbolic or hard link, a path through another
  // directory), would be lost once that document takes its place, before or
  // after the FILE is read.
  struct Identity {
    dev_t dev;
    ino_t ino;
    bool operator==(const Identity&) const = default;
  };
  struct IdentityHash {
    std::size_t operator()(const Identity& id) const noexcept {
      return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(id.ino) * 31 + static_cast<std::uint64_t>(id.dev));
    }
  };
  std::unordered_map<Identity, std::size_t, IdentityHash> replaced;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    struct stat out;
    if (::fstatat(dir_fd_, items_[i].name.c_str(), &out, 0) == 0) replaced.emplace(Identity{out.st_dev, out.st_ino}, i);
  }
  for (Item& item : items_) {
    struct stat in;
    if (::stat(item.path.c_str(), &in) != 0) continue;  // reported when its turn comes
    if (S_ISREG(in.st_mode)) item.size = static_cast<std::uint64_t>(in.st_size);
    auto hit = replaced.find(Identity{in.st_dev, in.st_ino});
    if (hit == replaced.end()) continue;
    const Item& writer = items_[hit->second];
    if (&writer == &item) return "'" + item.path + "' would be replaced by its own document";
    return "'" + item.path + "' would be replaced by the document of '" + writer.path + "'";
  }
  return {};
}

std::string Batch::store(std::size_t index, std::string_view document) {
  const Item& item = items_[index];
  // Written under a temporary name in the same directory, then renamed over
  // the old file: DIR/NAME is at every moment either the old document or the
  // whole new one, whenever the command stops. Across a power loss only with
  // sync, which costs a disk commit per file (several times the wall time of
  // a run over small files), hence not the default.
  //
  // A new document gets 0666 less the umask (and whatever a default ACL of
  // DIR adds); one that replaces a file takes over that file's mode, owner
  // and group, so that a private output does not become readable by others.
  // Its temporary file is private from the start.
  struct stat old;
  const bool replacing = ::fstatat(dir_fd_, item.name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode);
  const TempFile temp = create_temp_file(dir_fd_, index, replacing);
  int err = temp.fd < 0 ? temp.err : write_all(temp.fd, document);
  if (err == 0 && replacing) err = take_over_owner_and_mode(temp.fd, old);
  if (err == 0 && options_.sync && ::fsync(temp.fd) != 0) err = errno;
  if (temp.fd >= 0 && ::close(temp.fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err == 0 && ::renameat(dir_fd_, temp.name.c_str(), dir_fd_, item.name.c_str()) != 0) err = errno;
  if (err == 0) return {};
  if (temp.fd >= 0) ::unlinkat(dir_fd_, temp.name.c_str(), 0);
  return "cannot write '" + output_path(item.name) + "': " + describe(err);
}

std::string Batch::process(std::size_t index) {
  const Item& item = items_[index];
  try {
    std::string failure;
    try {
      OutputBuffer payload(0);
      int fd = open_retrying(item.path.c_str(), O_RDONLY);
      const std::size_t limit = options_.max_input_size;
      int err = fd < 0 ? errno : read_all(fd, payload, limit);
      if (fd >= 0) ::close(fd);
      Gunzipped gunzipped;
      if (err == 0 && is_gzip(payload.view())) gunzipped = gunzip(payload, options_.lines, limit);
      if (err == kTooLarge) {
        failure = "larger than " + size_limit_text(limit);
      } else if (err != 0) {
        failure = "cannot read: " + describe(err);
      } else if (gunzipped.status == Gunzipped::Status::too_large) {
        failure = "decompresses to more than " + size_limit_text(limit);
      } else if (gunzipped.status != Gunzipped::Status::ok) {
        failure = "cannot decompress: " + gunzipped.reason;
      } else {
        Answer answer = convert(std::move(payload), options_.lines);
        if (answer.outcome) {
          failure = store(index, answer.outcome.value().view());
        } else {
          failure = answer.outcome.error().message();
          // The hint goes on a line of its own, prefixed like the message.
          if (!answer.hint.empty()) failure += '\n' + item.path + ": hint: " + answer.hint;
        }
      }
    } catch (const std::bad_alloc&) {
      failure = "out of memory";
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unexpected failure";
    }
    if (failure.empty()) return failure;
    return item.path + ": " + failure + '\n';
  } catch (...) {
    return "out of memory\n";  // short enough to need no allocation
  }
}

int Batch::run() {
  std::uint64_t total_bytes = 0;
  for (const Item& item : items_) total_bytes += item.size;
  Tally tally(items_.size(), total_bytes);

  auto work = [&] {
    for (std::size_t i; (i = tally.next.fetch_add(1, std::memory_order_relaxed)) < tally.count;) {
      std::string message = process(i);
      std::lock_guard lock(tally.mutex);
      items_[i].message = std::move(message);
      items_[i].done = true;
      ++tally.files_done;
      tally.bytes_done += items_[i].size;
      // Messages go out in the order of the FILEs, whichever finishes first.
      for (; tally.reported < tally.count && items_[tally.reported].done; ++tally.reported) {
        std::string& text = items_[tally.reported].message;
        if (text.empty()) continue;
        tally.failed = true;
        tally.line.clear();
        say(text);
        std::string().swap(text);
      }
    }
  };

  std::thread ticker;
  if (options_.progress || ::isatty(STDERR_FILENO)) ticker = start_ticker(tally);
  run_on_threads(job_count(options_.jobs, tally.count), work);
  stop_ticker(tally, ticker);
  return tally.failed ? 1 : 0;
}

}  // namespace zorvat::cli
