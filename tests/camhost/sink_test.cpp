#include "camhost/sink.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <png.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "camhost/pixel_convert.h"
#include "camhost/v4l2_io.h"
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
      {"v4l2:/dev/null:yuyv", false, "/dev/null is not a video device"},
      {"v4l2:/dev/null:mjpg", false, "the format is nv12 or yuyv"},
      {"v4l2:rgb", false, "the format is nv12 or yuyv"},
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

// A v4l2loopback device as its documentation describes it, loaded with
// exclusive_caps=1 and written before: it announces capture only, yet takes
// a new writer's output format and frame rate, and tells subscribers how many
// readers have it open whenever one opens or closes it.
class FakeLoopback final : public V4l2Io {
 public:
  struct State {
    bool takes_nv12 = true;
    bool reports_readers = true;
    uint32_t format = 0;
    v4l2_fract timeperframe{};
    uint32_t readers = 0;
    std::deque<uint32_t> events;
    std::vector<size_t> writes;
    bool subscribed = false;

    void Reader(bool opens) {
      readers += opens ? 1 : uint32_t(-1);
      if (subscribed) events.push_back(readers);
    }
  };
  explicit FakeLoopback(State& state) : state_(state) {}

  int Ioctl(unsigned long request, void* argument) override {
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto& caps = *static_cast<v4l2_capability*>(argument);
        caps.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
        caps.capabilities = caps.device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
      }
      case VIDIOC_S_FMT: {
        auto& format = *static_cast<v4l2_format*>(argument);
        const uint32_t fourcc = format.fmt.pix.pixelformat;
        if (format.type != V4L2_BUF_TYPE_VIDEO_OUTPUT ||
            (fourcc == V4L2_PIX_FMT_NV12 && !state_.takes_nv12)) {
          return Fail(EINVAL);
        }
        state_.format = fourcc;
        return 0;
      }
      case VIDIOC_S_PARM: {
        auto& parameters = *static_cast<v4l2_streamparm*>(argument);
        if (parameters.type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return Fail(EINVAL);
        state_.timeperframe = parameters.parm.output.timeperframe;
        return 0;
      }
      case VIDIOC_SUBSCRIBE_EVENT: {
        auto& subscription = *static_cast<v4l2_event_subscription*>(argument);
        if (!state_.reports_readers || subscription.type != kV4l2EventClientUsage) {
          return Fail(EINVAL);
        }
        state_.subscribed = true;
        return 0;
      }
      case VIDIOC_DQEVENT: {
        if (state_.events.empty()) return Fail(ENOENT);
        auto& event = *static_cast<v4l2_event*>(argument);
        event = {};
        event.type = kV4l2EventClientUsage;
        std::memcpy(event.u.data, &state_.events.front(), sizeof(uint32_t));
        state_.events.pop_front();
        return 0;
      }
      default:
        return Fail(ENOTTY);
    }
  }
  ssize_t Write(const void*, size_t size) override {
    state_.writes.push_back(size);
    return static_cast<ssize_t>(size);
  }
  bool AwaitEvent(int) override { return !state_.events.empty(); }

 private:
  static int Fail(int error) {
    errno = error;
    return -1;
  }
  State& state_;
};

TEST(V4l2Sink, ACaptureOnlyLoopbackTakesPicturesAt30PerSecondWhileAppsRead) {
  FakeLoopback::State device;
  std::string error;
  ScopedLogCapture log;
  auto sink = OpenV4l2Sink(std::make_unique<FakeLoopback>(device), "/dev/video7",
                           V4l2Format::kAny, error);
  ASSERT_NE(sink, nullptr) << error;
  EXPECT_EQ(sink->Describe(), "v4l2:/dev/video7 (NV12)");
  EXPECT_EQ(device.format, V4L2_PIX_FMT_NV12);
  EXPECT_EQ(device.timeperframe.numerator, 1u);
  EXPECT_EQ(device.timeperframe.denominator, 30u);

  // No word from the module yet: an app may already read.
  EXPECT_TRUE(sink->Wanted());
  device.Reader(true);
  ASSERT_TRUE(sink->Write(TestPicture(1).View(), 0));
  EXPECT_EQ(device.writes, std::vector<size_t>{size_t(kW) * kH * 3 / 2});
  device.Reader(false);
  ASSERT_TRUE(sink->Write(TestPicture(2).View(), 0));
  EXPECT_FALSE(sink->Wanted());
  sink->AwaitWanted(10);
  EXPECT_FALSE(sink->Wanted());
  device.Reader(true);
  sink->AwaitWanted(10);
  EXPECT_TRUE(sink->Wanted());
  EXPECT_EQ(log.Text(),
            "[camhost] no app has /dev/video7 open; pulling no samples\n"
            "[camhost] an app opened /dev/video7\n");
}

TEST(V4l2Sink, FormatsTheUserOrTheDeviceChoosesAndDevicesThatTakeNothing) {
  {  // YUYV on request, for apps that read nothing else.
    FakeLoopback::State device;
    std::string error;
    auto sink = OpenV4l2Sink(std::make_unique<FakeLoopback>(device), "/dev/video7",
                             V4l2Format::kYuyv, error);
    ASSERT_NE(sink, nullptr) << error;
    EXPECT_EQ(device.format, V4L2_PIX_FMT_YUYV);
    ASSERT_TRUE(sink->Write(TestPicture(1).View(), 0));
    EXPECT_EQ(device.writes, std::vector<size_t>{size_t(kW) * kH * 2});
  }
  {  // A device without NV12: YUYV when nothing was asked, a refusal for NV12.
    FakeLoopback::State device;
    device.takes_nv12 = false;
    std::string error;
    auto sink = OpenV4l2Sink(std::make_unique<FakeLoopback>(device), "/dev/video7",
                             V4l2Format::kAny, error);
    ASSERT_NE(sink, nullptr) << error;
    EXPECT_EQ(sink->Describe(), "v4l2:/dev/video7 (YUYV)");
    EXPECT_EQ(OpenV4l2Sink(std::make_unique<FakeLoopback>(device), "/dev/video7",
                           V4l2Format::kNv12, error),
              nullptr);
    EXPECT_EQ(error, "/dev/video7 takes no written NV12 pictures at 1280x720 (is it a "
                     "v4l2loopback device?)");
  }
  {  // A module that does not report its readers: pictures all the time.
    FakeLoopback::State device;
    device.reports_readers = false;
    std::string error;
    ScopedLogCapture log;
    auto sink = OpenV4l2Sink(std::make_unique<FakeLoopback>(device), "/dev/video7",
                             V4l2Format::kAny, error);
    ASSERT_NE(sink, nullptr) << error;
    EXPECT_TRUE(sink->Wanted());
    EXPECT_TRUE(log.Contains(
        "[camhost] /dev/video7 does not report its readers; pulling samples all the time\n"));
  }
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
