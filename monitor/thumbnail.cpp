#include "monitor/thumbnail.h"

#include <turbojpeg.h>

#include <algorithm>
#include <string_view>
#include <system_error>

#include "platform/files.h"

namespace vistrel {
namespace {

constexpr int kQuality = 80;

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

std::filesystem::path ThumbnailPathFor(const std::filesystem::path& clip) {
  std::string text = clip.string();
  text.resize(text.size() >= 4 ? text.size() - 4 : 0);
  return text + ".jpg";
}

std::vector<uint8_t> ThumbnailPixels(const Nv12View& picture) {
  std::vector<uint8_t> pixels(size_t{kThumbnailWidth} * kThumbnailHeight * 3);
  const int64_t pitch = picture.pitch;
  for (int r = 0; r < kThumbnailHeight; ++r) {
    const int64_t y = int64_t{r} * picture.height / kThumbnailHeight;
    const uint8_t* luma = picture.luma + y * pitch;
    const uint8_t* chroma = picture.chroma + (y / 2) * pitch;
    uint8_t* out = pixels.data() + size_t(r) * kThumbnailWidth * 3;
    for (int c = 0; c < kThumbnailWidth; ++c) {
      const int64_t x = int64_t{c} * picture.width / kThumbnailWidth;
      const int k = 298 * luma[x];
      const int u = chroma[x & ~int64_t{1}];
      const int v = chroma[(x & ~int64_t{1}) + 1];
      out[3 * c + 0] = Clamp((k + 541 * u - 73'888) >> 8);
      out[3 * c + 1] = Clamp((k - 55 * u - 136 * v + 19'808) >> 8);
      out[3 * c + 2] = Clamp((k + 459 * v - 63'392) >> 8);
    }
  }
  return pixels;
}

bool WriteThumbnail(const std::filesystem::path& path, const Nv12View& picture) {
  const std::vector<uint8_t> pixels = ThumbnailPixels(picture);
  tjhandle encoder = tjInitCompress();
  if (!encoder) return false;
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  const int result =
      tjCompress2(encoder, pixels.data(), kThumbnailWidth, kThumbnailWidth * 3, kThumbnailHeight,
                  TJPF_BGR, &jpeg, &jpeg_size, TJSAMP_420, kQuality, 0);
  bool written = false;
  if (result == 0) {
    written = ReplaceFileContents(
                  path, std::string_view(reinterpret_cast<const char*>(jpeg), jpeg_size))
                  .ok();
  }
  tjFree(jpeg);
  tjDestroy(encoder);
  if (!written) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  return written;
}

}  // namespace vistrel
