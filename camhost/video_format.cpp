#include "camhost/video_format.h"

#include "camhost/pixel_convert.h"

namespace vistrel {
namespace {

constexpr uint32_t kW = kSinkWidth;
constexpr uint32_t kH = kSinkHeight;

}  // namespace

const char* VideoFormatName(VideoFormat format) {
  switch (format) {
    case VideoFormat::kNv12:
      return "NV12";
    case VideoFormat::kI420:
      return "I420";
    case VideoFormat::kYuy2:
      return "YUY2";
  }
  return "?";
}

std::optional<VideoLayout> ChooseLayout(const AskedFormat& asked, std::string& why) {
  why.clear();
  if (!asked.format) {
    why = "a pixel format other than NV12, I420 or YUY2";
  } else if (asked.width != kW || asked.height != kH) {
    why = std::to_string(asked.width) + "x" + std::to_string(asked.height) + " instead of 1280x720";
  } else if (static_cast<uint64_t>(asked.rate_num) * kSinkRateDen !=
                 static_cast<uint64_t>(kSinkRateNum) * asked.rate_den ||
             asked.rate_den == 0) {
    why = std::to_string(asked.rate_num) + "/" + std::to_string(asked.rate_den) +
          " frames per second instead of 30/1";
  }
  if (!why.empty()) return std::nullopt;
  VideoLayout layout;
  layout.format = *asked.format;
  if (layout.format == VideoFormat::kYuy2) {
    layout.stride = kW * 2;
    layout.size = kW * 2 * kH;
  } else {
    layout.stride = kW;
    layout.size = kW * kH * 3 / 2;
  }
  return layout;
}

bool WritePicture(const VideoLayout& layout, const Nv12View& picture, uint8_t* out,
                  size_t capacity) {
  if (!out || capacity < layout.size || picture.width != kSinkWidth ||
      picture.height != kSinkHeight) {
    return false;
  }
  switch (layout.format) {
    case VideoFormat::kNv12: {
      const size_t pitch = static_cast<size_t>(picture.pitch);
      CopyPlane(picture.luma, pitch, out, kW, kW, kH);
      CopyPlane(picture.chroma, pitch, out + size_t{kW} * kH, kW, kW, kH / 2);
      break;
    }
    case VideoFormat::kI420:
      Nv12ToI420(picture, kSinkWidth, kSinkHeight, out);
      break;
    case VideoFormat::kYuy2:
      Nv12ToYuyv(picture, kSinkWidth, kSinkHeight, out);
      break;
  }
  return true;
}

}  // namespace vistrel
