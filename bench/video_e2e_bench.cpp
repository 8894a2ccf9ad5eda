// The whole webcam path, measured: a real receiver, the simulator streaming
// for a while, and a reader where the camera would be, taking 30 pictures a
// second as a camera application does. Prints the receiver's CPU time per
// second of video against ffmpeg decoding the same access units on one
// thread, both as a batch and paced at the stream's rate (-re: a live
// receiver also decodes one picture at a time with cold caches), and the
// latency from the simulator's send to the picture being published in the
// exchange.
//   video_e2e_bench [seconds] [width height]   (default 30 s of 1280x720)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/clock.h"
#include "bench/process_stats.h"
#include "tests/e2e/e2e_support.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/webcam.h"
#include "platform/shared_memory.h"
#include "video/exchange/frame_exchange.h"
#include "video/exchange/frame_reader.h"

using namespace vistrel;

namespace {

using bench::Percentile;


double FfmpegCpuSeconds(const std::string& file, bool paced) {
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stderr)) _exit(127);
    if (paced) {
      execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1", "-re",
             "-r", "30", "-i", file.c_str(), "-f", "null", "-", static_cast<char*>(nullptr));
    } else {
      execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1", "-i",
             file.c_str(), "-f", "null", "-", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  getrusage(RUSAGE_CHILDREN, &after);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
         seconds(before.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
  const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
  const int height = argc > 3 ? std::atoi(argv[3]) : 720;
  test::ReceiverProcess receiver;
  auto device = bench::StartWithPairedPhone(receiver, {});
  if (!device) return 1;
  // The camera side creates the exchange before any picture is sent.
  FrameReader reader(receiver.ExchangeName(), [](const std::string&) {});
  reader.Open();
  auto link = device->Connect("127.0.0.1", receiver.port());

  const std::string stream_file = (receiver.root() / "stream.h264").string();
  std::ofstream stream(stream_file, std::ios::binary);
  std::mutex mutex;
  std::unordered_map<uint32_t, uint64_t> sent_at;  // guarded by mutex
  std::vector<double> latencies_ms;
  std::atomic<bool> done{false};

  phone::WebcamOptions options;
  options.device_name = "Bench";
  options.seconds = seconds;
  options.width = width;
  options.height = height;
  options.on_video_sent = [&](const phone::AccessUnit& unit) {
    const uint64_t now = MonotonicNs();
    std::lock_guard lock(mutex);
    sent_at[unit.frame_number & 0xFFFF] = now;
    stream.write(reinterpret_cast<const char*>(unit.bytes.data()), std::streamsize(unit.bytes.size()));
  };

  // The header's publish time, read around each copy: when it did not change,
  // the copy is the picture published then.
  std::unique_ptr<SharedMemory> peek =
      SharedMemory::Open(receiver.ExchangeName(), kExchangeSize).value_or(nullptr);
  auto published = [&] {
    auto& h = *reinterpret_cast<FrameExchangeHeader*>(peek->data());
    return std::atomic_ref<uint64_t>(h.frame_time).load();
  };
  std::thread camera([&] {
    std::vector<uint8_t> picture(1280 * 720 * 3 / 2);
    std::optional<uint32_t> last;
    auto next = std::chrono::steady_clock::now();
    while (!done) {
      const uint64_t before = peek ? published() : 0;
      if (reader.ReadPicture(picture.data(), 1280) && peek && published() == before) {
        auto frame = phone::ReadFrameNumber(picture.data(), 1280, 1280, 720);
        if (frame && frame != last) {
          last = frame;
          std::lock_guard lock(mutex);
          if (auto it = sent_at.find(*frame); it != sent_at.end() && before >= it->second) {
            latencies_ms.push_back(double(before - it->second) / 1e6);
          }
        }
      }
      next += std::chrono::microseconds(33'333);
      std::this_thread::sleep_until(next);
    }
  });

  const double cpu_before = bench::ProcessCpuSeconds(receiver.pid());
  phone::WebcamReport report = phone::RunWebcam(*link, options);
  const double cpu_after = bench::ProcessCpuSeconds(receiver.pid());
  done = true;
  camera.join();
  stream.close();
  const double video_seconds = double(report.video_sent) / options.fps;
  const double receiver_cpu = (cpu_after - cpu_before) / video_seconds;
  const double ffmpeg_cpu = FfmpegCpuSeconds(stream_file, false) / video_seconds;
  const double paced_cpu = FfmpegCpuSeconds(stream_file, true) / video_seconds;

  std::printf("stream: %u access units, %.1f s of %dx%d at %u pictures a second\n",
              report.video_sent, video_seconds, width, height, options.fps);
  std::printf("receiver CPU: %.4f s per second of video\n", receiver_cpu);
  std::printf("ffmpeg -threads 1 on the same access units: %.4f s per second of video\n", ffmpeg_cpu);
  std::printf("ffmpeg -re -threads 1 (paced): %.4f s per second of video\n", paced_cpu);
  std::printf("ratio receiver/ffmpeg: %.2f batch, %.2f paced (goal paced <= %.2f)\n",
              receiver_cpu / ffmpeg_cpu, receiver_cpu / paced_cpu, height > 720 ? 1.20 : 1.10);
  std::printf("latency send -> published in the exchange over %zu pictures: p50 %.2f ms, p99 %.2f ms "
              "(goal p50 < 5, p99 < 15)\n",
              latencies_ms.size(), Percentile(latencies_ms, 0.5), Percentile(latencies_ms, 0.99));
  std::ifstream status("/proc/" + std::to_string(receiver.pid()) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) std::printf("receiver peak RSS:%s (goal < 60 MB)\n", line.c_str() + 6);
  }
  // Built with stage times, the receiver logs its split when the session ends.
  link.reset();
#ifdef VISTREL_STAGE_TIMES
  if (receiver.WaitForLog("[stages]", std::chrono::seconds(10))) {
    const std::string log = receiver.Log();
    const size_t at = log.rfind("[stages]");
    std::printf("%s", log.substr(at, log.find('\n', at) + 1 - at).c_str());
  }
#endif
  receiver.Quit();
  SharedMemory::Unlink(receiver.ExchangeName());
  return 0;
}
