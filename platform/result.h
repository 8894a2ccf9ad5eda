// A value or the reason there is none: an error number (errno values on this
// platform) with a text for log lines. For operations whose callers must tell
// one failure from another, such as a file that is absent from one that
// cannot be read.
#pragma once

#include <string>
#include <system_error>
#include <utility>
#include <variant>

namespace vistrel {

struct Error {
  int code = 0;
  std::string text;
};

// The error of errno value `code`, with the system's text for it.
inline Error ErrorFromErrno(int code) {
  return {code, std::generic_category().message(code)};
}

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  // 0 on success, else the error's code: for callers that switch on errno values.
  int code() const { return ok() ? 0 : error().code; }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T value_or(T fallback) const& { return ok() ? value() : std::move(fallback); }
  T value_or(T fallback) && { return ok() ? std::move(*this).value() : std::move(fallback); }

  // Only when !ok().
  const Error& error() const { return std::get<1>(state_); }

  // Equal to a value when it holds that value, as std::optional compares.
  friend bool operator==(const Result& result, const T& value) {
    return result.ok() && result.value() == value;
  }

 private:
  std::variant<T, Error> state_;
};

// Success or the reason for a failure, for operations that give nothing back.
using Status = Result<std::monostate>;
inline Status Ok() { return Status(std::monostate{}); }
inline Status StatusFromErrno(int code) { return code == 0 ? Ok() : Status(ErrorFromErrno(code)); }

}  // namespace vistrel
