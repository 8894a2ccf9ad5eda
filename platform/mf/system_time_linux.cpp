#include "platform/mf/system_time.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vistrel {
namespace {

std::atomic<uint32_t> g_startups{0};

}  // namespace

int64_t MFGetSystemTime() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 10'000'000 + now.tv_nsec / 100;
}

std::optional<WaitableTimer> WaitableTimer::Create() {
  UniqueFd fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!fd) return std::nullopt;
  return WaitableTimer(std::move(fd));
}

bool WaitableTimer::SetRelative(int64_t due_100ns) {
  // A zero it_value would disarm the timer; the shortest wait is 1 ns.
  const int64_t ns = due_100ns > 0 ? due_100ns * 100 : 1;
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  spec.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  return timerfd_settime(fd_.Get(), 0, &spec, nullptr) == 0;
}

WaitableTimer::WaitResult WaitableTimer::Wait(uint32_t timeout_ms) {
  pollfd pfd{fd_.Get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&pfd, 1, static_cast<int>(timeout_ms));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return WaitResult::kFailed;
  if (ready == 0) return WaitResult::kTimedOut;
  uint64_t expirations = 0;
  if (::read(fd_.Get(), &expirations, sizeof expirations) < 0 && errno != EAGAIN) {
    return WaitResult::kFailed;
  }
  return WaitResult::kSignaled;
}

HRESULT MFStartup(uint32_t version, uint32_t /*flags*/) {
  if (version != MF_VERSION) return MakeHresult(0xC00D36E3);  // MF_E_BAD_STARTUP_VERSION
  g_startups.fetch_add(1);
  return S_OK;
}

HRESULT MFShutdown() {
  uint32_t count = g_startups.load();
  do {
    if (count == 0) return MF_E_PLATFORM_NOT_INITIALIZED;
  } while (!g_startups.compare_exchange_weak(count, count - 1));
  return S_OK;
}

uint32_t MFStartupCount() { return g_startups.load(); }

}  // namespace vistrel
