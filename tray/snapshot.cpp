#include "tray/snapshot.h"

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <system_error>
#include <vector>

#include "platform/folders.h"
#include "tray/preview_rows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace vistrel::tray {
namespace fs = std::filesystem;

namespace {

inline uint32_t Clamp255(int value) {
  return static_cast<uint32_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// One pixel, 0xFFRRGGBB, from luma and chroma.
inline uint32_t Rgb(int luma, int u, int v) {
  const int y = 298 * luma;
  const uint32_t r = Clamp255((y + 459 * v - 63392) >> 8);
  const uint32_t g = Clamp255((y - 55 * u - 136 * v + 19808) >> 8);
  const uint32_t b = Clamp255((y + 541 * u - 73888) >> 8);
  return 0xFF000000u | r << 16 | g << 8 | b;
}

#if defined(__SSE2__)
struct Sse2 {
  using V = __m128i;
  static constexpr int kPixels = 8;
  static V Pairs(int16_t low, int16_t high) { return _mm_set1_epi32(PairWord(low, high)); }
  static V Words16(int16_t value) { return _mm_set1_epi16(value); }
  static V Words32(int32_t value) { return _mm_set1_epi32(value); }
  static V Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  static V LowBytes(V v) { return _mm_and_si128(v, Words16(0x00FF)); }
  static V HighBytes(V v) { return _mm_srli_epi16(v, 8); }
  static V Widen(const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const V*>(p)), _mm_setzero_si128());
  }
  static V UnpackLo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V UnpackHi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V UnpackLo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V UnpackHi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V Madd(V a, V b) { return _mm_madd_epi16(a, b); }
  static V Add32(V a, V b) { return _mm_add_epi32(a, b); }
  static V Shift8(V v) { return _mm_srai_epi32(v, 8); }
  static V Packs32(V a, V b) { return _mm_packs_epi32(a, b); }
  static V Packus16(V a, V b) { return _mm_packus_epi16(a, b); }
  static void StorePixels(uint32_t* out, V low, V high) {
    _mm_storeu_si128(reinterpret_cast<V*>(out), low);
    _mm_storeu_si128(reinterpret_cast<V*>(out + 4), high);
  }
};
#endif

// Vectors where the CPU has them (SSE2 on every x86-64 CPU, AVX2 on most),
// the row's remainder pixel by pixel.
void ConvertHalvedRow(const uint8_t* luma, const uint8_t* u_row, const uint8_t* v_row, int step,
                      uint32_t* out, int count) {
  int tx = 0;
#if defined(VISTREL_AVX2_ROWS)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) tx = ConvertHalvedPixelsAvx2(luma, u_row, v_row, step, out, count);
#endif
#if defined(__SSE2__)
  tx += ConvertHalvedPixels<Sse2>(luma + 2 * tx, u_row + tx * step, v_row + tx * step, step,
                                  out + tx, count - tx);
#endif
  for (; tx < count; ++tx) out[tx] = Rgb(luma[2 * tx], u_row[tx * step], v_row[tx * step]);
}

}  // namespace

Picture Nv12ToRgb(const Bytes& frame, int width, int height, int target_width, int target_height) {
  if (width < 1 || height < 1) return nullptr;
  const uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 / 2;
  if (frame.size() < needed) return nullptr;
  const uint8_t* chroma = frame.data() + static_cast<size_t>(width) * static_cast<size_t>(height);
  return PictureToRgb(PictureView::Of(Nv12View{frame.data(), chroma, width, width, height}),
                      target_width, target_height, nullptr);
}

Picture PictureToRgb(const PictureView& source, int target_width, int target_height,
                     Picture reuse) {
  const int width = source.width;
  const int height = source.height;
  if (width < 1 || height < 1 || target_width < 1 || target_height < 1 || !source.luma ||
      !source.u || !source.v) {
    return nullptr;
  }
  Picture picture;
  cairo_surface_t* reused = reuse.get();
  if (reused && reuse.use_count() == 1 && cairo_surface_get_reference_count(reused) == 1 &&
      cairo_image_surface_get_format(reused) == CAIRO_FORMAT_RGB24 &&
      cairo_image_surface_get_width(reused) == target_width &&
      cairo_image_surface_get_height(reused) == target_height) {
    picture = std::move(reuse);
  } else {
    cairo_surface_t* created =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, target_width, target_height);
    if (cairo_surface_status(created) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(created);
      return nullptr;
    }
    picture = MakePicture(created);
  }
  cairo_surface_t* image = picture.get();
  cairo_surface_flush(image);
  unsigned char* data = cairo_image_surface_get_data(image);
  const int stride = cairo_image_surface_get_stride(image);
  const size_t luma_pitch = static_cast<size_t>(source.luma_pitch);
  const size_t chroma_pitch = static_cast<size_t>(source.chroma_pitch);
  const int step = source.chroma_step;
  const bool missing_last_v = step == 2 && (width & 1) != 0;
  // The preview halves a 1280×720 picture: every second pixel, each with the
  // chroma of its own column.
  const bool halving = width == 2 * target_width && (width & 1) == 0;
  // Other sizes take source columns computed once per call: the division
  // leaves the per-pixel loop.
  std::vector<int> columns(halving ? 0 : static_cast<size_t>(target_width));
  for (int tx = 0; !halving && tx < target_width; ++tx) {
    columns[static_cast<size_t>(tx)] =
        static_cast<int>(static_cast<int64_t>(tx) * width / target_width);
  }
  for (int ty = 0; ty < target_height; ++ty) {
    const int sy = static_cast<int>(static_cast<int64_t>(ty) * height / target_height);
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(ty) * stride);
    const uint8_t* luma_row = source.luma + static_cast<size_t>(sy) * luma_pitch;
    const uint8_t* u_row = source.u + static_cast<size_t>(sy / 2) * chroma_pitch;
    const uint8_t* v_row = source.v + static_cast<size_t>(sy / 2) * chroma_pitch;
    if (halving) {
#if defined(__SSE2__)
      // The rows come from memory that another thread has just written and
      // are taken one in two, which the hardware does not foresee: the next
      // ones are asked for while these convert.
      if (ty + 1 < target_height) {
        const size_t next = static_cast<size_t>(sy + 2);
        const size_t chroma_bytes = static_cast<size_t>(width / 2 * step);
        for (size_t x = 0; x < static_cast<size_t>(width); x += 64) {
          _mm_prefetch(reinterpret_cast<const char*>(source.luma + next * luma_pitch + x),
                       _MM_HINT_T0);
        }
        for (size_t x = 0; x < chroma_bytes; x += 64) {
          _mm_prefetch(reinterpret_cast<const char*>(source.u + next / 2 * chroma_pitch + x),
                       _MM_HINT_T0);
          if (step == 1) {
            _mm_prefetch(reinterpret_cast<const char*>(source.v + next / 2 * chroma_pitch + x),
                         _MM_HINT_T0);
          }
        }
      }
#endif
      ConvertHalvedRow(luma_row, u_row, v_row, step, row, target_width);
      continue;
    }
    for (int tx = 0; tx < target_width; ++tx) {
      const int sx = columns[static_cast<size_t>(tx)];
      const int column = sx / 2;
      const int u = u_row[column * step];
      // An odd width leaves NV12's last pair without its V byte: take U's.
      const int v = missing_last_v && column == width / 2 ? u : v_row[column * step];
      row[tx] = Rgb(luma_row[sx], u, v);
    }
  }
  cairo_surface_mark_dirty(image);
  return picture;
}

std::string SnapshotBaseName(const tm& local) {
  char text[64];
  std::snprintf(text, sizeof text, "Orlith Cam %04d-%02d-%02d %02d.%02d.%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string FreeSnapshotName(const fs::path& folder, const std::string& base) {
  std::string candidate = base + ".png";
  std::error_code ec;
  for (int n = 2; fs::exists(fs::symlink_status(folder / candidate, ec)); ++n) {
    candidate = base + " (" + std::to_string(n) + ").png";
  }
  return candidate;
}

fs::path SnapshotsFolder() {
  return ResolveUserFolder(UserFolder::kPictures) / "Orlith Cam";
}

std::optional<SnapshotOutcome> SaveSnapshotPng(const Bytes& frame, int width, int height,
                                               const fs::path& folder, time_t now) {
  Picture picture = Nv12ToRgb(frame, width, height, width, height);
  if (!picture) return std::nullopt;
  std::error_code ec;
  fs::create_directories(folder, ec);
  tm local{};
  localtime_r(&now, &local);
  SnapshotOutcome outcome;
  outcome.file_name = FreeSnapshotName(folder, SnapshotBaseName(local));
  outcome.path = folder / outcome.file_name;
  outcome.saved =
      cairo_surface_write_to_png(picture.get(), outcome.path.c_str()) == CAIRO_STATUS_SUCCESS;
  if (!outcome.saved) fs::remove(outcome.path, ec);  // no half-written picture stays
  return outcome;
}

}  // namespace vistrel::tray
