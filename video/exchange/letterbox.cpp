#include "video/exchange/letterbox.h"

#include <algorithm>
#include <cstring>

#include "video/exchange/frame_exchange.h"

namespace vistrel {
namespace {

constexpr int kW = static_cast<int>(kExchangeWidth);
constexpr int kH = static_cast<int>(kExchangeHeight);

}  // namespace

LetterboxFit FitLetterbox(int width, int height) {
  int64_t fit_width = kW;
  int64_t fit_height = int64_t{height} * kW / width;
  if (fit_height > kH) {
    fit_width = int64_t{width} * kH / height;
    fit_height = kH;
  }
  fit_width &= ~int64_t{1};
  fit_height &= ~int64_t{1};
  const int left = static_cast<int>((kW - fit_width) / 2) & ~1;
  const int top = static_cast<int>((kH - fit_height) / 2) & ~1;
  return {static_cast<int>(fit_width), static_cast<int>(fit_height), left, top};
}

void ScaleLetterbox(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane) {
  const uint8_t* luma = picture.luma;
  const uint8_t* chroma = picture.chroma;
  const int64_t stride = picture.pitch;
  const int width = picture.width;
  const int height = picture.height;
  const LetterboxFit fit = FitLetterbox(width, height);
  std::memset(y_plane, 16, size_t{kW} * kH);
  std::memset(uv_plane, 128, size_t{kW} * kH / 2);
  if (fit.width <= 0 || fit.height <= 0) return;
  for (int r = 0; r < fit.height; ++r) {
    const uint8_t* source = luma + int64_t{r} * height / fit.height * stride;
    uint8_t* out = y_plane + size_t(fit.top + r) * kW + fit.left;
    for (int c = 0; c < fit.width; ++c) out[c] = source[int64_t{c} * width / fit.width];
  }
  // The same formulas on half the counts give chroma rows and pairs directly.
  const int chroma_rows = (height + 1) / 2;
  for (int r = 0; r < fit.height / 2; ++r) {
    const int64_t source_row = std::min<int64_t>(int64_t{r} * height / fit.height, chroma_rows - 1);
    const uint8_t* source = chroma + source_row * stride;
    uint8_t* out = uv_plane + size_t(fit.top / 2 + r) * kW + fit.left;
    for (int c = 0; c < fit.width / 2; ++c) {
      const int64_t pair = int64_t{c} * width / fit.width;
      out[2 * c] = source[2 * pair];
      out[2 * c + 1] = source[2 * pair + 1];
    }
  }
}

void DrawWaitingPicture(uint8_t* destination, int pitch, uint64_t tick_ms) {
  const int phase = static_cast<int>((tick_ms / 8) % 1440);
  int bar_begin = 0;
  int bar_end = 0;
  if (phase <= 160) {
    bar_end = phase;
  } else {
    bar_begin = phase - 160;
    bar_end = std::min(phase, kW);
  }
  for (int row = 0; row < kH; ++row) {
    uint8_t* line = destination + size_t(row) * pitch;
    std::memset(line, 40, kW);
    if (bar_end > bar_begin) std::memset(line + bar_begin, 110, size_t(bar_end - bar_begin));
  }
  uint8_t* uv = destination + size_t(kH) * pitch;
  for (int row = 0; row < kH / 2; ++row) {
    uint8_t* line = uv + size_t(row) * pitch;
    for (int pair = 0; pair < kW / 2; ++pair) {
      line[2 * pair] = 150;
      line[2 * pair + 1] = 120;
    }
  }
}

}  // namespace vistrel
