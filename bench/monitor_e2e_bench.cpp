// The monitor's cost, measured on the real receiver: the simulator streams the
// same moving 720p30 test picture twice, once in webcam mode and once in
// monitor mode with continuous recording (motion detection included), and the
// receiver's CPU per second of video is compared. Then the segment on disk is
// taken apart into its media data, which must be the access units sent, and
// its index.
//   monitor_e2e_bench [seconds]
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "monitor/clip_index.h"
#include "platform/files.h"
#include "platform/shared_memory.h"
#include "bench/process_stats.h"
#include "tests/e2e/e2e_support.h"
#include "tools/phone/webcam.h"

using namespace vistrel;

namespace {


struct Run {
  double cpu_per_second = 0;
  uint64_t unit_bytes = 0;
};

Run Stream(test::ReceiverProcess& receiver, phone::Phone& device, double seconds, bool monitor) {
  phone::WebcamOptions options;
  options.device_name = "Bench";
  options.seconds = seconds;
  options.monitor = true;
  options.still_scene = false;
  options.mode_switch = monitor ? -1 : 0;  // at once back to webcam mode
  Run run;
  options.on_video_sent = [&](const phone::AccessUnit& unit) { run.unit_bytes += unit.bytes.size(); };
  auto link = device.Connect("127.0.0.1", receiver.port());
  if (!link) return run;
  const double before = bench::ProcessCpuSeconds(receiver.pid());
  const phone::WebcamReport report = phone::RunWebcam(*link, options);
  link->Drop();
  // The session's end (and the segment's finish) belong to the run.
  receiver.WaitForLog(monitor ? "[record] saved " : "\"Bench\" disconnected");
  run.cpu_per_second =
      (bench::ProcessCpuSeconds(receiver.pid()) - before) / (double(report.video_sent) / options.fps);
  return run;
}

// Top-level MP4 boxes: the bytes inside "mdat" boxes and all the others.
std::pair<uint64_t, uint64_t> MediaAndIndexBytes(const std::filesystem::path& file) {
  const std::string bytes = ReadFileText(file, 1ull << 32).value_or("");
  uint64_t media = 0, index = 0;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    auto byte = [&](size_t i) { return uint64_t(uint8_t(bytes[at + i])); };
    uint64_t size = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    size_t header = 8;
    if (size == 1 && at + 16 <= bytes.size()) {
      size = 0;
      for (size_t i = 8; i < 16; ++i) size = size << 8 | byte(i);
      header = 16;
    }
    if (size < header || at + size > bytes.size()) break;
    if (bytes.compare(at + 4, 4, "mdat") == 0) {
      media += size - header;
      index += header;
    } else {
      index += size;
    }
    at += size;
  }
  return {media, index};
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
  test::ReceiverProcess receiver;
  const auto videos = receiver.root() / "videos";
  auto device = bench::StartWithPairedPhone(
      receiver, {"--set", "record=continuous", "--set", "segment_seconds=3600", "--set",
                 "videos_dir=" + videos.string()});
  if (!device) return 1;
  const Run webcam = Stream(receiver, *device, seconds, false);
  const Run monitor = Stream(receiver, *device, seconds, true);
  const auto clips = ParseClipIndex(ReadFileText(receiver.data_folder() / "clips.tsv").value_or(""));
  // The index line follows the log line that the run waited for: take the file itself.
  std::error_code ec;
  const uint64_t clip_bytes = clips.empty() ? 0 : std::filesystem::file_size(clips.back().path, ec);
  const auto [media, index] =
      clips.empty() ? std::pair<uint64_t, uint64_t>{} : MediaAndIndexBytes(clips.back().path);
  std::printf("receiver CPU, moving 720p30 test picture: webcam mode %.4f s, monitor mode recording "
              "continuously %.4f s per second of video: %+.1f%% (goal <= +10%%)\n",
              webcam.cpu_per_second, monitor.cpu_per_second,
              100.0 * (monitor.cpu_per_second / webcam.cpu_per_second - 1.0));
  std::printf("segment on disk %llu bytes = media data %llu + index %llu; access units sent "
              "%llu bytes: clip against units + index %+.2f%% (goal within 1%%)\n",
              static_cast<unsigned long long>(clip_bytes), static_cast<unsigned long long>(media),
              static_cast<unsigned long long>(index),
              static_cast<unsigned long long>(monitor.unit_bytes),
              100.0 * (double(clip_bytes) / double(monitor.unit_bytes + index) - 1.0));
  receiver.Quit();
  SharedMemory::Unlink(receiver.ExchangeName());
  return 0;
}
