// The monitor back end's test bed: real access units (the simulator's
// encoder), real clip files in a private folder, synthetic pictures for the
// detector, and a calendar clock and free space of the test's choosing.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "monitor/monitor_back_end.h"
#include "monitor/thumbnail.h"
#include "platform/files.h"
#include "platform/log.h"
#include "tests/support/temp_folder.h"
#include "tools/phone/h264_source.h"

namespace vistrel {

constexpr int64_t kFrameUs = 33'333;
inline const int kKey = 0;
inline const SessionKey kSession = &kKey;

class FakeEnvironment final : public MonitorEnvironment {
 public:
  int64_t NowSeconds() const override { return now; }
  std::optional<uint64_t> AvailableBytes(const std::filesystem::path&) const override {
    return free_bytes;
  }
  int64_t now = 1'796'565'909;  // 2026-12-06
  uint64_t free_bytes = 100ull << 30;
};

// A 1280 × 720 NV12 picture: mid grey, or with a bright band one cell row
// high that moves down a row per picture (so it leaves no trace in the
// detector's background).
class Pictures {
 public:
  Pictures() : luma_(1280 * 720), chroma_(1280 * 360, 128) {}
  Nv12View Make(int index, bool moving) {
    std::fill(luma_.begin(), luma_.end(), uint8_t{90});
    if (moving) {
      const int top = (index % 45) * 16;
      std::fill(luma_.begin() + top * 1280, luma_.begin() + (top + 16) * 1280, uint8_t{240});
    }
    return {luma_.data(), chroma_.data(), 1280, 1280, 720};
  }

 private:
  std::vector<uint8_t> luma_, chroma_;
};

class MonitorBackEndTest : public ::testing::Test {
 protected:
  MonitorBackEndTest() : source_(phone::H264Source::Create(1280, 720, 30)), monitor_(clock_, env_) {
    settings_.videos_folder = folder_ / "videos";
    settings_.postroll_seconds = 2;
  }

  void Start() {
    std::filesystem::create_directories(folder_ / "data");
    monitor_.Initialize(folder_ / "data", settings_);
    monitor_.BeginSession(kSession, 1280, 720, 30);
    monitor_.SetPhoneMode(kSession, true);
  }
  // Feeds the next access unit (keyframes every 60) and its picture; returns
  // whether the monitor asked for a keyframe.
  bool Feed(bool moving) { return Feed(moving, monitor_); }
  bool Feed(bool moving, MonitorBackEnd& monitor) {
    phone::AccessUnit unit;
    EXPECT_TRUE(source_->NextAccessUnit(unit));
    if (alter_unit_) alter_unit_(unit.bytes);
    const bool wants = monitor.OnAccessUnit(kSession, unit.bytes, next_ts_, unit.keyframe);
    next_ts_ += kFrameUs;
    monitor.OnPicture(kSession, pictures_.Make(fed_++, moving));
    return wants;
  }
  std::vector<ClipEntry> Index() {
    return ParseClipIndex(ReadFileText(folder_ / "data" / "clips.tsv").value_or(""));
  }

  test::TempFolder folder_;
  ManualClock clock_;
  FakeEnvironment env_;
  AppSettings settings_;
  std::unique_ptr<phone::H264Source> source_;
  Pictures pictures_;
  MonitorBackEnd monitor_;
  ScopedLogCapture log_;
  // Changes each unit before the monitor sees it (a phone that sends less).
  std::function<void(std::vector<uint8_t>&)> alter_unit_;
  int64_t next_ts_ = 1'000'000;
  int fed_ = 0;
};

}  // namespace vistrel
