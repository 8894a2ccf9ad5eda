// The receiver's CPU while a phone streams 720p30, in tray mode with the
// main window open on the live preview (under Xvfb, on a private session
// bus) and in console mode, one after the other with the same phone.
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
              const std::vector<std::string>& args, double& main_thread) {
  if (!receiver.Start(args)) return -1;
  std::this_thread::sleep_for(std::chrono::seconds(2));  // windows up, first ticks done
  auto link = device.Connect("127.0.0.1", receiver.port());
  if (!link) return -1;
  phone::WebcamOptions options;
  options.device_name = "Bench";
  options.seconds = seconds;
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
  double headless_main = 0, tray_main = 0;
  const double headless = Stream(receiver, *device, seconds, {}, headless_main);
  receiver.EnableTray();
  receiver.AddEnvironment("DISPLAY=" + xvfb.name());
  receiver.AddEnvironment("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
  receiver.AddEnvironment("NO_AT_BRIDGE=1");
  const double tray = Stream(receiver, *device, seconds, {}, tray_main);
  if (headless <= 0 || tray <= 0) {
    std::fprintf(stderr, "a run failed\n");
    return 1;
  }
  std::printf("receiver CPU, headless: %.4f s per second of 720p30 video\n", headless);
  std::printf("receiver CPU, tray with the main window on the live preview: %.4f s per second\n",
              tray);
  std::printf("  of which the UI thread: %.4f s per second (headless main thread: %.4f)\n",
              tray_main, headless_main);
  // The tick runs every 40 ms: 25 a second.
  std::printf("  UI thread per tick: %.2f ms (goal: under 4)\n", tray_main * 1000 / 25);
  std::printf("tray / headless: %.3f (goal: at most 1.15)\n", tray / headless);
  return 0;
}
