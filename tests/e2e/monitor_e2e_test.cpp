// The real receiver as a monitoring camera, fed by the simulator in monitor
// mode: motion clips, continuous segments, a crash in the middle of a clip,
// retention and recording switched off. Clips are checked with ffprobe, as a
// player would read them.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <sstream>

#include "monitor/clip_index.h"
#include "monitor/thumbnail.h"
#include "platform/files.h"
#include "platform/shared_memory.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_command.h"
#include "tools/phone/webcam.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

std::string Probe(const std::filesystem::path& file, const std::string& entries) {
  return test::RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries " +
                          entries + " -of csv=p=0 '" + file.string() + "'");
}

class MonitorE2E : public ::testing::Test {
 protected:
  bool StartReceiver(std::vector<std::string> settings) {
    std::vector<std::string> args = {"--set", "videos_dir=" + videos().string()};
    for (const std::string& setting : settings) {
      args.push_back("--set");
      args.push_back(setting);
    }
    return receiver_.Start(args);
  }
  std::filesystem::path videos() const { return receiver_.root() / "videos"; }
  std::vector<ClipEntry> Index() const {
    return ParseClipIndex(ReadFileText(receiver_.data_folder() / "clips.tsv").value_or(""));
  }
  std::future<phone::WebcamReport> Monitor(phone::WebcamOptions options) {
    options.device_name = "Cam";
    options.monitor = true;
    auto link = std::shared_ptr<phone::PhoneLink>(device_->Connect("127.0.0.1", receiver_.port()));
    EXPECT_NE(link, nullptr);
    return std::async(std::launch::async, [this, link, options] {
      if (!link) return phone::WebcamReport{};
      phone::WebcamReport report = phone::RunWebcam(*link, options, &stop_);
      link->Drop();
      return report;
    });
  }
  bool WaitForCount(const std::string& text, size_t count) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      const std::string log = receiver_.Log();
      size_t found = 0;
      for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size()) ++found;
      if (found >= count) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  void TearDown() override { SharedMemory::Unlink(receiver_.ExchangeName()); }

  test::ReceiverProcess receiver_;
  std::unique_ptr<phone::Phone> device_;
  std::atomic<bool> stop_{false};
};

TEST_F(MonitorE2E, MotionClipFromAKeyframeToThePostRollListedAndPlayable) {
  ASSERT_TRUE(StartReceiver({"postroll_seconds=1"}));
  device_ = phone::Phone::Create(receiver_.root() / "phone");
  ASSERT_TRUE(test::PairAndApprove(receiver_, *device_, "Cam"));
  phone::WebcamOptions options;
  options.seconds = 6;
  options.motion_start = 2.5;
  options.motion_end = 3.0;
  options.repeat_timestamps = true;
  auto monitoring = Monitor(options);
  ASSERT_TRUE(receiver_.WaitForLog("[record] saved ", 30s));
  stop_ = true;
  EXPECT_TRUE(monitoring.get().accepted);
  EXPECT_TRUE(receiver_.WaitForLog("[motion] started ("));

  const std::vector<ClipEntry> clips = Index();
  ASSERT_EQ(clips.size(), 1u);
  const ClipEntry& clip = clips[0];
  EXPECT_FALSE(clip.continuous);
  EXPECT_EQ(clip.size, std::filesystem::file_size(clip.path));
  // From the keyframe at 2 s (keyframes come every 2 s) to 1 s after the
  // motion: about 2 s, whole pictures of the phone's clock.
  EXPECT_GE(clip.duration_ms, 1400);
  EXPECT_LE(clip.duration_ms, 2600);
  std::istringstream probe(Probe(clip.path, "stream=codec_name,width,height,nb_read_frames"));
  std::string codec, width, height, frames;
  std::getline(probe, codec, ',');
  std::getline(probe, width, ',');
  std::getline(probe, height, ',');
  std::getline(probe, frames);
  EXPECT_EQ(codec + " " + width + "x" + height, "h264 1280x720");
  // One sample per unit: the frame count agrees with the listed duration
  // within a frame (repeated stamps were pushed on by 1 ms, not dropped).
  EXPECT_NEAR(std::stod(frames) * 1000.0 / 30.0, double(clip.duration_ms), 34.0 + std::stod(frames));
  EXPECT_EQ(Probe(ThumbnailPathFor(clip.path), "stream=width,height"), "320,180\n");
  receiver_.Send("clips");
  EXPECT_TRUE(receiver_.WaitForOutput("motion"));
  EXPECT_EQ(receiver_.Quit(), 0);
}

TEST_F(MonitorE2E, SegmentsACrashMidClipRetentionAndRecordingOff) {
  ASSERT_TRUE(StartReceiver({"record=continuous", "segment_seconds=4"}));
  device_ = phone::Phone::Create(receiver_.root() / "phone");
  ASSERT_TRUE(test::PairAndApprove(receiver_, *device_, "Cam"));
  phone::WebcamOptions options;
  options.seconds = 30;
  options.width = 720;  // a portrait phone
  options.height = 1280;
  auto monitoring = Monitor(options);
  // A finished segment cut at a keyframe, and a second being recorded.
  ASSERT_TRUE(WaitForCount("[record] saved ", 1));
  ASSERT_TRUE(WaitForCount("[record] recording ", 2));
  std::vector<ClipEntry> clips = Index();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(Probe(clips[0].path, "stream=width,height"), "720,1280\n");
  EXPECT_NEAR(double(clips[0].duration_ms), 4000.0, 100.0);
  const std::filesystem::path interrupted = clips.back().path;
  EXPECT_EQ(clips.back().duration_ms, 0);

  // Killed once the segment's first fragment (one group of pictures) is on disk.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::error_code ec;
  while (std::filesystem::file_size(interrupted, ec) < 20'000 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(receiver_.Signal(SIGKILL), 128 + SIGKILL);
  stop_ = true;
  monitoring.get();
  EXPECT_FALSE(Probe(interrupted, "stream=nb_read_frames").empty());

  // An old clip for retention to find at the next start.
  const auto old_clip = videos() / "2020-01-01" / "120000-motion.mp4";
  std::filesystem::create_directories(old_clip.parent_path());
  std::ofstream(old_clip) << "old";
  std::ofstream(ThumbnailPathFor(old_clip)) << "old";
  clips = Index();
  clips.insert(clips.begin(), ClipEntry{old_clip, 1'577'880'000, 5000, 3, false});
  ASSERT_TRUE(ReplaceFileContents(receiver_.data_folder() / "clips.tsv", FormatClipIndex(clips)));

  ASSERT_TRUE(StartReceiver({"record=off"}));
  EXPECT_TRUE(receiver_.WaitForLog("[retention] deleted " + old_clip.string() + "\n"));
  EXPECT_FALSE(std::filesystem::exists(ThumbnailPathFor(old_clip)));
  clips = Index();
  ASSERT_FALSE(clips.empty());
  EXPECT_EQ(clips.back().path, interrupted);
  EXPECT_GE(clips.back().duration_ms, 1900);  // completed from the file itself

  stop_ = false;
  phone::WebcamOptions moving;
  moving.seconds = 4;
  moving.motion_start = 1;
  moving.motion_end = 4;
  auto watching = Monitor(moving);
  EXPECT_TRUE(receiver_.WaitForLog("[motion] started", 20s)) << receiver_.Log();
  watching.get();
  EXPECT_EQ(Index().size(), clips.size());  // detected, nothing recorded
  EXPECT_EQ(receiver_.Quit(), 0);
}

}  // namespace
}  // namespace vistrel
