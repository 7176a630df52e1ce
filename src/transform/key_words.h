// The span scan's quick test of a key: its raw bytes against a column's
// name, two words at a time, before any scan of the key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "json/number.h"
#include "json/value.h"

namespace zorvat::transform {

// A column's name as words: the name and its closing quote, and masks of
// the bytes that count. Only names of up to 15 bytes without quote,
// backslash or control byte have a mask; a key can match one only when it is
// written exactly so.
struct KeyWords {
  std::uint64_t text[2] = {0, 0};
  std::uint64_t mask[2] = {0, 0};
  // Unused: at 40 bytes the span scan's key test measured 2% fewer
  // instructions on small calls than at 32 (g++ 12).
  std::uint64_t spare = 0;

  // `plain`: the name needs no escape when written.
  static KeyWords of(json::Str name, bool plain) {
    KeyWords w;
    if (!plain || name.size > 15) return w;
    char text[16] = {};
    std::memcpy(text, name.data, name.size);
    text[name.size] = '"';
    unsigned char mask[16] = {};
    std::memset(mask, 0xFF, name.size + 1);
    w.text[0] = load_word8(text);
    w.text[1] = load_word8(text + 8);
    w.mask[0] = load_word8(reinterpret_cast<const char*>(mask));
    w.mask[1] = load_word8(reinterpret_cast<const char*>(mask) + 8);
    return w;
  }

  bool has_mask() const { return mask[0] != 0; }
  // The 16 bytes at `key` start with the name and its closing quote.
  bool match(const char* key) const {
    return (((load_word8(key) ^ text[0]) & mask[0]) | ((load_word8(key + 8) ^ text[1]) & mask[1])) == 0;
  }
};
inline constexpr KeyWords kNoWords{};

// The same test without words (a long name, a key near the payload's end):
// the bytes from `key` to `end` start with the column's name, needing no
// escape, and its closing quote.
template <class Column>
bool written_as(const Column& column, const char* key, const char* end) {
  const std::size_t n = column.name_size();
  return column.plain_name() && static_cast<std::size_t>(end - key) > n && key[n] == '"' &&
         json::same_bytes(key, column.name_data, n);
}

// The key words of the first columns, as a row's scan reads them.
struct KeyWordList {
  const KeyWords* words;
  std::size_t count;

  // Column `c`'s key words, or words without mask.
  const KeyWords& of(std::size_t c) const { return c < count ? words[c] : kNoWords; }
};

// The key words of a column plan's first kColumns columns.
class KeyWordTable {
 public:
  static constexpr std::size_t kColumns = 1024;

  KeyWordTable() { words_.reserve(json::kLinearSearchKeys); }
  KeyWordList list() const { return {words_.data(), words_.size()}; }
  // The list, with the words of the columns `plan` added since. Out of line:
  // inlined into the row scan, it cost the scan's loop 4% more instructions.
  template <class Plan>
  [[gnu::noinline]] KeyWordList update(const Plan& plan) {
    while (words_.size() < std::min(plan.column_count(), kColumns)) {
      const auto& column = plan.column(words_.size());
      words_.push_back(KeyWords::of(column.name(), column.plain_name()));
    }
    return list();
  }
  void release() { std::vector<KeyWords>().swap(words_); }

 private:
  std::vector<KeyWords> words_;
};

}  // namespace zorvat::transform
