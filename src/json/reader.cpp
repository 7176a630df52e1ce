#include "json/reader.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/stack.h"
#include "json/number.h"
#include "json/strings.h"

namespace zorvat::json {
namespace {

// An open array or object. Its elements or members sit on the reader's value
// or member stack from `start` on until it closes; then they move into the
// arena in one piece.
struct Frame {
  bool is_object;
  std::size_t start;
  KeyIndex index;  // built once an object grows past the linear-search size
  Str key;         // an object's key waiting for its value
  // The object last closed at this depth, while this one repeats its keys
  // in the same order (the shape of the rows, in a row-oriented payload).
  const Object* shape;
};

// Where the reader stands in the grammar. The innermost open container
// (the top of the frame stack) says which closing bracket is due.
enum class State {
  value,         // a value is due: after an opening bracket, a comma or a key's colon
  array_begin,   // just past '[': an element or ']'
  object_begin,  // just past '{': the first key or '}'
  key,           // an object's key and colon are due: after '{' or a comma
  after_value,   // a value is finished: it goes into the innermost open container
  after_element, // an array's element went in: a comma or ']' is due
  after_member,  // an object's member went in: a comma or '}' is due
  row_read,      // one_row: the row asked for is read
  done,          // the top-level array has closed
  failed,        // error_ says why
};

class Reader {
 public:
  // With `build` false the reader only checks: the same grammar, limits and
  // errors, but no value is kept. With `utf8_valid` (the whole payload is
  // known to be valid UTF-8) no string is checked again.
  Reader(std::string_view payload, Arena& arena, ReadFrom from, bool build = true, bool utf8_valid = false)
      : begin_(payload.data()), p_(payload.data()), end_(payload.data() + payload.size()), arena_(arena),
        build_(build), from_(from), non_ascii_(utf8_valid ? end_ : nullptr) {}

  Result<RowList, ReaderError> run();

 private:
  // ---- errors: only the kind and offset are kept on the hot path ----
  bool set_error(ErrorKind kind, Position position) {
    error_ = kind;
    std::size_t at = static_cast<std::size_t>(p_ - begin_);
    if (position == Position::next_byte && p_ < end_) ++at;
    error_offset_ = at;
    return false;
  }
  bool fail_next(ErrorKind kind) { return set_error(kind, Position::next_byte); }
  bool fail_consumed(ErrorKind kind) { return set_error(kind, Position::consumed); }
  ReaderError make_error() const;

  void skip_whitespace() {
    // Compact payloads have no whitespace: one test settles the usual case.
    if (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ') {
      while (p_ != end_ && is_whitespace(*p_)) ++p_;
    }
  }

  // True when [a, b) holds a byte of 0x80 or above. Content that is all
  // ASCII is valid UTF-8 without looking further, and most payloads are
  // ASCII for long stretches: the next non-ASCII byte is found by one vector
  // scan and remembered until the reader passes it.
  bool may_hold_non_ascii(const char* a, const char* b) {
    if (non_ascii_ < a) non_ascii_ = find_non_ascii(a, end_);
    return non_ascii_ < b;
  }

  // The per-value steps are forced inline into the main loop so that the
  // read position stays in a register across them.
  [[gnu::always_inline]] inline bool read_scalar(Value& out);
  bool read_literal(const char* word, std::size_t length);
  [[gnu::always_inline]] inline bool read_string(Str& out);
  bool read_escape();
  [[gnu::always_inline]] inline bool read_number(bool negative, Value& out);

  // ---- the grammar's states: each returns the state to go to next ----
  State start();
  [[gnu::always_inline]] inline State at_value(Value& value);
  [[gnu::always_inline]] inline State at_array_begin(Value& value);
  [[gnu::always_inline]] inline State at_object_begin(Value& value);
  [[gnu::always_inline]] inline State at_separator(bool is_object, Value& value);
  [[gnu::always_inline]] inline State failed_at_next(ErrorKind kind) {
    fail_next(kind);
    return State::failed;
  }
  [[gnu::always_inline]] inline State open_container(bool is_object);
  [[gnu::always_inline]] inline State read_key();
  [[gnu::always_inline]] inline State close_container(Value& value);
  [[gnu::always_inline]] inline State store(const Value& value);
  [[gnu::always_inline]] inline void add_member(Frame& frame, Value value);
  Value close(Frame& frame);
  Result<RowList, ReaderError> row_read();
  Result<RowList, ReaderError> finish(const Value& rows);

  bool invalid_type();

  const char* const begin_;
  const char* p_;
  const char* const end_;
  Arena& arena_;
  const bool build_;
  const ReadFrom from_;
  // With one_row, the depth at which a finished value is the row (the
  // top-level array's); 0, never met, otherwise.
  const std::size_t row_depth_ = from_.one_row ? 1 : 0;

  std::vector<Frame> frames_;
  const Object* last_object_[kMaxDepth + 1] = {};  // per depth, for Frame::shape
  Stack<Value> values_;
  Stack<Member> members_;
  std::string scratch_;              // the content of a string with escapes
  const char* non_ascii_ = nullptr;  // see may_hold_non_ascii

  ErrorKind error_ = ErrorKind::none;
  std::size_t error_offset_ = 0;
  std::string invalid_type_description_;
};

ReaderError Reader::make_error() const {
  ReaderError e;
  e.kind = error_;
  if (error_ == ErrorKind::invalid_type) {
    e.description = invalid_type_description_;
  } else {
    e.description = std::string(error_description(error_));
  }
  locate({begin_, static_cast<std::size_t>(end_ - begin_)}, error_offset_, e.line, e.column);
  return e;
}

bool Reader::read_literal(const char* word, std::size_t length) {
  // The first byte chose the literal; each further one is consumed, then
  // compared, so the error points at the byte that differs.
  ++p_;
  for (std::size_t i = 1; i < length; ++i) {
    if (p_ == end_) return fail_consumed(ErrorKind::eof_value);
    if (*p_++ != word[i]) return fail_consumed(ErrorKind::expected_ident);
  }
  return true;
}

inline bool Reader::read_number(bool negative, Value& out) {
  const char* const literal = p_ - negative;  // its '-', if any, is read already
  // Checking needs no value, but for the message about a top-level one.
  const json::NumberLiteral n = build_ || frames_.empty()
                                    ? json::read_number_literal(literal, end_)
                                    : json::read_number_literal<json::Need::nothing>(literal, end_);
  if (n.end == nullptr) [[unlikely]] {
    // Read again where it broke, for the error's kind and position.
    auto number = json::read_number(p_, end_, negative);
    return set_error(number.error().kind, number.error().position);
  }
  out = n.value;
  p_ = n.end;
  return true;
}

// After a backslash: appends the escaped character to the scratch buffer.
bool Reader::read_escape() {
  const Escape e = json::read_escape(p_, end_);
  p_ = e.next;
  if (e.error != ErrorKind::none) return fail_consumed(e.error);
  append_utf8(scratch_, e.code_point);
  return true;
}

// After the opening quote. A string without escapes is borrowed from the
// payload as it stands; one with escapes is assembled in the scratch buffer
// and copied into the arena once.
inline bool Reader::read_string(Str& out) {
  const char* const start = p_;
  const char* run = p_;
  bool escaped = false;
  for (;;) {
    const char* q = find_string_special_inline(p_, end_);
    if (q == end_) {
      p_ = end_;
      return fail_consumed(ErrorKind::eof_string);
    }
    char c = *q;
    if (c == '"') {
      p_ = q + 1;
      if (!escaped) {
        out = {run, static_cast<std::size_t>(q - run)};
      } else {
        scratch_.append(run, static_cast<std::size_t>(q - run));
        out = {arena_.copy_bytes(scratch_.data(), scratch_.size()), scratch_.size()};
      }
      // Only the finished content is validated: the error is reported at
      // the closing quote, never inside the string. Escapes always decode to
      // valid UTF-8, so only raw non-ASCII bytes call for the check.
      if (may_hold_non_ascii(start, q) && !is_valid_utf8(out.data, out.size)) {
        return fail_consumed(ErrorKind::invalid_unicode_code_point);
      }
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        scratch_.clear();
        escaped = true;
      }
      scratch_.append(run, static_cast<std::size_t>(q - run));
      p_ = q + 1;
      if (!read_escape()) return false;
      run = p_;
      continue;
    }
    p_ = q + 1;  // a raw control character
    return fail_consumed(ErrorKind::control_character);
  }
}

inline bool Reader::read_scalar(Value& out) {
  switch (*p_) {
    case 'n':
      out = Value::null();
      return read_literal("null", 4);
    case 't':
      out = Value::boolean(true);
      return read_literal("true", 4);
    case 'f':
      out = Value::boolean(false);
      return read_literal("false", 5);
    case '-':
      ++p_;
      return read_number(true, out);
    case '"': {
      ++p_;
      Str s;
      if (!read_string(s)) return false;
      out = Value::string(s);
      return true;
    }
    default:
      if (*p_ >= '0' && *p_ <= '9') return read_number(false, out);
      return fail_next(ErrorKind::expected_value);
  }
}

// Inserts the frame's pending key with `value`: a repeated key keeps its
// first position and takes the new value.
//
// Row shape cache: while an object repeats, key for key, the keys of the
// object closed before it at the same depth, each key is known to be new
// (that object's keys were distinct) and the check for a repeat is skipped;
// the member also shares that object's key (one Str for the whole run of
// rows), so later comparisons of the two are a pointer test. Nothing
// observable changes: the bytes are the same.
inline void Reader::add_member(Frame& frame, Value value) {
  const std::size_t start = frame.start;
  const std::size_t count = members_.size() - start;
  if (frame.shape != nullptr) {
    // Likely indeed, and said so: judged unlikely, the push and the key
    // comparison below were called out of line (7% more instructions on
    // records).
    if (count < frame.shape->size() && (*frame.shape)[count].key() == frame.key) [[likely]] {
      const Member& before = (*frame.shape)[count];
      // A string equal to the one the earlier object held here (a repeated
      // category, a constant column) shares its bytes too, compared now
      // while both are still in cache; later equality tests then need not
      // go back to the payload.
      if (value.kind() == Kind::string && before.value.kind() == Kind::string &&
          value.as_string() == before.value.as_string()) {
        value = before.value;
      }
      members_.push_back({before.key_ref, value});
      return;
    }
    frame.shape = nullptr;
  }
  auto key_at = [this, start](std::size_t i) { return members_[start + i].key(); };
  if (frame.index.empty() && count > kLinearSearchKeys) {
    frame.index.build(key_at, count, 2 * count, arena_);  // left the shape past the threshold
  }
  std::size_t found = KeyIndex::npos;
  if (!frame.index.empty()) {
    found = frame.index.find_or_insert(key_at, frame.key, count, arena_);
  } else {
    for (std::size_t i = start; i < members_.size(); ++i) {
      if (members_[i].key() == frame.key) {
        found = i - start;
        break;
      }
    }
  }
  if (found != KeyIndex::npos) {
    members_[start + found].value = value;
    return;
  }
  members_.push_back({arena_.create(frame.key), value});
  if (frame.index.empty() && count + 1 > kLinearSearchKeys) {
    frame.index.build(key_at, count + 1, 2 * (count + 1), arena_);
  }
}

Value Reader::close(Frame& frame) {
  if (!build_) return Value();
  if (frame.is_object) {
    std::size_t count = members_.size() - frame.start;
    KeyIndex index = frame.index;
    // Same keys in the same order as the shape: same positions, so the
    // shape's (immutable) index serves this object too.
    if (frame.shape != nullptr && count == frame.shape->size()) index = frame.shape->index();
    Value v = make_object(members_.data() + frame.start, count, index, arena_);
    members_.resize(frame.start);
    last_object_[frames_.size() - 1] = &v.as_object();
    return v;
  }
  std::size_t count = values_.size() - frame.start;
  Value* elements = arena_.allocate_array<Value>(count);
  if (count != 0)
    std::memcpy(static_cast<void*>(elements), values_.data() + frame.start, count * sizeof(Value));
  values_.resize(frame.start);
  return Value::array(elements, count);
}

// The payload's first value is not an array: read it (a literal, number or
// string) and name it in the error.
bool Reader::invalid_type() {
  if (*p_ == '{') {
    invalid_type_description_ = invalid_type_description(nullptr);
    return fail_consumed(ErrorKind::invalid_type);
  }
  if (!starts_value(*p_)) return fail_next(ErrorKind::expected_value);  // not '[' either: start() saw to that
  Value v;
  if (!read_scalar(v)) return false;
  invalid_type_description_ = invalid_type_description(&v);
  return fail_consumed(ErrorKind::invalid_type);
}

// The payload's first value, which must be an array; or, resuming just past
// a row that a read from the first byte accepts, the state that read has
// there: the top-level array alone open, its frame as opened (start 0, no
// key, no shape), no member pending, no error. Nothing else it carries
// changes what it reports: positions are offsets from the first byte, turned
// into line and column over the whole payload only when an error is made;
// the shape cache (last_object_) and the scratch buffer change no byte and
// no error; non_ascii_ is a lower bound, found again when behind. So from
// there both reads meet the same bytes in the same state; the row list holds
// the rows after it.
State Reader::start() {
  if (from_.after_row != 0) {
    p_ = begin_ + from_.after_row;
    frames_.push_back({false, 0, KeyIndex(), Str(), nullptr});
    return State::after_element;
  }
  skip_whitespace();
  if (p_ == end_) return failed_at_next(ErrorKind::eof_value);
  if (*p_ != '[') {
    invalid_type();
    return State::failed;
  }
  return State::value;
}

inline State Reader::at_value(Value& value) {
  skip_whitespace();
  if (p_ == end_) return failed_at_next(ErrorKind::eof_value);
  const char c = *p_;
  if (c == '[' || c == '{') return open_container(c == '{');
  if (!read_scalar(value)) return State::failed;
  return State::after_value;
}

// The opening bracket at p_.
inline State Reader::open_container(bool is_object) {
  if (frames_.size() >= kMaxDepth) return failed_at_next(ErrorKind::recursion_limit_exceeded);
  ++p_;
  const Object* shape = is_object ? last_object_[frames_.size()] : nullptr;
  frames_.push_back({is_object, is_object ? members_.size() : values_.size(), KeyIndex(), Str(), shape});
  return is_object ? State::object_begin : State::array_begin;
}

// Just past an opening bracket: the container may be empty.
inline State Reader::at_array_begin(Value& value) {
  skip_whitespace();
  if (p_ == end_) return failed_at_next(ErrorKind::eof_list);
  if (*p_ == ']') return close_container(value);
  return State::value;
}

inline State Reader::at_object_begin(Value& value) {
  skip_whitespace();
  if (p_ == end_) return failed_at_next(ErrorKind::eof_object);
  if (*p_ == '}') return close_container(value);
  return State::key;
}

// An object's key and colon, the opening quote due at p_.
inline State Reader::read_key() {
  if (*p_ != '"') return failed_at_next(ErrorKind::key_must_be_string);
  ++p_;
  if (!read_string(frames_.back().key)) return State::failed;
  skip_whitespace();
  if (p_ == end_) return failed_at_next(ErrorKind::eof_object);
  if (*p_ != ':') return failed_at_next(ErrorKind::expected_colon);
  ++p_;
  return State::value;
}

// After a value inside an array or an object.
inline State Reader::at_separator(bool is_object, Value& value) {
  const char closing = is_object ? '}' : ']';
  skip_whitespace();
  if (p_ == end_) return failed_at_next(is_object ? ErrorKind::eof_object : ErrorKind::eof_list);
  if (*p_ == ',') {
    ++p_;
    skip_whitespace();
    if (p_ == end_) return failed_at_next(ErrorKind::eof_value);
    if (*p_ == closing) return failed_at_next(ErrorKind::trailing_comma);
    return is_object ? State::key : State::value;
  }
  if (*p_ == closing) return close_container(value);
  return failed_at_next(is_object ? ErrorKind::expected_object_comma_or_end : ErrorKind::expected_list_comma_or_end);
}

// The closing bracket at p_: the container becomes `value`.
inline State Reader::close_container(Value& value) {
  ++p_;
  value = close(frames_.back());
  frames_.pop_back();
  return State::after_value;
}

// A finished value into the innermost open container.
inline State Reader::store(const Value& value) {
  if (frames_.empty()) return State::done;  // it is the top-level array
  Frame& f = frames_.back();
  if (f.is_object) {
    if (build_) add_member(f, value);
    return State::after_member;
  }
  if (build_) values_.push_back(value);
  return frames_.size() == row_depth_ ? State::row_read : State::after_element;
}

Result<RowList, ReaderError> Reader::row_read() {
  if (!build_) return RowList{};
  Value* row = arena_.allocate_array<Value>(1);
  *row = values_.data()[values_.size() - 1];
  return RowList{row, 1};
}

Result<RowList, ReaderError> Reader::finish(const Value& rows) {
  skip_whitespace();
  if (p_ != end_) {
    fail_next(ErrorKind::trailing_characters);
    return fail(make_error());
  }
  return RowList{rows.array_data(), rows.array_size()};
}

// The grammar as a state machine over an explicit stack of open containers.
// Each state's step is inlined and returns its successor, mostly a constant,
// so the compiler jumps from step to step without going through the switch.
Result<RowList, ReaderError> Reader::run() {
  Value value;  // the value last finished
  State state = start();
  for (;;) {
    switch (state) {
      case State::value:
        state = at_value(value);
        break;
      case State::array_begin:
        state = at_array_begin(value);
        break;
      case State::object_begin:
        state = at_object_begin(value);
        break;
      case State::key:
        state = read_key();
        break;
      case State::after_value:
        state = store(value);
        break;
      case State::after_element:
        state = at_separator(false, value);
        break;
      case State::after_member:
        state = at_separator(true, value);
        break;
      [[unlikely]] case State::row_read:
        return row_read();
      [[unlikely]] case State::done:
        return finish(value);
      [[unlikely]] case State::failed:
        return fail(make_error());
    }
  }
}

}  // namespace

Result<RowList, ReaderError> read_rows(std::string_view payload, Arena& arena, ReadFrom from) {
  Reader reader(payload, arena, from);
  return reader.run();
}

Result<Checked, ReaderError> check_rows(std::string_view payload, bool utf8_valid, ReadFrom from) {
  Arena arena;
  Reader reader(payload, arena, from, false, utf8_valid);
  auto rows = reader.run();
  if (!rows) return fail(std::move(rows).error());
  return Checked{};
}

}  // namespace zorvat::json
