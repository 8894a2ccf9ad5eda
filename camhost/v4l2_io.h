// The calls the v4l2 sink makes on its device, behind an interface so that a
// test can stand in for a v4l2loopback device, whose kernel module cannot load
// everywhere. The real calls are in sink_v4l2.cpp.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace vistrel {

class Sink;

class V4l2Io {
 public:
  virtual ~V4l2Io() = default;
  // ioctl(2): 0, or -1 with errno set.
  virtual int Ioctl(unsigned long request, void* argument) = 0;
  // write(2) of one whole picture.
  virtual ssize_t Write(const void* bytes, size_t size) = 0;
  // Whether an event is waiting, after at most `ms`.
  virtual bool AwaitEvent(int ms) = 0;
};

// v4l2loopback's event with the number of readers that have the device open
// (its header, v4l2loopback.h, is not packaged): u.data starts with the count.
inline constexpr uint32_t kV4l2EventClientUsage = 0x08000000 + 0x08E00000 + 1;

// The picture format a user asks for; kAny takes NV12 when the device does,
// else YUYV.
enum class V4l2Format { kAny, kNv12, kYuyv };

// Opens the sink on a device already opened as `io` (named `device` in log
// lines and errors). Nothing, with the reason in `error`, when the device
// takes neither format.
std::unique_ptr<Sink> OpenV4l2Sink(std::unique_ptr<V4l2Io> io, const std::filesystem::path& device,
                                   V4l2Format format, std::string& error);

}  // namespace vistrel
