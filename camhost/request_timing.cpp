#include "camhost/request_timing.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "video/exchange/frame_exchange.h"
#include "video/picture.h"

namespace vistrel {
namespace {

constexpr uint64_t kIntervalNs = uint64_t{kFrameInterval100ns} * 100;
// How late a new picture may be, after one interval, before the sample goes
// without it: phone and network jitter stay well inside it.
constexpr uint64_t kGraceNs = kIntervalNs / 2;
// Waits are cut into pieces so that a stop request is seen.
constexpr uint64_t kLongestWaitNs = 100'000'000;

}  // namespace

uint64_t ExchangeSignal::NowNs() const {
  return MonotonicNs();
}

const FrameExchangeHeader& ExchangeSignal::Header() const {
  return *reinterpret_cast<const FrameExchangeHeader*>(memory_->data());
}

bool ExchangeSignal::Attached() {
  if (memory_) return true;
  const uint64_t now = NowNs();
  if (last_attempt_ns_ != 0 && now - last_attempt_ns_ < kAttachRetryMs * 1'000'000) return false;
  last_attempt_ns_ = now;
  Result<std::unique_ptr<SharedMemory>> opened = SharedMemory::Open(name_, kExchangeSize);
  if (!opened) return false;
  if (!ExchangeLayoutMatches(*reinterpret_cast<const FrameExchangeHeader*>((*opened)->data()))) {
    return false;
  }
  memory_ = std::move(*opened);
  return true;
}

std::optional<uint64_t> ExchangeSignal::Sequence() {
  if (!Attached()) return std::nullopt;
  return std::atomic_ref<const uint64_t>(Header().sequence).load();
}

void ExchangeSignal::WaitPast(uint64_t seen, uint64_t deadline_ns) {
  const uint64_t now = NowNs();
  if (now >= deadline_ns) return;
  if (!Attached()) {
    SleepUntil(deadline_ns);
    return;
  }
  WaitWhileWordIs(SequenceWord(Header()), static_cast<uint32_t>(seen), deadline_ns - now);
}

void ExchangeSignal::SleepUntil(uint64_t deadline_ns) {
  const uint64_t now = NowNs();
  if (now < deadline_ns) std::this_thread::sleep_for(std::chrono::nanoseconds(deadline_ns - now));
}

void RequestTiming::Reset() {
  last_sample_ns_.reset();
  last_sequence_.reset();
  last_had_picture_ = false;
  flowing_ = false;
  late_run_ = 0;
  realign_ = false;
}

bool RequestTiming::Fresh(std::optional<uint64_t> sequence) const {
  // An odd count: the writer is copying and wakes us when it is done.
  return sequence && (*sequence & 1) == 0 && sequence != last_sequence_;
}

void RequestTiming::SleepUntil(uint64_t until, const std::atomic<bool>& stop) {
  while (!stop && signal_.NowNs() < until) {
    signal_.SleepUntil(std::min(until, signal_.NowNs() + kLongestWaitNs));
  }
}

bool RequestTiming::WaitForPicture(uint64_t deadline, const std::atomic<bool>& stop) {
  while (!stop) {
    const uint64_t now = signal_.NowNs();
    const std::optional<uint64_t> sequence = signal_.Sequence();
    if (Fresh(sequence)) return true;
    if (now >= deadline) return false;
    signal_.WaitPast(sequence.value_or(last_sequence_.value_or(0)),
                     std::min(deadline, now + kLongestWaitNs));
  }
  return false;
}

void RequestTiming::AwaitTurn(const std::atomic<bool>& stop) {
  asked_at_ns_.reset();
  if (!last_sample_ns_) {
    // The camera's schedule begins with the first sample: at a publish time,
    // it suits every picture after it.
    last_sequence_ = signal_.Sequence();
    if (WaitForPicture(signal_.NowNs() + kIntervalNs + kGraceNs, stop)) {
      asked_at_ns_ = signal_.NowNs();
    }
    return;
  }
  if (!realign_) {
    const bool fresh =
        WaitForPicture(*last_sample_ns_ + kIntervalNs + (flowing_ ? kGraceNs : 0), stop);
    // Pictures that begin after the waiting picture meet a schedule with a
    // phase of its own: a picture asked for early would wait for it.
    if (!fresh || last_had_picture_) {
      if (fresh) asked_at_ns_ = signal_.NowNs();
      return;
    }
  }
  // Asked more than one interval behind its schedule, the camera starts a new
  // one from the present: from a publish time, every later picture goes as
  // it comes. The picture published meanwhile is passed over.
  realign_ = false;
  const uint64_t behind = *last_sample_ns_ + 2 * kIntervalNs + 1'000'000;
  SleepUntil(behind, stop);
  last_sequence_ = signal_.Sequence();
  if (WaitForPicture(behind + kIntervalNs + kGraceNs, stop)) asked_at_ns_ = signal_.NowNs();
}

void RequestTiming::Delivered(uint64_t sample_ns, std::optional<PictureStamp> picture) {
  last_sample_ns_ = sample_ns;
  last_had_picture_ = picture.has_value();
  flowing_ = picture && picture->sequence != last_sequence_;
  if (picture) last_sequence_ = picture->sequence;
  // Asked for as it came, the picture still waited for the camera's
  // schedule: it was set before pictures came, or the phone's clock runs a
  // little fast. A run of such waits moves the schedule.
  const bool waited =
      asked_at_ns_ && sample_ns > *asked_at_ns_ && sample_ns - *asked_at_ns_ > kIntervalNs / 8;
  late_run_ = waited ? late_run_ + 1 : 0;
  if (late_run_ >= kLateRunToRealign) {
    late_run_ = 0;
    realign_ = true;
  }
}

}  // namespace vistrel
