// The simulator's test picture: a moving gradient with the frame number drawn
// as a row of black and white blocks at the top-left, sized relative to the
// picture so that it survives H.264 and scaling into a letterbox.
#pragma once

#include <cstdint>
#include <optional>

namespace vistrel::phone {

// Frame numbers are carried modulo 2^16.
inline constexpr int kFrameNumberBits = 16;

// Draws picture `frame_number` in planar 4:2:0 (chroma planes (width + 1) / 2
// by (height + 1) / 2).
void DrawTestPicture(uint32_t frame_number, uint8_t* y, int y_stride, uint8_t* u, int u_stride,
                     uint8_t* v, int v_stride, int width, int height);

// A still scene for the monitor: a fixed gradient and no frame number, so that
// nothing changes from picture to picture; with `motion`, a high-contrast
// square crosses it, one step per picture.
void DrawMonitorScene(uint32_t frame_number, bool motion, uint8_t* y, int y_stride, uint8_t* u,
                      int u_stride, uint8_t* v, int v_stride, int width, int height);

// Reads the frame number (low 16 bits) back from a luma plane of a picture of
// width x height, or of that picture scaled to that size. Nothing when the
// markers or the parity do not match.
std::optional<uint32_t> ReadFrameNumber(const uint8_t* luma, int stride, int width, int height);

}  // namespace vistrel::phone
