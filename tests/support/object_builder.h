// Objects built member by member, outside the reader.
#pragma once

#include <cstddef>
#include <vector>

#include "base/arena.h"
#include "json/value.h"

namespace zorvat::testkit {

using namespace zorvat::json;

// Builds one object with the reader's insert rule: a new key is appended, a
// repeated key keeps its first position and takes the new value. For tests
// and fuzz targets that build the values they expect without the reader.
class ObjectBuilder {
 public:
  explicit ObjectBuilder(Arena& arena) : arena_(&arena) {}

  // Returns true when `key` was already present (its value was replaced).
  bool insert(Str key, Value value);
  std::size_t size() const { return members_.size(); }
  // Copies the members into the arena and returns the finished object.
  Value finish();

 private:
  Arena* arena_;
  std::vector<Member> members_;
  KeyIndex index_;
};

}  // namespace zorvat::testkit
