#include "camhost/pixel_convert.h"

#include <algorithm>
#include <cstring>

namespace vistrel {
namespace {

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

void Nv12ToI420(const Nv12View& picture, int width, int height, uint8_t* out) {
  const size_t w = static_cast<size_t>(width);
  CopyPlane(picture.luma, static_cast<size_t>(picture.pitch), out, w, w,
            static_cast<size_t>(height));
  uint8_t* u = out + w * static_cast<size_t>(height);
  uint8_t* v = u + (w / 2) * static_cast<size_t>(height / 2);
  for (int row = 0; row < height / 2; ++row) {
    const uint8_t* uv = picture.chroma + row * picture.pitch;
    for (int pair = 0; pair < width / 2; ++pair) {
      *u++ = uv[2 * pair];
      *v++ = uv[2 * pair + 1];
    }
  }
}

void Nv12ToYuyv(const Nv12View& picture, int width, int height, uint8_t* out) {
  for (int row = 0; row < height; ++row) {
    const uint8_t* y = picture.luma + row * picture.pitch;
    const uint8_t* uv = picture.chroma + (row / 2) * picture.pitch;
    for (int pair = 0; pair < width / 2; ++pair) {
      out[0] = y[2 * pair];
      out[1] = uv[2 * pair];
      out[2] = y[2 * pair + 1];
      out[3] = uv[2 * pair + 1];
      out += 4;
    }
  }
}

void Nv12ToRgb(const Nv12View& picture, int width, int height, uint8_t* out) {
  // Fixed point, 8 fractional bits: R = 1.164(Y-16) + 1.596(V-128) and so on.
  for (int row = 0; row < height; ++row) {
    const uint8_t* y = picture.luma + row * picture.pitch;
    const uint8_t* uv = picture.chroma + (row / 2) * picture.pitch;
    for (int column = 0; column < width; ++column) {
      const int c = 298 * (y[column] - 16);
      const int d = uv[(column / 2) * 2] - 128;
      const int e = uv[(column / 2) * 2 + 1] - 128;
      *out++ = Clamp((c + 409 * e + 128) >> 8);
      *out++ = Clamp((c - 100 * d - 208 * e + 128) >> 8);
      *out++ = Clamp((c + 516 * d + 128) >> 8);
    }
  }
}

}  // namespace vistrel
