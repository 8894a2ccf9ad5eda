// One NV12 picture in memory that someone else owns: a luma plane and an
// interleaved U/V plane at half height, both with the same pitch. The decoder
// hands pictures out this way, the frame exchange and the preview copy them
// in, the camera host reads them back out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace vistrel {

struct Nv12View {
  const uint8_t* luma = nullptr;
  const uint8_t* chroma = nullptr;
  int pitch = 0;  // bytes per row of either plane
  int width = 0;
  int height = 0;
};

// The planes a decoder leaves behind: luma, and U and V each at half size in
// both directions ((width + 1) / 2 by (height + 1) / 2).
struct Yuv420View {
  const uint8_t* luma = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int luma_pitch = 0;
  int chroma_pitch = 0;  // of U and V alike
  int width = 0;
  int height = 0;
};

// A picture to read: luma, and U and V at half size, either in planes of
// their own (`chroma_step` 1) or interleaved as NV12 (`v` is `u` + 1 and
// `chroma_step` 2). Rows of U and V hold (width + 1) / 2 samples, except in
// NV12 of an odd width, whose last V is missing.
struct PictureView {
  const uint8_t* luma = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int luma_pitch = 0;
  int chroma_pitch = 0;
  int chroma_step = 1;
  int width = 0;
  int height = 0;

  static PictureView Of(const Yuv420View& p) {
    return {p.luma, p.u, p.v, p.luma_pitch, p.chroma_pitch, 1, p.width, p.height};
  }
  static PictureView Of(const Nv12View& p) {
    return {p.luma, p.chroma, p.chroma + 1, p.pitch, p.pitch, 2, p.width, p.height};
  }
};

// One decoded picture as the frame callback hands it out: the decoder's own
// planes when it has them, NV12 on request. Interleaving only when someone
// asks keeps the hot path (planes straight into the frame exchange) at one
// write per byte. Valid only during the callback; one thread.
class DecodedPicture {
 public:
  // A picture that is NV12 already.
  DecodedPicture(const Nv12View& nv12) : nv12_(nv12), interleaved_(true) {}  // NOLINT
  // Planes, and the buffer that receives the UV plane (luma_pitch per row)
  // the first time someone asks for NV12.
  DecodedPicture(const Yuv420View& planes, std::vector<uint8_t>& chroma_buffer)
      : planes_(planes),
        chroma_buffer_(&chroma_buffer),
        nv12_{planes.luma, nullptr, planes.luma_pitch, planes.width, planes.height} {}
  DecodedPicture(const DecodedPicture&) = delete;
  DecodedPicture& operator=(const DecodedPicture&) = delete;

  int width() const { return nv12_.width; }
  int height() const { return nv12_.height; }
  const uint8_t* luma() const { return nv12_.luma; }
  int luma_pitch() const { return nv12_.pitch; }
  // Null when the picture came as NV12.
  const Yuv420View* planes() const { return chroma_buffer_ ? &planes_ : nullptr; }
  // The first call on a planar picture interleaves its chroma.
  const Nv12View& Nv12() const;
  operator const Nv12View&() const { return Nv12(); }  // NOLINT: callbacks that want NV12

  // Something that keeps the planes valid after the callback for as long as
  // it lives (a reference to the decoder's frame); null when the picture
  // cannot outlive the callback.
  using Retainer = std::shared_ptr<const void> (*)(const void* context);
  void AllowRetain(Retainer retain, const void* context) {
    retain_ = retain;
    retain_context_ = context;
  }
  std::shared_ptr<const void> Retain() const {
    return retain_ ? retain_(retain_context_) : nullptr;
  }

 private:
  Retainer retain_ = nullptr;
  const void* retain_context_ = nullptr;
  Yuv420View planes_;
  std::vector<uint8_t>* chroma_buffer_ = nullptr;
  mutable Nv12View nv12_;
  mutable bool interleaved_ = false;
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
