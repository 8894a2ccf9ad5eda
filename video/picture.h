// The one picture format between the phone, the frame exchange and the camera:
// 1280×720 NV12 at 30 pictures a second.
#pragma once

#include <cstdint>

namespace vistrel {

inline constexpr uint32_t kPictureWidth = 1280;
inline constexpr uint32_t kPictureHeight = 720;
// One picture at 30 a second, in 100-nanosecond units.
inline constexpr int64_t kFrameInterval100ns = 333'333;

}  // namespace vistrel
