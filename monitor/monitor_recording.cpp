// The access-unit side of the monitor: the pre-roll, motion clips with their
// post-roll and maximum length, continuous segments, and the start and end of
// each clip file.
#include <time.h>

#include <cerrno>
#include <system_error>

#include "monitor/clip_fragments.h"
#include "monitor/monitor_back_end.h"
#include "monitor/thumbnail.h"
#include "platform/log.h"

namespace vistrel {
namespace {

constexpr int64_t kMicroseconds = 1'000'000;
constexpr int64_t kPreRollSpanUs = 2'500'000;
constexpr uint64_t kPreRollMaxBytes = 16u << 20;
constexpr uint64_t kMinFreeBytes = 512ull << 20;
constexpr int kMaxSameSecondClips = 10'000;

}  // namespace

bool MonitorBackEnd::OnAccessUnit(SessionKey session, std::span<const uint8_t> unit,
                                  int64_t timestamp_us, bool keyframe) {
  MutexLock lock(mutex_);
  if (session != session_ || !ActiveLocked()) return false;
  last_unit_time_ = timestamp_us;
  if (keyframe && RecordingLocked()) {
    // A failing query counts as enough space.
    const std::optional<uint64_t> available = environment_.AvailableBytes(videos_folder_);
    if (available && *available < kMinFreeBytes) FinishClip();
  }
  switch (settings_.record) {
    case RecordMode::kContinuous:
      return OnContinuousUnit(unit, timestamp_us, keyframe);
    case RecordMode::kMotion:
      return OnMotionUnit(unit, timestamp_us, keyframe);
    case RecordMode::kOff:
      break;
  }
  return false;
}

int64_t MonitorBackEnd::ElapsedWithHalfFrame(int64_t ts) const {
  // Half a frame more, so that a segment ends on the frame that crosses the limit.
  return 500'000 / (fps_ > 0 ? fps_ : 30) + ts - recorder_.first_timestamp_us();
}

void MonitorBackEnd::WriteUnit(std::span<const uint8_t> unit, int64_t ts, bool keyframe) {
  if (recorder_.Write(unit, ts, keyframe) < 0) FinishClip();
}

bool MonitorBackEnd::OnContinuousUnit(std::span<const uint8_t> unit, int64_t ts, bool keyframe) {
  if (RecordingLocked()) {
    if (ts < recorder_.first_timestamp_us()) {
      FinishClip();
    } else {
      const bool reached =
          ElapsedWithHalfFrame(ts) >= int64_t{settings_.segment_seconds} * kMicroseconds;
      if (!reached || !keyframe) {
        WriteUnit(unit, ts, keyframe);
        return reached;  // at the limit: a keyframe to cut at, please
      }
      FinishClip();
    }
  }
  if (!keyframe) {
    waiting_for_keyframe_ = true;
    return true;
  }
  std::deque<AccessUnit> first;
  first.push_back({std::vector<uint8_t>(unit.begin(), unit.end()), ts, true});
  StartClip(true, first);
  waiting_for_keyframe_ = false;
  return false;
}

void MonitorBackEnd::KeepPreRoll(std::span<const uint8_t> unit, int64_t ts, bool keyframe) {
  // The pre-roll starts at a keyframe and holds at most the current group of
  // pictures, 2.5 s of the phone's time and 16 MiB.
  const bool stale =
      !pre_roll_.empty() &&
      (static_cast<uint64_t>(ts - pre_roll_.front().timestamp_us) > uint64_t{kPreRollSpanUs} ||
       pre_roll_bytes_ + unit.size() > kPreRollMaxBytes);
  if (keyframe || stale) {
    pre_roll_.clear();
    pre_roll_bytes_ = 0;
  }
  if (keyframe || !pre_roll_.empty()) {
    pre_roll_.push_back({std::vector<uint8_t>(unit.begin(), unit.end()), ts, keyframe});
    pre_roll_bytes_ += unit.size();
  }
}

bool MonitorBackEnd::OnMotionUnit(std::span<const uint8_t> unit, int64_t ts, bool keyframe) {
  KeepPreRoll(unit, ts, keyframe);
  const bool recent =
      motion_seen_ && (ts <= last_motion_time_ ||
                       ts - last_motion_time_ <= int64_t{settings_.postroll_seconds} * kMicroseconds);
  if (RecordingLocked()) {
    if (ts < recorder_.first_timestamp_us() || !recent) {
      FinishClip();
      return false;
    }
    const bool reached =
        ElapsedWithHalfFrame(ts) >= int64_t{settings_.max_clip_seconds} * kMicroseconds;
    if (reached && keyframe) {
      FinishClip();
      StartClip(false, pre_roll_);  // the pre-roll now holds just this keyframe
      return false;
    }
    WriteUnit(unit, ts, keyframe);
    return reached;
  }
  if (waiting_for_keyframe_) {
    if (!recent) {
      waiting_for_keyframe_ = false;
      return false;
    }
    if (!keyframe) return true;
    waiting_for_keyframe_ = false;
    StartClip(false, pre_roll_);
  }
  return false;
}

bool MonitorBackEnd::EnoughSpaceToStart(const std::filesystem::path& folder) {
  std::optional<uint64_t> available = environment_.AvailableBytes(folder);
  if (available && *available < kMinFreeBytes) {
    RunRetention();
    available = environment_.AvailableBytes(folder);
  }
  if (available && *available < kMinFreeBytes) {
    if (!low_space_reported_) {
      LogLine("[record] less than 512 MB free on the videos drive; not recording\n");
    }
    low_space_reported_ = true;
    return false;
  }
  low_space_reported_ = false;
  return true;
}

void MonitorBackEnd::StartClip(bool continuous, const std::deque<AccessUnit>& units) {
  if (units.empty() || !units.front().keyframe) return;
  const int64_t now = environment_.NowSeconds();
  const time_t now_t = static_cast<time_t>(now);
  tm local{};
  localtime_r(&now_t, &local);
  char date[32];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  const std::filesystem::path folder = videos_folder_ / date;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    LogLine("[record] cannot create %s (error %d)\n", folder.c_str(), ec.value());
    return;
  }
  if (!EnoughSpaceToStart(folder)) return;

  std::filesystem::path path;
  for (int number = 1; number <= kMaxSameSecondClips; ++number) {
    path = folder / ClipFileName(local.tm_hour, local.tm_min, local.tm_sec, continuous, number);
    if (!std::filesystem::exists(path, ec) && !ec) break;
    path.clear();
  }
  const AccessUnit& first = units.front();
  const int32_t created =
      path.empty() ? kRecorderUnexpected
                   : recorder_.Create(path, first.bytes, first.timestamp_us, width_, height_, fps_);
  if (created < 0) {
    // Tried again at every picture with motion: said once per motion event.
    if (!record_failure_logged_) {
      LogLine("[record] cannot record to %s (0x%08X)\n", path.c_str(),
              static_cast<uint32_t>(created));
    }
    record_failure_logged_ = true;
    return;
  }
  record_failure_logged_ = false;
  bool failed = false;
  for (size_t i = 1; i < units.size() && !failed; ++i) {
    failed = recorder_.Write(units[i].bytes, units[i].timestamp_us, units[i].keyframe) < 0;
  }
  current_continuous_ = continuous;
  clips_.push_back({path, now, 0, 0, continuous});
  current_index_ = static_cast<int64_t>(clips_.size()) - 1;
  pending_thumbnail_ = ThumbnailPathFor(path);
  SaveClipIndex();
  LogLine("[record] recording %s\n", path.c_str());
  if (failed) FinishClip();
}

void MonitorBackEnd::FinishClip() {
  if (!RecordingLocked()) return;
  const std::filesystem::path path = recorder_.path();
  const int32_t result = recorder_.Finish();
  const int64_t duration_us = recorder_.written_duration_us();
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  pending_thumbnail_.clear();
  if (current_index_ >= 0 && current_index_ < static_cast<int64_t>(clips_.size())) {
    ClipEntry& entry = clips_[static_cast<size_t>(current_index_)];
    if (result >= 0 && !ec) {
      entry.duration_ms = duration_us / 1000;
      entry.size = size;
      LogLine("[record] saved %s (%.2f s, %llu bytes)\n", path.c_str(),
              double(duration_us) / 1e6, static_cast<unsigned long long>(size));
    } else {
      LogLine("[record] failed to finish %s (0x%08X)\n", path.c_str(),
              static_cast<uint32_t>(result < 0 ? result : kRecorderUnexpected));
      // Every fragment completed before the failure plays: keep those, and
      // only those (a full disk leaves the last one half-written).
      const std::optional<ClipFacts> facts = ec ? std::nullopt : KeepCompleteFragments(path);
      if (facts && facts->duration_ms > 0) {
        entry.duration_ms = facts->duration_ms;
        entry.size = facts->size;
        LogLine("[record] kept %s up to its last complete part (%.2f s, %llu bytes)\n",
                path.c_str(), double(facts->duration_ms) / 1e3,
                static_cast<unsigned long long>(facts->size));
      } else {
        std::filesystem::remove(path, ec);
        std::filesystem::remove(ThumbnailPathFor(path), ec);
        clips_.erase(clips_.begin() + current_index_);
      }
    }
  }
  current_index_ = -1;
  ++clip_list_version_;
  SaveClipIndex();
  RunRetention();
}

}  // namespace vistrel
