#include "json/value.h"

#include <stdexcept>
#include <vector>

#include "base/stack.h"

namespace zorvat::json {

double Value::number_as_double() const {
  switch (form()) {
    case NumberForm::unsigned_integer:
      return static_cast<double>(as_unsigned());  // round to nearest, ties to even
    case NumberForm::negative_integer:
      return static_cast<double>(as_negative());
    case NumberForm::floating:
      break;
  }
  return as_float();
}

// ---- KeyIndex --------------------------------------------------------------

void KeyIndex::allocate(std::size_t capacity, Arena& arena) {
  std::size_t slots = 16;
  while (slots < capacity * 2) slots *= 2;
  slots_ = arena.allocate_array<std::uint64_t>(slots);
  std::memset(slots_, 0, slots * sizeof(std::uint64_t));
  mask_ = slots - 1;
  used_ = 0;
}

void KeyIndex::place(std::uint64_t tag, std::size_t position) {
  if (position >= 0xFFFFFFFFu) throw std::length_error("object has too many members to index");
  std::size_t i = tag & mask_;
  while (slots_[i] != 0) i = (i + 1) & mask_;
  slots_[i] = (tag << 32) | (position + 1);
  ++used_;
}

void KeyIndex::grow(Arena& arena) {
  const std::uint64_t* old = slots_;
  std::size_t old_count = mask_ + 1;
  allocate(old_count, arena);
  for (std::size_t i = 0; i < old_count; ++i) {
    if (old[i] != 0) place(old[i] >> 32, static_cast<std::size_t>(old[i] & 0xFFFFFFFFu) - 1);
  }
}

// ---- Object ----------------------------------------------------------------

const Value* Object::find(Str key) const {
  if (index_ != nullptr) {
    std::size_t i = index_->find([this](std::size_t p) { return members_[p].key(); }, key);
    return i == KeyIndex::npos ? nullptr : &members_[i].value;
  }
  for (std::size_t i = 0; i < size_; ++i) {
    if (members_[i].key() == key) return &members_[i].value;
  }
  return nullptr;
}

namespace {

const Object* new_object(const Member* members, std::size_t count, const KeyIndex& index, Arena& arena) {
  const KeyIndex* stored_index = nullptr;
  if (!index.empty())
    stored_index = new (arena.allocate(sizeof(KeyIndex), alignof(KeyIndex))) KeyIndex(index);
  return new (arena.allocate(sizeof(Object), alignof(Object))) Object(members, count, stored_index);
}

}  // namespace

Value make_object(const Member* members, std::size_t count, KeyIndex index, Arena& arena) {
  Member* stored = arena.allocate_array<Member>(count);
  if (count != 0) std::memcpy(static_cast<void*>(stored), members, count * sizeof(Member));
  if (index.empty() && count > kLinearSearchKeys) {
    index.build([stored](std::size_t p) { return stored[p].key(); }, count, count, arena);
  }
  return Value::object(new_object(stored, count, index, arena));
}

// ---- equality --------------------------------------------------------------

namespace {

// Compares everything but the children of containers. For containers it
// only checks kind and size; the caller walks the children.
bool shallow_equal(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::null:
      return true;
    case Kind::boolean:
      return a.as_bool() == b.as_bool();
    case Kind::number:
      if (a.form() != b.form()) return false;
      if (a.form() == NumberForm::floating) return a.as_float() == b.as_float();
      return a.as_unsigned() == b.as_unsigned();
    case Kind::string:
      return a.as_string() == b.as_string();
    case Kind::array:
      return a.array_size() == b.array_size();
    case Kind::object:
      return a.as_object().size() == b.as_object().size();
  }
  return false;
}

bool is_container(const Value& v) { return v.kind() == Kind::array || v.kind() == Kind::object; }

// One open container pair on the explicit stack: the next child to compare.
struct EqualFrame {
  const Value* a;
  const Value* b;
  std::size_t next;
};

}  // namespace

bool equal(const Value& a, const Value& b) {
  if (!shallow_equal(a, b)) return false;
  if (!is_container(a)) return true;
  Stack<EqualFrame, 8> frames;
  frames.push_back({&a, &b, 0});
  while (!frames.empty()) {
    EqualFrame& top = frames.back();
    const Value* x;
    const Value* y;
    if (top.a->kind() == Kind::array) {
      if (top.next == top.a->array_size()) {
        frames.pop_back();
        continue;
      }
      x = &top.a->array_data()[top.next];
      y = &top.b->array_data()[top.next];
    } else {
      const Object& oa = top.a->as_object();
      if (top.next == oa.size()) {
        frames.pop_back();
        continue;
      }
      x = &oa[top.next].value;
      y = top.b->as_object().find(oa[top.next].key());
      if (y == nullptr) return false;
    }
    ++top.next;
    if (!shallow_equal(*x, *y)) return false;
    if (is_container(*x)) frames.push_back({x, y, 0});  // may move the frames: `top` is not used after this
  }
  return true;
}

}  // namespace zorvat::json
