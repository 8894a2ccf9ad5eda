#include "camhost/sink.h"

#include <charconv>

namespace vistrel {
namespace {

class NullSink final : public Sink {
 public:
  bool Write(const Nv12View&, int64_t) override { return true; }
  std::string Describe() const override { return "null"; }
};

// "DIR:N" with N a positive count; a folder name may itself hold ":".
void SplitEvery(const std::string& text, std::string& folder, uint32_t& every, bool& valid) {
  folder = text;
  every = 1;
  valid = true;
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return;
  const std::string tail = text.substr(colon + 1);
  uint32_t value = 0;
  auto [end, error] = std::from_chars(tail.data(), tail.data() + tail.size(), value);
  if (tail.empty() || error != std::errc() || end != tail.data() + tail.size()) return;
  folder = text.substr(0, colon);
  every = value;
  valid = value > 0;
}

}  // namespace

std::unique_ptr<Sink> OpenNullSink() { return std::make_unique<NullSink>(); }

std::unique_ptr<Sink> OpenSink(const std::string& text, std::string& error) {
  error.clear();
  const std::string kind = text.substr(0, text.find(':'));
  const bool has_value = text.size() > kind.size();
  const std::string value = has_value ? text.substr(kind.size() + 1) : std::string();
  if (kind == "null" && !has_value) return OpenNullSink();
  if (kind == "pipewire" && !has_value) return OpenPipeWireSink(error);
  if (kind == "v4l2") {
    // A device path begins with "/"; a format may follow it or stand alone.
    std::string device = value;
    std::string format;
    const size_t colon = value.rfind(':');
    if (!value.empty() && value[0] != '/') {
      device.clear();
      format = value;
    } else if (colon != std::string::npos) {
      device = value.substr(0, colon);
      format = value.substr(colon + 1);
    }
    if (has_value && value.empty()) {
      error = "v4l2: give a device or a format after the colon, or none";
      return nullptr;
    }
    if (!format.empty() && format != "nv12" && format != "yuyv") {
      error = "v4l2: the format is nv12 or yuyv, as v4l2:/dev/videoN:yuyv or v4l2:yuyv";
      return nullptr;
    }
    return OpenV4l2Sink(device, format, error);
  }
  if (kind == "y4m") {
    if (value.empty()) {
      error = "y4m: give a file, as y4m:FILE";
      return nullptr;
    }
    return OpenY4mSink(value, error);
  }
  if (kind == "png") {
    std::string folder;
    uint32_t every = 1;
    bool valid = true;
    SplitEvery(value, folder, every, valid);
    if (folder.empty() || !valid) {
      error = "png: give a folder and a positive count, as png:DIR or png:DIR:N";
      return nullptr;
    }
    return OpenPngSink(folder, every, error);
  }
  error = "unknown sink \"" + text + "\"; use pipewire, v4l2[:DEVICE][:FORMAT], y4m:FILE, png:DIR[:N] or null";
  return nullptr;
}

std::unique_ptr<Sink> OpenAutoSink(std::string& missing, std::string& error) {
  missing.clear();
  error.clear();
  if (PipeWireAnswers()) return OpenPipeWireSink(error);
  const std::filesystem::path device = FindV4l2Device("/sys/class/video4linux");
  if (!device.empty()) return OpenV4l2Sink(device, "", error);
  // A daemon that is not running yet, as for a unit started early in a login,
  // is waited for as after a restart.
  if (PipeWireInstalled()) return OpenPipeWireSink(error);
  missing = "PipeWire is not installed and no v4l2loopback device named \"Orlith Cam\" exists; "
            "install PipeWire, or load v4l2loopback with card_label=\"Orlith Cam\"";
  return nullptr;
}

}  // namespace vistrel
