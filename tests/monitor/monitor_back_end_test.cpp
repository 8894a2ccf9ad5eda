// The monitor back end with real access units (the simulator's encoder), real
// clip files and synthetic pictures for the detector: clips, segments,
// alerts, the index, retention and low space.
#include "tests/monitor/monitor_fixture.h"

namespace vistrel {
namespace {

TEST_F(MonitorBackEndTest, MotionClipFromTheKeyframeOfThePreRollUntilThePostRoll) {
  std::filesystem::create_directories(folder_ / "data");
  Start();
  EXPECT_TRUE(log_.Contains("[monitor] phone switched to monitor mode\n"));
  for (int i = 0; i < 70; ++i) Feed(false);
  for (int i = 70; i < 100; ++i) Feed(true);  // the second moving picture starts the clip
  EXPECT_TRUE(log_.Contains("[alert] motion detected\n"));
  EXPECT_TRUE(monitor_.GetStatus().recording);
  for (int i = 100; i < 200; ++i) Feed(false);
  EXPECT_TRUE(log_.Contains("[motion] stopped\n"));

  const std::vector<ClipEntry> clips = Index();
  ASSERT_EQ(clips.size(), 1u);
  const ClipEntry& clip = clips[0];
  EXPECT_EQ(clip.path, settings_.videos_folder / "2026-12-06" / (clip.path.filename().string()));
  EXPECT_EQ(clip.path.filename().string().substr(6), "-motion.mp4");
  // Units 60 (the keyframe before the motion) to 159: the last moving picture
  // was 99, and 2 s of the phone's time later the post-roll ends.
  EXPECT_EQ(clip.duration_ms, 100 * kFrameUs / 1000);
  EXPECT_EQ(clip.size, std::filesystem::file_size(clip.path));
  EXPECT_TRUE(log_.Contains("[record] saved " + clip.path.string() + " (3.33 s, "));
  EXPECT_EQ(std::filesystem::file_size(ThumbnailPathFor(clip.path)) > 0, true);
  EXPECT_EQ(monitor_.RecentClips(3), clips);

  // Motion again within 60 s: a second clip but no second alert; after 60 s, an alert.
  for (int i = 0; i < 20; ++i) Feed(true);
  for (int i = 0; i < 100; ++i) Feed(false);
  EXPECT_EQ(monitor_.GetStatus().alert_count, 1u);
  clock_.Advance(60'000);
  for (int i = 0; i < 20; ++i) Feed(true);
  const MonitorStatus status = monitor_.GetStatus();
  EXPECT_EQ(status.alert_count, 2u);
  EXPECT_TRUE(status.motion_active);
  EXPECT_GT(status.pictures_analysed, 300u);
  // The clip being recorded is not among the recent ones.
  EXPECT_EQ(monitor_.RecentClips(3).size(), 2u);
  monitor_.EndSession(kSession);
  EXPECT_EQ(Index().size(), 3u);
  EXPECT_FALSE(monitor_.GetStatus().recording);
}

TEST_F(MonitorBackEndTest, ContinuousSegmentsCutAtKeyframesAndRecordOff) {
  settings_.record = RecordMode::kContinuous;
  settings_.segment_seconds = 2;
  Start();
  phone::AccessUnit skipped;
  ASSERT_TRUE(source_->NextAccessUnit(skipped));  // start on a non-keyframe
  EXPECT_TRUE(Feed(false));                        // nothing open: a keyframe, please
  for (int i = 2; i < 60; ++i) Feed(false);
  // The first segment starts at the keyframe of unit 60 and reaches 2 s at
  // unit 119, which is still written; the keyframe 120 cuts it.
  bool asked = false;
  for (int i = 60; i < 120; ++i) asked = Feed(false) || asked;
  EXPECT_FALSE(asked);
  for (int i = 120; i < 150; ++i) Feed(false);
  std::vector<ClipEntry> clips = Index();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].duration_ms, 60 * kFrameUs / 1000);
  EXPECT_TRUE(clips[0].continuous);
  // Both started in the same second of the fake clock: the second gets "-2".
  EXPECT_EQ(clips[1].path.filename().string().substr(6), "-continuous-2.mp4");
  EXPECT_EQ(clips[1].duration_ms, 0);  // still recording

  settings_.record = RecordMode::kOff;
  monitor_.ApplySettings(settings_);
  clips = Index();
  EXPECT_EQ(clips[1].duration_ms, 30 * kFrameUs / 1000);
  const uint64_t analysed = monitor_.GetStatus().pictures_analysed;
  for (int i = 0; i < 90; ++i) EXPECT_FALSE(Feed(i % 2 == 0));
  EXPECT_EQ(Index().size(), 2u);  // detects, records nothing
  EXPECT_EQ(monitor_.GetStatus().pictures_analysed, analysed + 90);
}

TEST_F(MonitorBackEndTest, RetentionLowSpaceAndAnIndexThatCannotBeRead) {
  const auto videos = settings_.videos_folder;
  auto make_clip = [&](const std::string& day, const std::string& name, int64_t start) {
    std::filesystem::create_directories(videos / day);
    const auto path = videos / day / name;
    std::ofstream(path) << std::string(1000, 'x');
    std::ofstream(ThumbnailPathFor(path)) << "jpg";
    return ClipEntry{path, start, 1000, 1000, false};
  };
  const int64_t day = 86'400;
  std::vector<ClipEntry> entries = {
      make_clip("2026-11-01", "100000-motion.mp4", env_.now - 36 * day),
      make_clip("2026-11-05", "100000-motion.mp4", env_.now - 31 * day),
      make_clip("2026-11-05", "110000-motion.mp4", env_.now - 31 * day + 3600),
      make_clip("2026-12-06", "100000-motion.mp4", env_.now - 60),
  };
  const auto outside = folder_ / "elsewhere.mp4";
  std::ofstream(outside) << "not ours";
  entries.insert(entries.begin(), ClipEntry{outside, env_.now - 40 * day, 1, 8, false});
  std::filesystem::create_directories(folder_ / "data");
  ASSERT_TRUE(ReplaceFileContents(folder_ / "data" / "clips.tsv", FormatClipIndex(entries)));

  settings_.retention_days = 30;
  Start();
  EXPECT_TRUE(std::filesystem::exists(outside));
  EXPECT_TRUE(log_.Contains("[retention] " + outside.string() + " is not in the videos folder; not deleted\n"));
  EXPECT_TRUE(log_.Contains("[retention] deleted " + entries[1].path.string() + "\n"));
  for (int i = 1; i <= 3; ++i) EXPECT_FALSE(std::filesystem::exists(entries[i].path)) << i;
  EXPECT_FALSE(std::filesystem::exists(ThumbnailPathFor(entries[1].path)));
  EXPECT_FALSE(std::filesystem::exists(videos / "2026-11-01"));  // emptied folders go
  EXPECT_FALSE(std::filesystem::exists(videos / "2026-11-05"));
  EXPECT_EQ(Index(), (std::vector<ClipEntry>{entries[0], entries[4]}));

  // Less than 512 MiB free: retention runs, then the clip is skipped, said once.
  env_.free_bytes = 100u << 20;
  settings_.record = RecordMode::kContinuous;
  monitor_.ApplySettings(settings_);
  for (int i = 0; i < 130; ++i) Feed(false);
  const std::string low = "[record] less than 512 MB free on the videos drive; not recording\n";
  const std::string text = log_.Text();
  EXPECT_EQ(text.find(low), text.rfind(low));
  EXPECT_NE(text.find(low), std::string::npos);
  EXPECT_FALSE(monitor_.GetStatus().recording);

  // A clips.tsv that cannot be read is never overwritten by a shorter list.
  MonitorBackEnd other(clock_, env_);
  std::filesystem::create_directories(folder_ / "data2" / "clips.tsv");
  other.Initialize(folder_ / "data2", settings_);
  EXPECT_TRUE(log_.Contains("clips.tsv cannot be read; it is left unchanged\n"));
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "data2" / "clips.tsv"));
}

}  // namespace
}  // namespace vistrel
