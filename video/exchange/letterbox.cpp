#include "video/exchange/letterbox.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VISTREL_LETTERBOX_X86 1
#endif

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

void Letterbox::Gather::Build(std::vector<int32_t> offsets, int row_bytes) {
  offsets_ = std::move(offsets);
  const size_t count = offsets_.size() / 16;
  bases_.assign(count, 0);
  loads_.assign(count, 0);
  masks_.assign(count * 64, 0x80);
  for (size_t b = 0; b < count; ++b) {
    const int32_t* block = offsets_.data() + b * 16;
    const int32_t base = *std::min_element(block, block + 16);
    const int32_t span = *std::max_element(block, block + 16) - base + 1;
    const int32_t loads = (span + 15) / 16;
    // The loads may not reach past the source row: it can be the last one.
    if (loads > 4 || int64_t{base} + 16 * loads > row_bytes) continue;
    bases_[b] = base;
    loads_[b] = loads;
    for (int i = 0; i < 16; ++i) {
      const int32_t relative = block[i] - base;
      masks_[b * 64 + size_t(relative / 16) * 16 + size_t(i)] = uint8_t(relative % 16);
    }
  }
}

namespace {

#ifdef VISTREL_LETTERBOX_X86
// The bytes of load `i` of a block that its mask picks.
__attribute__((target("ssse3"), always_inline)) inline __m128i Shuffled(const uint8_t* source,
                                                                        const uint8_t* masks,
                                                                        int i) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16 * i)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + 16 * i)));
}

// A block's 16 bytes from its 1 to 4 loads.
__attribute__((target("ssse3"), always_inline)) inline __m128i GatherBlock(const uint8_t* source,
                                                                           const uint8_t* masks,
                                                                           int32_t loads) {
  __m128i bytes = Shuffled(source, masks, 0);
  if (loads > 1) bytes = _mm_or_si128(bytes, Shuffled(source, masks, 1));
  if (loads > 2) bytes = _mm_or_si128(bytes, Shuffled(source, masks, 2));
  if (loads > 3) bytes = _mm_or_si128(bytes, Shuffled(source, masks, 3));
  return bytes;
}

// One loop under the target attribute, so the shuffles inline: a call per 16
// bytes cost more than the shuffles themselves.
__attribute__((target("ssse3"))) void ShuffleBlocks(const uint8_t* row, const int32_t* bases,
                                                    const int32_t* loads, const uint8_t* masks,
                                                    const int32_t* offsets, size_t count,
                                                    uint8_t* out) {
  for (size_t b = 0; b < count; ++b, masks += 64, out += 16) {
    if (loads[b] == 0) {
      for (size_t k = 0; k < 16; ++k) out[k] = row[offsets[16 * b + k]];
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                       GatherBlock(row + bases[b], masks, loads[b]));
    }
  }
}

// Two planes through the same blocks, their bytes interleaved (U first) as
// they are stored: no temporary rows, no second pass.
__attribute__((target("ssse3"))) void ShuffleBlockPairs(const uint8_t* u_row, const uint8_t* v_row,
                                                        const int32_t* bases, const int32_t* loads,
                                                        const uint8_t* masks,
                                                        const int32_t* offsets, size_t count,
                                                        uint8_t* out) {
  for (size_t b = 0; b < count; ++b, masks += 64, out += 32) {
    if (loads[b] == 0) {
      for (size_t k = 0; k < 16; ++k) {
        out[2 * k] = u_row[offsets[16 * b + k]];
        out[2 * k + 1] = v_row[offsets[16 * b + k]];
      }
      continue;
    }
    const __m128i u = GatherBlock(u_row + bases[b], masks, loads[b]);
    const __m128i v = GatherBlock(v_row + bases[b], masks, loads[b]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(u, v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(u, v));
  }
}
#endif

}  // namespace

void Letterbox::Gather::RunPair(const uint8_t* u_row, const uint8_t* v_row, uint8_t* out,
                                SimdLevel level) const {
  size_t i = 0;
#ifdef VISTREL_LETTERBOX_X86
  if (level >= SimdLevel::kSsse3 && BestSimdLevel() >= SimdLevel::kSsse3) {
    ShuffleBlockPairs(u_row, v_row, bases_.data(), loads_.data(), masks_.data(), offsets_.data(),
                      bases_.size(), out);
    i = 16 * bases_.size();
  }
#else
  (void)level;
#endif
  for (; i < offsets_.size(); ++i) {
    out[2 * i] = u_row[offsets_[i]];
    out[2 * i + 1] = v_row[offsets_[i]];
  }
}

void Letterbox::Gather::Run(const uint8_t* row, uint8_t* out, SimdLevel level) const {
  size_t i = 0;
#ifdef VISTREL_LETTERBOX_X86
  if (level >= SimdLevel::kSsse3 && BestSimdLevel() >= SimdLevel::kSsse3) {
    ShuffleBlocks(row, bases_.data(), loads_.data(), masks_.data(), offsets_.data(), bases_.size(),
                  out);
    i = 16 * bases_.size();
  }
#else
  (void)level;
#endif
  for (; i < offsets_.size(); ++i) out[i] = row[offsets_[i]];
}

const Letterbox::Maps& Letterbox::MapsFor(int width, int height, bool planar) {
  if (maps_.width == width && maps_.height == height && maps_.planar == planar) return maps_;
  Maps maps;
  maps.width = width;
  maps.height = height;
  maps.planar = planar;
  maps.fit = FitLetterbox(width, height);
  const LetterboxFit& fit = maps.fit;
  if (fit.width > 0 && fit.height > 0) {
    for (int r = 0; r < fit.height; ++r) {
      maps.luma_rows.push_back(static_cast<int32_t>(int64_t{r} * height / fit.height));
    }
    // The same formulas on half the counts give chroma rows and pairs directly.
    const int chroma_rows = (height + 1) / 2;
    for (int r = 0; r < fit.height / 2; ++r) {
      maps.chroma_rows.push_back(static_cast<int32_t>(
          std::min<int64_t>(int64_t{r} * height / fit.height, chroma_rows - 1)));
    }
    std::vector<int32_t> columns, pairs;
    for (int c = 0; c < fit.width; ++c) {
      columns.push_back(static_cast<int32_t>(int64_t{c} * width / fit.width));
    }
    for (int c = 0; c < fit.width / 2; ++c) {
      const auto pair = static_cast<int32_t>(int64_t{c} * width / fit.width);
      if (planar) {
        pairs.push_back(pair);
      } else {
        pairs.push_back(2 * pair);
        pairs.push_back(2 * pair + 1);
      }
    }
    const int chroma_width = (width + 1) / 2;
    maps.luma.Build(std::move(columns), width);
    maps.chroma.Build(std::move(pairs), planar ? chroma_width : 2 * chroma_width);
  }
  maps_ = std::move(maps);
  return maps_;
}

namespace {

// The bars only: above and below the fit, and left and right of it.
void FillBars(uint8_t* plane, int rows, const LetterboxFit& fit, int top, int fit_rows,
              uint8_t value) {
  std::memset(plane, value, size_t(top) * kW);
  const int right = fit.left + fit.width;
  for (int r = top; r < top + fit_rows; ++r) {
    uint8_t* line = plane + size_t(r) * kW;
    std::memset(line, value, size_t(fit.left));
    std::memset(line + right, value, size_t(kW - right));
  }
  std::memset(plane + size_t(top + fit_rows) * kW, value, size_t(rows - top - fit_rows) * kW);
}

// Luma, and the bars of both planes; false when nothing of the picture shows.
bool ScaleLuma(const std::vector<int32_t>& rows, const Letterbox::Gather& gather,
               const LetterboxFit& fit, const uint8_t* luma, int64_t pitch, uint8_t* y_plane,
               uint8_t* uv_plane, SimdLevel level) {
  if (fit.width <= 0 || fit.height <= 0) {
    std::memset(y_plane, 16, size_t{kW} * kH);
    std::memset(uv_plane, 128, size_t{kW} * kH / 2);
    return false;
  }
  FillBars(y_plane, kH, fit, fit.top, fit.height, 16);
  FillBars(uv_plane, kH / 2, fit, fit.top / 2, fit.height / 2, 128);
  for (int r = 0; r < fit.height; ++r) {
    uint8_t* out = y_plane + size_t(fit.top + r) * kW + fit.left;
    // Enlarging repeats source rows: copy the row just made.
    if (r > 0 && rows[r] == rows[r - 1]) {
      std::memcpy(out, out - kW, size_t(fit.width));
    } else {
      gather.Run(luma + rows[r] * pitch, out, level);
    }
  }
  return true;
}

}  // namespace

void Letterbox::Scale(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane) {
  const Maps& maps = MapsFor(picture.width, picture.height, false);
  const LetterboxFit& fit = maps.fit;
  const int64_t pitch = picture.pitch;
  if (!ScaleLuma(maps.luma_rows, maps.luma, fit, picture.luma, pitch, y_plane, uv_plane, level_)) {
    return;
  }
  for (int r = 0; r < fit.height / 2; ++r) {
    uint8_t* out = uv_plane + size_t(fit.top / 2 + r) * kW + fit.left;
    if (r > 0 && maps.chroma_rows[r] == maps.chroma_rows[r - 1]) {
      std::memcpy(out, out - kW, size_t(fit.width));
    } else {
      maps.chroma.Run(picture.chroma + maps.chroma_rows[r] * pitch, out, level_);
    }
  }
}

void Letterbox::Scale(const Yuv420View& picture, uint8_t* y_plane, uint8_t* uv_plane) {
  const Maps& maps = MapsFor(picture.width, picture.height, true);
  const LetterboxFit& fit = maps.fit;
  if (!ScaleLuma(maps.luma_rows, maps.luma, fit, picture.luma, picture.luma_pitch, y_plane,
                 uv_plane, level_)) {
    return;
  }
  const int64_t pitch = picture.chroma_pitch;
  for (int r = 0; r < fit.height / 2; ++r) {
    uint8_t* out = uv_plane + size_t(fit.top / 2 + r) * kW + fit.left;
    if (r > 0 && maps.chroma_rows[r] == maps.chroma_rows[r - 1]) {
      std::memcpy(out, out - kW, size_t(fit.width));
      continue;
    }
    const int64_t offset = maps.chroma_rows[r] * pitch;
    maps.chroma.RunPair(picture.u + offset, picture.v + offset, out, level_);
  }
}

void ScaleLetterbox(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane) {
  Letterbox().Scale(picture, y_plane, uv_plane);
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
