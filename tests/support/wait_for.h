// Polls a condition until it holds or a generous limit passes: for tests that
// wait on another thread or process, never for timing itself.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vistrel::test {

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace vistrel::test
