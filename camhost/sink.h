// Where the camera host puts each picture: a v4l2loopback device for real
// camera apps, a Y4M file, PNG files, or nowhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace vistrel {

inline constexpr int kSinkWidth = 1280;
inline constexpr int kSinkHeight = 720;

// One 1280x720 NV12 picture: the UV plane (360 rows of interleaved U,V) may
// live anywhere; both planes share the pitch.
struct Nv12Picture {
  const uint8_t* y = nullptr;
  const uint8_t* uv = nullptr;
  int pitch = 0;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // False when the sink cannot take pictures any more (disk full, device
  // gone); the reason has been logged.
  [[nodiscard]] virtual bool Write(const Nv12Picture& picture) = 0;
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
