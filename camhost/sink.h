// Where the camera host puts each picture: a v4l2loopback device for real
// camera apps, a Y4M file, PNG files, or nowhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>

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
  // gone); the reason has been logged. `time_100ns` is the sample's time on
  // the monotonic clock. Called on the host's thread, which paces the media
  // stream: a sink must not make it wait.
  [[nodiscard]] virtual bool Write(const Nv12View& picture, int64_t time_100ns) = 0;
  // Whether anyone reads the pictures now; while not, the host requests no
  // samples at all. Any thread.
  virtual bool Wanted() const { return true; }
  // Returns when the sink is wanted or after `ms`, whichever comes first.
  // Host thread.
  virtual void AwaitWanted(uint32_t ms) {
    if (!Wanted()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  // Where the next picture may be written instead of being copied by Write:
  // a 1280x720 NV12 picture at `pitch`, in `bytes` that `keeper` keeps valid.
  // The picture still goes through Write, which then finds it in place.
  // Nothing when the sink has no such place now. Host thread.
  struct Place {
    std::span<uint8_t> bytes;
    int32_t pitch = 0;
    std::shared_ptr<void> keeper;
  };
  virtual std::optional<Place> Borrow() { return std::nullopt; }
  virtual std::string Describe() const = 0;
};

// Parses "pipewire", "v4l2[:/dev/videoN][:nv12|:yuyv]", "y4m:FILE" ("-" is
// standard output), "png:DIR[:N]" (every Nth picture) or "null" and opens the
// sink.
// Nothing, with the reason in `error`, when the text or the opening fails.
std::unique_ptr<Sink> OpenSink(const std::string& text, std::string& error);

// "auto": PipeWire when a daemon answers, else the "Orlith Cam" v4l2loopback
// device when there is one, else PipeWire when it is installed (its daemon
// may come later in the login). Nothing, with what is missing in `missing`,
// when nothing can ever serve.
std::unique_ptr<Sink> OpenAutoSink(std::string& missing, std::string& error);

std::unique_ptr<Sink> OpenNullSink();
// A PipeWire video source node "Orlith Cam". A daemon that is not there yet is
// no error: the sink connects when it comes and again after it restarts.
std::unique_ptr<Sink> OpenPipeWireSink(std::string& error);
// Whether PipeWire's client configuration is there, looked up as PipeWire
// does ($PIPEWIRE_CONFIG_DIR alone when set): the library alone is not
// PipeWire installed.
bool PipeWireInstalled();
// Whether a PipeWire daemon accepts a connection now.
bool PipeWireAnswers();
std::unique_ptr<Sink> OpenY4mSink(const std::filesystem::path& file, std::string& error);
std::unique_ptr<Sink> OpenPngSink(const std::filesystem::path& folder, uint32_t every,
                                  std::string& error);
// An empty device means the v4l2loopback device whose card name is "Orlith Cam".
// `format`: empty (NV12 when the device takes it, else YUYV), "nv12" or "yuyv".
std::unique_ptr<Sink> OpenV4l2Sink(const std::filesystem::path& device, const std::string& format,
                                   std::string& error);

// The first /dev/videoN whose name under `sysfs` (normally
// /sys/class/video4linux) is "Orlith Cam"; empty when there is none.
std::filesystem::path FindV4l2Device(const std::filesystem::path& sysfs);

}  // namespace vistrel
