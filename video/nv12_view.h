// One NV12 picture in memory that someone else owns: a luma plane and an
// interleaved U/V plane at half height, both with the same pitch. The decoder
// hands pictures out this way, the frame exchange and the preview copy them
// in, the camera host reads them back out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vistrel {

struct Nv12View {
  const uint8_t* luma = nullptr;
  const uint8_t* chroma = nullptr;
  int pitch = 0;  // bytes per row of either plane
  int width = 0;
  int height = 0;
};

// Copies `rows` rows of `row_bytes` bytes between planes of any pitch; one
// copy when both planes are packed.
inline void CopyPlane(const uint8_t* source, size_t source_pitch, uint8_t* target,
                      size_t target_pitch, size_t row_bytes, size_t rows) {
  if (source_pitch == row_bytes && target_pitch == row_bytes) {
    std::memcpy(target, source, row_bytes * rows);
    return;
  }
  for (size_t row = 0; row < rows; ++row) {
    std::memcpy(target + row * target_pitch, source + row * source_pitch, row_bytes);
  }
}

}  // namespace vistrel
