// The monitor where use goes wrong: clips of an earlier or a relative videos
// folder, a disk that fills in the middle of a clip, a receiver killed while
// recording, and a phone whose keyframes carry no parameter sets.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "monitor/clip_fragments.h"
#include "tests/monitor/monitor_fixture.h"
#include "tests/support/run_command.h"
#include "tests/support/tmpfs_mount.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& needle) {
  size_t found = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) {
    ++found;
  }
  return found;
}

// What ffprobe says of the file, errors included: a player's view.
std::string ProbeFrames(const fs::path& file) {
  return test::RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=nb_read_frames -of csv=p=0 '" + file.string() + "' 2>&1");
}

class ScopedHome {
 public:
  explicit ScopedHome(const fs::path& home) {
    if (const char* old = std::getenv("HOME")) old_ = old;
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
  }
  ~ScopedHome() { setenv("HOME", old_.c_str(), 1); }

 private:
  std::string old_;
};

// The access unit without its SPS and PPS, as a phone that leaves them out sends it.
void StripParameterSets(std::vector<uint8_t>& unit) {
  std::vector<uint8_t> kept;
  size_t at = 0;
  auto next_start = [&](size_t from) {
    for (size_t i = from; i + 3 <= unit.size(); ++i) {
      if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) return i;
    }
    return unit.size();
  };
  for (at = next_start(0); at < unit.size();) {
    const size_t begin = at + 3;
    const size_t end = next_start(begin);
    const int type = begin < unit.size() ? unit[begin] & 0x1F : 0;
    if (type != 7 && type != 8) {
      kept.insert(kept.end(), {0, 0, 0, 1});
      kept.insert(kept.end(), unit.begin() + static_cast<ptrdiff_t>(begin),
                  unit.begin() + static_cast<ptrdiff_t>(end));
    }
    at = end;
  }
  unit = std::move(kept);
}

TEST_F(MonitorBackEndTest, ClipsOfAnEarlierFolderStayAndDoNotCountAndARelativeFolderIsTheHomes) {
  // Run 1: four 2 s segments in folder A.
  settings_.videos_folder = folder_ / "A";
  settings_.record = RecordMode::kContinuous;
  settings_.segment_seconds = 2;
  Start();
  for (int i = 0; i < 240; ++i) Feed(false);
  monitor_.EndSession(kSession);
  const std::vector<ClipEntry> old = Index();
  ASSERT_EQ(old.size(), 4u);
  uint64_t largest = 0;
  for (const ClipEntry& clip : old) largest = std::max(largest, clip.size);

  // Run 2, a month later: the folder is "relvid" now, which is the home
  // folder's, and the limit is below what A's clips hold together but above
  // the new ones.
  env_.now += 31 * 86'400;
  settings_.retention_days = 30;
  const ScopedHome home(folder_ / "home");
  settings_.videos_folder = "relvid";
  settings_.retention_mb = double(largest) * 2.5 / (1024.0 * 1024.0);
  MonitorBackEnd second(clock_, env_);
  second.Initialize(folder_ / "data", settings_);
  second.BeginSession(kSession, 1280, 720, 30);
  second.SetPhoneMode(kSession, true);
  for (int i = 0; i < 130; ++i) Feed(false, second);
  second.EndSession(kSession);
  second.ApplySettings(settings_);

  std::vector<ClipEntry> clips = Index();
  ASSERT_EQ(clips.size(), 7u) << FormatClipIndex(clips) << log_.Text();
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(clips[i], old[i]);
    EXPECT_TRUE(fs::exists(old[i].path));
  }
  for (size_t i = 4; i < 7; ++i) {
    EXPECT_EQ(clips[i].path.parent_path().parent_path(), folder_ / "home" / "relvid");
    EXPECT_TRUE(fs::exists(clips[i].path)) << clips[i].path;
  }
  // Said once for each clip it may not delete, however often retention runs.
  const std::string refused = "[retention] " + old[0].path.string() +
                              " is not in the videos folder; not deleted\n";
  EXPECT_EQ(Count(log_.Text(), refused), 1u);
  EXPECT_EQ(Count(log_.Text(), "[retention] deleted "), 0u);

  // An index from before, with relative entries: kept where the file is in
  // the home folder, dropped where it is not.
  const fs::path relative = clips[4].path.lexically_relative(folder_ / "home");
  std::string text = ReadFileText(folder_ / "data" / "clips.tsv").value();
  const std::string now = std::to_string(env_.now);
  text += now + "\t2000\t5\tmotion\t" + relative.string() + "\n";
  text += now + "\t2000\t5\tmotion\trelvid/2026-12-06/gone.mp4\n";
  ASSERT_TRUE(ReplaceFileContents(folder_ / "data" / "clips.tsv", text));
  settings_.retention_mb = 0;
  MonitorBackEnd third(clock_, env_);
  third.Initialize(folder_ / "data", settings_);
  clips = Index();
  ASSERT_EQ(clips.size(), 8u);
  EXPECT_EQ(Count(FormatClipIndex(clips), clips[4].path.string() + "\n"), 2u);
}

TEST_F(MonitorBackEndTest, AClipCutByAFullDiskKeepsOnlyItsCompleteParts) {
  // Room for a two-second part of a clip or two, not for a whole clip.
  test::TmpfsMount disk(folder_ / "small", "size=800k");
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  settings_.videos_folder = folder_ / "small";
  settings_.record = RecordMode::kContinuous;
  settings_.segment_seconds = 60;
  Start();
  for (int i = 0; i < 300 && !log_.Contains("[record] kept "); ++i) Feed(false);
  monitor_.EndSession(kSession);

  const std::vector<ClipEntry> clips = Index();
  ASSERT_FALSE(clips.empty()) << log_.Text();
  const ClipEntry& clip = clips[0];
  const std::optional<FragmentLayout> layout = ScanFragments(clip.path);
  ASSERT_TRUE(layout);
  ASSERT_GE(layout->complete_fragments, 1u);
  const uint64_t pictures = 60 * layout->complete_fragments;  // a keyframe every 60
  EXPECT_EQ(clip.duration_ms, int64_t(pictures) * kFrameUs / 1000);
  EXPECT_EQ(clip.size, fs::file_size(clip.path));
  EXPECT_EQ(layout->complete_end, clip.size);
  // Every listed picture is in the file, and a player has nothing to say.
  EXPECT_EQ(ProbeFrames(clip.path), std::to_string(pictures) + "\n");
  char kept[96];
  std::snprintf(kept, sizeof kept, " up to its last complete part (%.2f s, %llu bytes)\n",
                double(clip.duration_ms) / 1e3, static_cast<unsigned long long>(clip.size));
  EXPECT_TRUE(log_.Contains("[record] kept " + clip.path.string() + kept)) << log_.Text();
}

TEST_F(MonitorBackEndTest, AClipKilledBeforeItsFirstPartIsCompleteIsRemovedAtTheNextStart) {
  settings_.record = RecordMode::kContinuous;
  settings_.segment_seconds = 60;
  std::vector<phone::AccessUnit> units(100);
  for (auto& unit : units) ASSERT_TRUE(source_->NextAccessUnit(unit));
  fs::create_directories(folder_ / "data");
  // Killed as kill -9 would: 3.3 s into one clip, and after the restart 1.5 s
  // into the next (keyframes every 2 s).
  std::vector<std::unique_ptr<MonitorBackEnd>> runs;
  for (const size_t fed : {100u, 45u}) {
    MonitorBackEnd& run = *runs.emplace_back(std::make_unique<MonitorBackEnd>(clock_, env_));
    run.Initialize(folder_ / "data", settings_);
    run.BeginSession(kSession, 1280, 720, 30);
    run.SetPhoneMode(kSession, true);
    const pid_t child = ::fork();
    if (child == 0) {
      for (size_t i = 0; i < fed; ++i) {
        (void)run.OnAccessUnit(kSession, units[i].bytes, int64_t(i) * kFrameUs, units[i].keyframe);
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    env_.now += 10;  // the next clip gets a name of its own
  }
  const std::vector<ClipEntry> clips = Index();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].duration_ms, 60 * kFrameUs / 1000);  // its complete part, listed at the restart
  EXPECT_EQ(clips[1].duration_ms, 0);
  std::ofstream(ThumbnailPathFor(clips[1].path)) << "jpg";

  MonitorBackEnd restarted(clock_, env_);
  restarted.Initialize(folder_ / "data", settings_);
  EXPECT_TRUE(log_.Contains("[record] removed " + clips[1].path.string() +
                            ": it was cut off before any part of it was complete\n"));
  EXPECT_FALSE(fs::exists(clips[1].path));
  EXPECT_FALSE(fs::exists(ThumbnailPathFor(clips[1].path)));
  EXPECT_EQ(Index(), std::vector<ClipEntry>{clips[0]});
  EXPECT_EQ(clips[0].size, fs::file_size(clips[0].path));
}

TEST_F(MonitorBackEndTest, KeyframesWithoutParameterSetsAreRefusedOncePerMotionEvent) {
  alter_unit_ = StripParameterSets;
  Start();
  for (int event = 0; event < 2; ++event) {
    for (int i = 0; i < 70; ++i) Feed(false);
    for (int i = 0; i < 60; ++i) Feed(true);
  }
  for (int i = 0; i < 70; ++i) Feed(false);
  EXPECT_EQ(Count(log_.Text(), "[motion] started"), 2u);
  EXPECT_EQ(Count(log_.Text(), " (0x80070057)\n"), 2u);
  EXPECT_TRUE(log_.Contains("[record] cannot record to " + settings_.videos_folder.string()));
  EXPECT_TRUE(Index().empty());
}

}  // namespace
}  // namespace vistrel
