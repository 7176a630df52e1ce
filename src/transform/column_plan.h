// The column plan: where every column goes and which cells each row has,
// fed one member at a time by either row source (the span scan over the
// payload's bytes, or the exact reader's objects). Both sources share its
// rules: columns in order of first appearance, the last value of a repeated
// key at the first key's position, all-null columns dropped, and constants
// (from two rows on) where every row's cell equals the first row's.
//
// A source is what RowSource below asks of it; document_writer.h writes the
// document from the plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <concepts>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "base/arena.h"
#include "base/buffer.h"
#include "base/paged_array.h"
#include "json/strings.h"
#include "json/value.h"

namespace zorvat::transform {

inline constexpr std::uint32_t kNoColumn = UINT32_MAX;

// A row source: its cells (8 bytes that say where a member's value is,
// copied freely) and what the plan and the writer ask of them. `equal` is
// cell equality (numbers by value, containers structurally); `column` lets
// a source remember what it learnt about that column's reference.
template <class S>
concept RowSource = requires(S& source, typename S::Cell cell, std::uint32_t column, OutputRun& run,
                             bool comma) {
  requires sizeof(typename S::Cell) == 8 && std::is_trivially_copyable_v<typename S::Cell>;
  { source.is_null(cell) } -> std::same_as<bool>;
  { source.equal(cell, cell, column) } -> std::same_as<bool>;
  { source.write_cell(run, cell, comma) } -> std::same_as<void>;
};

// The rows as the plan keeps them for the writer, in 32-bit words. Per row:
// a header (member count << 1 | 1 when the row's column list follows its
// cells), the cells, then that list unless the row shares the list written
// last. Cells that need 8-byte alignment (pointers) keep it: the header takes
// two words then, and lists are padded to even length.
template <class Cell>
class RowStream {
 public:
  static constexpr std::size_t kCellWords = sizeof(Cell) / 4;
  static constexpr std::size_t kAlignWords = alignof(Cell) < 4 ? 1 : alignof(Cell) / 4;
  static constexpr std::size_t kHeaderWords = kAlignWords;
  static constexpr std::size_t list_words(std::size_t count) { return (count + kAlignWords - 1) & ~(kAlignWords - 1); }

  explicit RowStream(std::size_t hint) : words_(hint) {}

  // ---- Writing, a row at a time
  void begin_row() {
    row_ = words_.size();
    words_.extend(kHeaderWords);
  }
  [[gnu::always_inline]] void add(Cell cell) { new (words_.extend(kCellWords)) Cell(cell); }
  // The current row's cell at `slot`.
  Cell cell(std::size_t slot) const { return load(words_.data() + cells_of(row_) + kCellWords * slot); }
  void set_cell(std::size_t slot, Cell cell) {
    new (words_.data() + cells_of(row_) + kCellWords * slot) Cell(cell);
  }
  // `list`: the row's `count` columns, or nullptr when it shares the last list written.
  void end_row(std::size_t count, const std::uint32_t* list) {
    words_[row_] = static_cast<std::uint32_t>(count << 1 | (list != nullptr ? 1 : 0));
    if (list == nullptr) return;
    std::uint32_t* out = words_.extend(list_words(count));
    if (count != 0) std::memcpy(out, list, count * 4);
    if (list_words(count) != count) out[count] = 0;
  }

  // ---- Reading, from the first row on
  struct Row {
    std::size_t count;
    const std::uint32_t* cells;
    const std::uint32_t* list;  // nullptr: the last list read
    Cell cell(std::size_t j) const { return load(cells + kCellWords * j); }
  };
  class Cursor {
   public:
    explicit Cursor(const std::uint32_t* at) : at_(at) {}
    Row next() {
      const std::uint32_t header = *at_;
      Row row{header >> 1, at_ + kHeaderWords, nullptr};
      at_ = row.cells + kCellWords * row.count;
      if (header & 1) {
        row.list = at_;
        at_ += list_words(row.count);
      }
      return row;
    }

   private:
    const std::uint32_t* at_;
  };
  Cursor rows() const { return Cursor(words_.data()); }

 private:
  static constexpr std::size_t cells_of(std::size_t row) { return row + kHeaderWords; }
  static Cell load(const std::uint32_t* at) {
    Cell cell;
    std::memcpy(static_cast<void*>(&cell), at, sizeof cell);
    return cell;
  }

  PagedArray<std::uint32_t> words_;
  std::size_t row_ = 0;  // the current row's header
};

// Source: a RowSource, checked in the constructor rather than on the
// template, as a source may hold its plan and is incomplete where it names it.
template <class Source>
class ColumnPlan {
 public:
  using Cell = typename Source::Cell;
  using Stream = RowStream<Cell>;

  // What the plan learns about a column, in 40 bytes: one huge row makes
  // millions of columns.
  struct Column {
    const char* name_data;
    std::uint64_t name_size_plain;  // size << 1 | 1 when the name needs no escape (a name
                                    // is a string like any other: it may pass 4 GiB)
    Cell reference;                 // the first row's cell, while equal_rows != 0
    std::uint32_t equal_rows;       // leading rows whose cell equals the reference
    std::uint32_t non_null;         // rows with a non-null cell
    std::uint32_t stamp;            // 1 + the last row that had this column
    std::uint32_t slot;             // its member index in that row

    std::size_t name_size() const { return name_size_plain >> 1; }
    bool plain_name() const { return name_size_plain & 1; }
    json::Str name() const { return {name_data, name_size()}; }
  };
  static_assert(sizeof(Column) == 40);

  ColumnPlan(Source& source, std::size_t stream_hint)
      : source_(source), stream_(stream_hint), columns_(json::kLinearSearchKeys) {
    static_assert(RowSource<Source>);
    // Room for the columns of most documents at once: growing the order's
    // two lists from nothing took most of a small call's allocations.
    prev_.reserve(json::kLinearSearchKeys);
    prev_.push_back(kNoColumn);
    row_columns_.reserve(json::kLinearSearchKeys);
    order_.reserve(json::kLinearSearchKeys);
    before_.reserve(json::kLinearSearchKeys);
  }

  // ---- Rows, one member at a time

  // The state of the row being taken in, held by the row source in a local
  // rather than in the plan, so that storing a cell does not make the
  // compiler load it again.
  struct Row {
    const std::uint32_t* prev;   // the last column list written, then kNoColumn
    std::size_t next;            // the column whose key is expected next: prev[cursor]
                                 // while shared, then the last one's next in the order
    std::size_t cursor;
    std::size_t count = 0;       // distinct members so far
    bool shared = true;          // every member so far sits at its place in prev
    std::size_t last = kNoColumn;  // the last member's column, once the row left prev
  };

  Row begin_row() {
    if (rows_ >= UINT32_MAX - 1) throw std::length_error("too many rows");
    stream_.begin_row();
    return Row{prev_.data(), prev_[0], 0};
  }

  const Column& column(std::size_t c) const { return columns_[c]; }

  // A member whose key is column `c`'s name.
  [[gnu::always_inline]] void add(Row& row, std::size_t c, Cell cell) {
    if (row.shared) {
      // The usual row: every key so far at its place in the previous list,
      // which holds no key twice.
      if (c == row.next) {
        row.next = row.prev[++row.cursor];
        stream_.add(cell);
        ++row.count;
        note(c, cell);
        return;
      }
      part_ways(row.count);
      row.shared = false;
    }
    // Off the previous list, only whether the row had the key matters.
    if (columns_[c].stamp != rows_ + 1) [[likely]] take(row, static_cast<std::uint32_t>(c), cell);
    else repeat(static_cast<std::uint32_t>(c), cell);
    row.last = c;
    row.next = order_after(c);
  }

  // A member by its (decoded) key.
  [[gnu::always_inline]] void add(Row& row, json::Str name, Cell cell) {
    std::size_t c = row.next;
    if (c == kNoColumn || columns_[c].name() != name) {
      c = guess(row, [&](std::size_t g) { return columns_[g].name() == name; });
      if (c == kNoColumn) c = find_or_add(name, last_of(row), false);
    }
    add(row, c, cell);
  }
  // A member whose key, written without escape, the source has tested
  // against the expected column and those guess() offers: none had it. The
  // name needs no escape either (a raw quote, backslash or control byte
  // cannot stand in a key).
  [[gnu::always_inline]] void add_unguessed(Row& row, json::Str name, Cell cell) {
    add(row, find_or_add(name, last_of(row), true), cell);
  }

  // When the key is not the expected one, the columns it most likely is,
  // tested by `is_key` before any lookup: the previous row's next keys (this
  // row lacks some), then the columns that follow the last key in the order
  // rows have shown (this row has keys the previous one lacked).
  template <class IsKey>
  std::size_t guess(const Row& row, IsKey is_key) const {
    if (row.shared) {
      const std::size_t ahead = std::min(prev_size_, row.cursor + 3);
      for (std::size_t k = row.cursor + 1; k < ahead; ++k) {
        if (is_key(prev_[k])) return prev_[k];
      }
    }
    std::size_t c = last_of(row);
    // Off the previous list, the column after the last key was the expected one: tried.
    if (!row.shared && c < order_.size()) c = order_[c];
    for (std::size_t step = 0; step < kOrderSteps && c < order_.size(); ++step) {
      c = order_[c];
      if (is_key(c)) return c;
    }
    return kNoColumn;
  }

  void end_row(const Row& row) {
    const std::size_t count = row.count;
    // A row with the previous list's keys at its first positions shares it.
    stream_.end_row(count, row.shared ? nullptr : row_columns_.data());
    if (!row.shared) {
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
  const Stream& stream() const { return stream_; }
  Source& source() const { return source_; }

  // Frees what only the rows' intake needed.
  void end_intake() {
    std::vector<std::uint32_t>().swap(prev_);
    std::vector<std::uint32_t>().swap(row_columns_);
    std::vector<std::uint32_t>().swap(order_);
    std::vector<std::uint32_t>().swap(before_);
    index_ = json::KeyIndex();
    for (Arena& a : index_arenas_) a.release();
  }

 private:
  static constexpr std::size_t kOrderColumns = 1024;  // columns in the order (the first ones)
  static constexpr std::size_t kOrderSteps = 8;       // columns tried along the order after a miss

  std::size_t last_of(const Row& row) const {
    return !row.shared ? row.last : row.cursor != 0 ? prev_[row.cursor - 1] : kNoColumn;
  }

  // The column after `c` in the columns' order, if it has one.
  std::size_t order_after(std::size_t c) const { return c < order_.size() ? order_[c] : kNoColumn; }

  // A member of a row that left the previous list, its key not yet in the row.
  [[gnu::always_inline]] void take(Row& row, std::uint32_t c, Cell cell) {
    Column& col = columns_[c];
    col.stamp = static_cast<std::uint32_t>(rows_ + 1);
    col.slot = static_cast<std::uint32_t>(row.count++);
    row_columns_.push_back(c);
    stream_.add(cell);
    note(c, cell);
  }

  // A repeated key: its last value, at the first key's position.
  void repeat(std::uint32_t c, Cell cell) {
    Column& col = columns_[c];
    unnote(col, stream_.cell(col.slot));
    stream_.set_cell(col.slot, cell);
    note(c, cell);
  }

  // A row's cell joins its column's facts. A null or absent cell never equals
  // a non-null reference; once a row differs, the column is not compared
  // again.
  [[gnu::always_inline]] void note(std::size_t c, Cell cell) {
    if (source_.is_null(cell)) return;
    Column& col = columns_[c];
    ++col.non_null;
    if (rows_ == 0) {
      col.reference = cell;
      col.equal_rows = 1;
    } else if (col.equal_rows == rows_ && source_.equal(cell, col.reference, static_cast<std::uint32_t>(c))) {
      ++col.equal_rows;
    }
  }

  // Takes back what note() learnt from a cell that a repeated key replaces.
  void unnote(Column& col, Cell cell) {
    if (source_.is_null(cell)) return;
    --col.non_null;
    if (rows_ == 0) {
      col.equal_rows = 0;
    } else if (col.equal_rows == rows_ + 1) {
      col.equal_rows = static_cast<std::uint32_t>(rows_);
    }
  }

  // The row's keys leave the previous list's order: its `count` members so
  // far are marked as this row's, for the repeated-key test. At most once a
  // row, and out of line: inlined, it cost the scan loop registers.
  [[gnu::noinline]] void part_ways(std::size_t count) {
    row_columns_.assign(prev_.begin(), prev_.begin() + static_cast<std::ptrdiff_t>(count));
    for (std::uint32_t j = 0; j < count; ++j) {
      columns_[prev_[j]].stamp = static_cast<std::uint32_t>(rows_ + 1);
      columns_[prev_[j]].slot = j;
    }
  }

  // `last`: the row's key before this one, which a new column follows in
  // the columns' order. Out of line, like part_ways, for the scan loop's sake.
  // `plain`: the name is known to need no escape.
  [[gnu::noinline]] std::uint32_t find_or_add(json::Str name, std::size_t last, bool plain) {
    const auto count = static_cast<std::uint32_t>(columns_.size());
    auto name_at = [this](std::size_t i) { return columns_[i].name(); };
    if (count <= json::kLinearSearchKeys) {
      for (std::uint32_t c = 0; c < count; ++c) {
        if (columns_[c].name() == name) return follow(c, last);
      }
    } else {
      Arena& arena = index_arenas_[live_arena_];
      if (index_.empty()) {
        index_.build(name_at, count, 2 * count, arena);
      } else if (index_.full()) {
        // One huge row indexes millions of names: each table's predecessor
        // is freed, not left in the arena.
        live_arena_ ^= 1;
        index_.grow(index_arenas_[live_arena_]);
        arena.release(false);
      }
      const std::size_t found = index_.find_or_insert(name_at, name, count, index_arenas_[live_arena_]);
      if (found != json::KeyIndex::npos) return follow(static_cast<std::uint32_t>(found), last);
    }
    if (count >= UINT32_MAX - 1) throw std::length_error("too many columns");
    plain = plain || json::find_string_special(name.data, name.data + name.size) == name.data + name.size;
    columns_.push_back(Column{name.data, std::uint64_t{name.size} << 1 | plain, Cell{}, 0, 0, 0, 0});
    if (count < kOrderColumns) {
      order_.push_back(count);  // a ring of one, which follow() joins to the rest
      before_.push_back(count);
      follow(count, last >= count ? std::max(count, 1u) - 1 : last);
    }
    return count;
  }

  // The order is a ring: a column found after a key it does not follow there
  // (a new one, or one that a row showed elsewhere) moves in after that key,
  // so rows that lack some keys or hold new ones still find theirs along it.
  std::uint32_t follow(std::uint32_t c, std::size_t last) {
    if (c < order_.size() && last < order_.size() && c != last && order_[last] != c) {
      link(before_[c], order_[c]);
      link(c, order_[last]);
      link(static_cast<std::uint32_t>(last), c);
    }
    return c;
  }
  void link(std::uint32_t a, std::uint32_t b) { order_[a] = b; before_[b] = a; }

  Source& source_;
  Stream stream_;
  PagedArray<Column> columns_;
  std::vector<std::uint32_t> order_;        // per column (the first kOrderColumns): the next in the columns' order
  std::vector<std::uint32_t> before_;       // and the one before
  json::KeyIndex index_;                    // over the names, past kLinearSearchKeys columns
  Arena index_arenas_[2];             // the index's table, and the one it grows into
  int live_arena_ = 0;
  std::vector<std::uint32_t> prev_;         // the last column list written, then kNoColumn
  std::vector<std::uint32_t> row_columns_;  // the current row's
  std::size_t rows_ = 0;
  std::size_t prev_size_ = 0;
};

}  // namespace zorvat::transform
