// Every letterbox path against the per-pixel formula, byte for byte, on
// picture sizes the simulator cannot make: tiny, odd, portrait, up to 4K.
#include "video/exchange/letterbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace vistrel {
namespace {

constexpr int kW = 1280;
constexpr int kH = 720;

// The straightforward formula, one division per output pixel.
void ScaleLetterboxReference(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane) {
  const int64_t stride = picture.pitch;
  const int width = picture.width;
  const int height = picture.height;
  const LetterboxFit fit = FitLetterbox(width, height);
  std::memset(y_plane, 16, size_t{kW} * kH);
  std::memset(uv_plane, 128, size_t{kW} * kH / 2);
  if (fit.width <= 0 || fit.height <= 0) return;
  for (int r = 0; r < fit.height; ++r) {
    const uint8_t* source = picture.luma + int64_t{r} * height / fit.height * stride;
    uint8_t* out = y_plane + size_t(fit.top + r) * kW + fit.left;
    for (int c = 0; c < fit.width; ++c) out[c] = source[int64_t{c} * width / fit.width];
  }
  const int chroma_rows = (height + 1) / 2;
  for (int r = 0; r < fit.height / 2; ++r) {
    const int64_t source_row = std::min<int64_t>(int64_t{r} * height / fit.height, chroma_rows - 1);
    const uint8_t* source = picture.chroma + source_row * stride;
    uint8_t* out = uv_plane + size_t(fit.top / 2 + r) * kW + fit.left;
    for (int c = 0; c < fit.width / 2; ++c) {
      const int64_t pair = int64_t{c} * width / fit.width;
      out[2 * c] = source[2 * pair];
      out[2 * c + 1] = source[2 * pair + 1];
    }
  }
}

// Random planes that end exactly with their last row, so a read past it
// shows under the address sanitizer; the planar copy holds the same chroma.
struct Source {
  Source(int w, int h, std::mt19937& random)
      : width(w),
        height(h),
        pitch(2 * ((w + 1) / 2) + w % 3),
        chroma_width((w + 1) / 2),
        chroma_rows((h + 1) / 2),
        chroma_pitch(chroma_width + 1) {
    luma.resize(size_t(pitch) * (h - 1) + size_t(w));
    chroma.resize(size_t(pitch) * (chroma_rows - 1) + 2 * size_t(chroma_width));
    u.resize(size_t(chroma_pitch) * (chroma_rows - 1) + size_t(chroma_width));
    v.resize(u.size());
    for (auto& b : luma) b = uint8_t(random());
    for (int r = 0; r < chroma_rows; ++r) {
      for (int c = 0; c < chroma_width; ++c) {
        u[size_t(r) * chroma_pitch + c] = chroma[size_t(r) * pitch + 2 * c] = uint8_t(random());
        v[size_t(r) * chroma_pitch + c] = chroma[size_t(r) * pitch + 2 * c + 1] = uint8_t(random());
      }
    }
  }
  Nv12View Nv12() const { return {luma.data(), chroma.data(), pitch, width, height}; }
  Yuv420View Planar() const {
    return {luma.data(), u.data(), v.data(), pitch, chroma_pitch, width, height};
  }
  int width, height, pitch, chroma_width, chroma_rows, chroma_pitch;
  std::vector<uint8_t> luma, chroma, u, v;
};

TEST(LetterboxExact, EveryPathGivesTheFormulasBytesAtEverySize) {
  const struct {
    int w, h;
  } sizes[] = {{2, 2},       {1, 1},       {3, 5},       {17, 9},     {641, 479},
               {720, 1280},  {1080, 1920}, {1279, 719},  {1281, 721}, {1280, 720},
               {1919, 1081}, {1920, 1080}, {4000, 3},    {3, 4000},   {101, 700},
               {2304, 4096}, {4095, 2303}, {4096, 2304}, {1920, 1080}};
  std::vector<SimdLevel> levels = {SimdLevel::kScalar};
  if (BestSimdLevel() >= SimdLevel::kSsse3) levels.push_back(SimdLevel::kSsse3);
  // Kept across sizes, so a size change must rebuild the maps.
  std::vector<Letterbox> nv12_paths(levels.begin(), levels.end());
  std::vector<Letterbox> planar_paths(levels.begin(), levels.end());
  std::mt19937 random(13);
  std::vector<uint8_t> want_y(size_t{kW} * kH), want_uv(size_t{kW} * kH / 2);
  std::vector<uint8_t> y(want_y.size()), uv(want_uv.size());
  for (const auto& size : sizes) {
    const Source source(size.w, size.h, random);
    ScaleLetterboxReference(source.Nv12(), want_y.data(), want_uv.data());
    auto check = [&](const char* path, size_t level) {
      EXPECT_TRUE(y == want_y) << path << " luma, level " << level << ", " << size.w << "x"
                               << size.h;
      EXPECT_TRUE(uv == want_uv) << path << " chroma, level " << level << ", " << size.w << "x"
                                 << size.h;
      std::fill(y.begin(), y.end(), 0xEE);  // so that a skipped bar shows next time
      std::fill(uv.begin(), uv.end(), 0xEE);
    };
    for (size_t i = 0; i < levels.size(); ++i) {
      nv12_paths[i].Scale(source.Nv12(), y.data(), uv.data());
      check("NV12", i);
      planar_paths[i].Scale(source.Planar(), y.data(), uv.data());
      check("planar", i);
    }
    ScaleLetterbox(source.Nv12(), y.data(), uv.data());
    check("one-off", 0);
  }
}

}  // namespace
}  // namespace vistrel
