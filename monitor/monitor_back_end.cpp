#include "monitor/monitor_back_end.h"

#include "monitor/thumbnail.h"
#include "platform/files.h"
#include "platform/log.h"

namespace vistrel {
namespace {

constexpr uint64_t kAlertIntervalMs = 60'000;
constexpr int64_t kMotionStopsAfterUs = 1'000'001;
constexpr uint64_t kRetentionEveryMs = 3'600'000;

class SystemEnvironment final : public MonitorEnvironment {
 public:
  int64_t NowSeconds() const override { return UnixSeconds(); }
  std::optional<uint64_t> AvailableBytes(const std::filesystem::path& folder) const override {
    return vistrel::AvailableBytes(folder);
  }
};

}  // namespace

const MonitorEnvironment& SystemMonitorEnvironment() {
  static const SystemEnvironment environment;
  return environment;
}

MonitorBackEnd::MonitorBackEnd(const Clock& clock, const MonitorEnvironment& environment)
    : clock_(clock), environment_(environment) {}

MonitorBackEnd::~MonitorBackEnd() {
  // A clip still open at shutdown is finished, not thrown away.
  MutexLock lock(mutex_);
  FinishClip();
}

void MonitorBackEnd::Initialize(const std::filesystem::path& data_folder,
                                const AppSettings& settings) {
  MutexLock lock(mutex_);
  clip_index_path_ = data_folder / "clips.tsv";
  LoadClipIndex();
  CompleteInterruptedClips();
  ApplySettingsLocked(settings);
}

void MonitorBackEnd::ApplySettings(const AppSettings& settings) {
  MutexLock lock(mutex_);
  ApplySettingsLocked(settings);
}

void MonitorBackEnd::ApplySettingsLocked(const AppSettings& settings) {
  if (settings.record != settings_.record) {
    FinishClip();
    waiting_for_keyframe_ = false;
  }
  settings_ = settings;
  videos_folder_ = ResolveVideosFolder(settings);
  detector_.Configure(settings.sensitivity, settings.zones);
  RunRetention();
}

MonitorStatus MonitorBackEnd::GetStatus() {
  MutexLock lock(mutex_);
  if (clock_.NowMs() - last_retention_tick_ >= kRetentionEveryMs) RunRetention();
  MonitorStatus status;
  status.active = ActiveLocked();
  status.recording = RecordingLocked();
  status.motion_active = motion_active_;
  status.alert_count = alert_count_;
  status.clip_list_version = clip_list_version_;
  status.last_fraction = detector_.last_fraction();
  status.pictures_analysed = detector_.pictures_analysed();
  status.average_ms = status.pictures_analysed
                          ? detector_.total_ms() / double(status.pictures_analysed)
                          : 0.0;
  status.maximum_ms = detector_.maximum_ms();
  return status;
}

std::vector<ClipEntry> MonitorBackEnd::RecentClips(size_t count) {
  MutexLock lock(mutex_);
  std::vector<ClipEntry> recent;
  size_t end = clips_.size();
  if (RecordingLocked() && end > 0) --end;  // the clip being recorded
  for (size_t i = end; i > 0 && recent.size() < count; --i) {
    std::error_code ec;
    if (std::filesystem::exists(clips_[i - 1].path, ec)) recent.push_back(clips_[i - 1]);
  }
  return recent;
}

bool MonitorBackEnd::ActiveLocked() const {
  return session_ != nullptr && phone_in_monitor_mode_ && camera_allowed_;
}

void MonitorBackEnd::BeginSession(SessionKey session, int width, int height, int fps) {
  MutexLock lock(mutex_);
  ResetRecording();
  session_ = session;
  phone_in_monitor_mode_ = false;
  width_ = width;
  height_ = height;
  fps_ = fps;
}

void MonitorBackEnd::EndSession(SessionKey session) {
  MutexLock lock(mutex_);
  if (session != session_) return;
  ResetRecording();
  session_ = nullptr;
  phone_in_monitor_mode_ = false;
}

void MonitorBackEnd::Interrupt(SessionKey session) {
  MutexLock lock(mutex_);
  if (session == session_) ResetRecording();
}

void MonitorBackEnd::SetPhoneMode(SessionKey session, bool monitor) {
  MutexLock lock(mutex_);
  if (session != session_ || monitor == phone_in_monitor_mode_) return;
  ResetRecording();
  phone_in_monitor_mode_ = monitor;
  LogLine("[monitor] phone switched to %s mode\n", monitor ? "monitor" : "webcam");
}

void MonitorBackEnd::SetCameraAllowed(bool allowed) {
  MutexLock lock(mutex_);
  if (!allowed) ResetRecording();
  camera_allowed_ = allowed;
}

void MonitorBackEnd::ResetRecording() {
  FinishClip();
  pre_roll_.clear();
  pre_roll_bytes_ = 0;
  waiting_for_keyframe_ = false;
  pending_thumbnail_.clear();
  detector_.Reset();
  if (motion_active_) LogLine("[motion] stopped\n");
  motion_active_ = false;
  motion_seen_ = false;
  record_failure_logged_ = false;
}

void MonitorBackEnd::OnPicture(SessionKey session, const DecodedPicture& picture) {
  MutexLock lock(mutex_);
  if (session != session_ || !ActiveLocked()) return;
  const bool motion = detector_.Detect(picture.luma(), picture.luma_pitch(), picture.width(),
                                      picture.height());
  if (motion) {
    last_motion_time_ = last_unit_time_;
    motion_seen_ = true;
    if (!motion_active_) {
      motion_active_ = true;
      LogLine("[motion] started (%.1f%% of the picture changed)\n",
              detector_.last_fraction() * 100.0);
      const uint64_t now = clock_.NowMs();
      if (settings_.motion_alerts &&
          !(alert_given_ && now - last_alert_tick_ < kAlertIntervalMs)) {
        alert_given_ = true;
        last_alert_tick_ = now;
        ++alert_count_;
        LogLine("[alert] motion detected\n");
      }
    }
    if (settings_.record == RecordMode::kMotion && !RecordingLocked() && !waiting_for_keyframe_) {
      if (pre_roll_.empty() || !pre_roll_.front().keyframe) {
        waiting_for_keyframe_ = true;
      } else {
        StartClip(false, pre_roll_);
      }
    }
  } else if (motion_active_ && last_unit_time_ > last_motion_time_ &&
             last_unit_time_ - last_motion_time_ >= kMotionStopsAfterUs) {
    motion_active_ = false;
    record_failure_logged_ = false;
    LogLine("[motion] stopped\n");
  }
  if (!pending_thumbnail_.empty()) {
    if (!WriteThumbnail(pending_thumbnail_, picture.Nv12())) {
      LogLine("[record] could not write the thumbnail\n");
    }
    pending_thumbnail_.clear();
  }
}

}  // namespace vistrel
