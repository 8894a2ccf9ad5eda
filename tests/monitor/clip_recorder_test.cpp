#include "monitor/clip_recorder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "monitor/h264_sps.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_folder.h"
#include "tools/phone/h264_source.h"

namespace vistrel {
namespace {

using test::RunCommand;

// Each packet as "pts_us flags" from ffprobe, the player's view of the file.
std::vector<std::string> Packets(const std::filesystem::path& file) {
  std::istringstream lines(RunCommand("ffprobe -v error -select_streams v:0 -show_entries "
                               "packet=pts,flags -of csv=p=0 '" + file.string() + "'"));
  std::vector<std::string> packets;
  for (std::string line; std::getline(lines, line);) packets.push_back(line);
  return packets;
}

std::string StreamSize(const std::filesystem::path& file) {
  return RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height "
             "-of csv=p=0 '" + file.string() + "'");
}

std::vector<phone::AccessUnit> Units(int count, int width = 1280, int height = 720) {
  auto source = phone::H264Source::Create(width, height, 30);
  std::vector<phone::AccessUnit> units(static_cast<size_t>(count));
  for (auto& unit : units) EXPECT_TRUE(source->NextAccessUnit(unit));
  return units;
}

TEST(H264SpsTest, SizeProfileAndLevelFromTheStream) {
  for (auto [w, h] : {std::pair{1280, 720}, {1920, 1080}, {720, 1280}, {642, 362}}) {
    const phone::AccessUnit key = Units(1, w, h)[0];
    const ParameterSets sets = FindParameterSets(key.bytes);
    ASSERT_GE(sets.sps.size(), 4u);
    EXPECT_NE(sets.sequence_header.size(), sets.sps.size() + 4);  // the PPS is in there too
    const std::optional<SpsInfo> info = ParseSps(sets.sps);
    ASSERT_TRUE(info) << w << "x" << h;
    EXPECT_EQ(info->width, uint32_t(w));
    EXPECT_EQ(info->height, uint32_t(h));
    EXPECT_EQ(info->profile_idc, sets.sps[1]);
    // Every cut of the set is refused or parsed, never read past its end.
    for (size_t cut = 0; cut < sets.sps.size(); ++cut) {
      (void)ParseSps(std::span(sets.sps).first(cut));
    }
  }
  const std::vector<uint8_t> not_sps = {0x68, 0xce, 0x38, 0x80};
  EXPECT_FALSE(ParseSps(not_sps));
}

TEST(ClipRecorderTest, OneSamplePerUnitWithRepairedTimesAndTheStreamsSize) {
  test::TempFolder folder;
  const std::vector<phone::AccessUnit> units = Units(70, 720, 1280);
  ClipRecorder recorder;
  const auto path = folder / "clip.mp4";
  ASSERT_EQ(recorder.Create(path, units[0].bytes, 5'000'000, 1280, 720, 30), 0);
  int64_t ts = 5'000'000;
  for (size_t i = 1; i < units.size(); ++i) {
    ts += 33'333;
    int64_t stamp = ts;
    if (i == 10) stamp = ts - 33'333;  // equal to the one before
    if (i == 20) stamp = ts - 100'000;  // backwards
    ASSERT_EQ(recorder.Write(units[i].bytes, stamp, units[i].keyframe), 0);
  }
  ASSERT_EQ(recorder.Finish(), 0);
  EXPECT_FALSE(recorder.open());
  EXPECT_EQ(recorder.Finish(), kRecorderUnexpected);

  EXPECT_EQ(StreamSize(path), "h264,720,1280\n");  // from the SPS, not the 1280x720 given
  const std::vector<std::string> packets = Packets(path);
  ASSERT_EQ(packets.size(), units.size());
  EXPECT_EQ(packets[0], "0,K_");
  EXPECT_EQ(packets[1], "33333,__");
  EXPECT_EQ(packets[10], std::to_string(9 * 33'333 + 1000) + ",__");  // pushed 1 ms on
  EXPECT_EQ(packets[20], std::to_string(19 * 33'333 + 1000) + ",__");
  EXPECT_EQ(packets[60], "1999980,K_");  // the encoder's next IDR, two seconds in
  // Written duration: the last unit plus one frame.
  EXPECT_EQ(recorder.written_duration_us(), 69 * 33'333 + 33'333);
}

TEST(ClipRecorderTest, RefusalsAndAbandonedClips) {
  test::TempFolder folder;
  const std::vector<phone::AccessUnit> units = Units(2);
  ClipRecorder recorder;
  EXPECT_EQ(recorder.Write(units[1].bytes, 0, false), kRecorderUnexpected);
  // A first unit without a sequence parameter set: nothing is created.
  EXPECT_EQ(recorder.Create(folder / "none.mp4", units[1].bytes, 0, 1280, 720, 30),
            kRecorderInvalidArg);
  EXPECT_FALSE(std::filesystem::exists(folder / "none.mp4"));
  EXPECT_LT(recorder.Create(folder / "missing" / "x.mp4", units[0].bytes, 0, 1280, 720, 30), 0);
  {
    ClipRecorder abandoned;
    ASSERT_EQ(abandoned.Create(folder / "abandoned.mp4", units[0].bytes, 0, 1280, 720, 30), 0);
    EXPECT_TRUE(std::filesystem::exists(folder / "abandoned.mp4"));
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "abandoned.mp4"));
}

// A process that dies in the middle of a clip leaves every complete fragment
// playable, and the facts of what a player will find can be read back.
TEST(ClipRecorderTest, AClipCutShortByACrashStaysPlayable) {
  test::TempFolder folder;
  const auto path = folder / "crash.mp4";
  const std::vector<phone::AccessUnit> units = Units(130);  // IDRs at 0, 60 and 120
  const pid_t child = ::fork();
  if (child == 0) {
    ClipRecorder recorder;
    if (recorder.Create(path, units[0].bytes, 0, 1280, 720, 30) != 0) ::_exit(1);
    for (size_t i = 1; i < units.size(); ++i) {
      if (recorder.Write(units[i].bytes, int64_t(i) * 33'333, units[i].keyframe) != 0) ::_exit(1);
    }
    ::_exit(0);  // as kill -9 would: no Finish, no destructor
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const std::optional<ClipFacts> facts = ReadClipFacts(path);
  ASSERT_TRUE(facts);
  // The fragments of the first two groups of pictures are complete.
  EXPECT_GE(facts->duration_ms, 3900);
  EXPECT_LE(facts->duration_ms, 4400);
  EXPECT_EQ(facts->size, std::filesystem::file_size(path));
  EXPECT_GE(Packets(path).size(), 120u);
}

}  // namespace
}  // namespace vistrel
