// One pairing invitation at a time: the secret behind the QR code, the
// 6-digit code both screens show, the rate limit, and the user's decision.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/thread_annotations.h"
#include "security/bytes.h"

namespace vistrel {

enum class SubmitResult { kOk = 0, kBadSecret, kExpired, kAlreadyPending, kClosed, kRateLimited };
enum class Decision : uint32_t { kNone = 0, kApproved = 1, kRejected = 2 };

// What Submit gives the enrolling worker: the result, the code to show, and
// the invitation the request was accepted under, which the wait is tied to.
struct SubmitOutcome {
  SubmitResult result = SubmitResult::kClosed;
  std::string code;
  uint64_t invitation = 0;
};

// Letters, digits and "-._~" stay; every other byte becomes "%XX".
std::string PercentEncode(std::string_view text);
// SHA-256(receiver fp + phone fp + secret), first 4 bytes big-endian, mod 10^6, "%06u".
std::string PairingCode(const Digest& receiver_fingerprint, const Digest& phone_fingerprint,
                        std::span<const uint8_t> secret);

class PairingState {
 public:
  explicit PairingState(const Clock& clock = SystemClock()) : clock_(clock) {}

  // Opens a new invitation and returns its URL; nothing (and no invitation)
  // when random bytes cannot be had, since the secret must never be predictable.
  std::optional<std::string> Open(const std::string& receiver_id, const std::string& receiver_name,
                                  const Digest& receiver_fingerprint,
                                  const std::vector<std::string>& addresses,
                                  uint64_t lifetime_ms);
  // Open, not expired and no request pending.
  bool IsOpen() const EXCLUDES(mutex_);
  SubmitOutcome Submit(const std::string& secret_text, const Digest& phone_fingerprint,
                       const std::string& device_name) EXCLUDES(mutex_);
  // Blocks until a decision, the deadline, Close, or `phone_left` says yes; it is
  // asked at least every 200 ms. Closes the invitation. `invitation` comes from
  // Submit: a request of an invitation that has since been replaced ends rejected
  // and leaves the new one alone.
  Decision WaitForDecision(uint64_t invitation, uint64_t deadline_ms,
                           const std::function<bool()>& phone_left) EXCLUDES(mutex_);
  void Decide(bool approve) EXCLUDES(mutex_);
  void Close() EXCLUDES(mutex_);
  // The request text while a request is pending and undecided.
  bool PendingRequest(std::string& text) const EXCLUDES(mutex_);
  // Tick of the pending request, or 0.
  uint64_t PendingSince() const EXCLUDES(mutex_);

 private:
  const Clock& clock_;
  mutable Mutex mutex_;
  std::condition_variable_any changed_;
  Bytes secret_ GUARDED_BY(mutex_);
  Digest receiver_fingerprint_ GUARDED_BY(mutex_){};
  uint64_t expiry_ GUARDED_BY(mutex_) = 0;
  bool open_ GUARDED_BY(mutex_) = false;
  bool pending_ GUARDED_BY(mutex_) = false;
  Decision decision_ GUARDED_BY(mutex_) = Decision::kNone;
  std::string pending_text_ GUARDED_BY(mutex_);
  uint64_t pending_since_ GUARDED_BY(mutex_) = 0;
  std::deque<uint64_t> attempts_ GUARDED_BY(mutex_);
  uint64_t generation_ GUARDED_BY(mutex_) = 0;  // raised by every Open
};

}  // namespace vistrel
