#include <time.h>

#include "platform/clock.h"

namespace vistrel {

uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t TickMs() { return MonotonicNs() / 1'000'000ull; }

int64_t UnixSeconds() { return static_cast<int64_t>(::time(nullptr)); }

namespace {
class RealClock final : public Clock {
 public:
  uint64_t NowMs() const override { return TickMs(); }
};
}  // namespace

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace vistrel
