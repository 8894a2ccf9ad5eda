#include "camhost/request_timing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "video/exchange/frame_reader.h"
#include "video/exchange/frame_writer.h"
#include "video/nv12_view.h"
#include "video/sample_pacing.h"

namespace vistrel {
namespace {

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kInterval = uint64_t{kFrameInterval100ns} * 100;

// A phone's pictures arriving in the exchange at given times, on a clock
// that moves only when the host waits.
class FakeExchange final : public PictureSignal {
 public:
  explicit FakeExchange(std::vector<uint64_t> publish_times) : times_(std::move(publish_times)) {}

  uint64_t NowNs() const override { return now_; }
  std::optional<uint64_t> Sequence() override { return 2 * Published(now_); }
  void WaitPast(uint64_t seen, uint64_t deadline_ns) override {
    if (*Sequence() != seen) return;
    const size_t next = Published(now_);
    now_ = std::max(now_, next < times_.size() ? std::min(times_[next], deadline_ns) : deadline_ns);
  }
  void SleepUntil(uint64_t deadline_ns) override { now_ = std::max(now_, deadline_ns); }

  void Advance(uint64_t to) { now_ = std::max(now_, to); }
  // The newest picture at `when`, as the camera would copy it.
  std::optional<PictureStamp> Newest(uint64_t when) const {
    const size_t count = Published(when);
    if (count == 0) return std::nullopt;
    return PictureStamp{2 * count, times_[count - 1]};
  }
  const std::vector<uint64_t>& times() const { return times_; }

 private:
  size_t Published(uint64_t when) const {
    return static_cast<size_t>(std::upper_bound(times_.begin(), times_.end(), when) -
                               times_.begin());
  }
  std::vector<uint64_t> times_;
  uint64_t now_ = 1'000 * kMs;
};

struct Sample {
  uint64_t asked_ns;
  uint64_t time_ns;
  std::optional<PictureStamp> picture;
};

// The host's loop against the camera's own pacing rule, for `seconds`.
std::vector<Sample> Serve(FakeExchange& exchange, double seconds) {
  RequestTiming timing(exchange);
  const std::atomic<bool> stop{false};
  const uint64_t end = exchange.NowNs() + static_cast<uint64_t>(seconds * 1e9);
  int64_t next_due = 0;
  std::vector<Sample> samples;
  while (exchange.NowNs() < end) {
    timing.AwaitTurn(stop);
    const uint64_t asked = exchange.NowNs();
    const SampleSlot slot = NextSampleSlot(static_cast<int64_t>(asked / 100), next_due);
    next_due = slot.next_due;
    exchange.Advance(static_cast<uint64_t>(slot.due) * 100);
    const uint64_t time = exchange.NowNs();
    samples.push_back({asked, time, exchange.Newest(time)});
    timing.Delivered(time, samples.back().picture);
  }
  return samples;
}

// Publish times from `start`, `count` pictures `spacing` apart, each moved by
// a repeating jitter of up to `jitter` either way.
std::vector<uint64_t> Pictures(uint64_t start, size_t count, uint64_t spacing, uint64_t jitter) {
  std::vector<uint64_t> times;
  const int64_t pattern[] = {0, 2, -1, 1, -2, 0, 1, -1};
  for (size_t i = 0; i < count; ++i) {
    times.push_back(start + i * spacing + uint64_t(int64_t(jitter) * pattern[i % 8] / 2));
  }
  return times;
}

struct Shown {
  std::map<uint64_t, int> times_shown;  // by publish time
  uint64_t longest_wait = 0;            // publish to sample, of a picture's first sample
  size_t asked_at_publish = 0;
};

// The pictures published in [from, to) and the samples up to `to`: the
// newest picture is shown again until the next comes.
Shown Tally(const std::vector<Sample>& samples, uint64_t from, uint64_t to) {
  Shown shown;
  std::optional<uint64_t> previous;
  for (const Sample& sample : samples) {
    if (!sample.picture || sample.picture->publish_ns < from || sample.time_ns >= to) continue;
    const bool first = previous != sample.picture->sequence;
    previous = sample.picture->sequence;
    ++shown.times_shown[sample.picture->publish_ns];
    if (!first) continue;
    shown.longest_wait = std::max(shown.longest_wait, sample.time_ns - sample.picture->publish_ns);
    if (sample.asked_ns == sample.picture->publish_ns) ++shown.asked_at_publish;
  }
  return shown;
}

size_t SamplesBetween(const std::vector<Sample>& samples, uint64_t from, uint64_t to) {
  return static_cast<size_t>(std::count_if(samples.begin(), samples.end(), [&](const Sample& s) {
    return s.time_ns >= from && s.time_ns < to;
  }));
}

TEST(RequestTiming, EachPictureIsAskedForAsItIsPublishedAndShownOnce) {
  // The camera starts (waiting picture) before the phone's pictures come, at
  // a phase of their own and with a millisecond of jitter.
  const uint64_t first = 1'500 * kMs + 13 * kMs + 700'000;
  FakeExchange exchange(Pictures(first, 300, kInterval, kMs));
  const std::vector<Sample> samples = Serve(exchange, 10.5);
  ASSERT_FALSE(samples.empty());
  EXPECT_FALSE(samples.front().picture) << "the waiting picture first";

  // From a second on, after the camera's schedule has moved to the pictures.
  const uint64_t settled = first + 1'000 * kMs;
  const uint64_t last = exchange.times().back();
  const Shown shown = Tally(samples, settled, last);
  const size_t expected = static_cast<size_t>(
      std::count_if(exchange.times().begin(), exchange.times().end(),
                    [&](uint64_t t) { return t >= settled && t < last; }));
  EXPECT_EQ(shown.times_shown.size(), expected) << "none passed over";
  for (const auto& [time, count] : shown.times_shown) EXPECT_EQ(count, 1) << "at " << time;
  EXPECT_EQ(shown.asked_at_publish, expected);
  // Only a picture early by its jitter waits for the camera's interval.
  EXPECT_LE(shown.longest_wait, 2 * kMs);
  // Apps get 30 samples a second throughout.
  EXPECT_NEAR(double(SamplesBetween(samples, settled, settled + 5'000 * kMs)), 150.0, 1.0);
}

TEST(RequestTiming, WithoutNewPicturesTheCameraStillDeliversThirtyASecond) {
  // Two seconds of pictures, two seconds of none (the phone paused), then
  // pictures again at another phase; then a phone at 24 per second.
  const uint64_t start = 1'000 * kMs + 5 * kMs;
  std::vector<uint64_t> times = Pictures(start, 60, kInterval, 0);
  const uint64_t resumed = times.back() + 2'000 * kMs + 21 * kMs;
  for (uint64_t t : Pictures(resumed, 120, kInterval, 0)) times.push_back(t);
  FakeExchange exchange(times);
  const std::vector<Sample> samples = Serve(exchange, 8);

  const uint64_t paused = start + 60 * kInterval;
  EXPECT_NEAR(double(SamplesBetween(samples, paused + 100 * kMs, paused + 1'100 * kMs)), 30.0, 1.0);
  // Back at a new phase: after the schedule moved, each picture goes as it
  // comes, once.
  const Shown shown = Tally(samples, resumed + 2'000 * kMs, times.back());
  EXPECT_GT(shown.times_shown.size(), 50u);
  for (const auto& [time, count] : shown.times_shown) EXPECT_EQ(count, 1) << "at " << time;
  EXPECT_EQ(shown.longest_wait, 0u);

  const uint64_t every = 1'000'000'000 / 24;
  FakeExchange slow(Pictures(1'000 * kMs + 3 * kMs, 96, every, 0));
  const std::vector<Sample> slow_samples = Serve(slow, 4);
  const Shown slow_shown = Tally(slow_samples, 1'000 * kMs, slow.times().back());
  EXPECT_EQ(slow_shown.times_shown.size(), 95u);
  for (const auto& [time, count] : slow_shown.times_shown) EXPECT_EQ(count, 1) << "at " << time;
}

TEST(RequestTiming, APhoneClockThatRunsFastMovesTheScheduleWithoutShowingAPictureTwice) {
  // 0.5% faster than the camera: some pictures must be passed over, but
  // none waits long and none is shown twice.
  const uint64_t spacing = kInterval - kInterval / 200;
  FakeExchange exchange(Pictures(1'000 * kMs + 9 * kMs, 600, spacing, 0));
  const std::vector<Sample> samples = Serve(exchange, 20);
  const Shown shown = Tally(samples, 2'000 * kMs, exchange.times().back());
  for (const auto& [time, count] : shown.times_shown) EXPECT_EQ(count, 1) << "at " << time;
  EXPECT_GT(shown.times_shown.size(), 540u);
  EXPECT_LT(shown.longest_wait, kInterval / 3);
}

TEST(RequestTiming, TheExchangeWakesAWaitingHostWhenAPictureIsPublished) {
  const std::string name = "/Vistrel_0_timing" + std::to_string(::getpid());
  FrameReader reader(name, [](const std::string&) {});
  ASSERT_TRUE(reader.Open());  // the camera creates the exchange
  FrameWriter writer(name);
  ExchangeSignal signal(name);
  const std::optional<uint64_t> before = signal.Sequence();
  ASSERT_TRUE(before);

  std::vector<uint8_t> picture(size_t{kPictureWidth} * kPictureHeight * 3 / 2, 128);
  std::thread publisher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(writer.WriteFrame(Nv12View{picture.data(),
                                           picture.data() + size_t{kPictureWidth} * kPictureHeight,
                                           int(kPictureWidth), int(kPictureWidth),
                                           int(kPictureHeight)}));
  });
  // Without the writer's wake this would sleep to its deadline.
  const uint64_t deadline = signal.NowNs() + 60'000 * kMs;
  while (signal.Sequence() == before && signal.NowNs() < deadline) {
    signal.WaitPast(*before, deadline);
  }
  EXPECT_LT(signal.NowNs(), deadline);
  EXPECT_EQ(*signal.Sequence(), *before + 2);
  publisher.join();
  SharedMemory::Unlink(name);
}

}  // namespace
}  // namespace vistrel
