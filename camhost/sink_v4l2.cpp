// A v4l2loopback output device: camera apps open its capture side and see
// our pictures. NV12 when the device takes it, else YUYV, unless the user
// chose one. Pictures are pulled only while a reader has the device open, as
// the module reports with its client-usage events.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "camhost/pixel_convert.h"
#include "camhost/sink.h"
#include "camhost/v4l2_io.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr char kCardName[] = "Orlith Cam";

// The device file itself.
class FdV4l2Io final : public V4l2Io {
 public:
  explicit FdV4l2Io(UniqueFd fd) : fd_(std::move(fd)) {}
  int Ioctl(unsigned long request, void* argument) override {
    int result;
    do {
      result = ::ioctl(fd_.Get(), request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
  }
  ssize_t Write(const void* bytes, size_t size) override {
    ssize_t n;
    do {
      n = ::write(fd_.Get(), bytes, size);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  bool AwaitEvent(int ms) override {
    pollfd entry{fd_.Get(), POLLPRI, 0};
    return ::poll(&entry, 1, ms) > 0 && (entry.revents & POLLPRI) != 0;
  }

 private:
  UniqueFd fd_;
};

// Asks for 1280x720 in `fourcc`; true when the device agreed to exactly that.
// Whether the device takes written pictures at all is decided here, not by
// its capability bits: v4l2loopback with exclusive_caps=1 announces capture
// only once a writer has attached, yet still takes a new writer's format.
bool SetFormat(V4l2Io& io, uint32_t fourcc, uint32_t bytes_per_line, uint32_t image_size) {
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  format.fmt.pix.width = kSinkWidth;
  format.fmt.pix.height = kSinkHeight;
  format.fmt.pix.pixelformat = fourcc;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  format.fmt.pix.bytesperline = bytes_per_line;
  format.fmt.pix.sizeimage = image_size;
  format.fmt.pix.colorspace = V4L2_COLORSPACE_REC709;
  if (io.Ioctl(VIDIOC_S_FMT, &format) != 0) return false;
  return format.fmt.pix.pixelformat == fourcc && format.fmt.pix.width == kSinkWidth &&
         format.fmt.pix.height == kSinkHeight;
}

class V4l2Sink final : public Sink {
 public:
  V4l2Sink(std::unique_ptr<V4l2Io> io, fs::path device, bool yuyv)
      : io_(std::move(io)), device_(std::move(device)), yuyv_(yuyv) {
    buffer_.resize(yuyv_ ? kSinkWidth * kSinkHeight * 2 : kSinkWidth * kSinkHeight * 3 / 2);
  }

  // Asks for the readers' comings and goings; false when the module does not
  // report them (then pictures are pulled all the time, as before it could).
  bool Subscribe() {
    v4l2_event_subscription subscription{};
    subscription.type = kV4l2EventClientUsage;
    subscription.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
    if (io_->Ioctl(VIDIOC_SUBSCRIBE_EVENT, &subscription) != 0) return false;
    TakeEvents();
    return true;
  }

  bool Write(const Nv12View& picture, int64_t) override {
    if (yuyv_) {
      Nv12ToYuyv(picture, kSinkWidth, kSinkHeight, buffer_.data());
    } else {
      const size_t pitch = static_cast<size_t>(picture.pitch);
      CopyPlane(picture.luma, pitch, buffer_.data(), kSinkWidth, kSinkWidth, kSinkHeight);
      CopyPlane(picture.chroma, pitch, buffer_.data() + kSinkWidth * kSinkHeight, kSinkWidth,
                kSinkWidth, kSinkHeight / 2);
    }
    // A loopback device takes a whole picture per write.
    const ssize_t n = io_->Write(buffer_.data(), buffer_.size());
    if (n != static_cast<ssize_t>(buffer_.size())) {
      LogLine("[camhost] could not write to %s (%d)\n", device_.c_str(), n < 0 ? errno : 0);
      return false;
    }
    TakeEvents();
    return true;
  }
  bool Wanted() const override { return readers_.load() != 0; }
  void AwaitWanted(uint32_t ms) override {
    if (Wanted()) return;
    if (io_->AwaitEvent(static_cast<int>(ms))) TakeEvents();
  }
  std::string Describe() const override {
    return "v4l2:" + device_.string() + (yuyv_ ? " (YUYV)" : " (NV12)");
  }

 private:
  // Host thread. The latest event holds the number of readers.
  void TakeEvents() {
    v4l2_event event{};
    while (io_->Ioctl(VIDIOC_DQEVENT, &event) == 0) {
      if (event.type != kV4l2EventClientUsage) continue;
      uint32_t count = 0;
      std::memcpy(&count, event.u.data, sizeof count);
      const bool had = readers_.load() != 0;
      readers_ = count;
      if (!had && count != 0) LogLine("[camhost] an app opened %s\n", device_.c_str());
      if (had && count == 0) {
        LogLine("[camhost] no app has %s open; pulling no samples\n", device_.c_str());
      }
    }
  }

  std::unique_ptr<V4l2Io> io_;
  fs::path device_;
  bool yuyv_;
  std::vector<uint8_t> buffer_;
  // Until the module says otherwise, someone may read.
  std::atomic<uint32_t> readers_{1};
};

}  // namespace

fs::path FindV4l2Device(const fs::path& sysfs) {
  std::vector<std::pair<int, std::string>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysfs, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("video", 0) != 0 || name.size() == 5 || name.size() > 8 ||
        !std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    auto card = ReadFileText(entry.path() / "name", 256);
    if (!card) continue;
    while (!card->empty() && (card->back() == '\n' || card->back() == ' ')) card->pop_back();
    if (*card == kCardName) found.emplace_back(std::stoi(name.substr(5)), name);
  }
  if (found.empty()) return {};
  std::sort(found.begin(), found.end());
  return fs::path("/dev") / found.front().second;
}

std::unique_ptr<Sink> OpenV4l2Sink(std::unique_ptr<V4l2Io> io, const fs::path& device,
                                   V4l2Format wanted, std::string& error) {
  v4l2_capability capability{};
  if (io->Ioctl(VIDIOC_QUERYCAP, &capability) != 0) {
    error = device.string() + " is not a video device";
    return nullptr;
  }
  bool yuyv = wanted == V4l2Format::kYuyv;
  bool set = false;
  if (wanted != V4l2Format::kYuyv) {
    set = SetFormat(*io, V4L2_PIX_FMT_NV12, kSinkWidth, kSinkWidth * kSinkHeight * 3 / 2);
  }
  if (!set && wanted != V4l2Format::kNv12) {
    yuyv = true;
    set = SetFormat(*io, V4L2_PIX_FMT_YUYV, kSinkWidth * 2, kSinkWidth * kSinkHeight * 2);
  }
  if (!set) {
    const char* formats = wanted == V4l2Format::kNv12   ? "NV12"
                          : wanted == V4l2Format::kYuyv ? "YUYV"
                                                        : "NV12 or YUYV";
    error = device.string() + " takes no written " + formats +
            " pictures at 1280x720 (is it a v4l2loopback device?)";
    return nullptr;
  }
  v4l2_streamparm parameters{};
  parameters.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  parameters.parm.output.timeperframe = {1, 30};
  if (io->Ioctl(VIDIOC_S_PARM, &parameters) != 0 ||
      parameters.parm.output.timeperframe.numerator * 30 !=
          parameters.parm.output.timeperframe.denominator) {
    LogLine("[camhost] %s did not take 30 pictures per second; apps may see another rate\n",
            device.c_str());
  }
  auto sink = std::make_unique<V4l2Sink>(std::move(io), device, yuyv);
  if (!sink->Subscribe()) {
    LogLine("[camhost] %s does not report its readers; pulling samples all the time\n",
            device.c_str());
  }
  return sink;
}

std::unique_ptr<Sink> OpenV4l2Sink(const fs::path& given, const std::string& format,
                                   std::string& error) {
  fs::path device = given.empty() ? FindV4l2Device("/sys/class/video4linux") : given;
  if (device.empty()) {
    error = "no v4l2loopback device named \"Orlith Cam\"; load the module with "
            "card_label=\"Orlith Cam\" or give --sink v4l2:/dev/videoN";
    return nullptr;
  }
  // Not blocking, so that taking events never waits.
  UniqueFd fd(::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = "cannot open " + device.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  const V4l2Format wanted = format == "nv12"   ? V4l2Format::kNv12
                            : format == "yuyv" ? V4l2Format::kYuyv
                                               : V4l2Format::kAny;
  return OpenV4l2Sink(std::make_unique<FdV4l2Io>(std::move(fd)), device, wanted, error);
}

}  // namespace vistrel
