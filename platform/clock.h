// Time sources. Deadlines are absolute values on the millisecond tick clock;
// code with time rules takes a Clock so tests can move time by hand.
#pragma once

#include <atomic>
#include <cstdint>

namespace vistrel {

// Milliseconds on CLOCK_MONOTONIC.
uint64_t TickMs();
// Nanoseconds on CLOCK_MONOTONIC: the clock both processes share.
uint64_t MonotonicNs();
// CPU time this thread has used, in nanoseconds; blocking waits do not count.
uint64_t ThreadCpuNs();
// Seconds since 1970, UTC.
int64_t UnixSeconds();

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t NowMs() const = 0;
};

// The real tick clock.
const Clock& SystemClock();

// A clock that only moves when told; thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(uint64_t start_ms = 1'000'000) : now_(start_ms) {}
  uint64_t NowMs() const override { return now_.load(); }
  void Advance(uint64_t ms) { now_ += ms; }
  void Set(uint64_t ms) { now_ = ms; }

 private:
  std::atomic<uint64_t> now_;
};

}  // namespace vistrel
