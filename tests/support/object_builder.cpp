#include "object_builder.h"

namespace zorvat::testkit {

bool ObjectBuilder::insert(Str key, Value value) {
  const std::size_t n = members_.size();
  std::size_t found = KeyIndex::npos;
  if (!index_.empty()) {
    found = index_.find_or_insert([this](std::size_t p) { return members_[p].key(); }, key, n, *arena_);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      if (members_[i].key() == key) {
        found = i;
        break;
      }
    }
    if (found == KeyIndex::npos && n + 1 > json::kLinearSearchKeys) {
      members_.push_back({arena_->create(key), value});
      index_.build([this](std::size_t p) { return members_[p].key(); }, n + 1, 2 * (n + 1), *arena_);
      return false;
    }
  }
  if (found != KeyIndex::npos) {
    members_[found].value = value;
    return true;
  }
  members_.push_back({arena_->create(key), value});
  return false;
}

Value ObjectBuilder::finish() {
  Value v = make_object(members_.data(), members_.size(), index_, *arena_);
  members_.clear();
  index_ = KeyIndex();
  return v;
}

}  // namespace zorvat::testkit
