// A count with a ceiling that many threads raise and lower: checking for room
// and counting in are one step, so two threads can never both take the last
// place.
#pragma once

#include <atomic>
#include <cstdint>

namespace vistrel {

class BoundedCount {
 public:
  explicit BoundedCount(uint32_t limit) : limit_(limit) {}

  // One more, unless the count is already at the limit.
  [[nodiscard]] bool TryAdd() {
    uint32_t count = count_.load();
    while (count < limit_) {
      if (count_.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
  }
  void Remove() { count_.fetch_sub(1); }
  uint32_t value() const { return count_.load(); }

 private:
  const uint32_t limit_;
  std::atomic<uint32_t> count_{0};
};

}  // namespace vistrel
