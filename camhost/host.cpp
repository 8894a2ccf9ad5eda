#include "camhost/host.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "camhost/camera_library.h"
#include "camhost/camera_source.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/virtual_camera.h"
#include "video/picture.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;


uint64_t CpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Sample rate and pacing, from the samples' own times: a histogram of how far
// each spacing is from one frame interval, in 0.05 ms steps up to 50 ms. Only
// reading periods count: the time nobody read is in no rate and no spacing.
class SampleStats {
 public:
  void Add(int64_t time_100ns) {
    if (period_samples_++ == 0) {
      first_ = time_100ns;
      cpu_start_ = CpuNs();
    } else {
      const int64_t error = std::abs(time_100ns - last_ - kFrameInterval100ns);
      ++buckets_[std::min<size_t>(static_cast<size_t>(error / 500), buckets_.size() - 1)];
    }
    last_ = time_100ns;
  }

  // Nobody reads any more (or the camera restarts): the period's line.
  void EndPeriod() {
    if (period_samples_ == 0) return;
    const double seconds = static_cast<double>(last_ - first_) / 1e7;
    const uint64_t spacings = period_samples_ - 1;
    LogLine("[camhost] read for %.2f s: %llu samples, %.2f per second\n", seconds,
            static_cast<unsigned long long>(period_samples_),
            spacings > 0 ? static_cast<double>(spacings) / seconds : 0.0);
    ++periods_;
    samples_ += period_samples_;
    spacings_ += spacings;
    seconds_ += seconds;
    cpu_ns_ += CpuNs() - cpu_start_;
    period_samples_ = 0;
  }

  void Log() {
    EndPeriod();
    if (spacings_ == 0) {
      LogLine("[camhost] %llu samples\n", static_cast<unsigned long long>(samples_));
      return;
    }
    uint64_t seen = 0;
    size_t p99 = 0;
    for (; p99 < buckets_.size(); ++p99) {
      seen += buckets_[p99];
      if (seen * 100 >= spacings_ * 99) break;
    }
    LogLine("[camhost] %llu samples in %.2f s of reading (%u %s): %.2f per second, spacing "
            "error p99 %.2f ms, CPU %.1f ms per second\n",
            static_cast<unsigned long long>(samples_), seconds_, periods_,
            periods_ == 1 ? "period" : "periods", static_cast<double>(spacings_) / seconds_,
            static_cast<double>(p99 + 1) * 0.05, static_cast<double>(cpu_ns_) / 1e6 / seconds_);
  }

 private:
  // The current reading period.
  uint64_t period_samples_ = 0;
  int64_t first_ = 0;
  int64_t last_ = 0;
  uint64_t cpu_start_ = 0;
  // The periods that ended.
  unsigned periods_ = 0;
  uint64_t samples_ = 0;
  uint64_t spacings_ = 0;
  double seconds_ = 0;
  uint64_t cpu_ns_ = 0;
  std::array<uint64_t, 1000> buckets_{};
};

std::optional<CameraRecord> FindRecord(const std::string& source_id) {
  for (CameraRecord& record : ReadCameraRecords()) {
    if (record.source_id == source_id) return std::move(record);
  }
  return std::nullopt;
}

// Sleeps in short steps so that a stop request ends the wait.
void Pause(uint32_t ms, const std::atomic<bool>& stop) {
  const uint64_t end = TickMs() + ms;
  while (!stop && TickMs() < end) std::this_thread::sleep_for(20ms);
}

enum class Served { kRemoved, kChanged, kDone, kFailed };

// How long nobody may read before the camera is stopped: an app that closes
// and reopens the camera (many probe it first) finds it still running.
constexpr uint64_t kIdleStopMs = 3000;

Served Serve(const CameraRecord& record, const HostOptions& options, Sink& sink,
             const std::atomic<bool>& stop, uint64_t& delivered, SampleStats& stats) {
  // The camera runs only while someone reads: a sink that nobody reads yet
  // starts it when the first app comes.
  std::unique_ptr<CameraSource> source;
  if (sink.Wanted()) {
    source = CameraSource::Open(record, sink, stop);
    if (!source) return Served::kFailed;
  }
  LogLine("[camhost] serving \"%s\" into %s\n", record.friendly_name.c_str(),
          sink.Describe().c_str());
  uint64_t next_check = TickMs() + options.record_poll_ms;
  uint64_t unwanted_since = 0;
  int64_t time = 0;
  std::optional<PictureStamp> shown;
  const auto shared_name = record.attributes.find(kSharedNameAttributeText);
  ExchangeSignal signal(shared_name != record.attributes.end() ? shared_name->second : "");
  RequestTiming timing(signal);
  const auto deliver = [&sink, &time](const Nv12View& picture) { return sink.Write(picture, time); };
  while (!stop) {
    if (TickMs() >= next_check) {
      next_check = TickMs() + options.record_poll_ms;
      auto now = FindRecord(record.source_id);
      if (!now) {
        LogLine("[camhost] the camera \"%s\" was removed\n", record.friendly_name.c_str());
        return Served::kRemoved;
      }
      if (now->attributes != record.attributes) {
        LogLine("[camhost] the camera's attributes changed; restarting its source\n");
        return Served::kChanged;
      }
    }
    // Nobody reads: no samples are requested, so the camera counts no reads.
    if (!sink.Wanted()) {
      if (unwanted_since == 0) {
        unwanted_since = TickMs();
        stats.EndPeriod();
      }
      if (source && TickMs() - unwanted_since >= kIdleStopMs) {
        source.reset();
        LogLine("[camhost] nobody reads; the camera is stopped until an app comes\n");
      }
      // A stop request is seen within one wait.
      sink.AwaitWanted(100);
      continue;
    }
    unwanted_since = 0;
    if (!source) {
      source = CameraSource::Open(record, sink, stop);
      if (!source) return Served::kFailed;
      timing.Reset();
    }
    timing.AwaitTurn(stop);
    switch (source->PullSample(deliver, time, shown)) {
      case CameraSource::Pull::kDelivered:
        timing.Delivered(static_cast<uint64_t>(time) * 100, shown);
        stats.Add(time);
        if (options.frames != 0 && ++delivered >= options.frames) return Served::kDone;
        break;
      case CameraSource::Pull::kNothing:
        break;
      case CameraSource::Pull::kSinkFailed:
        LogLine("[camhost] the sink %s failed; stopping\n", sink.Describe().c_str());
        return Served::kFailed;
      case CameraSource::Pull::kSourceFailed:
        return Served::kFailed;
    }
  }
  return Served::kDone;
}

}  // namespace

int RunCameraHost(const HostOptions& options, Sink& sink, const std::atomic<bool>& stop) {
  SampleStats stats;
  uint64_t delivered = 0;
  bool waiting_logged = false;
  int result = 0;
  std::set<std::string> ignored;  // logged once each
  while (!stop) {
    std::vector<CameraRecord> records = ReadCameraRecords();
    std::erase_if(records, [&](const CameraRecord& record) {
      const std::optional<GUID> clsid = ParseGuid(record.source_id);
      if (!clsid || CameraLibrary::Installed(*clsid)) return false;
      if (ignored.insert(record.source_id).second) {
        LogLine("[camhost] the camera \"%s\" names a camera library that is not installed; "
                "ignoring it\n",
                record.friendly_name.c_str());
      }
      return true;
    });
    if (records.empty()) {
      if (!waiting_logged) LogLine("[camhost] waiting for a camera\n");
      waiting_logged = true;
      Pause(options.record_poll_ms, stop);
      continue;
    }
    if (records.size() > 1) {
      LogLine("[camhost] %zu cameras are recorded; serving the first\n", records.size());
    }
    Served served = Serve(records.front(), options, sink, stop, delivered, stats);
    stats.EndPeriod();
    if (served == Served::kChanged) continue;
    result = served == Served::kFailed ? 1 : 0;
    break;
  }
  stats.Log();
  return result;
}

}  // namespace vistrel
