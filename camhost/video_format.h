// What the PipeWire sink offers camera apps and how it fills their buffers,
// kept apart from the library so that the choice and the byte layouts can be
// checked without a daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "camhost/sink.h"

namespace vistrel {

// The layouts a consumer may ask for; NV12 is the camera's own and the first
// offered, the others are converted in the host.
enum class VideoFormat { kNv12, kI420, kYuy2 };

// A consumer's fixed format as it arrived: `format` is empty for a format we
// do not know.
struct AskedFormat {
  std::optional<VideoFormat> format;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t rate_num = 0;
  uint32_t rate_den = 0;
};

// One picture in a consumer's buffer: the row stride of the first plane and
// the bytes the whole picture takes.
struct VideoLayout {
  VideoFormat format = VideoFormat::kNv12;
  uint32_t stride = 0;
  uint32_t size = 0;
};

inline constexpr uint32_t kSinkRateNum = 30;
inline constexpr uint32_t kSinkRateDen = 1;

// The layout for what the consumer asked, or nothing with the reason in
// `why` when it asked for another size, rate or format than we offer.
std::optional<VideoLayout> ChooseLayout(const AskedFormat& asked, std::string& why);

// Writes `picture` into a consumer's buffer of `capacity` bytes; false, with
// nothing written, when the buffer cannot hold the layout.
[[nodiscard]] bool WritePicture(const VideoLayout& layout, const Nv12View& picture, uint8_t* out,
                                size_t capacity);

const char* VideoFormatName(VideoFormat format);

}  // namespace vistrel
