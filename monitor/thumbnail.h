// The 320 × 180 JPEG beside each clip, from the first picture decoded after
// the clip started.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "video/nv12_view.h"

namespace vistrel {

inline constexpr int kThumbnailWidth = 320;
inline constexpr int kThumbnailHeight = 180;

// The clip's path with ".mp4" replaced by ".jpg".
std::filesystem::path ThumbnailPathFor(const std::filesystem::path& clip);

// Nearest-neighbour samples of the picture as 8-bit blue, green, red, 960
// bytes a row, with limited-range BT.709 in 8.8 fixed point.
std::vector<uint8_t> ThumbnailPixels(const Nv12View& picture);

// Encodes the thumbnail at quality 80 and writes it; on failure no file is
// left at `path`.
bool WriteThumbnail(const std::filesystem::path& path, const Nv12View& picture);

}  // namespace vistrel
