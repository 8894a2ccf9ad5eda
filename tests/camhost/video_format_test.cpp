#include "camhost/video_format.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>


namespace vistrel {
namespace {

constexpr int kW = kSinkWidth;
constexpr int kH = kSinkHeight;
constexpr int kPitch = 1344;

// Random bytes in planes with a wide pitch, the chroma plane elsewhere.
struct RandomPicture {
  explicit RandomPicture(uint32_t seed) : y(size_t{kPitch} * kH), uv(size_t{kPitch} * kH / 2) {
    std::mt19937 random(seed);
    for (auto& b : y) b = static_cast<uint8_t>(random());
    for (auto& b : uv) b = static_cast<uint8_t>(random());
  }
  Nv12View View() const { return {y.data(), uv.data(), kPitch, kW, kH}; }
  uint8_t Y(int r, int c) const { return y[size_t(r) * kPitch + c]; }
  uint8_t U(int r, int c) const { return uv[size_t(r / 2) * kPitch + (c / 2) * 2]; }
  uint8_t V(int r, int c) const { return uv[size_t(r / 2) * kPitch + (c / 2) * 2 + 1]; }
  std::vector<uint8_t> y, uv;
};

// The layouts written out pixel by pixel from their definitions.
std::vector<uint8_t> Reference(VideoFormat format, const RandomPicture& p) {
  std::vector<uint8_t> out;
  if (format == VideoFormat::kYuy2) {
    for (int r = 0; r < kH; ++r) {
      for (int c = 0; c < kW; c += 2) {
        out.insert(out.end(), {p.Y(r, c), p.U(r, c), p.Y(r, c + 1), p.V(r, c)});
      }
    }
    return out;
  }
  for (int r = 0; r < kH; ++r) {
    for (int c = 0; c < kW; ++c) out.push_back(p.Y(r, c));
  }
  if (format == VideoFormat::kNv12) {
    for (int r = 0; r < kH; r += 2) {
      for (int c = 0; c < kW; c += 2) out.insert(out.end(), {p.U(r, c), p.V(r, c)});
    }
  } else {
    for (int r = 0; r < kH; r += 2) {
      for (int c = 0; c < kW; c += 2) out.push_back(p.U(r, c));
    }
    for (int r = 0; r < kH; r += 2) {
      for (int c = 0; c < kW; c += 2) out.push_back(p.V(r, c));
    }
  }
  return out;
}

TEST(VideoFormat, ServesOnlyWhatItOffers) {
  std::string why;
  const auto nv12 = ChooseLayout({VideoFormat::kNv12, 1280, 720, 30, 1}, why);
  ASSERT_TRUE(nv12);
  EXPECT_EQ(nv12->stride, 1280u);
  EXPECT_EQ(nv12->size, 1382400u);
  EXPECT_EQ(why, "");
  const auto i420 = ChooseLayout({VideoFormat::kI420, 1280, 720, 60, 2}, why);
  ASSERT_TRUE(i420);
  EXPECT_EQ(i420->format, VideoFormat::kI420);
  EXPECT_EQ(i420->size, 1382400u);
  const auto yuy2 = ChooseLayout({VideoFormat::kYuy2, 1280, 720, 30, 1}, why);
  ASSERT_TRUE(yuy2);
  EXPECT_EQ(yuy2->stride, 2560u);
  EXPECT_EQ(yuy2->size, 1843200u);

  const struct {
    AskedFormat asked;
    const char* why;
  } refused[] = {
      {{std::nullopt, 1280, 720, 30, 1}, "a pixel format other than NV12, I420 or YUY2"},
      {{VideoFormat::kNv12, 1920, 1080, 30, 1}, "1920x1080 instead of 1280x720"},
      {{VideoFormat::kNv12, 1280, 720, 15, 1}, "15/1 frames per second instead of 30/1"},
      {{VideoFormat::kNv12, 1280, 720, 0, 0}, "0/0 frames per second instead of 30/1"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(ChooseLayout(c.asked, why));
    EXPECT_EQ(why, c.why);
  }
}

TEST(VideoFormat, PicturesAreByteExactInEveryLayoutAndNeverOverrunABuffer) {
  const RandomPicture picture(7);
  std::string why;
  for (VideoFormat format : {VideoFormat::kNv12, VideoFormat::kI420, VideoFormat::kYuy2}) {
    const VideoLayout layout = *ChooseLayout({format, 1280, 720, 30, 1}, why);
    const std::vector<uint8_t> expected = Reference(format, picture);
    ASSERT_EQ(expected.size(), layout.size);
    std::vector<uint8_t> out(layout.size + 16, 0xA5);
    ASSERT_TRUE(WritePicture(layout, picture.View(), out.data(), out.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()))
        << VideoFormatName(format);
    EXPECT_EQ(out[layout.size], 0xA5);

    // A consumer's buffer one byte short is left as it was.
    std::vector<uint8_t> small(layout.size - 1, 0x5A);
    EXPECT_FALSE(WritePicture(layout, picture.View(), small.data(), small.size()));
    EXPECT_EQ(std::count(small.begin(), small.end(), 0x5A), static_cast<long>(small.size()));
    EXPECT_FALSE(WritePicture(layout, picture.View(), nullptr, layout.size));
  }
}

}  // namespace
}  // namespace vistrel
