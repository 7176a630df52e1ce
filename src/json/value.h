// The JSON value model shared by the reader, the transform and the writer.
//
// A Value is a 16-byte handle: a tag with a size, and a payload word. Strings,
// arrays and objects point into storage owned by an Arena (or, for strings
// read without escapes, into the payload buffer, which outlives every value of
// a call). Values are immutable once built, so "moving" one is copying its
// handle and a tree is released by releasing its arena.
//
// Numbers keep one of three forms (unsigned 64-bit, negative signed 64-bit,
// finite double); the form survives copying, decides equality and decides how
// the writer spells the number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/arena.h"
#include "base/hash.h"
#include "base/unaligned.h"

namespace zorvat::json {

enum class Kind : std::uint8_t { null, boolean, number, string, array, object };
enum class NumberForm : std::uint8_t { unsigned_integer, negative_integer, floating };

class Object;

// memcmp(a, b, n) == 0 for the short lengths of keys and category values,
// without a library call: two overlapping loads cover any length from 4 to
// 16 bytes, and never read outside [a, a + n) or [b, b + n).
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  auto load32 = [](const char* p) { return load_word<std::uint32_t>(p); };
  auto load64 = [](const char* p) { return load_word<std::uint64_t>(p); };
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  }
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Bytes of a string or key: always valid UTF-8, not terminated.
struct Str {
  const char* data = nullptr;
  std::size_t size = 0;

  std::string_view view() const { return {data, size}; }
  // Equal bytes. The reader hands out one pointer for a key that repeats
  // the previous row's key, so the pointer test settles most comparisons.
  friend bool operator==(Str a, Str b) {
    return a.size == b.size && (a.data == b.data || same_bytes(a.data, b.data, a.size));
  }
};

// A zero-filled Value is null: tag_null is 0, so arrays of cells can be
// cleared with memset.
class Value {
 public:
  Value() : meta_(tag_null), word_(0) {}

  static Value null() { return {}; }
  static Value boolean(bool b) { return Value(b ? tag_true : tag_false, 0, 0); }
  static Value unsigned_integer(std::uint64_t u) { return Value(tag_unsigned, 0, u); }
  // `i` must be negative.
  static Value negative_integer(std::int64_t i) {
    return Value(tag_negative, 0, static_cast<std::uint64_t>(i));
  }
  static Value floating(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return Value(tag_float, 0, bits);
  }
  static Value string(Str s) { return Value(tag_string, s.size, reinterpret_cast<std::uintptr_t>(s.data)); }
  // `elements` must stay alive as long as the value (arena storage).
  static Value array(const Value* elements, std::size_t count) {
    return Value(tag_array, count, reinterpret_cast<std::uintptr_t>(elements));
  }
  static Value object(const Object* object);

  Kind kind() const { return kKindOfTag[tag()]; }
  bool is_null() const { return tag() == tag_null; }
  bool is_object() const { return tag() == tag_object; }

  bool as_bool() const { return tag() == tag_true; }
  NumberForm form() const { return static_cast<NumberForm>(tag() - tag_unsigned); }
  std::uint64_t as_unsigned() const { return word_; }
  std::int64_t as_negative() const { return static_cast<std::int64_t>(word_); }
  double as_float() const {
    double d;
    std::memcpy(&d, &word_, 8);
    return d;
  }
  // The numeric value as a double: nearest, ties to even, for the integer forms.
  double number_as_double() const;

  Str as_string() const { return {reinterpret_cast<const char*>(word_), size()}; }
  const Value* array_data() const { return reinterpret_cast<const Value*>(word_); }
  std::size_t array_size() const { return size(); }
  const Object& as_object() const { return *reinterpret_cast<const Object*>(word_); }

 private:
  enum Tag : std::uint8_t {
    tag_null,
    tag_false,
    tag_true,
    tag_unsigned,
    tag_negative,
    tag_float,
    tag_string,
    tag_array,
    tag_object,
  };
  static constexpr Kind kKindOfTag[9] = {Kind::null,   Kind::boolean, Kind::boolean,
                                         Kind::number, Kind::number,  Kind::number,
                                         Kind::string, Kind::array,   Kind::object};

  Value(Tag tag, std::size_t size, std::uint64_t word)
      : meta_(static_cast<std::uint64_t>(tag) | (static_cast<std::uint64_t>(size) << 8)), word_(word) {}

  Tag tag() const { return static_cast<Tag>(meta_ & 0xFF); }
  std::size_t size() const { return static_cast<std::size_t>(meta_ >> 8); }

  std::uint64_t meta_;  // tag in the low byte, string/array size above it
  std::uint64_t word_;  // number bits, or a pointer
};
static_assert(sizeof(Value) == 16);

// A member's key is held by reference: the reader gives every member of a
// row that repeats the previous row's keys the same Str, so a member costs
// 24 bytes instead of 32 and the key bytes' address and length are stored
// once per shape rather than once per row.
struct Member {
  const Str* key_ref;  // never null; in the arena, or static
  Value value;

  Str key() const { return *key_ref; }
};
static_assert(sizeof(Member) == 24);

// Up to this many keys, a linear scan finds a key faster than the hash
// index: objects of more members are indexed, and so are the column plan's
// names past this many columns. bench/object_bench.cpp shows the scan
// building and looking up faster than hashing up to about 40 members.
inline constexpr std::size_t kLinearSearchKeys = 32;

// Open-addressing index from key to member position, keyed by SipHash-1-3.
// A slot holds (high 32 bits of the hash) << 32 | (position + 1); 0 is empty.
// Positions are 32-bit: an object of 2^32 members would need far more memory
// than any machine this runs on has.
class KeyIndex {
 public:
  static constexpr std::size_t npos = SIZE_MAX;

  // An index over `count` keys reached through `key_at(i)`, with room to
  // grow to `capacity_hint` keys before it rebuilds. Repeated keys keep the
  // first position (callers never pass repeats).
  template <class KeyAt>
  void build(KeyAt key_at, std::size_t count, std::size_t capacity_hint, Arena& arena);

  bool empty() const { return slots_ == nullptr; }
  // The next insertion grows the table.
  bool full() const { return (used_ + 1) * 2 > mask_ + 1; }
  // Moves the slots to a table twice the size in `arena`; the old table is
  // no longer used, so a caller that owns its arena may free it.
  void grow(Arena& arena);

  // Position of `key`, or npos.
  template <class KeyAt>
  std::size_t find(KeyAt key_at, Str key) const {
    return find_hashed(key_at, key, sip_hash13(hash_key_, key.view()));
  }

  // Position of `key` if present; otherwise records it at `position` and
  // returns npos. Grows (rebuilding from `key_at`) when half full.
  template <class KeyAt>
  std::size_t find_or_insert(KeyAt key_at, Str key, std::size_t position, Arena& arena);

 private:
  template <class KeyAt>
  std::size_t find_hashed(KeyAt key_at, Str key, std::uint64_t hash) const {
    const std::uint64_t tag = hash >> 32;
    for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
      std::uint64_t slot = slots_[i];
      if (slot == 0) return npos;
      if ((slot >> 32) == tag) {
        std::size_t position = static_cast<std::size_t>(slot & 0xFFFFFFFFu) - 1;
        if (key_at(position) == key) return position;
      }
    }
  }
  // Slots are placed by the hash's high 32 bits, which the slot keeps, so
  // growing never hashes a key again.
  void place(std::uint64_t tag, std::size_t position);
  void allocate(std::size_t capacity, Arena& arena);

  std::uint64_t* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
  HashKey hash_key_{};
};

// A JSON object: members in insertion order, contiguous, plus a hash index
// from key to position for objects of more than kLinearSearchKeys members.
class Object {
 public:
  // `index` is null for objects searched linearly.
  Object(const Member* members, std::size_t size, const KeyIndex* index)
      : members_(members), size_(size), index_(index) {}

  std::size_t size() const { return size_; }
  const Member* begin() const { return members_; }
  const Member* end() const { return members_ + size_; }
  const Member& operator[](std::size_t i) const { return members_[i]; }

  // The value stored under `key` (exact bytes), or nullptr.
  const Value* find(Str key) const;

  // A copy of the index (empty when there is none); the slots are shared.
  KeyIndex index() const { return index_ != nullptr ? *index_ : KeyIndex(); }

 private:
  const Member* members_;
  std::size_t size_;
  const KeyIndex* index_;  // kept out of line: most objects have none
};

// Makes the object for `count` members already in their final order, with
// unique keys: copies them into the arena and indexes them when large.
// `index` may carry an index already built over these positions.
Value make_object(const Member* members, std::size_t count, KeyIndex index, Arena& arena);

// Structural equality: kinds and number forms must match, doubles compare by
// IEEE (0.0 == -0.0), objects by key regardless of member order. Iterative.
bool equal(const Value& a, const Value& b);

inline Value Value::object(const Object* object) {
  return Value(tag_object, object->size(), reinterpret_cast<std::uintptr_t>(object));
}

template <class KeyAt>
void KeyIndex::build(KeyAt key_at, std::size_t count, std::size_t capacity_hint, Arena& arena) {
  hash_key_ = take_table_key();
  allocate(capacity_hint > count ? capacity_hint : count, arena);
  for (std::size_t i = 0; i < count; ++i) place(sip_hash13(hash_key_, key_at(i).view()) >> 32, i);
}

template <class KeyAt>
std::size_t KeyIndex::find_or_insert(KeyAt key_at, Str key, std::size_t position, Arena& arena) {
  std::uint64_t hash = sip_hash13(hash_key_, key.view());
  std::size_t found = find_hashed(key_at, key, hash);
  if (found != npos) return found;
  if (full()) grow(arena);
  place(hash >> 32, position);
  return npos;
}

}  // namespace zorvat::json
