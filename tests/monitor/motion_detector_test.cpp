#include "monitor/motion_detector.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vistrel {
namespace {

struct Picture {
  Picture(int w, int h, uint8_t fill, int extra_stride = 0)
      : width(w), height(h), stride(w + extra_stride), luma(size_t(stride) * h, fill) {}
  // Sets every pixel of cell (r, c) of the 80 × 45 grid.
  void FillCell(int r, int c, uint8_t value) {
    const int cw = width / kCellColumns, ch = height / kCellRows;
    for (int y = r * ch; y < (r + 1) * ch; ++y) {
      for (int x = c * cw; x < (c + 1) * cw; ++x) luma[size_t(y) * stride + x] = value;
    }
  }
  int width, height, stride;
  std::vector<uint8_t> luma;
};

std::array<bool, kZoneCount> AllZones(bool on) {
  std::array<bool, kZoneCount> zones{};
  zones.fill(on);
  return zones;
}

TEST(CellMeansTest, FastPathMatchesTheReferenceAndIgnoresWhatLiesPastTheGrid) {
  std::mt19937 random(7);
  for (auto [w, h] : {std::pair{1280, 720}, {1920, 1080}, {1000, 500}, {81, 46}, {720, 1280},
                      {4096, 2304}, {333, 97}}) {
    Picture picture(w, h, 0, 13);
    for (uint8_t& byte : picture.luma) byte = static_cast<uint8_t>(random());
    std::array<uint32_t, kCellCount> fast{}, reference{};
    ASSERT_TRUE(CellMeans(picture.luma.data(), picture.stride, w, h, fast));
    ASSERT_TRUE(CellMeansScalar(picture.luma.data(), picture.stride, w, h, reference));
    EXPECT_EQ(fast, reference) << w << "x" << h;
  }
  // 1000 × 500: 12 × 11 blocks; the last 40 columns and 5 rows are not looked at.
  Picture picture(1000, 500, 10);
  for (int y = 0; y < 500; ++y) {
    for (int x = 0; x < 1000; ++x) {
      if (x >= 960 || y >= 495) picture.luma[size_t(y) * 1000 + x] = 250;
    }
  }
  std::array<uint32_t, kCellCount> cells{};
  ASSERT_TRUE(CellMeans(picture.luma.data(), 1000, 1000, 500, cells));
  for (uint32_t cell : cells) ASSERT_EQ(cell, 10u * 256);
  EXPECT_FALSE(CellMeans(picture.luma.data(), 79, 79, 500, cells));
}

TEST(MotionDetectorTest, WarmUpThresholdAndTwoPicturesInARow) {
  MotionDetector detector;
  detector.Configure(Sensitivity::kMedium, AllZones(true));
  detector.Reset();
  Picture still(1280, 720, 100);
  Picture busy(1280, 720, 100);
  for (int c = 0; c < 80; ++c) busy.FillCell(10, c, 250);  // 80 of 3600 cells: over 1 %
  // However much changes, the first 10 pictures after a reset never report motion.
  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(detector.Detect((i % 2 ? busy : still).luma.data(), 1280, 1280, 720)) << i;
  }
  for (int i = 0; i < 40; ++i) detector.Detect(still.luma.data(), 1280, 1280, 720);

  // A change of exactly the cell threshold (18 steps) is not counted.
  Picture edge(1280, 720, 100);
  for (int c = 0; c < 80; ++c) edge.FillCell(10, c, 118);
  EXPECT_FALSE(detector.Detect(edge.luma.data(), 1280, 1280, 720));
  EXPECT_EQ(detector.last_fraction(), 0.0);
  for (int i = 0; i < 200; ++i) detector.Detect(still.luma.data(), 1280, 1280, 720);

  // One step more is; one picture alone is not motion, two in a row are.
  Picture over(1280, 720, 100);
  for (int c = 0; c < 80; ++c) over.FillCell(10, c, 119);
  EXPECT_FALSE(detector.Detect(over.luma.data(), 1280, 1280, 720));
  EXPECT_DOUBLE_EQ(detector.last_fraction(), 80.0 / 3600.0);
  EXPECT_TRUE(detector.Detect(over.luma.data(), 1280, 1280, 720));
  EXPECT_EQ(detector.pictures_analysed(), 253u);

  // Pictures smaller than the grid are not analysed at all.
  EXPECT_FALSE(detector.Detect(still.luma.data(), 79, 79, 720));
  EXPECT_EQ(detector.pictures_analysed(), 253u);
}

TEST(MotionDetectorTest, ZonesAndSensitivity) {
  MotionDetector detector;
  detector.Configure(Sensitivity::kHigh, AllZones(false));
  EXPECT_EQ(detector.enabled_cells(), 0u);
  EXPECT_EQ(detector.cell_threshold(), 3072u);
  detector.Reset();
  Picture a(1280, 720, 0), b(1280, 720, 255);
  for (int i = 0; i < 30; ++i) EXPECT_FALSE(detector.Detect((i % 2 ? a : b).luma.data(), 1280, 1280, 720));
  EXPECT_EQ(detector.last_fraction(), 0.0);

  // Zone (row 1, column 2) covers cells rows 5..9, columns 10..14.
  std::array<bool, kZoneCount> zones{};
  zones[1 * 16 + 2] = true;
  detector.Configure(Sensitivity::kLow, zones);
  EXPECT_EQ(detector.enabled_cells(), 25u);
  EXPECT_EQ(detector.cell_threshold(), 6144u);
  detector.Reset();
  Picture base(1280, 720, 50), outside(1280, 720, 50), inside(1280, 720, 50);
  for (int c = 0; c < 80; ++c) outside.FillCell(20, c, 200);
  inside.FillCell(7, 12, 200);
  for (int i = 0; i < 20; ++i) detector.Detect(base.luma.data(), 1280, 1280, 720);
  detector.Detect(outside.luma.data(), 1280, 1280, 720);
  EXPECT_EQ(detector.last_fraction(), 0.0);
  detector.Detect(inside.luma.data(), 1280, 1280, 720);
  EXPECT_DOUBLE_EQ(detector.last_fraction(), 1.0 / 25.0);
}

}  // namespace
}  // namespace vistrel
