#include "tray/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <utility>

#include "tests/support/temp_folder.h"
#include "tray/tray_app.h"

namespace vistrel::tray {
namespace {

uint32_t PixelOf(const Picture& picture, int x, int y) {
  const unsigned char* data = cairo_image_surface_get_data(picture.get());
  const int stride = cairo_image_surface_get_stride(picture.get());
  return reinterpret_cast<const uint32_t*>(data + y * stride)[x];
}

TEST(TraySnapshot, ConversionSizesColoursAndFreeNames) {
  // 1280×720: black on the left half (Y 16), white on the right (Y 235), neutral chroma.
  const int w = 1280, h = 720;
  Bytes frame(static_cast<size_t>(w * h * 3 / 2), 128);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      frame[static_cast<size_t>(y * w + x)] = x >= w / 2 ? 235 : 16;
    }
  }
  Picture full = Nv12ToRgb(frame, w, h, w, h);
  ASSERT_TRUE(full);
  EXPECT_EQ(cairo_image_surface_get_width(full.get()), 1280);
  EXPECT_EQ(PixelOf(full, 10, 10), 0xFF000000u);
  EXPECT_EQ(PixelOf(full, 1000, 700), 0xFFFFFFFFu);
  frame[static_cast<size_t>(2 * w + 2)] = 235;  // source (2, 2) is target (1, 1) of the preview
  Picture preview = Nv12ToRgb(frame, w, h, 640, 360);
  ASSERT_TRUE(preview);
  EXPECT_EQ(PixelOf(preview, 1, 1), 0xFFFFFFFFu);
  EXPECT_EQ(PixelOf(preview, 2, 1), 0xFF000000u);
  // The halving path matches the plain formula on every pixel of noise, with
  // clamping at both ends and a width that leaves a tail after the SIMD blocks.
  for (const auto& [nw, nh] : {std::pair{1280, 720}, std::pair{1300, 6}}) {
    Bytes noise(static_cast<size_t>(nw * nh * 3 / 2));
    uint32_t seed = 12345;
    for (uint8_t& b : noise) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 23);
    Picture halved = Nv12ToRgb(noise, nw, nh, nw / 2, nh / 2);
    ASSERT_TRUE(halved);
    const auto clamp = [](int value) { return static_cast<uint32_t>(std::clamp(value, 0, 255)); };
    int wrong = 0;
    for (int ty = 0; ty < nh / 2; ++ty) {
      for (int tx = 0; tx < nw / 2; ++tx) {
        const int y = 298 * noise[static_cast<size_t>(2 * ty * nw + 2 * tx)];
        const size_t pair = static_cast<size_t>(nw * nh + ty * nw + 2 * tx);
        const int u = noise[pair], v = noise[pair + 1];
        const uint32_t expected = 0xFF000000u | clamp((y + 459 * v - 63392) >> 8) << 16 |
                                  clamp((y - 55 * u - 136 * v + 19808) >> 8) << 8 |
                                  clamp((y + 541 * u - 73888) >> 8);
        wrong += PixelOf(halved, tx, ty) != expected;
      }
    }
    EXPECT_EQ(wrong, 0) << nw << "x" << nh;

    // The decoder's planes (padded rows, U and V apart) give the same pixels
    // as their NV12, halved or at other sizes.
    const int luma_pitch = nw + 32, chroma_pitch = nw / 2 + 16;
    Bytes luma(size_t(luma_pitch) * nh), u(size_t(chroma_pitch) * nh / 2),
        v(size_t(chroma_pitch) * nh / 2);
    for (int y = 0; y < nh; ++y) {
      std::copy_n(&noise[size_t(y * nw)], nw, &luma[size_t(y * luma_pitch)]);
    }
    for (int y = 0; y < nh / 2; ++y) {
      for (int x = 0; x < nw / 2; ++x) {
        u[size_t(y * chroma_pitch + x)] = noise[size_t(nw * nh + y * nw + 2 * x)];
        v[size_t(y * chroma_pitch + x)] = noise[size_t(nw * nh + y * nw + 2 * x + 1)];
      }
    }
    const PictureView planes{luma.data(), u.data(), v.data(), luma_pitch, chroma_pitch, 1, nw, nh};
    for (const auto& [tw, th] : {std::pair{nw / 2, nh / 2}, std::pair{nw, nh}, std::pair{97, 3}}) {
      Picture from_planes = PictureToRgb(planes, tw, th, nullptr);
      Picture from_nv12 = Nv12ToRgb(noise, nw, nh, tw, th);
      ASSERT_TRUE(from_planes && from_nv12);
      int differ = 0;
      for (int y = 0; y < th; ++y) {
        for (int x = 0; x < tw; ++x) differ += PixelOf(from_planes, x, y) != PixelOf(from_nv12, x, y);
      }
      EXPECT_EQ(differ, 0) << nw << "x" << nh << " to " << tw << "x" << th;
    }
  }
  // Too short a buffer or no size gives nothing.
  EXPECT_FALSE(Nv12ToRgb(Bytes(100), w, h, 640, 360));
  EXPECT_FALSE(Nv12ToRgb(frame, 0, h, 640, 360));

  test::TempFolder folder;
  tm local{};
  local.tm_year = 126;
  local.tm_mon = 11;
  local.tm_mday = 7;
  local.tm_hour = 9;
  local.tm_min = 5;
  local.tm_sec = 3;
  const std::string base = SnapshotBaseName(local);
  EXPECT_EQ(base, "Orlith Cam 2026-12-07 09.05.03");
  const auto target = folder.path() / "Pictures" / "Orlith Cam";
  const time_t now = time(nullptr);
  auto first = SaveSnapshotPng(frame, w, h, target, now);
  auto second = SaveSnapshotPng(frame, w, h, target, now);
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(first->saved && second->saved);
  EXPECT_EQ(second->file_name,
            first->file_name.substr(0, first->file_name.size() - 4) + " (2).png");
  cairo_surface_t* png = cairo_image_surface_create_from_png(second->path.c_str());
  EXPECT_EQ(cairo_image_surface_get_width(png), 1280);
  EXPECT_EQ(cairo_image_surface_get_height(png), 720);
  cairo_surface_destroy(png);
  // A folder that cannot be made: a file stands in its place.
  std::ofstream(folder.path() / "blocked") << "x";
  auto failed = SaveSnapshotPng(frame, w, h, folder.path() / "blocked" / "Orlith Cam", now);
  ASSERT_TRUE(failed);
  EXPECT_FALSE(failed->saved);
}

TEST(TraySnapshot, FlyoutPlacementFollowsTheTaskbar) {
  const PixelRect work{0, 0, 1920, 1040};
  // Bottom taskbar: centred over the icon, clamped 12 inside the work area.
  EXPECT_EQ(PlaceFlyout({1000, 1050, 0, 0}, work, 352, 166, 12), std::make_pair(824, 862));
  EXPECT_EQ(PlaceFlyout({1910, 1050, 0, 0}, work, 352, 166, 12), std::make_pair(1556, 862));
  // Top taskbar.
  EXPECT_EQ(PlaceFlyout({1000, 10, 0, 0}, {0, 30, 1920, 1050}, 352, 166, 12),
            std::make_pair(824, 42));
  // Left taskbar: 12 right of the work area, centred on the icon.
  EXPECT_EQ(PlaceFlyout({20, 500, 0, 0}, {48, 0, 1872, 1080}, 352, 166, 12),
            std::make_pair(60, 417));
  // Right taskbar.
  EXPECT_EQ(PlaceFlyout({1900, 5, 0, 0}, {0, 0, 1872, 1080}, 352, 166, 12),
            std::make_pair(1508, 12));
}

}  // namespace
}  // namespace vistrel::tray
