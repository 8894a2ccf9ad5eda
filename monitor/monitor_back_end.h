// The monitoring camera: motion detection on the session's pictures, motion
// alerts, and MP4 clips of the phone's own H.264 (motion clips with a
// pre-roll and a post-roll, or continuous segments), with a clip index,
// thumbnails and retention by age and total size.
//
// One lock guards everything and is held for the whole of each operation,
// file work included. Callers: the streaming session's worker (session calls,
// access units, pictures), the camera gate's thread, the receiver core
// (settings) and the front end (status, recent clips). Nothing here calls
// back into a caller.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/settings/settings.h"
#include "monitor/clip_index.h"
#include "monitor/clip_recorder.h"
#include "monitor/motion_detector.h"
#include "monitor/session_monitor.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vistrel {

struct MonitorStatus {
  bool active = false;
  bool recording = false;
  bool motion_active = false;
  uint64_t alert_count = 0;
  uint64_t clip_list_version = 0;
  double last_fraction = 0;
  uint64_t pictures_analysed = 0;
  double average_ms = 0;
  double maximum_ms = 0;
};

// Calendar time and free space, injectable so tests can name clips and fill
// the disk without waiting or filling it.
class MonitorEnvironment {
 public:
  virtual ~MonitorEnvironment() = default;
  virtual int64_t NowSeconds() const = 0;
  virtual std::optional<uint64_t> AvailableBytes(const std::filesystem::path& folder) const = 0;
};
const MonitorEnvironment& SystemMonitorEnvironment();

class MonitorBackEnd final : public SessionMonitor {
 public:
  explicit MonitorBackEnd(const Clock& clock = SystemClock(),
                          const MonitorEnvironment& environment = SystemMonitorEnvironment());
  ~MonitorBackEnd() override;

  // Loads clips.tsv from the data folder (completing entries that a crash
  // left at duration 0), then applies the settings.
  void Initialize(const std::filesystem::path& data_folder, const AppSettings& settings)
      EXCLUDES(mutex_);
  void ApplySettings(const AppSettings& settings) EXCLUDES(mutex_);
  MonitorStatus GetStatus() EXCLUDES(mutex_);
  // Newest first, at most `count`, without the clip being recorded, only
  // those whose file exists.
  std::vector<ClipEntry> RecentClips(size_t count) EXCLUDES(mutex_);

  // SessionMonitor
  void BeginSession(SessionKey session, int width, int height, int fps) override EXCLUDES(mutex_);
  void EndSession(SessionKey session) override EXCLUDES(mutex_);
  void Interrupt(SessionKey session) override EXCLUDES(mutex_);
  void SetPhoneMode(SessionKey session, bool monitor) override EXCLUDES(mutex_);
  void SetCameraAllowed(bool allowed) override EXCLUDES(mutex_);
  bool OnAccessUnit(SessionKey session, std::span<const uint8_t> unit, int64_t timestamp_us,
                    bool keyframe) override EXCLUDES(mutex_);
  void OnPicture(SessionKey session, const DecodedPicture& picture) override EXCLUDES(mutex_);

 private:
  struct AccessUnit {
    std::vector<uint8_t> bytes;
    int64_t timestamp_us = 0;
    bool keyframe = false;
  };

  bool ActiveLocked() const REQUIRES(mutex_);
  bool RecordingLocked() const REQUIRES(mutex_) { return recorder_.open(); }
  void ResetRecording() REQUIRES(mutex_);
  // Access units in continuous and motion mode; the result asks for a keyframe.
  bool OnContinuousUnit(std::span<const uint8_t> unit, int64_t ts, bool keyframe) REQUIRES(mutex_);
  bool OnMotionUnit(std::span<const uint8_t> unit, int64_t ts, bool keyframe) REQUIRES(mutex_);
  void KeepPreRoll(std::span<const uint8_t> unit, int64_t ts, bool keyframe) REQUIRES(mutex_);
  int64_t ElapsedWithHalfFrame(int64_t ts) const REQUIRES(mutex_);
  void WriteUnit(std::span<const uint8_t> unit, int64_t ts, bool keyframe) REQUIRES(mutex_);
  void StartClip(bool continuous, const std::deque<AccessUnit>& units) REQUIRES(mutex_);
  bool EnoughSpaceToStart(const std::filesystem::path& folder) REQUIRES(mutex_);
  void FinishClip() REQUIRES(mutex_);
  void LoadClipIndex() REQUIRES(mutex_);
  void SaveClipIndex() REQUIRES(mutex_);
  void RunRetention() REQUIRES(mutex_);
  void ApplySettingsLocked(const AppSettings& settings) REQUIRES(mutex_);
  void CompleteInterruptedClips() REQUIRES(mutex_);

  const Clock& clock_;
  const MonitorEnvironment& environment_;

  Mutex mutex_;
  std::filesystem::path clip_index_path_ GUARDED_BY(mutex_);
  AppSettings settings_ GUARDED_BY(mutex_);
  std::filesystem::path videos_folder_ GUARDED_BY(mutex_);
  MotionDetector detector_ GUARDED_BY(mutex_);
  SessionKey session_ GUARDED_BY(mutex_) = nullptr;
  bool phone_in_monitor_mode_ GUARDED_BY(mutex_) = false;
  bool camera_allowed_ GUARDED_BY(mutex_) = true;
  int width_ GUARDED_BY(mutex_) = 1280;
  int height_ GUARDED_BY(mutex_) = 720;
  int fps_ GUARDED_BY(mutex_) = 30;
  std::vector<ClipEntry> clips_ GUARDED_BY(mutex_);
  std::deque<AccessUnit> pre_roll_ GUARDED_BY(mutex_);
  uint64_t pre_roll_bytes_ GUARDED_BY(mutex_) = 0;
  ClipRecorder recorder_ GUARDED_BY(mutex_);
  bool current_continuous_ GUARDED_BY(mutex_) = false;
  int64_t current_index_ GUARDED_BY(mutex_) = -1;
  std::filesystem::path pending_thumbnail_ GUARDED_BY(mutex_);
  bool waiting_for_keyframe_ GUARDED_BY(mutex_) = false;
  bool low_space_reported_ GUARDED_BY(mutex_) = false;
  // A clip that could not be created was reported in this motion event.
  bool record_failure_logged_ GUARDED_BY(mutex_) = false;
  int64_t last_unit_time_ GUARDED_BY(mutex_) = 0;
  bool motion_active_ GUARDED_BY(mutex_) = false;
  bool motion_seen_ GUARDED_BY(mutex_) = false;
  int64_t last_motion_time_ GUARDED_BY(mutex_) = 0;
  bool alert_given_ GUARDED_BY(mutex_) = false;
  uint64_t last_alert_tick_ GUARDED_BY(mutex_) = 0;
  uint64_t alert_count_ GUARDED_BY(mutex_) = 0;
  uint64_t clip_list_version_ GUARDED_BY(mutex_) = 0;
  uint64_t last_retention_tick_ GUARDED_BY(mutex_) = 0;
  // Clips outside the videos folder that retention was asked to delete:
  // said once each for the life of the process, not at every run.
  std::set<std::filesystem::path> retention_refusals_logged_ GUARDED_BY(mutex_);
  // clips.tsv exists but could not be read: it is never overwritten.
  bool index_unreadable_ GUARDED_BY(mutex_) = false;
};

}  // namespace vistrel
