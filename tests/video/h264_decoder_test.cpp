#include "video/h264_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/log.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/h264_source.h"

namespace vistrel {
namespace {

using phone::AccessUnit;
using phone::H264Source;

// What the callback saw during one Decode call.
struct Delivery {
  int calls = 0;
  int stride = 0;
  int width = 0;
  int height = 0;
  std::optional<uint32_t> frame_number;
  std::vector<uint8_t> luma;    // width x height, packed
  std::vector<uint8_t> chroma;  // NV12 pairs, packed rows of 2 * ((width + 1) / 2)
};

FrameCallback Recorder(Delivery& d) {
  return [&d](const Nv12View& picture) {
    const uint8_t* luma = picture.luma;
    const uint8_t* chroma = picture.chroma;
    const int stride = picture.pitch, width = picture.width, height = picture.height;
    ++d.calls;
    d.stride = stride;
    d.width = width;
    d.height = height;
    d.frame_number = phone::ReadFrameNumber(luma, stride, width, height);
    const int chroma_row = 2 * ((width + 1) / 2);
    d.luma.resize(static_cast<size_t>(width) * height);
    d.chroma.resize(static_cast<size_t>(chroma_row) * ((height + 1) / 2));
    for (int y = 0; y < height; ++y) {
      std::copy_n(luma + static_cast<size_t>(y) * stride, width, d.luma.data() + y * width);
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
      std::copy_n(chroma + static_cast<size_t>(y) * stride, chroma_row,
                  d.chroma.data() + y * chroma_row);
    }
  };
}

Delivery DecodeOne(H264Decoder& decoder, const AccessUnit& unit, int32_t* result = nullptr) {
  Delivery d;
  const int32_t r =
      decoder.Decode(unit.bytes.data(), unit.bytes.size(), unit.pts_us * 10, Recorder(d));
  if (result != nullptr) *result = r;
  return d;
}

AccessUnit Next(H264Source& source) {
  AccessUnit unit;
  EXPECT_TRUE(source.NextAccessUnit(unit));
  return unit;
}

// Mean absolute difference of the decoded picture against the source's own
// drawing of that frame, for luma and for the interleaved chroma.
struct Error {
  double luma = 0;
  double chroma = 0;
};

Error CompareWithSource(const Delivery& d, uint32_t frame_number) {
  const int w = d.width, h = d.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(static_cast<size_t>(cw) * ch),
      v(static_cast<size_t>(cw) * ch);
  phone::DrawTestPicture(frame_number, y.data(), w, u.data(), cw, v.data(), cw, w, h);
  Error e;
  for (size_t i = 0; i < y.size(); ++i) e.luma += std::abs(int{y[i]} - int{d.luma[i]});
  e.luma /= static_cast<double>(y.size());
  for (size_t i = 0; i < u.size(); ++i) {
    e.chroma += std::abs(int{u[i]} - int{d.chroma[2 * i]});
    e.chroma += std::abs(int{v[i]} - int{d.chroma[2 * i + 1]});
  }
  e.chroma /= static_cast<double>(2 * u.size());
  return e;
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

class H264DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(decoder_.Initialize(), 0); }
  H264Decoder decoder_;
};

TEST_F(H264DecoderTest, EachUnitYieldsItsPictureInTheSameCallInOrder) {
  ScopedLogCapture log;
  auto source = H264Source::Create(1280, 720, 30);
  ASSERT_NE(source, nullptr);
  for (uint32_t i = 0; i < 40; ++i) {
    const AccessUnit unit = Next(*source);
    ASSERT_EQ(unit.frame_number, i);
    int32_t result = -1;
    const Delivery d = DecodeOne(decoder_, unit, &result);
    ASSERT_EQ(result, 0) << "unit " << i;
    ASSERT_EQ(d.calls, 1) << "unit " << i;
    EXPECT_EQ(d.width, 1280);
    EXPECT_EQ(d.height, 720);
    EXPECT_GE(d.stride, 1280);
    EXPECT_EQ(d.frame_number, i);
    if (i % 13 == 0) {
      const Error e = CompareWithSource(d, i);
      EXPECT_LT(e.luma, 6.0) << "unit " << i;
      EXPECT_LT(e.chroma, 6.0) << "unit " << i;
    }
  }
  EXPECT_EQ(CountOccurrences(log.Text(), "[decoder] output NV12"), 1u);
  EXPECT_TRUE(log.Contains("[decoder] output NV12 1280x720 (display 1280x720)\n"));
}

TEST_F(H264DecoderTest, SizeChangesMidStreamAreLoggedAndDeliveredAtOnce) {
  ScopedLogCapture log;
  struct Step {
    int width, height;
    const char* line;
  };
  const Step steps[] = {
      {1280, 720, "[decoder] output NV12 1280x720 (display 1280x720)\n"},
      {1920, 1080, "[decoder] output NV12 1920x1088 (display 1920x1080)\n"},
      {720, 1280, "[decoder] output NV12 720x1280 (display 720x1280)\n"},
      {1280, 720, "[decoder] output NV12 1280x720 (display 1280x720)\n"},
  };
  size_t lines = 0;
  for (const Step& step : steps) {
    auto source = H264Source::Create(step.width, step.height, 30);
    ASSERT_NE(source, nullptr);
    for (uint32_t i = 0; i < 3; ++i) {
      const AccessUnit unit = Next(*source);
      int32_t result = -1;
      const Delivery d = DecodeOne(decoder_, unit, &result);
      ASSERT_EQ(result, 0);
      ASSERT_EQ(d.calls, 1);
      EXPECT_EQ(d.width, step.width);
      EXPECT_EQ(d.height, step.height);
      EXPECT_GE(d.stride, step.width);
      EXPECT_EQ(d.frame_number, i);
      if (i == 0) {
        // The line is there as soon as the first picture of the new size is.
        ++lines;
        EXPECT_EQ(CountOccurrences(log.Text(), "[decoder] output NV12"), lines);
        EXPECT_TRUE(log.Text().ends_with(step.line)) << log.Text();
        EXPECT_LT(CompareWithSource(d, 0).luma, 6.0);
      }
    }
  }
}

TEST_F(H264DecoderTest, SourceMarksIdrUnitsAndRepeatsParameterSets) {
  auto source = H264Source::Create(320, 240, 10);
  ASSERT_NE(source, nullptr);
  for (uint32_t i = 0; i < 45; ++i) {
    if (i == 7) source->RequestKeyframe();
    const AccessUnit unit = Next(*source);
    // On request, and two seconds after the previous IDR.
    const bool expect_key = i == 0 || i == 7 || i == 27;
    EXPECT_EQ(unit.keyframe, expect_key) << "unit " << i;
    EXPECT_EQ(IsKeyframeAccessUnit(unit.bytes.data(), unit.bytes.size(), true), expect_key);
    EXPECT_EQ(unit.pts_us, int64_t{i} * 100'000);
    ASSERT_GE(unit.bytes.size(), 5u);
    EXPECT_EQ(unit.bytes[0], 0);
    EXPECT_EQ(unit.bytes[1], 0);
    if (expect_key) {
      // A decoder that joins here needs nothing from earlier units.
      H264Decoder fresh;
      ASSERT_EQ(fresh.Initialize(), 0);
      const Delivery d = DecodeOne(fresh, unit);
      EXPECT_EQ(d.calls, 1);
      EXPECT_EQ(d.frame_number, i);
    }
  }
}

// The benchmarks' camera stream: High profile at the phone's 6 Mbit/s, and
// every picture still decodes in order with its number readable through the grain.
TEST_F(H264DecoderTest, CameraEncodingIsHighProfileAtThePhonesRate) {
  auto source = H264Source::Create(640, 360, 30, H264Source::Encoding::kCamera);
  ASSERT_NE(source, nullptr);
  size_t bytes = 0;
  for (uint32_t i = 0; i < 60; ++i) {
    const AccessUnit unit = Next(*source);
    bytes += unit.bytes.size();
    if (i == 0) {
      const uint8_t sps[] = {0, 0, 1, 0x67};
      const auto at = std::search(unit.bytes.begin(), unit.bytes.end(), sps, sps + 4);
      ASSERT_LT(at + 4, unit.bytes.end());
      EXPECT_EQ(at[4], 100) << "profile_idc";
    }
    const Delivery d = DecodeOne(decoder_, unit);
    ASSERT_EQ(d.calls, 1) << "unit " << i;
    EXPECT_EQ(d.frame_number, i);
  }
  const double bits_per_second = static_cast<double>(bytes) * 8 / 2;
  EXPECT_GT(bits_per_second, 4.5e6);
  EXPECT_LT(bits_per_second, 7.5e6);
}

TEST_F(H264DecoderTest, FlushRestartsCleanlyAtTheNextKeyframe) {
  auto source = H264Source::Create(640, 360, 30);
  ASSERT_NE(source, nullptr);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(DecodeOne(decoder_, Next(*source)).calls, 1);
  decoder_.Flush();
  // A unit that refers to pictures the flush dropped: whatever comes out, no
  // crash, and no picture from before the flush.
  const Delivery orphan = DecodeOne(decoder_, Next(*source));
  if (orphan.calls > 0) {
    EXPECT_NE(orphan.frame_number, std::optional<uint32_t>(4));
  }
  source->RequestKeyframe();
  const AccessUnit key = Next(*source);
  ASSERT_TRUE(key.keyframe);
  int32_t result = -1;
  const Delivery d = DecodeOne(decoder_, key, &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(d.calls, 1);
  EXPECT_EQ(d.frame_number, key.frame_number);
  EXPECT_LT(CompareWithSource(d, key.frame_number).luma, 6.0);
  const AccessUnit after = Next(*source);
  EXPECT_EQ(DecodeOne(decoder_, after).frame_number, after.frame_number);
}

TEST_F(H264DecoderTest, CorruptInputNeverCrashesAndTheStreamRecovers) {
  ScopedLogCapture log;
  auto source = H264Source::Create(640, 360, 30);
  ASSERT_NE(source, nullptr);
  const AccessUnit idr = Next(*source);
  const AccessUnit p_frame = Next(*source);

  std::mt19937 random(1234);
  auto random_bytes = [&random](size_t size) {
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  };
  std::vector<std::vector<uint8_t>> inputs;
  for (size_t size : {1u, 3u, 4u, 17u, 1000u, 65536u}) inputs.push_back(random_bytes(size));
  // Start codes with valid-looking NAL headers and garbage after them.
  for (uint8_t header : {0x65, 0x41, 0x67, 0x68, 0x06}) {
    std::vector<uint8_t> bytes = {0, 0, 0, 1, header};
    const std::vector<uint8_t> tail = random_bytes(3000);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    inputs.push_back(bytes);
  }
  // Truncated units, and a unit with its middle overwritten.
  for (size_t cut : {size_t{5}, idr.bytes.size() / 3, idr.bytes.size() / 2, idr.bytes.size() - 1}) {
    inputs.emplace_back(idr.bytes.begin(), idr.bytes.begin() + static_cast<ptrdiff_t>(cut));
  }
  {
    std::vector<uint8_t> damaged = idr.bytes;
    for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 200 && i < damaged.size(); ++i) {
      damaged[i] = static_cast<uint8_t>(random());
    }
    inputs.push_back(damaged);
  }
  // The largest unit the link lets through: random, and a real IDR padded out.
  inputs.push_back(random_bytes(2'097'152));
  {
    std::vector<uint8_t> padded = idr.bytes;
    padded.resize(2'097'152, 0);
    inputs.push_back(padded);
  }
  inputs.push_back(p_frame.bytes);  // after all that, a P picture without its reference

  for (size_t i = 0; i < inputs.size(); ++i) {
    Delivery d;
    const int32_t result = decoder_.Decode(inputs[i].data(), inputs[i].size(), 0, Recorder(d));
    if (result < 0) {
      EXPECT_TRUE(log.Contains("[decoder] ProcessInput failed") ||
                  log.Contains("[decoder] ProcessOutput failed"))
          << "input " << i;
      decoder_.Flush();  // as the session does after a failure
    }
    for (int c = 0; c < d.calls; ++c) {
      EXPECT_GT(d.width, 0);
      EXPECT_GE(d.stride, d.width);
    }
  }

  decoder_.Flush();
  int32_t result = -1;
  const Delivery d = DecodeOne(decoder_, idr, &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(d.calls, 1);
  EXPECT_EQ(d.frame_number, 0u);
  EXPECT_EQ(DecodeOne(decoder_, p_frame).frame_number, 1u);
}

TEST_F(H264DecoderTest, PicturesAboveTheSizeLimitAreRefused) {
  ScopedLogCapture log;
  auto big = H264Source::Create(4096 + 16, 2304, 30);
  ASSERT_NE(big, nullptr);
  int32_t result = 0;
  const Delivery refused = DecodeOne(decoder_, Next(*big), &result);
  EXPECT_LT(result, 0);
  EXPECT_EQ(refused.calls, 0);
  EXPECT_TRUE(log.Contains("[decoder] ProcessInput failed")) << log.Text();

  // The largest allowed size still decodes, after the resynchronisation.
  decoder_.Flush();
  auto largest = H264Source::Create(2304, 4096, 30);
  ASSERT_NE(largest, nullptr);
  const Delivery d = DecodeOne(decoder_, Next(*largest), &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(d.calls, 1);
  EXPECT_EQ(d.width, 2304);
  EXPECT_EQ(d.height, 4096);
  EXPECT_EQ(d.frame_number, 0u);
}

TEST(H264DecoderLifecycleTest, UsableOnlyAfterInitializeAndReinitializable) {
  auto source = H264Source::Create(320, 240, 15);
  ASSERT_NE(source, nullptr);
  const AccessUnit idr = Next(*source);

  H264Decoder decoder;
  Delivery d;
  EXPECT_LT(decoder.Decode(idr.bytes.data(), idr.bytes.size(), 0, Recorder(d)), 0);
  decoder.Flush();  // harmless without a decoder
  EXPECT_EQ(d.calls, 0);

  ASSERT_EQ(decoder.Initialize(), 0);
  // An empty unit is no picture and must not end the stream.
  EXPECT_EQ(decoder.Decode(idr.bytes.data(), 0, 0, Recorder(d)), 0);
  EXPECT_EQ(d.calls, 0);
  EXPECT_EQ(DecodeOne(decoder, idr).frame_number, 0u);

  ScopedLogCapture log;
  ASSERT_EQ(decoder.Initialize(), 0);
  // The output is negotiated at set-up, before any picture, with the hinted size.
  EXPECT_EQ(log.Text(), "[decoder] output NV12 1280x720 (display 1280x720)\n");
  const Delivery again = DecodeOne(decoder, idr);
  EXPECT_EQ(again.calls, 1);
  // A fresh decoder announces its output size again.
  EXPECT_TRUE(log.Contains("[decoder] output NV12 320x240 (display 320x240)\n"));
}

TEST(H264SourceTest, RejectsImpossibleSettings) {
  EXPECT_EQ(H264Source::Create(641, 360, 30), nullptr);
  EXPECT_EQ(H264Source::Create(640, 0, 30), nullptr);
  EXPECT_EQ(H264Source::Create(640, 360, 0), nullptr);
  EXPECT_EQ(H264Source::Create(20000, 360, 30), nullptr);
  EXPECT_NE(H264Source::Create(2, 2, 1), nullptr);
}

}  // namespace
}  // namespace vistrel
