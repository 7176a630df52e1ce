// Result<T, E>: the one way this project says "failed". An operation that
// can fail returns its value or the error that prevented it; the first error
// ends the call. Expected failures never travel as C++ exceptions: only the
// pipeline's single boundary catches what is unexpected and turns it into
// an error value of this same type.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace zorvat {

// Wraps an error so that a Result of any value type can be made from it:
// `return fail(error);`.
template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "the value and the error are told apart by type");

 public:
  Result(T value) : state_(std::in_place_type<T>, std::move(value)) {}
  Result(Failure<E> failure) : state_(std::in_place_type<E>, std::move(failure.error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  // Only after ok() (value) or !ok() (error).
  T& value() & { return *std::get_if<T>(&state_); }
  const T& value() const& { return *std::get_if<T>(&state_); }
  T&& value() && { return std::move(*std::get_if<T>(&state_)); }

  E& error() & { return *std::get_if<E>(&state_); }
  const E& error() const& { return *std::get_if<E>(&state_); }
  E&& error() && { return std::move(*std::get_if<E>(&state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace zorvat
