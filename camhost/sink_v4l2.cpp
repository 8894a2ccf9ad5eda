// A v4l2loopback output device: camera apps open its capture side and see
// our pictures. NV12 when the device takes it, else YUYV.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "camhost/pixel_convert.h"
#include "camhost/sink.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr char kCardName[] = "Orlith Cam";

int Ioctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ::ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Asks for 1280x720 in `fourcc`; true when the device agreed to exactly that.
bool SetFormat(int fd, uint32_t fourcc, uint32_t bytes_per_line, uint32_t image_size) {
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  format.fmt.pix.width = kSinkWidth;
  format.fmt.pix.height = kSinkHeight;
  format.fmt.pix.pixelformat = fourcc;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  format.fmt.pix.bytesperline = bytes_per_line;
  format.fmt.pix.sizeimage = image_size;
  format.fmt.pix.colorspace = V4L2_COLORSPACE_REC709;
  if (Ioctl(fd, VIDIOC_S_FMT, &format) != 0) return false;
  return format.fmt.pix.pixelformat == fourcc && format.fmt.pix.width == kSinkWidth &&
         format.fmt.pix.height == kSinkHeight;
}

class V4l2Sink final : public Sink {
 public:
  V4l2Sink(UniqueFd fd, fs::path device, bool yuyv)
      : fd_(std::move(fd)), device_(std::move(device)), yuyv_(yuyv) {
    buffer_.resize(yuyv_ ? kSinkWidth * kSinkHeight * 2 : kSinkWidth * kSinkHeight * 3 / 2);
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
    ssize_t n;
    do {
      n = ::write(fd_.Get(), buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(buffer_.size())) {
      LogLine("[camhost] could not write to %s (%d)\n", device_.c_str(), n < 0 ? errno : 0);
      return false;
    }
    return true;
  }
  std::string Describe() const override {
    return "v4l2:" + device_.string() + (yuyv_ ? " (YUYV)" : " (NV12)");
  }

 private:
  UniqueFd fd_;
  fs::path device_;
  bool yuyv_;
  std::vector<uint8_t> buffer_;
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

std::unique_ptr<Sink> OpenV4l2Sink(const fs::path& given, std::string& error) {
  fs::path device = given.empty() ? FindV4l2Device("/sys/class/video4linux") : given;
  if (device.empty()) {
    error = "no v4l2loopback device named \"Orlith Cam\"; load the module with "
            "card_label=\"Orlith Cam\" or give --sink v4l2:/dev/videoN";
    return nullptr;
  }
  UniqueFd fd(::open(device.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) {
    error = "cannot open " + device.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  v4l2_capability capability{};
  if (Ioctl(fd.Get(), VIDIOC_QUERYCAP, &capability) != 0) {
    error = device.string() + " is not a video device";
    return nullptr;
  }
  const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS)
                            ? capability.device_caps
                            : capability.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_OUTPUT) || !(caps & V4L2_CAP_READWRITE)) {
    error = device.string() + " takes no written pictures (is it a v4l2loopback device?)";
    return nullptr;
  }
  bool yuyv = false;
  if (!SetFormat(fd.Get(), V4L2_PIX_FMT_NV12, kSinkWidth, kSinkWidth * kSinkHeight * 3 / 2)) {
    if (!SetFormat(fd.Get(), V4L2_PIX_FMT_YUYV, kSinkWidth * 2, kSinkWidth * kSinkHeight * 2)) {
      error = device.string() + " accepts neither NV12 nor YUYV at 1280x720";
      return nullptr;
    }
    yuyv = true;
  }
  return std::make_unique<V4l2Sink>(std::move(fd), device, yuyv);
}

}  // namespace vistrel
