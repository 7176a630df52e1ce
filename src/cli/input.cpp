#include "cli/input.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "json/error.h"
#include "json/utf8_sequence.h"

namespace zorvat::cli {
namespace {

namespace tf = transform;
using tf::TransformError;
using namespace std::string_view_literals;  // xz's magic holds a NUL byte

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// ---------------------------------------------------------------- gzip

// zlib counts bytes in 32 bits: larger buffers go in and out in steps.
constexpr std::size_t kZlibStep = std::size_t{1} << 30;
constexpr std::size_t kInflateChunk = std::size_t{1} << 16;
constexpr std::size_t kInitialGuessLimit = std::size_t{64} << 20;
// What one inflate call may write while the input's start is watched.
constexpr std::size_t kWatchedStep = std::size_t{1} << 20;

class Inflater {
 public:
  Inflater() {
    // 16 + the largest window: gzip framing only, not raw deflate or zlib.
    if (::inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { ::inflateEnd(&z_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream* operator->() { return &z_; }
  z_stream* get() { return &z_; }

 private:
  z_stream z_{};
};

// ---------------------------------------------------------------- JSON Lines

// Whitespace within a line; a line feed ends the line.
bool line_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// What goes into the array: the first `end` bytes of the input, whose
// non-blank lines (`rows` of them) become its elements. A value must begin
// and end on its line: one that runs past the end of its line, or a second
// value after it on the line, would otherwise join lines into one row or
// split one into two. The input is cut where that happens, so that the
// reader meets any error before that point first, then the line's own: the
// end of the input inside the unfinished value (`close` false: no "]"
// either), or `stray`, the offset of a byte that the array would misread,
// reported as `stray_kind`: trailing characters for a byte after a complete
// value; expected value for a "]" or "}" that would be the first byte of a
// line's value (the array's own "," or "[" would close on it, giving errors
// at bytes the input does not have), as a reader of that line alone says.
struct LinesPlan {
  std::size_t end = 0;
  std::size_t rows = 0;
  bool close = true;
  std::size_t stray = kNone;
  json::ErrorKind stray_kind = json::ErrorKind::trailing_characters;
};

// A bracket count outside strings, enough to see where a line's value ends
// when the line is well formed; when it is not, the reader says why first.
// Fed one byte at a time; each step says whether the plan is complete there.
class LinesScan {
 public:
  explicit LinesScan(std::size_t size) { plan_.end = size; }

  // Byte `c` at offset `i`: true when the input is cut there.
  bool step(std::size_t i, char c) {
    if (c == '\n') return line_feed(i);
    if (in_string_) {
      string_byte(c);
      return false;
    }
    if (line_space(c)) return false;
    return value_byte(i, c);
  }

  // The plan once every byte has been stepped through without a cut.
  LinesPlan finish() {
    if (open()) plan_.close = false;
    return plan_;
  }

  const LinesPlan& plan() const { return plan_; }

 private:
  bool open() const { return in_string_ || depth_ > 0; }

  // A value still open at the end of its line is cut there, unclosed.
  bool line_feed(std::size_t i) {
    if (open()) {
      plan_.end = i;
      plan_.close = false;
      return true;
    }
    started_ = false;
    done_ = false;
    return false;
  }

  void string_byte(char c) {
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      in_string_ = false;
      done_ = depth_ == 0;
    }
  }

  // A byte outside strings that is not whitespace.
  bool value_byte(std::size_t i, char c) {
    bool stray = done_;
    switch (c) {
      case '"':
        in_string_ = true;
        break;
      case '{':
      case '[':
        ++depth_;
        break;
      case '}':
      case ']':
        if (depth_ > 0) {
          done_ = --depth_ == 0;
          break;
        }
        if (!started_) return cut_at_stray(i, json::ErrorKind::expected_value);  // no value can begin with it
        [[fallthrough]];
      case ',':
        // At the top after a number or literal, this ends the line's value.
        stray = stray || (depth_ == 0 && started_);
        break;
      default:
        break;
    }
    if (stray) return cut_at_stray(i, json::ErrorKind::trailing_characters);
    if (!started_) ++plan_.rows;
    started_ = true;
    return false;
  }

  bool cut_at_stray(std::size_t i, json::ErrorKind kind) {
    plan_.end = i;
    plan_.stray = i;
    plan_.stray_kind = kind;
    return true;
  }

  LinesPlan plan_;
  std::size_t depth_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;
  bool started_ = false;  // the line has a byte other than whitespace
  bool done_ = false;     // an object, array or string has ended at the top
};

LinesPlan plan_lines(std::string_view text) {
  LinesScan scan(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (scan.step(i, text[i])) return scan.plan();
  }
  return scan.finish();
}

// Makes the array of `plan` in place of the input in `buffer`: "[" in front,
// "," after the last byte of each non-blank line but the last, "]" after
// that one (when the plan closes the array). No byte changes lines, and only
// those of line 1 change columns, by one. Returns the array's text.
std::string_view make_array(OutputBuffer& buffer, const LinesPlan& plan) {
  const std::size_t added = plan.rows == 0 ? 2 : plan.rows + (plan.close ? 1 : 0);
  char* d = buffer.reserve(added) - buffer.size();
  const std::size_t total = plan.end + added;
  if (plan.rows == 0) {  // only blank lines: the empty array
    std::memmove(d + 1, d, plan.end);
    d[0] = '[';
    d[plan.end + 1] = ']';
  } else {
    // From the back, so that every byte moves once.
    std::size_t src = plan.end;
    std::size_t dst = total;
    auto move_from = [&](std::size_t from) {
      const std::size_t n = src - from;
      dst -= n;
      std::memmove(d + dst, d + from, n);
      src = from;
    };
    bool last = true;
    std::size_t line_end = plan.end;
    for (;;) {
      const void* feed = line_end == 0 ? nullptr : ::memrchr(d, '\n', line_end);
      const std::size_t line_start = feed == nullptr ? 0 : static_cast<const char*>(feed) - d + 1;
      const bool blank = std::all_of(d + line_start, d + line_end, line_space);
      if (!blank) {
        if (!last || plan.close) {
          move_from(line_end);
          d[--dst] = last ? ']' : ',';
        }
        last = false;
      }
      if (line_start == 0) break;
      line_end = line_start - 1;
    }
    move_from(0);
    d[--dst] = '[';
  }
  buffer.commit(added);
  return {d, total};
}

tf::Outcome guarded(std::string_view text) {
  return tf::run_guarded([&] { return tf::columnarize_json(text); });
}

// Columnarizes JSON Lines as their array; `text` is left viewing that array.
tf::Outcome convert_lines(OutputBuffer& payload, std::string_view& text) {
  const LinesPlan plan = plan_lines(payload.view());
  json::ReaderError stray;
  if (plan.stray != kNone) {
    stray.kind = plan.stray_kind;
    stray.description = json::error_description(plan.stray_kind);
    json::locate(payload.view(), plan.stray + 1, stray.line, stray.column);
  }
  text = make_array(payload, plan);
  tf::Outcome outcome = guarded(text);
  const bool read_error = !outcome && outcome.error().kind() == TransformError::Kind::invalid_json;
  if (read_error) {
    // The array's "[" is on line 1: the input's positions there are one
    // column to the left.
    const TransformError& error = outcome.error();
    if (error.line() == 1 && error.column() > 0) {
      outcome = fail(TransformError::reading({error.reader_kind(), std::string(error.detail()), 1, error.column() - 1}));
    }
  } else if (plan.stray != kNone) {
    // Everything before it reads: the stray byte is the first error.
    return fail(TransformError::reading(stray));
  }
  return outcome;
}

// ---------------------------------------------------------------- hints

bool starts_with(std::string_view text, std::string_view head) { return text.substr(0, head.size()) == head; }

// Text in a single-byte Western encoding: bytes above 0x7F, none of them
// part of a valid UTF-8 sequence, and every one a Windows-1252 character
// (which Latin-1's are, but for 0x80-0x9F).
bool looks_latin1(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  bool high = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = bytes[i];
    if (c < 0x80) continue;
    if (json::utf8_sequence_length(bytes + i, bytes + text.size()) != 0) return false;
    if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) return false;
    high = true;
  }
  return high;
}

// Line `line` and column `column` of a reader error as an offset into
// `text`, or kNone.
std::size_t offset_of(std::string_view text, std::uint64_t line, std::uint64_t column) {
  std::size_t start = 0;
  for (std::uint64_t l = 1; l < line; ++l) {
    const void* feed = std::memchr(text.data() + start, '\n', text.size() - start);
    if (feed == nullptr) return kNone;
    start = static_cast<const char*>(feed) - text.data() + 1;
  }
  return column <= text.size() - start ? start + static_cast<std::size_t>(column) : kNone;
}

// A second value that starts a line after the first one ended: what a JSON
// Lines file whose first line is an array gives ("trailing characters" at
// a "{" with nothing but whitespace before it on its line, past line 1).
bool second_value_on_next_line(std::string_view text, const TransformError& error) {
  const std::uint64_t line = error.line();
  const std::uint64_t column = error.column();
  if (error.reader_kind() != json::ErrorKind::trailing_characters || line < 2 || column == 0) return false;
  const std::size_t at = offset_of(text, line, column - 1);  // the column counts the byte itself
  if (at == kNone || at >= text.size() || text[at] != '{') return false;
  const std::size_t line_start = offset_of(text, line, 0);
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(line_start),
                     text.begin() + static_cast<std::ptrdiff_t>(at), line_space);
}

// The first two non-blank lines each start with "{": JSON Lines rather than
// one object, which may span lines too but whose second line is a member.
bool objects_on_two_lines(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  std::size_t at = text.find_first_not_of(kSpace);
  if (at == std::string_view::npos || text[at] != '{') return false;
  at = text.find('\n', at);
  if (at == std::string_view::npos) return false;
  at = text.find_first_not_of(kSpace, at);
  return at != std::string_view::npos && text[at] == '{';
}

struct Compressed {
  std::string_view magic;
  std::string_view hint;
};

constexpr Compressed kCompressed[] = {
    {"\x28\xB5\x2F\xFD"sv,
     "the input looks compressed with zstd, which this command cannot read; decompress it first (zstd -dc)"},
    {"\xFD\x37\x7A\x58\x5A\x00"sv,
     "the input looks compressed with xz, which this command cannot read; decompress it first (xz -dc)"},
    {"PK\x03\x04"sv, "the input looks like a zip archive, which this command cannot read; extract it first (unzip -p)"},
};

// What the command can tell from the input (the bytes the transform was
// given, before any JSON Lines change) about why it was rejected.
std::string hint_for(std::string_view input, const TransformError& error, bool lines) {
  for (const Compressed& format : kCompressed) {
    if (starts_with(input, format.magic)) return std::string(format.hint);
  }
  if (starts_with(input, "BZh") && input.size() > 3 && input[3] >= '1' && input[3] <= '9') {
    return "the input looks compressed with bzip2, which this command cannot read; decompress it first (bzip2 -dc)";
  }
  if (starts_with(input, "\xEF\xBB\xBF")) {
    return "the input starts with a UTF-8 byte order mark (bytes EF BB BF), which JSON text may not have; remove it";
  }
  if (error.kind() != TransformError::Kind::invalid_json) return {};
  if (!lines) {
    // An object where the array must be: the invalid-type error that names no value.
    const bool object_first =
        error.reader_kind() == json::ErrorKind::invalid_type && error.detail() == json::invalid_type_description(nullptr);
    if ((object_first && objects_on_two_lines(input)) || second_value_on_next_line(input, error)) {
      return "the input looks like JSON Lines (one object per line); try --lines";
    }
  }
  if (error.reader_kind() == json::ErrorKind::invalid_unicode_code_point && looks_latin1(input)) {
    return "the input is not UTF-8 but looks like Latin-1 or Windows-1252 text; convert it first "
           "(iconv -f WINDOWS-1252 -t UTF-8)";
  }
  return {};
}

// ---------------------------------------------------------------- early rejection

// A byte that can begin a JSON value; any other, where a value must begin,
// is "expected value" there whatever follows.
bool value_start(char c) {
  switch (c) {
    case '[': case '{': case '"': case '-': case 'n': case 't': case 'f':
      return true;
    default:
      return c >= '0' && c <= '9';
  }
}

// Watches the start of a decompressed input, as it grows, for a byte where
// a value must begin but cannot: the first byte other than whitespace of the
// input, which must be "[" (the reader's "expected value" there; "{" and
// the scalars are rejected too, but the message or the hint depends on
// later bytes: those are left to the full read); with JSON Lines, the first
// such byte of any line. The reader's error is then at that byte or before it,
// and found from the bytes up to it (those before it are the same lines,
// cut and joined the same way). The hint is too: the magic numbers and the
// byte order mark are the input's first bytes, "try --lines" comes only
// with another error, and the Latin-1 hint, which looks at every byte, only
// with an invalid UTF-8 string: JSON Lines stop being watched at their first
// byte above 0x7F.
class EarlyRejection {
 public:
  // The bytes that the hints look at, when there are that many.
  static constexpr std::size_t kHintBytes = 8;

  explicit EarlyRejection(bool lines) : lines_(lines) {}

  // Whether `text`, the input decompressed so far (what was passed before
  // and more), holds enough of its start to reject it as the whole would be.
  bool decided(std::string_view text) {
    for (std::size_t i = seen_; watching_ && found_ == kNone && i < text.size();) {
      const char c = text[i];
      if (!line_start_) {  // a line's rest: to its end, only its high bytes matter
        const void* feed = std::memchr(text.data() + i, '\n', text.size() - i);
        const std::size_t end = feed == nullptr ? text.size() : static_cast<const char*>(feed) - text.data();
        unsigned char high = 0;
        for (std::size_t k = i; k < end; ++k) high |= static_cast<unsigned char>(text[k]);
        if (high & 0x80) watching_ = false;
        line_start_ = feed != nullptr;
        i = feed == nullptr ? end : end + 1;
      } else if (c == '\n' || line_space(c)) {
        ++i;
      } else if (!value_start(c)) {
        found_ = i;
      } else if (!lines_) {
        watching_ = false;  // the input's value begins: nothing more to see here
      } else {
        line_start_ = false;
      }
      seen_ = i;
    }
    return found_ != kNone && text.size() >= std::max(found_ + 1, kHintBytes);
  }

  // Whether looking further could still decide anything.
  bool watching() const { return watching_ && found_ == kNone; }

 private:
  const bool lines_;
  bool watching_ = true;
  bool line_start_ = true;  // only whitespace since the last line feed (or the start)
  std::size_t seen_ = 0;
  std::size_t found_ = kNone;
};

}  // namespace

std::string size_limit_text(std::size_t limit) {
  return "the input size limit of " + std::to_string(limit) + " bytes (see --max-input-size)";
}

Gunzipped gunzip(OutputBuffer& bytes, bool lines, std::size_t limit) {
  using Status = Gunzipped::Status;
  Inflater z;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t in_left = bytes.size();
  // Room for at most limit + 1 bytes: one more than the limit tells.
  const std::size_t most = limit == SIZE_MAX ? limit : limit + 1;
  // A guess that decompression grows by doubling; the size the data claims
  // for itself (its last four bytes) is not trusted. The pages of the room
  // reserved are taken only as they are written.
  OutputBuffer out(std::min(std::min(bytes.size(), kInitialGuessLimit) * 4 + kInflateChunk, most));
  EarlyRejection early(lines);
  for (;;) {
    if (z->avail_in == 0 && in_left > 0) {
      const std::size_t n = std::min(in_left, kZlibStep);
      z->next_in = const_cast<unsigned char*>(in);
      z->avail_in = static_cast<uInt>(n);
      in += n;
      in_left -= n;
    }
    std::size_t room = out.capacity() - out.size();
    if (room < kInflateChunk) room = std::max(out.size(), kInflateChunk);
    // Small steps while the start may still decide: a bomb is stopped
    // within one of them.
    room = std::min({room, early.watching() ? kWatchedStep : kZlibStep, most - out.size()});
    char* at = out.reserve(room);
    z->next_out = reinterpret_cast<unsigned char*>(at);
    z->avail_out = static_cast<uInt>(room);
    const int rc = ::inflate(z.get(), Z_NO_FLUSH);
    out.commit(room - z->avail_out);
    if (early.decided(out.view())) break;  // rejected by its start: the rest is not needed
    if (out.size() > limit) return {Status::too_large, {}};
    if (rc == Z_OK) continue;
    if (rc == Z_STREAM_END) {
      // Another member may follow (files joined with cat), or zero bytes
      // that pad the data to a block (tape, some tools), as gzip(1) takes
      // them; nothing else may.
      const std::size_t rest = z->avail_in + in_left;
      if (rest == 0) break;
      const unsigned char* next = z->next_in;  // the rest is in one piece: the input
      if (std::all_of(next, next + rest, [](unsigned char b) { return b == 0; })) break;
      if (rest < 2 || next[0] != 0x1f || next[1] != 0x8b) return {Status::invalid, "unexpected data after the gzip data"};
      if (::inflateReset(z.get()) != Z_OK) return {Status::invalid, "invalid gzip data"};
      continue;
    }
    if (rc == Z_BUF_ERROR && z->avail_in == 0 && in_left == 0) return {Status::invalid, "truncated gzip data"};
    if (rc == Z_BUF_ERROR) continue;
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    std::string reason = "invalid gzip data";
    if (z->msg != nullptr) reason = reason + " (" + z->msg + ")";
    return {Status::invalid, std::move(reason)};
  }
  bytes = std::move(out);
  return {};
}

Answer convert(OutputBuffer payload, bool lines) {
  std::string_view text = payload.view();
  Answer answer{lines ? convert_lines(payload, text) : guarded(text), {}};
  if (!answer.outcome) {
    // The array's "[" aside, JSON Lines gain only ASCII at their line ends:
    // the input's start and its bytes above 0x7F are all there.
    if (lines) text.remove_prefix(1);
    answer.hint = hint_for(text, answer.outcome.error(), lines);
  }
  payload = OutputBuffer(0);  // the input is no longer needed; give the memory back
  return answer;
}

}  // namespace zorvat::cli
