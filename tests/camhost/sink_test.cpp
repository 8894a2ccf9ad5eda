#include "camhost/sink.h"

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cstdio>
#include <vector>

#include "camhost/pixel_convert.h"
#include "platform/files.h"
#include "platform/log.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr int kW = kSinkWidth;
constexpr int kH = kSinkHeight;
constexpr int kPitch = 1344;  // wider than the picture, as allocator buffers are

// A picture whose every byte says where it is, in a buffer with a wide pitch
// and the UV plane somewhere else.
struct TestPicture {
  explicit TestPicture(uint8_t seed) : y(kPitch * kH, 0xEE), uv(kPitch * kH / 2, 0xEE) {
    for (int r = 0; r < kH; ++r) {
      for (int c = 0; c < kW; ++c) y[r * kPitch + c] = static_cast<uint8_t>(r * 3 + c + seed);
    }
    for (int r = 0; r < kH / 2; ++r) {
      for (int c = 0; c < kW; ++c) uv[r * kPitch + c] = static_cast<uint8_t>(r * 5 + c * 7 + seed);
    }
  }
  Nv12View View() const { return {y.data(), uv.data(), kPitch, kW, kH}; }
  std::vector<uint8_t> y, uv;
};

// Uniform planes, for colour checks.
struct FlatPicture {
  FlatPicture(uint8_t luma, uint8_t u, uint8_t v) : y(kW * kH, luma), uv(kW * kH / 2) {
    for (size_t i = 0; i < uv.size(); i += 2) uv[i] = u, uv[i + 1] = v;
  }
  Nv12View View() const { return {y.data(), uv.data(), kW, kW, kH}; }
  std::vector<uint8_t> y, uv;
};

std::string PlanarBytes(const TestPicture& p) {
  std::string out;
  for (int r = 0; r < kH; ++r) out.append(reinterpret_cast<const char*>(&p.y[r * kPitch]), kW);
  for (int plane = 0; plane < 2; ++plane) {
    for (int r = 0; r < kH / 2; ++r) {
      for (int c = 0; c < kW / 2; ++c) out.push_back(static_cast<char>(p.uv[r * kPitch + 2 * c + plane]));
    }
  }
  return out;
}

TEST(Y4mSink, HeaderAndFramesAreByteExact) {
  test::TempFolder folder;
  std::string error;
  auto sink = OpenSink("y4m:" + (folder / "out.y4m").string(), error);
  ASSERT_NE(sink, nullptr) << error;
  TestPicture first(0), second(100);
  ASSERT_TRUE(sink->Write(first.View(), 0));
  ASSERT_TRUE(sink->Write(second.View(), 0));
  sink.reset();
  const std::string expected = "YUV4MPEG2 W1280 H720 F30:1 Ip A1:1 C420jpeg\nFRAME\n" +
                               PlanarBytes(first) + "FRAME\n" + PlanarBytes(second);
  auto written = ReadFileText(folder / "out.y4m");
  ASSERT_TRUE(written);
  ASSERT_EQ(written->size(), expected.size());
  EXPECT_TRUE(*written == expected);
}

TEST(Y4mSink, FullDiskIsReportedAtOpen) {
  std::string error;
  EXPECT_EQ(OpenSink("y4m:/dev/full", error), nullptr);
  EXPECT_NE(error.find("cannot write to /dev/full"), std::string::npos) << error;
}

// Reads a PNG back with libpng: width, height, colour type and RGB rows.
bool ReadPng(const fs::path& path, int& width, int& height, std::vector<uint8_t>& rgb) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (!setjmp(png_jmpbuf(png))) {
    png_init_io(png, file);
    png_read_info(png, info);
    width = static_cast<int>(png_get_image_width(png, info));
    height = static_cast<int>(png_get_image_height(png, info));
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_RGB && png_get_bit_depth(png, info) == 8) {
      rgb.assign(static_cast<size_t>(width) * height * 3, 0);
      for (int r = 0; r < height; ++r) png_read_row(png, &rgb[static_cast<size_t>(r) * width * 3], nullptr);
      png_read_end(png, nullptr);
      ok = true;
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return ok;
}

TEST(PngSink, EveryNthPictureIsReadableWithItsColours) {
  test::TempFolder folder;
  std::string error;
  auto sink = OpenSink("png:" + (folder / "shots").string() + ":2", error);
  ASSERT_NE(sink, nullptr) << error;
  // BT.601 limited range: white, black, then red.
  const FlatPicture pictures[] = {{235, 128, 128}, {0, 0, 0}, {16, 128, 128}, {0, 0, 0},
                                  {81, 90, 240}};
  for (const FlatPicture& picture : pictures) ASSERT_TRUE(sink->Write(picture.View(), 0));

  const std::vector<std::array<int, 3>> expected = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}};
  for (size_t i = 0; i < expected.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06zu.png", i + 1);
    SCOPED_TRACE(name);
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(ReadPng(folder / "shots" / name, width, height, rgb));
    EXPECT_EQ(width, kW);
    EXPECT_EQ(height, kH);
    for (size_t at : {size_t{0}, rgb.size() / 2 / 3 * 3, rgb.size() - 3}) {
      for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(rgb[at + channel], expected[i][channel], 2);
      }
    }
  }
  EXPECT_FALSE(fs::exists(folder / "shots/frame-000004.png"));
}

TEST(PngSink, VanishedFolderEndsTheSink) {
  test::TempFolder folder;
  std::string error;
  auto sink = OpenPngSink(folder / "shots", 1, error);
  ASSERT_NE(sink, nullptr);
  fs::remove_all(folder / "shots");
  ScopedLogCapture log;
  EXPECT_FALSE(sink->Write(FlatPicture(16, 128, 128).View(), 0));
  EXPECT_TRUE(log.Contains("[camhost] could not write"));
}

TEST(SinkText, ParsesOrExplains) {
  test::TempFolder folder;
  struct Case {
    std::string text;
    bool opens;
    std::string describe_or_error;
  };
  const std::string dir = (folder / "a:b").string();
  const Case cases[] = {
      {"null", true, "null"},
      {"null:x", false, "unknown sink"},
      {"", false, "unknown sink"},
      {"tiff:x", false, "unknown sink"},
      {"y4m", false, "y4m: give a file"},
      {"y4m:", false, "y4m: give a file"},
      {"png:", false, "png: give a folder"},
      {"png:" + dir + ":0", false, "positive count"},
      {"png:" + dir + ":7", true, "png:" + dir + " every 7"},
      {"png:" + dir, true, "png:" + dir + " every 1"},  // "b" is no count
      {"v4l2:", false, "give a device"},
      {"v4l2:/nonexistent/video9", false, "cannot open /nonexistent/video9"},
      {"v4l2:/dev/null", false, "/dev/null is not a video device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    auto sink = OpenSink(c.text, error);
    EXPECT_EQ(sink != nullptr, c.opens);
    if (sink) {
      EXPECT_EQ(sink->Describe(), c.describe_or_error);
    } else {
      EXPECT_NE(error.find(c.describe_or_error), std::string::npos) << error;
    }
  }
  std::string error;
  EXPECT_TRUE(OpenSink("null", error)->Write(FlatPicture(1, 2, 3).View(), 0));
}

TEST(V4l2Device, FoundByCardName) {
  test::TempFolder sysfs;
  const auto add = [&](const std::string& node, const std::string& name) {
    fs::create_directories(sysfs / node);
    ASSERT_TRUE(ReplaceFileContents(sysfs / node / "name", name));
  };
  EXPECT_EQ(FindV4l2Device(sysfs.path()), fs::path());
  add("video0", "Integrated Webcam\n");
  add("video12", "Orlith Cam\n");
  add("video3", "Orlith Cam\n");
  add("video", "Orlith Cam\n");
  add("videoX1", "Orlith Cam\n");
  add("video2", "Orlith Cam 2\n");
  EXPECT_EQ(FindV4l2Device(sysfs.path()), fs::path("/dev/video3"));
  EXPECT_EQ(FindV4l2Device(sysfs / "missing"), fs::path());
}

TEST(PixelConvert, YuyvPairsEachChromaRowWithTwoPictureRows) {
  TestPicture picture(9);
  std::vector<uint8_t> out(kW * kH * 2);
  Nv12ToYuyv(picture.View(), kW, kH, out.data());
  for (int r : {0, 1, 2, 719}) {
    for (int c : {0, 2, 1278}) {
      const uint8_t* px = &out[(r * kW + c) * 2];
      const uint8_t* uv = &picture.uv[(r / 2) * kPitch + c];
      EXPECT_EQ(px[0], picture.y[r * kPitch + c]);
      EXPECT_EQ(px[1], uv[0]);
      EXPECT_EQ(px[2], picture.y[r * kPitch + c + 1]);
      EXPECT_EQ(px[3], uv[1]);
    }
  }
}

}  // namespace
}  // namespace vistrel
