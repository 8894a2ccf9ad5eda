#include "tools/phone/frame_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vistrel::phone {
namespace {

struct Picture {
  int width;
  int height;
  std::vector<uint8_t> y, u, v;
};

Picture Draw(uint32_t number, int width, int height) {
  Picture p{width, height, {}, {}, {}};
  const int cw = (width + 1) / 2;
  const int ch = (height + 1) / 2;
  p.y.resize(static_cast<size_t>(width) * height);
  p.u.resize(static_cast<size_t>(cw) * ch);
  p.v.resize(static_cast<size_t>(cw) * ch);
  DrawTestPicture(number, p.y.data(), width, p.u.data(), cw, p.v.data(), cw, width, height);
  return p;
}

// Box-filter downscale of the luma plane into a box of box_w x box_h inside a
// black canvas (letterbox), as a viewer or the camera path would show it.
std::vector<uint8_t> Letterbox(const Picture& p, int canvas_w, int canvas_h, int box_x, int box_y,
                               int box_w, int box_h) {
  std::vector<uint8_t> canvas(static_cast<size_t>(canvas_w) * canvas_h, 0);
  for (int y = 0; y < box_h; ++y) {
    const int sy0 = y * p.height / box_h;
    const int sy1 = std::max(sy0 + 1, (y + 1) * p.height / box_h);
    for (int x = 0; x < box_w; ++x) {
      const int sx0 = x * p.width / box_w;
      const int sx1 = std::max(sx0 + 1, (x + 1) * p.width / box_w);
      int sum = 0;
      for (int sy = sy0; sy < sy1; ++sy) {
        for (int sx = sx0; sx < sx1; ++sx) sum += p.y[static_cast<size_t>(sy) * p.width + sx];
      }
      canvas[static_cast<size_t>(box_y + y) * canvas_w + box_x + x] =
          static_cast<uint8_t>(sum / ((sy1 - sy0) * (sx1 - sx0)));
    }
  }
  return canvas;
}

TEST(FramePatternTest, RoundTripAtSeveralSizes) {
  const int sizes[][2] = {{1280, 720}, {1920, 1080}, {720, 1280}, {640, 360}, {176, 144}};
  const uint32_t numbers[] = {0, 1, 2, 0x5555, 0xAAAA, 0xFFFF, 12345};
  for (const auto& size : sizes) {
    for (uint32_t number : numbers) {
      const Picture p = Draw(number, size[0], size[1]);
      EXPECT_EQ(ReadFrameNumber(p.y.data(), p.width, p.width, p.height), number)
          << size[0] << "x" << size[1] << " #" << number;
    }
  }
}

TEST(FramePatternTest, NumbersAreCarriedModulo65536) {
  const Picture p = Draw(65536 + 77, 320, 240);
  EXPECT_EQ(ReadFrameNumber(p.y.data(), p.width, p.width, p.height), 77u);
}

TEST(FramePatternTest, ReadsFromALetterboxedDownscaledCopy) {
  // 1280x720 shown in a 4:3 canvas: 427x240 box, 60 rows of black above.
  for (uint32_t number : {3u, 0x1234u, 0xFFFEu}) {
    const Picture p = Draw(number, 1280, 720);
    const int canvas_w = 427, canvas_h = 320, box_y = 40, box_w = 427, box_h = 240;
    const std::vector<uint8_t> canvas = Letterbox(p, canvas_w, canvas_h, 0, box_y, box_w, box_h);
    EXPECT_EQ(ReadFrameNumber(canvas.data() + static_cast<size_t>(box_y) * canvas_w, canvas_w,
                              box_w, box_h),
              number);
    // A pillarbox on the side works the same way.
    const std::vector<uint8_t> side = Letterbox(p, 500, 180, 90, 0, 320, 180);
    EXPECT_EQ(ReadFrameNumber(side.data() + 90, 500, 320, 180), number);
  }
}

TEST(FramePatternTest, RejectsPicturesWithoutThePattern) {
  std::vector<uint8_t> black(320 * 240, 0);
  std::vector<uint8_t> white(320 * 240, 255);
  EXPECT_FALSE(ReadFrameNumber(black.data(), 320, 320, 240).has_value());
  EXPECT_FALSE(ReadFrameNumber(white.data(), 320, 320, 240).has_value());
  // A flipped bit breaks the parity.
  Picture p = Draw(0x0F0F, 440, 440);
  const int block = 440 / 22;
  for (int y = 0; y < block; ++y) {
    for (int x = 5 * block; x < 6 * block; ++x) p.y[static_cast<size_t>(y) * 440 + x] ^= 0xFF;
  }
  EXPECT_FALSE(ReadFrameNumber(p.y.data(), 440, 440, 440).has_value());
  EXPECT_FALSE(ReadFrameNumber(p.y.data(), 440, 10, 10).has_value());
  EXPECT_FALSE(ReadFrameNumber(nullptr, 440, 440, 440).has_value());
}

}  // namespace
}  // namespace vistrel::phone
