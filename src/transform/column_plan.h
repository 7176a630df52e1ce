// The column plan: where every column goes and which cells each row has,
// fed one member at a time by either row source (the span scan over the
// payload's bytes, or the exact reader's objects). Both sources share its
// rules: columns in order of first appearance, the last value of a repeated
// key at the first key's position, all-null columns dropped, and constants
// (from two rows on) where every row's cell equals the first row's.
//
// A source supplies its cell type (8 bytes: where the cell is) and
//   bool is_null(Cell);
//   bool equal(Cell cell, Cell reference, std::uint32_t column);  // cell equality
//   void write_cell(json::OutputBuffer&, Cell, bool comma);
// document_writer.h writes the document from the plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "json/arena.h"
#include "json/number.h"
#include "json/paged_array.h"
#include "json/strings.h"
#include "json/value.h"

namespace zorvat::transform {

inline constexpr std::uint32_t kNoColumn = UINT32_MAX;

// A column's name as words for a quick test of a key's raw bytes: the name
// and its closing quote, and masks of the bytes that count. Only names of up
// to 15 bytes without quote, backslash or control byte have a mask; a key
// can match one only when it is written exactly so.
struct KeyWords {
  std::uint64_t text[2] = {0, 0};
  std::uint64_t mask[2] = {0, 0};
  std::uint32_t size = 0;
};

template <class Source>
class ColumnPlan {
 public:
  using Cell = typename Source::Cell;
  static_assert(sizeof(Cell) == 8 && std::is_trivially_copyable_v<Cell>);

  // What the plan learns about a column, in 40 bytes: one huge row makes
  // millions of columns.
  struct Column {
    const char* name_data;
    std::uint32_t name_size_plain;  // size << 1 | 1 when the name needs no escape
    std::uint32_t equal_rows;       // leading rows whose cell equals the reference
    Cell reference;                 // the first row's cell, while equal_rows != 0
    std::uint32_t non_null;         // 1 once a row has a non-null cell
    std::uint32_t stamp;            // 1 + the last row that had this column
    std::uint32_t slot;             // its member index in that row
    std::uint32_t spare;

    std::size_t name_size() const { return name_size_plain >> 1; }
    bool plain_name() const { return name_size_plain & 1; }
    json::Str name() const { return {name_data, name_size()}; }
  };
  static_assert(sizeof(Column) == 40);

  ColumnPlan(Source& source, std::size_t stream_hint) : source_(source), stream_(stream_hint), columns_(kLinear) {
    prev_.reserve(kLinear);
    prev_.push_back(kNoColumn);
    row_columns_.reserve(kLinear);
    words_.reserve(kLinear);
  }

  // ---- Rows, one member at a time

  void begin_row() {
    if (rows_ >= UINT32_MAX - 1) throw std::length_error("too many rows");
    header_ = stream_.size();
    stream_.extend(kHeaderWords);
    count_ = 0;
    shared_ = true;
    cursor_ = 0;
    advance(0);
  }

  // The column whose key the row most likely has next: the previous row's
  // next one after the last key found there. kNoColumn past its end.
  std::uint32_t expected() const { return static_cast<std::uint32_t>(next_); }
  const Column& column(std::uint32_t c) const { return columns_[c]; }
  // Column `c`'s key words, or null past the first kWordColumns columns.
  const KeyWords* words(std::size_t c) const { return c < word_count_ ? words_.data() + c : nullptr; }

  // A member whose key is column `c`'s name.
  [[gnu::always_inline]] void add(std::uint32_t c, Cell cell) {
    // The usual row: every key so far at its place in the previous list,
    // which holds no key twice.
    if (shared_ && c == next_) {
      advance(cursor_ + 1);
      append(cell);
      return;
    }
    add_off_list(c, cell);
  }

  // A member by its (decoded) key.
  void add(json::Str name, Cell cell) {
    add(next_ != kNoColumn && columns_[next_].name() == name ? next_ : find_or_add(name), cell);
  }

  // The row's cells are final (repeats resolved): they join the column facts.
  void end_row() {
    const std::uint32_t* list = shared_ ? prev_.data() : row_columns_.data();
    const std::uint32_t* cells = stream_.data() + header_ + kHeaderWords;
    auto cell_at = [cells](std::uint32_t j) {
      Cell cell;
      std::memcpy(&cell, cells + 2 * std::size_t{j}, sizeof cell);
      return cell;
    };
    if (rows_ == 0) {
      for (std::uint32_t j = 0; j < count_; ++j) {
        const Cell cell = cell_at(j);
        if (source_.is_null(cell)) continue;
        Column& col = columns_[list[j]];
        col.non_null = 1;
        col.reference = cell;
        col.equal_rows = 1;
      }
    } else {
      for (std::uint32_t j = 0; j < count_; ++j) {
        const Cell cell = cell_at(j);
        if (source_.is_null(cell)) continue;
        Column& col = columns_[list[j]];
        col.non_null = 1;
        if (col.equal_rows == rows_ && source_.equal(cell, col.reference, list[j])) ++col.equal_rows;
      }
    }
    // A row with the previous list's keys at its first positions shares it.
    stream_[header_] = count_ << 1 | (shared_ ? 0 : 1);
    if (!shared_) {
      std::uint32_t* out = stream_.extend(list_words(count_));
      if (count_ != 0) std::memcpy(out, row_columns_.data(), std::size_t{count_} * 4);
      if (count_ % 2 != 0) out[count_] = 0;
      prev_.swap(row_columns_);
      prev_size_ = prev_.size();
      prev_.push_back(kNoColumn);
    }
    row_columns_.clear();
    ++rows_;
  }

  // ---- What the writer reads

  std::uint32_t rows() const { return rows_; }
  std::size_t column_count() const { return columns_.size(); }
  // Per row: a header (member count << 1 | 1 when its column list follows
  // the cells; kHeaderWords words), the cells (two words each), then the list
  // unless the row shares the last one written (list_words(count) words).
  // Cells stay 8-byte aligned.
  static constexpr std::size_t kHeaderWords = 2;
  static constexpr std::size_t list_words(std::size_t count) { return (count + 1) & ~std::size_t{1}; }
  const std::uint32_t* stream() const { return stream_.data(); }
  Source& source() const { return source_; }

  // Frees what only the rows' intake needed.
  void end_intake() {
    std::vector<std::uint32_t>().swap(prev_);
    std::vector<std::uint32_t>().swap(row_columns_);
    std::vector<KeyWords>().swap(words_);
    word_count_ = 0;
  }

 private:
  static constexpr std::uint32_t kLinear = 32;          // below this many columns a scan beats hashing
  static constexpr std::size_t kWordColumns = 1024;    // columns with key words
  static constexpr std::size_t kLookAhead = 8;         // previous keys searched for a key found off its place

  void advance(std::uint32_t cursor) {
    cursor_ = cursor;
    next_ = prev_[cursor];  // the list ends in kNoColumn
  }

  void append(Cell cell) {
    new (stream_.extend(2)) Cell(cell);
    ++count_;
  }

  void add_off_list(std::uint32_t c, Cell cell) {
    if (shared_) part_ways();
    Column& col = columns_[c];
    if (col.stamp == rows_ + 1) {  // a repeated key: its last value, at the first key's position
      new (stream_.data() + header_ + kHeaderWords + 2 * std::size_t{col.slot}) Cell(cell);
      return;
    }
    col.stamp = rows_ + 1;
    col.slot = count_;
    row_columns_.push_back(c);
    append(cell);
    // Rows that lack some of the previous row's keys keep its order for the
    // rest: the prediction resumes after the key just found, if it is near.
    if (c == next_) {
      advance(cursor_ + 1);
      return;
    }
    const std::size_t last = std::min(prev_size_, cursor_ + kLookAhead);
    for (std::size_t k = cursor_; k < last; ++k) {
      if (prev_[k] == c) return advance(static_cast<std::uint32_t>(k + 1));
    }
  }

  // The row's keys leave the previous list's order: its members so far are
  // marked as this row's, for the repeated-key test.
  void part_ways() {
    shared_ = false;
    row_columns_.assign(prev_.begin(), prev_.begin() + count_);
    for (std::uint32_t j = 0; j < count_; ++j) {
      columns_[prev_[j]].stamp = rows_ + 1;
      columns_[prev_[j]].slot = j;
    }
  }

  std::uint32_t find_or_add(json::Str name) {
    const auto count = static_cast<std::uint32_t>(columns_.size());
    auto name_at = [this](std::size_t i) { return columns_[i].name(); };
    if (count < kLinear) {
      for (std::uint32_t c = 0; c < count; ++c) {
        if (columns_[c].name() == name) return c;
      }
    } else {
      if (index_.empty()) index_.build(name_at, count, 2 * kLinear, arena_);
      const std::size_t found = index_.find_or_insert(name_at, name, count, arena_);
      if (found != json::KeyIndex::npos) return static_cast<std::uint32_t>(found);
    }
    if (count >= UINT32_MAX - 1) throw std::length_error("too many columns");
    if (name.size >= (std::size_t{1} << 31)) throw std::length_error("column name too long");
    const bool plain = json::find_string_special(name.data, name.data + name.size) == name.data + name.size;
    columns_.push_back(Column{name.data, static_cast<std::uint32_t>(name.size << 1 | plain), 0, Cell{}, 0, 0, 0, 0});
    if (count < kWordColumns) {
      words_.push_back(words_of(name, plain));
      word_count_ = words_.size();
    }
    return count;
  }

  static KeyWords words_of(json::Str name, bool plain) {
    KeyWords w;
    w.size = static_cast<std::uint32_t>(name.size);
    if (!plain || name.size > 15) return w;
    char text[16] = {};
    std::memcpy(text, name.data, name.size);
    text[name.size] = '"';
    unsigned char mask[16] = {};
    std::memset(mask, 0xFF, name.size + 1);
    w.text[0] = json::load_word8(text);
    w.text[1] = json::load_word8(text + 8);
    w.mask[0] = json::load_word8(reinterpret_cast<const char*>(mask));
    w.mask[1] = json::load_word8(reinterpret_cast<const char*>(mask) + 8);
    return w;
  }

  Source& source_;
  json::PagedArray<std::uint32_t> stream_;
  json::PagedArray<Column> columns_;
  std::vector<KeyWords> words_;             // of the first kWordColumns columns
  json::KeyIndex index_;                    // over the names, from kLinear columns on
  json::Arena arena_;                       // the index's slots
  std::vector<std::uint32_t> prev_;         // the last column list written, then kNoColumn
  std::vector<std::uint32_t> row_columns_;  // the current row's
  // The state of the row being taken in is kept in words of another type
  // than the cells' (std::uint32_t), so that storing a cell does not make the
  // compiler load it again.
  std::size_t rows_ = 0;
  std::size_t count_ = 0;    // the current row's distinct members
  std::size_t cursor_ = 0;   // in prev_: where the next key is expected
  std::size_t next_ = kNoColumn;  // prev_[cursor_]
  std::size_t prev_size_ = 0;
  std::size_t word_count_ = 0;

  std::size_t header_ = 0;     // the current row's header in the stream
  bool shared_ = true;         // every member so far sits at its position in prev_
};

}  // namespace zorvat::transform
