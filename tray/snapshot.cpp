#include "tray/snapshot.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <system_error>
#include <vector>

#include "platform/folders.h"

namespace vistrel::tray {
namespace fs = std::filesystem;

namespace {

inline uint32_t Clamp255(int value) {
  return static_cast<uint32_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// GCC vectorises only at -O3 unless told; clang does at -O2 already. An AVX2
// clone, picked at load time where the CPU has it, converts twice as wide.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define VISTREL_VECTORIZE \
  __attribute__((optimize("tree-vectorize"), target_clones("avx2", "default")))
#elif defined(__GNUC__) && !defined(__clang__)
#define VISTREL_VECTORIZE __attribute__((optimize("tree-vectorize")))
#else
#define VISTREL_VECTORIZE
#endif

VISTREL_VECTORIZE void ConvertHalvedRow(const uint8_t* luma, const uint8_t* chroma, uint32_t* out,
                                        int count) {
  for (int tx = 0; tx < count; ++tx) {
    const int y = 298 * luma[2 * tx];
    const int u = chroma[2 * tx];
    const int v = chroma[2 * tx + 1];
    const uint32_t r = Clamp255((y + 459 * v - 63392) >> 8);
    const uint32_t g = Clamp255((y - 55 * u - 136 * v + 19808) >> 8);
    const uint32_t b = Clamp255((y + 541 * u - 73888) >> 8);
    out[tx] = 0xFF000000u | r << 16 | g << 8 | b;
  }
}

}  // namespace

Picture Nv12ToRgb(const Bytes& frame, int width, int height, int target_width, int target_height) {
  return Nv12ToRgb(frame.data(), frame.size(), width, height, target_width, target_height, nullptr);
}

Picture Nv12ToRgb(const uint8_t* frame, size_t size, int width, int height, int target_width,
                  int target_height, Picture reuse) {
  if (width < 1 || height < 1 || target_width < 1 || target_height < 1) return nullptr;
  const uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 / 2;
  if (frame == nullptr || size < needed) return nullptr;
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
  const uint8_t* luma = frame;
  const uint8_t* chroma = frame + static_cast<size_t>(width) * static_cast<size_t>(height);
  // Source columns once per call: the division leaves the per-pixel loop.
  std::vector<int> columns(static_cast<size_t>(target_width));
  for (int tx = 0; tx < target_width; ++tx) {
    columns[static_cast<size_t>(tx)] =
        static_cast<int>(static_cast<int64_t>(tx) * width / target_width);
  }
  auto clamp = [](int value) {
    return static_cast<uint32_t>(value < 0 ? 0 : value > 255 ? 255 : value);
  };
  // The preview halves a 1280×720 picture: every second pixel, each with a
  // chroma pair of its own, in a loop the compiler can vectorise.
  const bool halving = width == 2 * target_width && (width & 1) == 0;
  for (int ty = 0; ty < target_height; ++ty) {
    const int sy = static_cast<int>(static_cast<int64_t>(ty) * height / target_height);
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(ty) * stride);
    const uint8_t* luma_row = luma + static_cast<size_t>(sy) * static_cast<size_t>(width);
    const uint8_t* chroma_row = chroma + static_cast<size_t>(sy / 2) * static_cast<size_t>(width);
    if (halving) {
      ConvertHalvedRow(luma_row, chroma_row, row, target_width);
      continue;
    }
    for (int tx = 0; tx < target_width; ++tx) {
      const int sx = columns[static_cast<size_t>(tx)];
      const int y = 298 * luma_row[sx];
      const int pair = sx & ~1;
      const int u = chroma_row[pair];
      // An odd width leaves the last pair without its V byte: take U's.
      const int v = pair + 1 < width ? chroma_row[pair + 1] : u;
      const uint32_t r = clamp((y + 459 * v - 63392) >> 8);
      const uint32_t g = clamp((y - 55 * u - 136 * v + 19808) >> 8);
      const uint32_t b = clamp((y + 541 * u - 73888) >> 8);
      row[tx] = 0xFF000000u | r << 16 | g << 8 | b;
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
