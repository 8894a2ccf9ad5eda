#include "link/socket_reader.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/socket.h"

namespace vistrel {
namespace {

constexpr uint64_t kStepMs = 100;

}  // namespace

ReadResult SocketReader::ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) {
  size_t got = 0;
  while (got < n) {
    if (!go_on_()) return ReadResult::kFailed;
    uint64_t wait = kStepMs;
    if (deadline_ms != kNoReadDeadline) {
      const uint64_t now = TickMs();
      if (now >= deadline_ms) return ReadResult::kTimedOut;
      wait = std::min(wait, deadline_ms - now);
    }
    const Result<bool> ready = PollReadable(socket_, static_cast<int>(wait));
    if (!ready) return ReadResult::kFailed;
    if (!*ready) continue;
    const Result<size_t> received = ReceiveSome(socket_, buffer + got, n - got);
    if (!received || *received == 0) return ReadResult::kFailed;
    got += *received;
  }
  return ReadResult::kOk;
}

}  // namespace vistrel
