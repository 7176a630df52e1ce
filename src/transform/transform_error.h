// Why a call produced no document, as data, and the one place its message
// is composed: the prefixes of the transform's messages and TransformError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/error.h"

namespace zorvat::transform {

inline constexpr std::string_view kInvalidJsonPrefix = "invalid row-oriented JSON: ";
inline constexpr std::string_view kNotObjectPrefix = "expected a JSON object row, got: ";
inline constexpr std::string_view kPanicPrefix = "internal panic during columnarization: ";
inline constexpr std::string_view kUnknownPanic = "unknown panic in columnarize_json";

// Why a call produced no document, as data: its kind and, for a reading
// error, the reader error's kind, line and column; the detail without the
// position. The message is a fixed prefix, chosen by the kind, then the
// tail: the detail, and a reading error's position. It is composed once,
// from those fields, when the error is made (the one place), so that
// reporting it needs no further C++ allocation: the binding joins prefix and
// tail itself.
class TransformError {
 public:
  enum class Kind : std::uint8_t {
    invalid_json,   // detail: the reader error's description
    not_object,     // detail: the first non-object row as compact JSON
    panic,          // detail: the text an unexpected failure carried
    unknown_panic,  // an unexpected failure without a text (detail fixed)
  };

  static TransformError reading(const json::ReaderError& error);
  static TransformError not_object(std::string row);
  static TransformError panic(std::string what);
  // Allocates nothing: what is left when even a text could not be copied.
  static TransformError unknown_panic() noexcept;

  Kind kind() const { return kind_; }
  // For invalid_json (else none, 0, 0): which reader error, and where, as
  // ReaderError counts.
  json::ErrorKind reader_kind() const { return reader_kind_; }
  std::uint64_t line() const { return line_; }
  std::uint64_t column() const { return column_; }
  std::string_view detail() const {
    return kind_ == Kind::unknown_panic ? kUnknownPanic : std::string_view(tail_).substr(0, detail_size_);
  }

  std::string_view prefix() const { return kind_ == Kind::invalid_json ? kInvalidJsonPrefix
                                           : kind_ == Kind::not_object ? kNotObjectPrefix
                                                                        : kPanicPrefix; }
  // The message after the prefix: the detail, then " at line L column C"
  // for a reading error.
  std::string_view tail() const { return kind_ == Kind::unknown_panic ? kUnknownPanic : std::string_view(tail_); }
  std::string message() const;

 private:
  TransformError(Kind kind, std::string detail, json::ErrorKind reader_kind, std::uint64_t line, std::uint64_t column);
  explicit TransformError(Kind kind) noexcept : kind_(kind) {}

  Kind kind_;
  json::ErrorKind reader_kind_ = json::ErrorKind::none;
  std::uint64_t line_ = 0;
  std::uint64_t column_ = 0;
  std::size_t detail_size_ = 0;
  std::string tail_;
};

}  // namespace zorvat::transform
