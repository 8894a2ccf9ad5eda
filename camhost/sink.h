// Where the camera host puts each picture: a v4l2loopback device for real
// camera apps, a Y4M file, PNG files, or nowhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "video/nv12_view.h"
#include "video/picture.h"

namespace vistrel {

// Every picture a sink gets is 1280x720 NV12.
inline constexpr int kSinkWidth = static_cast<int>(kPictureWidth);
inline constexpr int kSinkHeight = static_cast<int>(kPictureHeight);

class Sink {
 public:
  virtual ~Sink() = default;
  // False when the sink cannot take pictures any more (disk full, device
  // gone); the reason has been logged.
  [[nodiscard]] virtual bool Write(const Nv12View& picture) = 0;
  virtual std::string Describe() const = 0;
};

// Parses "v4l2[:/dev/videoN]", "y4m:FILE" ("-" is standard output),
// "png:DIR[:N]" (every Nth picture) or "null" and opens the sink. Nothing,
// with the reason in `error`, when the text or the opening fails.
std::unique_ptr<Sink> OpenSink(const std::string& text, std::string& error);

std::unique_ptr<Sink> OpenNullSink();
std::unique_ptr<Sink> OpenY4mSink(const std::filesystem::path& file, std::string& error);
std::unique_ptr<Sink> OpenPngSink(const std::filesystem::path& folder, uint32_t every,
                                  std::string& error);
// An empty device means the v4l2loopback device whose card name is "Orlith Cam".
std::unique_ptr<Sink> OpenV4l2Sink(const std::filesystem::path& device, std::string& error);

// The first /dev/videoN whose name under `sysfs` (normally
// /sys/class/video4linux) is "Orlith Cam"; empty when there is none.
std::filesystem::path FindV4l2Device(const std::filesystem::path& sysfs);

}  // namespace vistrel
