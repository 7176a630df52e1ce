#include "transform/transform_error.h"

#include <utility>

namespace zorvat::transform {

TransformError::TransformError(Kind kind, std::string detail, json::ErrorKind reader_kind, std::uint64_t line,
                               std::uint64_t column)
    : kind_(kind), reader_kind_(reader_kind), line_(line), column_(column), detail_size_(detail.size()),
      tail_(std::move(detail)) {
  if (kind == Kind::invalid_json) tail_ += json::PositionText(line, column).view();
}

TransformError TransformError::reading(const json::ReaderError& error) {
  return {Kind::invalid_json, error.description, error.kind, error.line, error.column};
}

TransformError TransformError::not_object(std::string row) {
  return {Kind::not_object, std::move(row), json::ErrorKind::none, 0, 0};
}

TransformError TransformError::panic(std::string what) {
  return {Kind::panic, std::move(what), json::ErrorKind::none, 0, 0};
}

TransformError TransformError::unknown_panic() noexcept { return TransformError(Kind::unknown_panic); }

std::string TransformError::message() const { return std::string(prefix()).append(tail()); }

}  // namespace zorvat::transform
