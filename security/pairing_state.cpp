#include "security/pairing_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "security/trust_store.h"

namespace vistrel {
namespace {

constexpr size_t kSecretBytes = 16;
constexpr uint64_t kRateWindowMs = 60000;
constexpr size_t kMaxAttemptsPerWindow = 10;
constexpr uint64_t kWaitStepMs = 200;

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

SubmitOutcome Refused(SubmitResult result) {
  SubmitOutcome outcome;
  outcome.result = result;
  return outcome;
}

}  // namespace

std::string PercentEncode(std::string_view text) {
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kUpperHex[byte >> 4]);
      encoded.push_back(kUpperHex[byte & 0x0F]);
    }
  }
  return encoded;
}

std::string PairingCode(const Digest& receiver_fingerprint, const Digest& phone_fingerprint,
                        std::span<const uint8_t> secret) {
  Bytes input(receiver_fingerprint.begin(), receiver_fingerprint.end());
  input.insert(input.end(), phone_fingerprint.begin(), phone_fingerprint.end());
  input.insert(input.end(), secret.begin(), secret.end());
  Digest digest = Sha256(input);
  uint32_t number = (uint32_t{digest[0]} << 24) | (uint32_t{digest[1]} << 16) |
                    (uint32_t{digest[2]} << 8) | uint32_t{digest[3]};
  char text[16];
  std::snprintf(text, sizeof text, "%06u", number % 1000000u);
  return text;
}

std::optional<std::string> PairingState::Open(const std::string& receiver_id,
                                              const std::string& receiver_name,
                                              const Digest& receiver_fingerprint,
                                              const std::vector<std::string>& addresses,
                                              uint64_t lifetime_ms) {
  Bytes secret(kSecretBytes);
  if (!RandomBytes(secret.data(), secret.size())) {
    // No invitation without an unpredictable secret; the one shown before ends too.
    Close();
    return std::nullopt;
  }
  {
    MutexLock lock(mutex_);
    // A request still waiting on the previous invitation ends rejected; its
    // waiter must not close this new one when it returns.
    ++generation_;
    secret_ = secret;
    receiver_fingerprint_ = receiver_fingerprint;
    expiry_ = clock_.NowMs() + lifetime_ms;
    open_ = true;
    pending_ = false;
    decision_ = Decision::kNone;
    pending_text_.clear();
    pending_since_ = 0;
  }
  changed_.notify_all();

  std::string joined;
  for (const std::string& address : addresses) {
    if (!joined.empty()) joined += ',';
    joined += address;
  }
  const int64_t expiry_seconds = UnixSeconds() + static_cast<int64_t>(lifetime_ms / 1000);
  return "vstl://pair?v=1&id=" + receiver_id + "&n=" + PercentEncode(receiver_name) +
         "&fp=" + HexEncode(receiver_fingerprint) + "&s=" + Base64UrlEncode(secret) +
         "&e=" + std::to_string(expiry_seconds) + "&a=" + PercentEncode(joined);
}

bool PairingState::IsOpen() const {
  MutexLock lock(mutex_);
  return open_ && clock_.NowMs() < expiry_ && !pending_;
}

SubmitOutcome PairingState::Submit(const std::string& secret_text,
                                   const Digest& phone_fingerprint,
                                   const std::string& device_name) {
  MutexLock lock(mutex_);
  const uint64_t now = clock_.NowMs();
  while (!attempts_.empty() && now - attempts_.front() > kRateWindowMs) attempts_.pop_front();
  if (attempts_.size() >= kMaxAttemptsPerWindow) return Refused(SubmitResult::kRateLimited);
  attempts_.push_back(now);

  if (pending_) return Refused(SubmitResult::kAlreadyPending);
  if (!open_) return Refused(SubmitResult::kClosed);
  if (now >= expiry_) return Refused(SubmitResult::kExpired);
  std::optional<Bytes> secret = Base64UrlDecode(secret_text);
  if (!secret || !ConstantTimeEqual(*secret, secret_)) return Refused(SubmitResult::kBadSecret);

  pending_ = true;
  decision_ = Decision::kNone;
  SubmitOutcome outcome{SubmitResult::kOk,
                        PairingCode(receiver_fingerprint_, phone_fingerprint, secret_),
                        generation_};
  pending_text_ = "\"" + CleanTrustText(device_name) + "\" wants to pair. Code " + outcome.code;
  pending_since_ = now;
  lock.unlock();
  changed_.notify_all();
  return outcome;
}

Decision PairingState::WaitForDecision(uint64_t invitation, uint64_t deadline_ms,
                                       const std::function<bool()>& phone_left) {
  MutexLock lock(mutex_);
  const uint64_t generation = invitation;
  while (decision_ == Decision::kNone && generation_ == generation) {
    const uint64_t now = clock_.NowMs();
    if (now >= deadline_ms || !open_) break;
    // Real time in short steps: the clock may be a test's, and a departing
    // phone must be noticed within a step.
    const uint64_t step = std::min(deadline_ms - now, kWaitStepMs);
    changed_.wait_for(lock, std::chrono::milliseconds(step));
    if (decision_ != Decision::kNone || generation_ != generation) break;
    if (phone_left && phone_left()) {
      decision_ = Decision::kRejected;
      break;
    }
  }
  if (generation_ != generation) return Decision::kRejected;
  const Decision result = decision_;
  open_ = false;
  pending_text_.clear();
  return result;
}

void PairingState::Decide(bool approve) {
  {
    MutexLock lock(mutex_);
    if (!pending_ || decision_ != Decision::kNone) return;
    decision_ = approve ? Decision::kApproved : Decision::kRejected;
  }
  changed_.notify_all();
}

void PairingState::Close() {
  {
    MutexLock lock(mutex_);
    open_ = false;
    if (pending_ && decision_ == Decision::kNone) decision_ = Decision::kRejected;
  }
  changed_.notify_all();
}

bool PairingState::PendingRequest(std::string& text) const {
  MutexLock lock(mutex_);
  if (!pending_ || decision_ != Decision::kNone || pending_text_.empty()) return false;
  text = pending_text_;
  return true;
}

uint64_t PairingState::PendingSince() const {
  MutexLock lock(mutex_);
  if (!pending_ || decision_ != Decision::kNone || pending_text_.empty()) return 0;
  return pending_since_;
}

}  // namespace vistrel
