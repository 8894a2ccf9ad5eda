// When the camera host asks the camera for its next sample. The camera lets
// at most one sample go per frame interval; asking as soon as the exchange
// holds a picture that the previous sample did not show means that a new
// picture waits for no free-running tick. Without new pictures (a paused
// phone, the waiting picture) the host asks once an interval, so that apps
// still get 30 samples a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/shared_memory.h"
#include "video/exchange/frame_exchange.h"

namespace vistrel {

// The exchange picture a sample showed.
struct PictureStamp {
  uint64_t sequence = 0;    // the exchange's sequence count
  uint64_t publish_ns = 0;  // CLOCK_MONOTONIC
};

// What the host sees of the exchange.
class PictureSignal {
 public:
  virtual ~PictureSignal() = default;
  virtual uint64_t NowNs() const = 0;
  // The exchange's sequence count; nothing while there is no exchange.
  virtual std::optional<uint64_t> Sequence() = 0;
  // Returns once the sequence may differ from `seen`, or at `deadline_ns`.
  virtual void WaitPast(uint64_t seen, uint64_t deadline_ns) = 0;
  virtual void SleepUntil(uint64_t deadline_ns) = 0;
};

// The named exchange, mapped when it is there (the camera creates it).
class ExchangeSignal final : public PictureSignal {
 public:
  explicit ExchangeSignal(std::string name) : name_(std::move(name)) {}
  uint64_t NowNs() const override;
  std::optional<uint64_t> Sequence() override;
  void WaitPast(uint64_t seen, uint64_t deadline_ns) override;
  void SleepUntil(uint64_t deadline_ns) override;

 private:
  bool Attached();
  // Once attached.
  const FrameExchangeHeader& Header() const;

  const std::string name_;
  std::unique_ptr<SharedMemory> memory_;
  uint64_t last_attempt_ns_ = 0;
};

class RequestTiming {
 public:
  explicit RequestTiming(PictureSignal& signal) : signal_(signal) {}

  // Returns when the next sample should be asked for, or when `stop` is set:
  // when a picture newer than the last one shown is there, or one interval
  // after the last sample (half an interval more while pictures come, for
  // their jitter).
  void AwaitTurn(const std::atomic<bool>& stop);
  // The sample that came: its time and, if it showed one, its picture.
  void Delivered(uint64_t sample_ns, std::optional<PictureStamp> picture);
  // The camera restarts: its schedule starts over.
  void Reset();

  // Samples that the camera held back by more than an eighth of an interval
  // after a new picture was asked for, this many in a row, move its schedule.
  static constexpr int kLateRunToRealign = 30;

 private:
  bool Fresh(std::optional<uint64_t> sequence) const;
  void SleepUntil(uint64_t until, const std::atomic<bool>& stop);
  // True when a picture newer than the last one shown is there.
  bool WaitForPicture(uint64_t deadline, const std::atomic<bool>& stop);

  PictureSignal& signal_;
  std::optional<uint64_t> last_sample_ns_;
  std::optional<uint64_t> last_sequence_;
  bool last_had_picture_ = false;
  bool flowing_ = false;  // the last sample showed a new picture
  // When the host asked for the sample because a newer picture was there.
  std::optional<uint64_t> asked_at_ns_;
  int late_run_ = 0;
  bool realign_ = false;
};

}  // namespace vistrel
