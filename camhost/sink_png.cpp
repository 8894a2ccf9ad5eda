// PNG snapshots of every Nth picture, "frame-000001.png" and on; each file
// appears whole (written aside, then renamed).
#include <png.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "camhost/pixel_convert.h"
#include "camhost/sink.h"
#include "platform/files.h"
#include "platform/log.h"

namespace vistrel {
namespace {

void AppendBytes(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  out->append(reinterpret_cast<const char*>(data), size);
}

void NoFlush(png_structp) {}

// libpng reports errors by longjmp; this function keeps no C++ object with a
// destructor alive across setjmp.
bool EncodeRgb(const uint8_t* rgb, int width, int height, std::string& out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &out, AppendBytes, NoFlush);
  // Camera pictures barely compress; the fast level keeps up with 30 fps.
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int row = 0; row < height; ++row) {
    png_write_row(png, const_cast<png_bytep>(rgb + static_cast<size_t>(row) * width * 3));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

class PngSink final : public Sink {
 public:
  PngSink(std::filesystem::path folder, uint32_t every)
      : folder_(std::move(folder)), every_(every), rgb_(kSinkWidth * kSinkHeight * 3) {}

  bool Write(const Nv12View& picture, int64_t) override {
    if (count_++ % every_ != 0) return true;
    Nv12ToRgb(picture, kSinkWidth, kSinkHeight, rgb_.data());
    std::string encoded;
    if (!EncodeRgb(rgb_.data(), kSinkWidth, kSinkHeight, encoded)) {
      LogLine("[camhost] could not encode a PNG picture\n");
      return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06llu.png",
                  static_cast<unsigned long long>(++written_));
    if (!ReplaceFileContents(folder_ / name, encoded)) {
      LogLine("[camhost] could not write %s (%d)\n", (folder_ / name).c_str(), errno);
      return false;
    }
    return true;
  }
  std::string Describe() const override {
    return "png:" + folder_.string() + " every " + std::to_string(every_);
  }

 private:
  const std::filesystem::path folder_;
  const uint32_t every_;
  std::vector<uint8_t> rgb_;
  uint64_t count_ = 0;
  uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<Sink> OpenPngSink(const std::filesystem::path& folder, uint32_t every,
                                  std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    error = "cannot use the folder " + folder.string();
    return nullptr;
  }
  return std::make_unique<PngSink>(folder, every == 0 ? 1 : every);
}

}  // namespace vistrel
