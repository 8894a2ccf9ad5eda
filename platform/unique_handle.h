// Move-only owners for C handles: the release function is part of the type, so
// no return path can forget it.
#pragma once

#include <unistd.h>

#include <utility>

namespace vistrel {

template <typename T, auto ReleaseFn, T Invalid = T{}>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T value) : value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(std::exchange(other.value_, Invalid)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.value_, Invalid));
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  [[nodiscard]] T Get() const { return value_; }
  [[nodiscard]] bool Valid() const { return value_ != Invalid; }
  explicit operator bool() const { return Valid(); }
  [[nodiscard]] T Release() { return std::exchange(value_, Invalid); }
  void Reset(T value = Invalid) {
    T old = std::exchange(value_, value);
    if (old != Invalid) ReleaseFn(old);
  }

 private:
  T value_ = Invalid;
};

inline void CloseFd(int fd) { ::close(fd); }
using UniqueFd = UniqueHandle<int, CloseFd, -1>;

}  // namespace vistrel
