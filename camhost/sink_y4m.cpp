// YUV4MPEG2: a text header, then "FRAME\n" and the planar 4:2:0 picture per
// sample, readable by ffmpeg, mpv and most video tools.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "camhost/pixel_convert.h"
#include "camhost/sink.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

constexpr char kHeader[] = "YUV4MPEG2 W1280 H720 F30:1 Ip A1:1 C420jpeg\n";
constexpr char kFrame[] = "FRAME\n";
constexpr size_t kPictureBytes = kSinkWidth * kSinkHeight * 3 / 2;

class Y4mSink final : public Sink {
 public:
  Y4mSink(UniqueFd fd, int raw_fd, std::string name)
      : fd_(std::move(fd)), raw_fd_(raw_fd), name_(std::move(name)) {
    // "FRAME\n" and the picture leave in one write.
    buffer_.resize(sizeof kFrame - 1 + kPictureBytes);
    std::memcpy(buffer_.data(), kFrame, sizeof kFrame - 1);
  }

  bool Write(const Nv12View& picture, int64_t) override {
    Nv12ToI420(picture, kSinkWidth, kSinkHeight, buffer_.data() + sizeof kFrame - 1);
    if (!WriteAllBytes(raw_fd_, {reinterpret_cast<const char*>(buffer_.data()), buffer_.size()})) {
      LogLine("[camhost] could not write to %s (%d)\n", name_.c_str(), errno);
      return false;
    }
    return true;
  }
  std::string Describe() const override { return "y4m:" + name_; }

 private:
  UniqueFd fd_;  // not owned for standard output
  int raw_fd_;
  std::string name_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<Sink> OpenY4mSink(const std::filesystem::path& file, std::string& error) {
  UniqueFd fd;
  int raw_fd = STDOUT_FILENO;
  if (file != "-") {
    fd.Reset(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
      error = "cannot open " + file.string() + ": " + std::strerror(errno);
      return nullptr;
    }
    raw_fd = fd.Get();
  }
  if (!WriteAllBytes(raw_fd, {kHeader, sizeof kHeader - 1})) {
    error = "cannot write to " + file.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<Y4mSink>(std::move(fd), raw_fd, file.string());
}

}  // namespace vistrel
