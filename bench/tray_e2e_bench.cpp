// The receiver's CPU while a phone streams 720p30, in tray mode with the
// main window open on the live preview (under Xvfb, on a private session
// bus) and in console mode, one after the other with the same phone: first
// the light stream the tests use, then a camera's 6 Mbit/s stream. The goal
// holds for the camera's: the light one decodes at a fraction of the cost.
//   tray_e2e_bench [seconds]     goal: tray at most 15% above headless
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "bench/process_stats.h"
#include "tests/e2e/session_bus.h"
#include "tests/e2e/x_display.h"
#include "tools/phone/webcam.h"

namespace vistrel {
namespace {

// CPU seconds per second of video, or a negative value when the run failed;
// `main_thread` gets the main (UI) thread's share.
double Stream(test::ReceiverProcess& receiver, phone::Phone& device, double seconds,
              phone::H264Source::Encoding encoding, double& main_thread, double& bit_rate) {
  if (!receiver.Start({})) return -1;
  std::this_thread::sleep_for(std::chrono::seconds(2));  // windows up, first ticks done
  auto link = device.Connect("127.0.0.1", receiver.port());
  if (!link) return -1;
  phone::WebcamOptions options;
  options.device_name = "Bench";
  options.seconds = seconds;
  options.encoding = encoding;
  uint64_t bytes = 0;
  options.on_video_sent = [&bytes](const phone::AccessUnit& unit) { bytes += unit.bytes.size(); };
  const double before = bench::ProcessCpuSeconds(receiver.pid());
  const double main_before = bench::MainThreadCpuSeconds(receiver.pid());
  const phone::WebcamReport report = phone::RunWebcam(*link, options);
  const double after = bench::ProcessCpuSeconds(receiver.pid());
  const double main_after = bench::MainThreadCpuSeconds(receiver.pid());
  link->Drop();
  receiver.Signal(SIGTERM);
  const double video_seconds = double(report.video_sent) / options.fps;
  if (video_seconds <= 0) return -1;
  main_thread = (main_after - main_before) / video_seconds;
  bit_rate = static_cast<double>(bytes) * 8 / video_seconds;
  return (after - before) / video_seconds;
}

}  // namespace
}  // namespace vistrel

int main(int argc, char** argv) {
  using namespace vistrel;
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  test::Xvfb xvfb("1280x800x24");
  test::SessionBus bus;
  if (xvfb.name().empty() || bus.address().empty()) {
    std::fprintf(stderr, "Xvfb or dbus-daemon could not start\n");
    return 1;
  }
  // A desktop has a window manager.
  const auto window_manager = test::WindowManagerCheck::Open(xvfb.name());
  test::ReceiverProcess receiver;
  auto device = bench::StartWithPairedPhone(receiver, {});
  if (!device) return 1;
  receiver.Signal(SIGTERM);
  struct Run {
    const char* name;
    phone::H264Source::Encoding encoding;
    double headless = 0, headless_main = 0, tray = 0, tray_main = 0, bit_rate = 0;
  };
  Run runs[] = {{"light test stream", phone::H264Source::Encoding::kLight},
                {"camera stream", phone::H264Source::Encoding::kCamera}};
  for (Run& run : runs) {
    run.headless = Stream(receiver, *device, seconds, run.encoding, run.headless_main, run.bit_rate);
  }
  receiver.EnableTray();
  receiver.AddEnvironment("DISPLAY=" + xvfb.name());
  receiver.AddEnvironment("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
  receiver.AddEnvironment("NO_AT_BRIDGE=1");
  for (Run& run : runs) {
    run.tray = Stream(receiver, *device, seconds, run.encoding, run.tray_main, run.bit_rate);
  }
  for (const Run& run : runs) {
    if (run.headless <= 0 || run.tray <= 0) {
      std::fprintf(stderr, "a run failed\n");
      return 1;
    }
    std::printf("%s, %.1f Mbit/s:\n", run.name, run.bit_rate / 1e6);
    std::printf("  receiver CPU, headless: %.4f s per second of 720p30 video\n", run.headless);
    std::printf("  receiver CPU, tray with the main window on the live preview: %.4f s per second\n",
                run.tray);
    std::printf("    of which the UI thread: %.4f s per second (headless main thread: %.4f)\n",
                run.tray_main, run.headless_main);
    // The tick runs every 40 ms: 25 a second.
    std::printf("    UI thread per tick: %.2f ms (goal: under 4)\n", run.tray_main * 1000 / 25);
    std::printf("  tray / headless: %.3f%s\n", run.tray / run.headless,
                run.encoding == phone::H264Source::Encoding::kCamera ? " (goal: at most 1.15)" : "");
  }
  return 0;
}
