// The receiver's CPU while a phone streams 720p30, in tray mode with the
// main window open on the live preview (under Xvfb, on a private session
// bus) and in console mode, with the same phone: the light stream the tests
// use, and a camera's 6 Mbit/s stream. The goal is for the camera's: the
// light one decodes at a fraction of the cost. Console and tray runs take
// turns, three rounds of a third of the time each, so that the machine's
// drift weighs on both alike; the ratio is that of the totals.
// With "gnome" the tray runs in a headless GNOME Shell on Wayland (through
// XWayland) instead of Xvfb.
//   tray_e2e_bench [seconds] [gnome]     goal: tray at most 15% above headless
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/process_stats.h"
#include "tests/e2e/gnome_session.h"
#include "tests/e2e/session_bus.h"
#include "tests/e2e/x_display.h"
#include "tools/phone/webcam.h"

namespace vistrel {
namespace {

struct Totals {
  double cpu = 0;          // process CPU seconds
  double ui = 0;           // of which the main thread's
  double video = 0;        // seconds of video
  double bytes = 0;        // of access units
  double lowest = 1e9;     // CPU per second of video, the lowest and highest run
  double highest = 0;
  double PerSecond() const { return video > 0 ? cpu / video : -1; }
};

// One run of `seconds` of video, added to `totals`; false when it failed.
bool Stream(test::ReceiverProcess& receiver, phone::Phone& device, double seconds, bool tray,
            phone::H264Source::Encoding encoding, Totals& totals) {
  if (!receiver.Start(tray ? std::vector<std::string>{} : std::vector<std::string>{"--headless"})) {
    return false;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // windows up, first ticks done
  auto link = device.Connect("127.0.0.1", receiver.port());
  if (!link) return false;
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
  if (video_seconds <= 0) return false;
  totals.cpu += after - before;
  totals.ui += main_after - main_before;
  totals.video += video_seconds;
  totals.bytes += static_cast<double>(bytes);
  totals.lowest = std::min(totals.lowest, (after - before) / video_seconds);
  totals.highest = std::max(totals.highest, (after - before) / video_seconds);
  return true;
}

}  // namespace
}  // namespace vistrel

int main(int argc, char** argv) {
  using namespace vistrel;
  constexpr int kRounds = 3;
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
  const bool gnome = argc > 2 && std::string(argv[2]) == "gnome";
  std::unique_ptr<test::GnomeSession> shell;
  std::unique_ptr<test::Xvfb> xvfb;
  std::unique_ptr<test::SessionBus> bus;
  std::unique_ptr<test::WindowManagerCheck> window_manager;
  if (gnome) {
    shell = std::make_unique<test::GnomeSession>(false);
    if (!shell->error().empty()) {
      std::fprintf(stderr, "GNOME Shell could not start: %s\n", shell->error().c_str());
      return 1;
    }
  } else {
    xvfb = std::make_unique<test::Xvfb>("1280x800x24");
    bus = std::make_unique<test::SessionBus>();
    if (xvfb->name().empty() || bus->address().empty()) {
      std::fprintf(stderr, "Xvfb or dbus-daemon could not start\n");
      return 1;
    }
    // A desktop has a window manager.
    window_manager = test::WindowManagerCheck::Open(xvfb->name());
  }
  test::ReceiverProcess receiver;
  auto device = bench::StartWithPairedPhone(receiver, {});
  if (!device) return 1;
  receiver.Signal(SIGTERM);
  // From here on each start runs the tray unless told "--headless".
  receiver.EnableTray();
  if (gnome) {
    for (const std::string& entry : shell->Environment()) receiver.AddEnvironment(entry);
  } else {
    receiver.AddEnvironment("DISPLAY=" + xvfb->name());
    receiver.AddEnvironment("DBUS_SESSION_BUS_ADDRESS=" + bus->address());
    receiver.AddEnvironment("NO_AT_BRIDGE=1");
  }
  struct Run {
    const char* name;
    phone::H264Source::Encoding encoding;
    Totals headless, tray;
  };
  Run runs[] = {{"light test stream", phone::H264Source::Encoding::kLight, {}, {}},
                {"camera stream", phone::H264Source::Encoding::kCamera, {}, {}}};
  for (Run& run : runs) {
    for (int round = 0; round < kRounds; ++round) {
      if (!Stream(receiver, *device, seconds / kRounds, false, run.encoding, run.headless) ||
          !Stream(receiver, *device, seconds / kRounds, true, run.encoding, run.tray)) {
        std::fprintf(stderr, "a run failed\n");
        return 1;
      }
    }
  }
  for (const Run& run : runs) {
    const Totals& h = run.headless;
    const Totals& t = run.tray;
    std::printf("%s, %.1f Mbit/s:\n", run.name, (h.bytes + t.bytes) * 8 / (h.video + t.video) / 1e6);
    std::printf("  receiver CPU, headless: %.4f s per second of 720p30 video (runs %.4f to %.4f)\n",
                h.PerSecond(), h.lowest, h.highest);
    std::printf("  receiver CPU, tray with the main window on the live preview: %.4f s per second "
                "(runs %.4f to %.4f)\n",
                t.PerSecond(), t.lowest, t.highest);
    // The tick runs every 40 ms: 25 a second.
    std::printf("    of which the UI thread: %.4f s per second, %.2f ms per tick (goal: under 4)\n",
                t.ui / t.video, t.ui / t.video * 1000 / 25);
    std::printf("    and the other threads: %.4f s per second (headless: %.4f)\n",
                (t.cpu - t.ui) / t.video, (h.cpu - h.ui) / h.video);
    std::printf("  tray / headless: %.3f%s\n", t.PerSecond() / h.PerSecond(),
                run.encoding == phone::H264Source::Encoding::kCamera ? " (goal: at most 1.15)" : "");
  }
  return 0;
}
