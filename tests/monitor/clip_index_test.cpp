#include "monitor/clip_index.h"

#include <gtest/gtest.h>

#include "monitor/thumbnail.h"

namespace vistrel {
namespace {

TEST(ClipIndexTest, ParsesWhatItWritesAndDropsWhatCannotBeAClip) {
  const std::vector<ClipEntry> entries = {
      {"/v/2026-12-06/140509-motion.mp4", 1'796'565'909, 10'000, 2'500'000, false},
      {"/v/2026-12-06/150000-continuous.mp4", 1'796'569'200, 600'000, 90'000'000, true},
  };
  const std::string text = FormatClipIndex(entries);
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "1796565909\t10000\t2500000\tmotion\t/v/2026-12-06/140509-motion.mp4");
  EXPECT_EQ(ParseClipIndex(text), entries);

  const std::string hostile =
      "5\t1\t2\tcontinuous\t/v/b.MP4\r\n"         // upper-case extension: kept
      "3\t1\t2\tmotion\t/v/tab\there.mp4\n"       // a TAB in the path: kept whole
      "1\t2\t3\tmotion\n"                          // three TABs: skipped
      "4\t1\t2\tmotion\t/v/a.mov\n"                // not an MP4: skipped
      "4\t1\t2\tmotion\trelative.mp4\n"            // not absolute, no home given: skipped
      "4\t1\t2\tmotion\trel/../../x.mp4\n"          // climbs out: skipped
      "4\t1\t2\tmotion\t/v/../../etc/x.mp4\n"      // climbs out: skipped
      "3\tx\t-7\tContinuous\t/v/c.mp4\n"           // garbage numbers; kind is case-sensitive
      "9\t0\t0\tmotion\t/" + std::string(10'000, 'a') + ".mp4\n"  // longer than any path
      "\t\t\t\t\n"
      "garbage\n";
  const std::vector<ClipEntry> parsed = ParseClipIndex(hostile);
  ASSERT_EQ(parsed.size(), 3u);
  // Sorted by start time, equal times in file order.
  EXPECT_EQ(parsed[0].path, "/v/tab\there.mp4");
  EXPECT_EQ(parsed[1], (ClipEntry{"/v/c.mp4", 3, 0, 0, false}));
  EXPECT_EQ(parsed[2], (ClipEntry{"/v/b.MP4", 5, 1, 2, true}));
  // An index written while a relative videos folder was listed as such: its
  // entries are the home folder's.
  const std::vector<ClipEntry> homed = ParseClipIndex(hostile, "/home/u");
  ASSERT_EQ(homed.size(), 4u);
  EXPECT_EQ(homed[2].path, "/home/u/relative.mp4");

  std::string many;
  for (int i = 0; i < 50'000; ++i) many += std::to_string(50'000 - i) + "\t1\t1\tmotion\t/v/x.mp4\n";
  const std::vector<ClipEntry> large = ParseClipIndex(many);
  ASSERT_EQ(large.size(), 50'000u);
  EXPECT_EQ(large.front().start_time, 1);
}

TEST(ClipIndexTest, NamesAndThumbnails) {
  EXPECT_EQ(ClipFileName(14, 5, 9, false, 1), "140509-motion.mp4");
  EXPECT_EQ(ClipFileName(14, 5, 9, false, 2), "140509-motion-2.mp4");
  EXPECT_EQ(ClipFileName(0, 0, 0, true, 1), "000000-continuous.mp4");
  EXPECT_EQ(ThumbnailPathFor("/v/d/140509-motion.mp4"), "/v/d/140509-motion.jpg");
}

TEST(ThumbnailTest, SamplesEveryFourthPixelOfA720pPictureInBt709) {
  std::vector<uint8_t> luma(1280 * 720), chroma(1280 * 360);
  for (int y = 0; y < 720; ++y) {
    for (int x = 0; x < 1280; ++x) luma[size_t(y) * 1280 + x] = (x % 4 == 0 && y % 4 == 0) ? 235 : 16;
  }
  for (size_t i = 0; i < chroma.size(); i += 2) chroma[i] = 128, chroma[i + 1] = 128;
  chroma[0] = 90, chroma[1] = 240;  // U, V of the top-left pair
  const std::vector<uint8_t> pixels = ThumbnailPixels({luma.data(), chroma.data(), 1280, 1280, 720});
  ASSERT_EQ(pixels.size(), 320u * 180 * 3);
  // White where sampled: every pixel but the first, whose chroma is coloured.
  for (size_t i = 3; i < pixels.size(); ++i) ASSERT_EQ(pixels[i], 255) << i;
  // Y 235, U 90, V 240, in blue, green, red order; red clamps.
  EXPECT_EQ(pixels[0], 175);
  EXPECT_EQ(pixels[1], 204);
  EXPECT_EQ(pixels[2], 255);
}

}  // namespace
}  // namespace vistrel
