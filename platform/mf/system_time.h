// Time and start-up of the media-object model: MFGetSystemTime in 100 ns
// units, a high-resolution waitable timer, and MFStartup/MFShutdown.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/mf/hresult.h"
#include "platform/unique_handle.h"

namespace vistrel {

// CLOCK_MONOTONIC in units of 100 ns; shared by every process of the machine.
int64_t MFGetSystemTime();

// A one-shot timer on timerfd (CLOCK_MONOTONIC) that a thread can wait on.
// One thread sets and waits at a time.
class WaitableTimer {
 public:
  enum class WaitResult { kSignaled, kTimedOut, kFailed };

  // Nothing when the timer cannot be made.
  static std::optional<WaitableTimer> Create();

  // Signals once after `due_100ns` (100 ns units from now; 0 or less means at
  // once). Setting again replaces the earlier due time and clears a signal.
  [[nodiscard]] bool SetRelative(int64_t due_100ns);
  // Waits at most `timeout_ms` for the signal and consumes it.
  WaitResult Wait(uint32_t timeout_ms);

 private:
  explicit WaitableTimer(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

constexpr uint32_t MF_VERSION = 0x00020070;
constexpr uint32_t MFSTARTUP_LITE = 0x1;
constexpr uint32_t MFSTARTUP_FULL = 0;

// Counted: each successful MFStartup is paired with one MFShutdown. Nothing
// else needs starting here, but code reads as it does on the platform.
HRESULT MFStartup(uint32_t version, uint32_t flags = MFSTARTUP_FULL);
HRESULT MFShutdown();
// The number of MFStartup calls not yet paired (for tests).
uint32_t MFStartupCount();

}  // namespace vistrel
